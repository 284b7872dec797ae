#include "platform/copy_server.h"

#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "platform/ascii.h"
#include "platform/file_system.h"

namespace {

constexpr size_t kRecordsLimit = 256 << 20;

// A request's path, already decoded by the server library, as a path below the copy: no "." or
// ".." segment, no empty one but a directory's last, no NUL or backslash.
std::optional<std::string> CheckedPath(const std::string& path) {
  if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos ||
      path.find('\\') != std::string::npos)
    return std::nullopt;
  for (size_t start = 1; start <= path.size();) {
    const size_t end = std::min(path.find('/', start), path.size());
    const std::string segment = path.substr(start, end - start);
    if (segment == "." || segment == ".." || (segment.empty() && end < path.size()))
      return std::nullopt;
    start = end + 1;
  }
  return path;
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string PathEscaped(const std::string& name) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : name) {
    if ((c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') ||
        std::string_view("-._~/").find(c) != std::string::npos) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The directory of a record's path named for the server of its address, as a crawl names it
// (host, host:port, or host+port where names avoid ':').
std::optional<std::string> HostDirectory(const std::string& path, const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos)
    return std::nullopt;
  std::string server = url.substr(scheme + 3, url.find_first_of("/?#", scheme + 3) - scheme - 3);
  server = server.substr(server.rfind('@') == std::string::npos ? 0 : server.rfind('@') + 1);
  const std::string first = path.substr(0, path.find('/'));
  std::string plus = server;
  std::replace(plus.begin(), plus.end(), ':', '+');
  const std::string host = server.substr(0, server.rfind(':'));
  if (first.size() < path.size() && !first.empty() &&
      (EqualsNoCase(first, server) || EqualsNoCase(first, plus) || EqualsNoCase(first, host)))
    return first;
  return std::nullopt;
}

// Brings each part asked for within the file, as the server library takes them as given; false
// where none is left. A part past the end, or the last 0 bytes, is none.
bool WithinFile(httplib::Ranges& ranges, off_t size) {
  if (ranges.empty())
    return true;
  httplib::Ranges within;
  for (auto [first, last] : ranges) {
    if (first < 0) {
      if (last <= 0 || size == 0)
        continue;
      first = std::max<ssize_t>(0, size - last);
      last = size - 1;
    }
    if (first >= size)
      continue;
    if (last < 0 || last >= size)
      last = size - 1;
    if (last >= first)
      within.emplace_back(first, last);
  }
  ranges = within;
  return !within.empty();
}

}  // namespace

std::string TypeOfName(const std::string& name) {
  static const std::map<std::string, std::string> kTypes = {
      {"html", "text/html"},
      {"htm", "text/html"},
      {"xhtml", "application/xhtml+xml"},
      {"css", "text/css"},
      {"js", "text/javascript"},
      {"mjs", "text/javascript"},
      {"json", "application/json"},
      {"map", "application/json"},
      {"xml", "application/xml"},
      {"txt", "text/plain"},
      {"svg", "image/svg+xml"},
      {"png", "image/png"},
      {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},
      {"gif", "image/gif"},
      {"webp", "image/webp"},
      {"avif", "image/avif"},
      {"ico", "image/x-icon"},
      {"woff", "font/woff"},
      {"woff2", "font/woff2"},
      {"ttf", "font/ttf"},
      {"otf", "font/otf"},
      {"wasm", "application/wasm"},
      {"pdf", "application/pdf"},
      {"mp4", "video/mp4"},
      {"webm", "video/webm"},
      {"mp3", "audio/mpeg"},
      {"ogg", "audio/ogg"},
  };
  const size_t slash = name.rfind('/');
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return "application/octet-stream";
  auto found = kTypes.find(ToLowerAscii(name.substr(dot + 1)));
  return found == kTypes.end() ? "application/octet-stream" : found->second;
}

struct CopyServer::Server {
  explicit Server(const std::string& directory) : root(directory) {}
  void Serve(const httplib::Request& request, httplib::Response& response);
  // False, with nothing answered, where the path is no regular file of the copy.
  bool ServeFile(const std::string& path, const httplib::Request& request,
                 httplib::Response& response);
  // The directory of the server whose page asked, for an address its scripts built from "/".
  std::optional<std::string> SiteOf(const httplib::Request& request) const;
  void FindOwnFiles();
  // Whether the open file is the crawl's own (its records or log), reached by a link in the copy.
  bool CrawlsOwn(const FileDescriptor& fd, const struct stat& info) const;
  void List(const std::string& path, const std::vector<std::string>& names,
            httplib::Response& response);
  // The recorded types and the first page stored, from the crawl's records.
  void ReadRecords();

