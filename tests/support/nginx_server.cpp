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

}  // namespace

bool NginxServer::Available() {
  return access(kNginx, X_OK) == 0;
}

NginxServer::NginxServer(const std::string& root) {
  const std::string p = m_prefix.Path();
  for (int attempt = 0; attempt < 5 && m_pid < 0; ++attempt) {
    m_port = FreePort();
    WriteFileBytes(p + "/nginx.conf",
                   "daemon off;\nmaster_process off;\nworker_processes 1;\n"
                   "error_log " +
                       p + "/error.log;\npid " + p +
                       "/nginx.pid;\n"
                       "events { worker_connections 512; }\n"
                       "http {\n  access_log off;\n  default_type application/octet-stream;\n"
                       "  types { text/html html htm shtml; image/gif gif; image/jpeg jpg; }\n"
                       "  client_body_temp_path " +
                       p + "/body;\n  proxy_temp_path " + p +
                       "/proxy;\n"
                       "  fastcgi_temp_path " +
                       p + "/fastcgi;\n  uwsgi_temp_path " + p +
                       "/uwsgi;\n"
                       "  scgi_temp_path " +
                       p +
                       "/scgi;\n"
                       "  server {\n    listen 127.0.0.1:" +
                       std::to_string(m_port) +
                       ";\n"
                       "    root " +
                       root + ";\n  }\n}\n");
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
  return "http://127.0.0.1:" + std::to_string(m_port) + path;
}
