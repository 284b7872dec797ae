#include "support/hostile_routes.h"

#include <poll.h>

#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "crawl/run/http_fetcher.h"
#include "support/compress.h"
#include "support/loopback_server.h"

namespace {

// Sends a body that never ends, until the client goes or a limit far above any file is reached.
void SendUntilClosed(int fd) {
  const std::string chunk(65536, 'n');
  for (size_t sent = 0; sent < (size_t{1} << 30);) {
    ssize_t n = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
    if (n <= 0)
      return;
    sent += static_cast<size_t>(n);
  }
}

// A picture gzipped once per coding its answer names: a few bytes that cost a decoder as much
// as the chain is long.
std::string ChainedCodings(int codings) {
  std::string body = "picture";
  for (int i = 0; i < codings; ++i)
    body = Gzip(body);
  std::string names = "gzip";
  for (int i = 1; i < codings; ++i)
    names += ", gzip";
  return "HTTP/1.1 200 OK\r\nContent-Encoding: " + names +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

std::string Chunked(const std::string& body) {
  std::string chunks;
  for (size_t at = 0; at < body.size(); at += 1000) {
    const std::string piece = body.substr(at, 1000);
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
    chunks += size + piece + "\r\n";
  }
  return chunks + "0\r\n\r\n";
}

std::string WidePage() {
  std::string line;
  for (int i = 0; i < 10000; ++i)
    line += "<A HREF=\"w/" + std::to_string(i % 50) + ".htm\">" + std::to_string(i) + "</A> ";
  return line + "\n";
}

}  // namespace

std::string TallPage() {
  std::string page;
  for (int i = 0; i < 100000; ++i) {
    if (i % 10 == 0)
      page += "<IMG SRC=\"t/" + std::to_string(i / 10 % 50) + ".gif\">\n";
    else
      page += "line " + std::to_string(i) + "\n";
  }
  return page;
}

std::string RequestPath(const std::string& request) {
  size_t start = request.find(' ');
  size_t end = request.find(' ', start + 1);
  if (start == std::string::npos || end == std::string::npos)
    return std::string();
  return request.substr(start + 1, end - start - 1);
}

void Route(int fd, const std::string& path) {
  const std::string body5000 = "HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n";
  if (path == "/reset.htm") {
    SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(5000, 'r'));
    ResetConnection(fd);
  } else if (path == "/silent.htm") {
    // closes without a byte
  } else if (path == "/stall.htm") {
    SendAll(fd, body5000);
    WaitForPeerClose(fd, 30000);
  } else if (path == "/short.gif") {
    SendAll(fd, body5000 + std::string(3000, 's'));
  } else if (path == "/large.gif") {
    SendAll(fd, Answer(200, std::string(FetchedFile::kCapacity + 1, 'l')));
  } else if (path == "/endless.gif") {
    SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n");
    SendUntilClosed(fd);
  } else if (path == "/headers.htm") {
    SendAll(fd, "HTTP/1.0 200 OK\r\n");
    std::string lines;
    for (int i = 0; i < 1000; ++i)
      lines += "X-More: " + std::string(50, 'h') + "\r\n";
    for (int i = 0; i < 20000; ++i) {  // about 1 GiB of headers at most, until the client goes
      if (send(fd, lines.data(), lines.size(), MSG_NOSIGNAL) <= 0)
        break;
    }
  } else if (path == "/local.htm") {
    SendAll(fd, Answer(302, "", "Location: file:///etc/passwd\r\n"));
  } else if (path == "/loop.htm") {
    SendAll(fd, Answer(302, "<html>again</html>", "Location: /loop.htm\r\n"));
  } else if (path == "/missing.htm") {
    SendAll(fd, Answer(404, "<html>missing</html>"));
  } else if (path == "/failing.htm") {
    SendAll(fd, Answer(500, "<html>failing</html>"));
  } else if (path == "/moved.htm") {
    SendAll(fd, Answer(301, "<html>moved</html>", "Location: /target.htm\r\n"));
  } else if (path == "/emptymove.htm" || path == "/emptyloop.htm" || path == "/emptylocal.htm") {
    // Moved, said whole, on a connection the server keeps open until the next request on it: to
    // a file, to itself, to no web address.
    const char* to = path == "/emptymove.htm"   ? "/target.htm"
                     : path == "/emptyloop.htm" ? "/emptyloop.htm"
                                                : "file:///etc/passwd";
    SendAll(fd,
            std::string("HTTP/1.1 301 Moved\r\nLocation: ") + to + "\r\nContent-Length: 0\r\n\r\n");
    pollfd next{fd, POLLIN, 0};
    poll(&next, 1, 30000);
  } else if (path == "/nowhere.htm") {
    SendAll(fd, Answer(301, "<html>moved, but not said where</html>"));
  } else if (path == "/wide.htm") {
    SendAll(fd, Answer(200, WidePage()));
  } else if (path == "/tall.htm") {
    SendAll(fd, Answer(200, TallPage()));
  } else if (path == "/") {
    SendAll(fd, Answer(200, "<A HREF=\"names/\">"));
  } else if (path == "/names/") {
    std::string deep;
    for (int i = 0; i < 40; ++i)
      deep += "d" + std::to_string(i) + "/";
    std::string page;
    for (const std::string& link :
         {std::string("../../../../../../up.htm"), std::string("%2e%2e/%2e%2e/dots.htm"),
          std::string("..\\..\\back.htm"), std::string("ctl\x01\x1f\x7f.htm"), deep + "deep.htm",
          std::string("Case.htm"), std::string("case.htm"), std::string("CASE.HTM"),
          std::string("with blank.htm"), std::string("ask.htm?x=1&y=../.."),
          std::string("star*.htm"), std::string("co:lon.htm"), std::string("caf\xc3\xa9.htm"),
          std::string("latin\xe9.htm"), std::string("nul\0after.htm", 13), std::string("/")})
      page += "<A HREF=\"" + link + "\">\n";
    SendAll(fd, Answer(200, page));
  } else if (path == "/word.gif") {
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: abc\r\nConnection: close\r\n\r\nword");
  } else if (path == "/minus.gif") {
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: -5\r\nConnection: close\r\n\r\nminus");
  } else if (path == "/overflow.gif") {
    SendAll(fd,
            "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n"
            "Connection: close\r\n\r\noverflow");
  } else if (path == "/unsized.gif") {
    SendAll(fd, "HTTP/1.0 200 OK\r\n\r\nread to the close");
  } else if (path == "/extra.gif") {
    SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nfive and more");
  } else if (path == "/chunked.gif") {
    SendAll(fd,
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
            "5\r\nchunk\r\n3\r\ned!\r\n0\r\n\r\n");
  } else if (path == "/slow.gif") {
    SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 3000\r\n\r\n");
    for (int i = 0; i < 10; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      SendAll(fd, std::string(300, 's'));
    }
  } else if (path == "/plus.gif") {
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: +5\r\nConnection: close\r\n\r\n0123456789");
  } else if (path == "/statusonly.gif") {
    SendAll(fd, "HTTP/1.0 200 OK\r\nX-Cut: here\r\n");
  } else if (path == "/interim.gif") {
    SendAll(fd, "HTTP/1.1 101 Switching Protocols\r\n\r\nnot a file");
  } else if (path == "/status099.gif") {
    SendAll(fd, "HTTP/1.1 099 Odd\r\n\r\nodd");
  } else if (path == "/choices.gif") {
    SendAll(fd, Answer(300, "", "Location: /chosen.gif\r\n"));
  } else if (path == "/twice.gif") {
    SendAll(fd, Answer(302, "", "Location: /first.gif\r\nLocation: /second.gif\r\n"));
  } else if (path == "/empty.gif") {
    SendAll(fd, Answer(200, ""));
  } else if (path == "/nocontent.gif") {
    SendAll(fd, "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
  } else if (path == "/notmodified.gif") {
    SendAll(fd, "HTTP/1.1 304 Not Modified\r\nConnection: close\r\n\r\n");
  } else if (path == "/codings.gif") {
    static const std::string answer = ChainedCodings(8);
    SendAll(fd, answer);
  } else if (path == "/chunklength.htm") {
    SendAll(fd,
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 100\r\n"
            "Connection: close\r\n\r\n" +
                Chunked(std::string(5027, 'c')));
  } else if (path == "/zeros.htm") {
    // A length written with leading zeros, and the body cut at half of it.
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0000000000000020000\r\n\r\n" +
                    std::string(10000, 'z'));
  } else if (path == "/twolengths.htm") {
    SendAll(fd,
            "HTTP/1.1 200 OK\r\nContent-Length: 5027\r\nContent-Length: 100\r\n"
            "Connection: close\r\n\r\n" +
                std::string(5027, 't'));
  } else if (path == "/foldedcoding.htm") {
    SendAll(fd,
            "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nTransfer-Encoding:\r\n chunked\r\n"
            "Connection: close\r\n\r\n" +
                Chunked(std::string(5027, 'f')));
  } else if (path == "/gzipcoded.htm") {
    SendAll(fd,
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nContent-Length: 100\r\n"
            "Connection: close\r\n\r\n" +
                Gzip(std::string(5027, 'g')));
  } else if (path == "/codings204.gif") {
    SendAll(fd,
            "HTTP/1.1 204 No Content\r\nContent-Encoding: gzip, gzip, gzip, gzip, gzip, gzip\r\n"
            "Connection: close\r\n\r\n");
  } else if (path == "/unasked.htm") {
    SendAll(fd, Answer(200, Gzip("<img src=\"unasked.gif\">"),
                       "Content-Type: text/html\r\nContent-Encoding: gzip\r\n"));
  } else {
    SendAll(fd, Answer(200, path));
  }
}