  ConfinedDirectory root;
  std::mutex rootLock;                       // the directory opens its root once, on first use
  std::map<std::string, std::string> types;  // by path beneath the root
  std::string startPage;
  std::set<std::string> hostDirectories;       // the copy's directories named for a server
  std::string realRoot;                        // the root with its links resolved
  std::set<std::pair<dev_t, ino_t>> ownFiles;  // the crawl's records and log, however linked
  httplib::Server http;
};

void CopyServer::Server::ReadRecords() {
  const std::optional<std::string> text =
      root.ReadText(root.Root() + "/.kelvane/records", kRecordsLimit);
  if (!text)
    return;
  size_t start = 0;
  while (start < text->size()) {
    const size_t end = std::min(text->find('\n', start), text->size());
    const std::string line = text->substr(start, end - start);
    start = end + 1;
    const size_t tab = line.find('\t');
    if (tab == std::string::npos || tab == 0)
      continue;
    const size_t typeEnd = line.find('\t', tab + 1);
    const std::string path = line.substr(0, tab);
    if (startPage.empty() && CheckedPath("/" + path) && !path.starts_with(".kelvane/"))
      startPage = path;
    if (typeEnd != std::string::npos) {
      if (std::optional<std::string> site = HostDirectory(path, line.substr(typeEnd + 1)))
        hostDirectories.insert(*site);
    }
    types[path] = line.substr(tab + 1, typeEnd == std::string::npos ? typeEnd : typeEnd - tab - 1);
  }
}

bool CopyServer::Server::CrawlsOwn(const FileDescriptor& fd, const struct stat& info) const {
  if (ownFiles.contains({info.st_dev, info.st_ino}))
    return true;
  std::error_code error;
  const std::string landed =
      std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd.Get()), error);
  return error || realRoot.empty() || landed == realRoot + "/.kelvane" ||
         landed.starts_with(realRoot + "/.kelvane/") || landed == realRoot + "/Kelvane.log";
}

void CopyServer::Server::FindOwnFiles() {
  std::error_code error;
  realRoot = std::filesystem::canonical(root.Root(), error).string();
  std::vector<std::string> own = {root.Root() + "/Kelvane.log"};
  for (const std::string& name :
       root.Entries(root.Root() + "/.kelvane").value_or(std::vector<std::string>()))
    own.push_back(root.Root() + "/.kelvane/" + name);
  for (const std::string& path : own) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
      ownFiles.insert({info.st_dev, info.st_ino});
  }
}

std::optional<std::string> CopyServer::Server::SiteOf(const httplib::Request& request) const {
  std::string page = request.get_header_value("Referer");
  const size_t scheme = page.find("://");
  const size_t path = scheme == std::string::npos ? scheme : page.find('/', scheme + 3);
  std::string site;
  if (path != std::string::npos) {
    page = page.substr(path + 1);
    site = PercentDecoded(page.substr(0, std::min(page.find_first_of("/?#"), page.size())));
  }
  if (!hostDirectories.contains(site))
    site = startPage.substr(0, startPage.find('/'));
  if (!hostDirectories.contains(site))
    return std::nullopt;
  return site;
}

bool CopyServer::Server::ServeFile(const std::string& path, const httplib::Request& request,
                                   httplib::Response& response) {
  FileDescriptor fd;
  {
    std::lock_guard<std::mutex> lock(rootLock);
    fd = root.OpenRegularFile(root.Root() + "/" + path);
  }
  struct stat info {};
  if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || CrawlsOwn(fd, info))
    return false;
  // The request is the server's own, handed on as const; its ranges are its to read next.
  if (!WithinFile(const_cast<httplib::Request&>(request).ranges, info.st_size)) {
    response.status = 416;
    response.set_header("Content-Range", "bytes */" + std::to_string(info.st_size));
    return true;
  }
  auto recorded = types.find(path);
  const std::string type =
      recorded != types.end() && !recorded->second.empty() ? recorded->second : TypeOfName(path);
  auto shared = std::make_shared<FileDescriptor>(std::move(fd));
  response.set_header("Cache-Control", "no-cache");
  response.set_content_provider(static_cast<size_t>(info.st_size), type,
                                [shared](size_t offset, size_t length, httplib::DataSink& sink) {
                                  char buffer[65536];
                                  const ssize_t n = ::pread(shared->Get(), buffer,
                                                            std::min(length, sizeof buffer),
                                                            static_cast<off_t>(offset));
                                  return n > 0 && sink.write(buffer, static_cast<size_t>(n));
                                });
  return true;
}

