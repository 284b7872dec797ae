#include "support/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <stdexcept>

RawServer::RawServer(Handler handler) : m_handler(std::move(handler)) {
  m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_listen < 0)
    throw std::runtime_error("socket failed");
  int yes = 1;
  setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(m_listen, 64) != 0) {
    throw std::runtime_error("bind or listen failed");
  }
  socklen_t length = sizeof address;
  getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
  m_port = ntohs(address.sin_port);
  m_thread = std::thread([this] { Serve(); });
}

RawServer::~RawServer() {
  m_stopping = true;
  m_thread.join();
  for (std::thread& connection : m_connections)
    connection.join();
  close(m_listen);
}

std::string RawServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::vector<std::string> RawServer::Requests() const {
  std::lock_guard lock(m_mutex);
  return m_requests;
}

std::vector<std::string> RawServer::RequestLines() const {
  std::vector<std::string> lines;
  for (const std::string& request : Requests())
    lines.push_back(request.substr(0, request.find("\r\n")));
  return lines;
}

void RawServer::Serve() {
  while (!m_stopping) {
    pollfd waiting{m_listen, POLLIN, 0};
    if (poll(&waiting, 1, 50) <= 0)
      continue;
    int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
      continue;
    m_connections.emplace_back([this, fd] {
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, 5000) <= 0)
          break;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
          break;
        request.append(buffer, static_cast<size_t>(n));
      }
      {
        std::lock_guard lock(m_mutex);
        m_requests.push_back(request);
      }
      m_handler(fd, request);
      close(fd);
    });
  }
}

void SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR)
        continue;
      return;
    }
    sent += static_cast<size_t>(n);
  }
}

void ResetConnection(int fd) {
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

void WaitForPeerClose(int fd, int milliseconds) {
  char buffer[256];
  for (int waited = 0; waited < milliseconds; waited += 20) {
    pollfd readable{fd, POLLIN, 0};
    if (poll(&readable, 1, 20) > 0 && recv(fd, buffer, sizeof buffer, 0) <= 0)
      return;
  }
}

std::string Answer(int status, const std::string& body, const std::string& extraHeaders) {
  return "HTTP/1.0 " + std::to_string(status) +
         " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n" +
         body;
}

RawServer::Handler SiteHandler(std::vector<std::pair<std::string, std::string>> files) {
  auto site = std::make_shared<std::map<std::string, std::string>>(files.begin(), files.end());
  return [site](int fd, const std::string& request) {
    size_t start = request.find(' ') + 1;
    std::string path = request.substr(start, request.find(' ', start) - start);
    auto found = site->find(path);
    if (found == site->end()) {
      SendAll(fd, Answer(404, "<html>not here</html>"));
    } else {
      SendAll(fd, Answer(200, found->second));
    }
  };
}
