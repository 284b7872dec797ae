// A remote link on 127.0.0.1: relays every connection accepted on LISTEN_PORT to
// 127.0.0.1:TARGET_PORT, delivering each byte DELAY_MS after it left (one way), and lets the
// server's bytes out through one bottleneck of RATE bytes a second shared by all connections.
// A new connection pays one extra round trip before its first bytes reach the server, as the
// TCP handshake would on the real link. Single-threaded: one epoll loop and a heap of timers.
// Usage: link_relay LISTEN_PORT TARGET_PORT DELAY_MS RATE_BYTES_PER_S   (0 = any port / no limit)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <queue>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using Nanos = int64_t;

Nanos Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Bytes on their way, or the end of the stream (an empty chunk with eof set).
struct Chunk {
  Nanos due;
  std::vector<char> data;
  size_t offset = 0;
  bool eof = false;
};

struct Direction {
  std::deque<Chunk> flight;  // in order of arrival
  size_t queued = 0;         // bytes read from the source and not yet written out
  bool eof_read = false;
  bool eof_sent = false;
  bool blocked = false;  // the destination's socket buffer is full
};

struct Connection {
  uint64_t id;
  int client;
  int server;
  bool connected = false;  // the upstream connect has completed
  Nanos accepted;
  Direction up;    // client to server
  Direction down;  // server to client
  // Server bytes waiting for the bottleneck.
  std::deque<std::vector<char>> waiting;
  size_t waiting_offset = 0;
  size_t waiting_bytes = 0;
  bool in_round = false;
  uint32_t client_events = 0;
  uint32_t server_events = 0;
};

constexpr size_t kSlice = 4096;        // the bottleneck's turn per connection
constexpr Nanos kLookahead = 1000000;  // bottleneck decisions taken up to 1 ms ahead
constexpr Nanos kSlack = 250000;       // bytes due within 0.25 ms go out now
constexpr size_t kReadSize = 65536;

class Relay {
 public:
  Relay(int target_port, Nanos delay, uint64_t rate)
      : target_port_(target_port), delay_(delay), rate_(rate) {
    // Twice the bandwidth-delay product, so one connection alone can fill the link.
    double bdp = rate == 0 ? 0 : double(rate) * 2 * double(delay) / 1e9;
    limit_ = std::max<size_t>(256 * 1024, size_t(2 * bdp));
  }