void CopyServer::Server::List(const std::string& path, const std::vector<std::string>& names,
                              httplib::Response& response) {
  std::string page = "<!DOCTYPE html><meta charset=\"utf-8\"><title>" + Escaped(path) +
                     "</title><h1>" + Escaped(path) + "</h1><ul>";
  for (const std::string& name : names) {
    if (path == "/" && (name == ".kelvane" || name == "Kelvane.log"))
      continue;
    page += "<li><a href=\"" + Escaped(PathEscaped(name)) + "\">" + Escaped(name) + "</a></li>";
  }
  response.set_content(page + "</ul>", "text/html; charset=utf-8");
}

void CopyServer::Server::Serve(const httplib::Request& request, httplib::Response& response) {
  const std::optional<std::string> path = CheckedPath(request.path);
  // The crawl's own records and log are no part of the copy.
  if (!path || path->starts_with("/.kelvane/") || *path == "/.kelvane" || *path == "/Kelvane.log") {
    response.status = 404;
    return;
  }
  const std::string below = path->substr(1);
  std::optional<std::vector<std::string>> names;
  {
    std::lock_guard<std::mutex> lock(rootLock);
    names = root.Entries(below.empty() ? root.Root() : root.Root() + "/" + below);
  }
  if (!names) {
    if (ServeFile(below, request, response))
      return;
    // An address a page's script built from "/" is its own server's, whose directory the copy
    // holds beside the others.
    const std::optional<std::string> site = SiteOf(request);
    if (!site || below.starts_with(*site + "/") ||
        !ServeFile(*site + "/" + below, request, response))
      response.status = 404;
    return;
  }
  // A directory reached by a link into the crawl's own records is none of the copy's.
  std::error_code error;
  const std::string real = std::filesystem::canonical(root.Root() + "/" + below, error).string();
  if (error || real == realRoot + "/.kelvane" || real.starts_with(realRoot + "/.kelvane/")) {
    response.status = 404;
    return;
  }
  if (!path->ends_with('/'))
    return response.set_redirect(PathEscaped(*path) + "/", 301);
  // A directory's page, as a crawl names it, or as a site names its own.
  for (const char* index : {"index.html", "index.htm", "~index.htm"}) {
    if (std::find(names->begin(), names->end(), index) != names->end() &&
        ServeFile(below + index, request, response))
      return;
  }
  List(*path, *names, response);
}

CopyServer::CopyServer(std::string directory)
    : m_directory(std::move(directory)), m_server(std::make_unique<Server>(m_directory)) {}

CopyServer::~CopyServer() {
  Stop();
}

bool CopyServer::Start(std::string& why) {
  if (!m_server->root.Entries(m_directory)) {
    why = m_directory + ": no directory to serve";
    return false;
  }
  m_server->ReadRecords();
  m_server->FindOwnFiles();
  m_server->http.Get(".*", [server = m_server.get()](const httplib::Request& request,
                                                     httplib::Response& response) {
    server->Serve(request, response);
  });
  m_port = m_server->http.bind_to_any_port("127.0.0.1");
  if (m_port <= 0) {
    why = "no port of 127.0.0.1 to listen on";
    return false;
  }
  m_thread = std::thread([server = m_server.get()] { server->http.listen_after_bind(); });
  return true;
}

std::string CopyServer::StartAddress() const {
  return AddressOf(m_server->startPage);
}

std::string CopyServer::AddressOf(const std::string& below) const {
  return "http://127.0.0.1:" + std::to_string(m_port) + "/" + PathEscaped(below);
}

void CopyServer::Stop() {
  if (!m_thread.joinable())
    return;
  m_server->http.stop();
  m_thread.join();
}
