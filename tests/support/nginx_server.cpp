#include "support/nginx_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/process.h"

namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

bool Accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

std::string Configuration(const std::string& p, const std::string& root, int port,
                          const NginxOptions& options) {
  const bool https = !options.certificate.empty();
  std::string http =
      "  default_type application/octet-stream;\n"
      "  types { text/html html htm shtml; text/css css; text/plain txt; image/gif gif; "
      "image/jpeg jpg; }\n";
  for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
    http += std::string("  ") + temp + "_temp_path " + p + "/" + temp + ";\n";
  if (options.logRequests) {
    http +=
        "  log_format requests '$server_protocol $status $sent_http_content_encoding "
        "$request_uri';\n  access_log " +
        p + "/access.log requests;\n";
  } else {
    http += "  access_log off;\n";
  }
  http += options.directives;
  if (options.gzip)
    http += "  gzip on;\n  gzip_min_length 1;\n  gzip_types text/css text/plain;\n";
  std::string server = "    listen 127.0.0.1:" + std::to_string(port) +
                       (https ? " ssl http2;\n    ssl_certificate " + options.certificate +
                                    ";\n    ssl_certificate_key " + options.key + ";\n"
                              : std::string(";\n"));
  return "daemon off;\nmaster_process off;\nworker_processes 1;\nerror_log " + p +
         "/error.log;\npid " + p + "/nginx.pid;\nevents { worker_connections 512; }\nhttp {\n" +
         http + "  server {\n" + server + "    root " + root + ";\n  }\n}\n";
}

}  // namespace

bool NginxServer::Available() {
  return access(kNginx, X_OK) == 0;
}

NginxServer::NginxServer(const std::string& root, const NginxOptions& options)
    : m_https(!options.certificate.empty()) {
  const std::string p = m_prefix.Path();
  for (int attempt = 0; attempt < 5 && m_pid < 0; ++attempt) {
    m_port = FreePort();
    WriteFileBytes(p + "/nginx.conf", Configuration(p, root, m_port, options));
    pid_t pid = StartProcess({kNginx, "-p", p, "-c", p + "/nginx.conf", "-e", p + "/error.log"});
    for (int waited = 0; waited < 100; ++waited) {
      if (Accepts(m_port)) {
        m_pid = pid;
        break;
      }
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid)
        break;  // it could not start: try another port
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (m_pid < 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
}

NginxServer::~NginxServer() {
  if (m_pid > 0) {
    kill(m_pid, SIGTERM);
    waitpid(m_pid, nullptr, 0);
  }
}

std::string NginxServer::Url(const std::string& path) const {
  return (m_https ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(m_port) + path;
}