  int Listen(int port) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (epoll_ < 0 || listener_ < 0 ||
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 1024) != 0) {
      std::perror("link_relay: listen");
      return -1;
    }
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = 0;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &event);
    return ntohs(address.sin_port);
  }

  void Run() {
    std::vector<epoll_event> events(256);
    for (;;) {
      Nanos now = Now();
      Nanos next = -1;
      if (!timers_.empty())
        next = timers_.top().first - kSlack;
      if (!round_.empty() && (next < 0 || link_free_ - kLookahead < next))
        next = link_free_ - kLookahead;
      timespec timeout{};
      timespec* wait = nullptr;
      if (next >= 0) {
        Nanos left = std::max<Nanos>(0, next - now);
        timeout.tv_sec = left / 1000000000;
        timeout.tv_nsec = left % 1000000000;
        wait = &timeout;
      }
      int count = epoll_pwait2(epoll_, events.data(), int(events.size()), wait, nullptr);
      if (count < 0) {
        if (errno == EINTR)
          continue;
        std::perror("link_relay: epoll");
        return;
      }
      for (int i = 0; i < count; ++i)
        Handle(events[i]);
      now = Now();
      Schedule(now);
      while (!timers_.empty() && timers_.top().first - kSlack <= now) {
        uint64_t key = timers_.top().second;
        timers_.pop();
        Connection* c = Find(key >> 1);
        if (c)
          Flush(*c, (key & 1) != 0, now);
      }
    }
  }

 private:
  Connection* Find(uint64_t id) {
    auto it = connections_.find(id);
    return it == connections_.end() ? nullptr : it->second.get();
  }

  void Handle(const epoll_event& event) {
    if (event.data.u64 == 0) {
      Accept();
      return;
    }
    uint64_t id = event.data.u64 >> 1;
    bool server_side = (event.data.u64 & 1) != 0;
    Connection* c = Find(id);
    if (!c)
      return;
    Nanos now = Now();
    if (server_side && !c->connected) {
      int error = 0;
      socklen_t length = sizeof error;
      getsockopt(c->server, SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0 || (event.events & (EPOLLERR | EPOLLHUP))) {
        Close(id, false);
        return;
      }
      c->connected = true;
      Flush(*c, true, now);
      if ((c = Find(id)))
        Watch(*c);
      return;
    }
    if (event.events & EPOLLERR) {
      Close(id, true);
      return;
    }
    if (event.events & EPOLLOUT) {
      Flush(*c, server_side, now);  // the server's socket takes the upstream direction
      if (!(c = Find(id)))
        return;
    }
    if (event.events & (EPOLLIN | EPOLLHUP))
      Read(*c, server_side, now);
    if ((c = Find(id)))
      Watch(*c);
  }

  void Accept() {
    for (;;) {
      int client = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (client < 0)
        return;
      int server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (server < 0) {
        close(client);
        return;
      }
      // Writes leave in the relay's own time; Nagle would add its own waits on top.
      int one = 1;
      setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(uint16_t(target_port_));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      int result = connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address);
      if (result != 0 && errno != EINPROGRESS) {
        close(client);
        close(server);
        continue;
      }
      auto c = std::make_unique<Connection>();
      c->id = next_id_++;
      c->client = client;
      c->server = server;
      c->connected = result == 0;
      c->accepted = Now();
      Connection& ref = *c;
      connections_.emplace(c->id, std::move(c));
      Watch(ref);
    }
  }

  // Reads what one side sent, while its direction has room.
  void Read(Connection& c, bool server_side, Nanos now) {
    Direction& d = server_side ? c.down : c.up;
    int fd = server_side ? c.server : c.client;
    char buffer[kReadSize];
    while (!d.eof_read && d.queued < limit_) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
      if (n < 0) {
        Close(c.id, true);
        return;
      }
      if (n == 0) {
        d.eof_read = true;
        if (server_side && c.waiting_bytes > 0)
          return;  // the end follows the last byte out of the bottleneck
        Push(c, server_side, Chunk{Arrival(c, server_side, now), {}, 0, true});
        return;
      }
      d.queued += size_t(n);
      if (server_side && rate_ > 0) {
        c.waiting.emplace_back(buffer, buffer + n);
        c.waiting_bytes += size_t(n);
        if (!c.in_round) {
          if (round_.empty())
            link_free_ = std::max(link_free_, now);
          round_.push_back(c.id);
          c.in_round = true;
        }
      } else {
        Push(c, server_side, Chunk{Arrival(c, server_side, now), {buffer, buffer + n}});
      }
    }
  }

  // When bytes read now arrive, unless they wait for the bottleneck.
  Nanos Arrival(const Connection& c, bool server_side, Nanos now) const {
    Nanos sent = now;
    if (!server_side) {
      // The client believes it is connected at once; on the real link it would only have its
      // handshake's answer one round trip after it started.
      sent = std::max(now, c.accepted + 2 * delay_);
    }
    Nanos due = sent + delay_;
    const Direction& d = server_side ? c.down : c.up;
    if (!d.flight.empty())
      due = std::max(due, d.flight.back().due);
    return due;
  }

  void Push(Connection& c, bool server_side, Chunk chunk) {
    Direction& d = server_side ? c.down : c.up;
    if (d.flight.empty() && !d.blocked)
      timers_.emplace(chunk.due, c.id << 1 | (server_side ? 0 : 1));
    d.flight.push_back(std::move(chunk));
  }

  // The bottleneck: connections with bytes waiting take turns of one slice each, and each
  // slice leaves when the previous one has, at the link's rate.
  void Schedule(Nanos now) {
    while (!round_.empty() && link_free_ - kLookahead <= now) {
      uint64_t id = round_.front();
      round_.pop_front();
      Connection* c = Find(id);
      if (!c)
        continue;
      size_t size = std::min(kSlice, c->waiting_bytes);
      std::vector<char> slice;
      slice.reserve(size);
      while (slice.size() < size) {
        std::vector<char>& block = c->waiting.front();
        size_t take = std::min(size - slice.size(), block.size() - c->waiting_offset);
        slice.insert(slice.end(), block.begin() + long(c->waiting_offset),
                     block.begin() + long(c->waiting_offset + take));
        c->waiting_offset += take;
        if (c->waiting_offset == block.size()) {
          c->waiting.pop_front();
          c->waiting_offset = 0;
        }
      }
      c->waiting_bytes -= size;
      // A link idle for a while gives no credit for it; a late wake-up keeps its schedule.
      link_free_ = std::max(link_free_, now - kLookahead);
      link_free_ += Nanos(double(size) * 1e9 / double(rate_));
      Push(*c, true, Chunk{link_free_ + delay_, std::move(slice)});
      if (c->waiting_bytes > 0) {
        round_.push_back(id);
      } else {
        c->in_round = false;
        if (c->down.eof_read)
          Push(*c, true, Chunk{link_free_ + delay_, {}, 0, true});
      }
    }
  }

  // Writes every chunk of one direction that is due, as far as the destination takes it.
  void Flush(Connection& c, bool upstream, Nanos now) {
    Direction& d = upstream ? c.up : c.down;
    int fd = upstream ? c.server : c.client;
    if (upstream && !c.connected)
      return;
    d.blocked = false;
    while (!d.flight.empty() && d.flight.front().due - kSlack <= now) {
      if (d.flight.front().eof) {
        shutdown(fd, SHUT_WR);
        d.eof_sent = true;
        d.flight.pop_front();
        continue;
      }
      iovec parts[64];
      int count = 0;
      for (auto it = d.flight.begin();
           it != d.flight.end() && count < 64 && !it->eof && it->due - kSlack <= now; ++it) {
        parts[count].iov_base = it->data.data() + it->offset;
        parts[count].iov_len = it->data.size() - it->offset;
        ++count;
      }
      ssize_t n = writev(fd, parts, count);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        d.blocked = true;
        break;
      }
      if (n < 0) {
        Close(c.id, true);
        return;
      }
      size_t written = size_t(n);
      d.queued -= written;
      while (written > 0) {
        Chunk& front = d.flight.front();
        size_t left = front.data.size() - front.offset;
        if (written < left) {
          front.offset += written;
          written = 0;
          d.blocked = true;  // a short write: the socket buffer is full
        } else {
          written -= left;
          d.flight.pop_front();
        }
      }
      if (d.blocked)
        break;
    }
    if (!d.blocked && !d.flight.empty())
      timers_.emplace(d.flight.front().due, c.id << 1 | (upstream ? 1 : 0));
    if (c.up.eof_sent && c.down.eof_sent) {
      Close(c.id, false);
      return;
    }
    Watch(c);
  }

  // Listens for what each side can do now: read while its direction has room, write while
  // due bytes wait for room in its socket buffer.
  void Watch(Connection& c) {
    uint32_t client = 0, server = 0;
    if (!c.up.eof_read && c.up.queued < limit_)
      client |= EPOLLIN;
    if (c.down.blocked)
      client |= EPOLLOUT;
    if (!c.connected) {
      server = EPOLLOUT;
    } else {
      if (!c.down.eof_read && c.down.queued < limit_)
        server |= EPOLLIN;
      if (c.up.blocked)
        server |= EPOLLOUT;
    }
    Interest(c.client, c.id << 1, client, c.client_events);
    Interest(c.server, c.id << 1 | 1, server, c.server_events);
  }

  // A socket with nothing to wait for leaves the epoll set: a hung-up socket would otherwise
  // be reported again and again.
  void Interest(int fd, uint64_t key, uint32_t wanted, uint32_t& current) {
    if (wanted == current)
      return;
    epoll_event event{};
    event.events = wanted;
    event.data.u64 = key;
    int op = current == 0 ? EPOLL_CTL_ADD : wanted == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
    epoll_ctl(epoll_, op, fd, &event);
    current = wanted;
  }

  // Closes both sides; after an error, with a reset, as the failure would reach the other end.
  void Close(uint64_t id, bool reset) {
    auto it = connections_.find(id);
    if (it == connections_.end())
      return;
    Connection& c = *it->second;
    for (int fd : {c.client, c.server}) {
      if (reset) {
        linger abort{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      }
      close(fd);  // also leaves the epoll set
    }
    connections_.erase(it);
  }

  int target_port_;
  Nanos delay_;
  uint64_t rate_;
  size_t limit_;
  int epoll_ = -1;
  int listener_ = -1;
  uint64_t next_id_ = 1;
  std::unordered_map<uint64_t, std::unique_ptr<Connection>> connections_;
  // Due times of directions' first chunks; entries for closed connections are skipped.
  std::priority_queue<std::pair<Nanos, uint64_t>, std::vector<std::pair<Nanos, uint64_t>>,
                      std::greater<>>
      timers_;
  std::deque<uint64_t> round_;  // connections with bytes waiting for the bottleneck
  Nanos link_free_ = 0;         // when the bottleneck has sent everything given to it
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s LISTEN_PORT TARGET_PORT DELAY_MS RATE_BYTES_PER_S\n", argv[0]);
    return 2;
  }
  int listen_port = std::atoi(argv[1]);
  int target_port = std::atoi(argv[2]);
  double delay_ms = std::atof(argv[3]);
  uint64_t rate = std::strtoull(argv[4], nullptr, 10);
  if (listen_port < 0 || listen_port > 65535 || target_port <= 0 || target_port > 65535 ||
      delay_ms < 0) {
    std::fprintf(stderr, "link_relay: bad arguments\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  // Hundreds of connections take two descriptors each.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  Relay relay(target_port, Nanos(delay_ms * 1e6), rate);
  int port = relay.Listen(listen_port);
  if (port < 0)
    return 1;
  std::printf("%d\n", port);
  std::fflush(stdout);
  relay.Run();
  return 1;
}
