// The transport below every crawl: its transfer slots, driven here as the crawl drives them.
#include "platform/transfer_slots.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "platform/transfer_slots.h"
#include "support/loopback_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using RedirectRule = std::function<bool(const std::string&)>;

// Takes every byte, and keeps what the answer said.
struct Collect : TransferSink {
  void OnAnswer(const AnswerInfo& answer) override {
    status = answer.status;
    contentType = answer.contentType;
    ++answers;
  }
  Take OnBody(const char* data, size_t size) override {
    body.append(data, size);
    return Take::All;
  }
  int status = 0;
  int answers = 0;
  std::string contentType;
  std::string body;
};

// Drives slots until every started transfer has ended; the results by slot.
class Driver {
 public:
  Driver(int slots, NetworkSettings options)
      : m_transport(std::move(options)),
        m_slots(slots, m_transport,
                [this](int slot, const TransferResult& result) { OnEnd(slot, result); }),
        m_sinks(slots) {}

  void Start(int slot, const std::string& server, const std::string& object,
             RedirectRule mayRedirect = {}) {
    TransferRequest request;
    request.server = server;
    request.objectName = object;
    request.referrer = "http://" + server + "/";
    request.mayRedirect = std::move(mayRedirect);
    m_sinks[static_cast<size_t>(slot)] = Collect();
    TransferResult failure;
    ASSERT_TRUE(m_slots.Start(slot, request, m_sinks[static_cast<size_t>(slot)], failure))
        << failure.text;
  }
  void RunToEnd() {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    std::string error;
    while (m_slots.Active() > 0 && Clock::now() < deadline)
      ASSERT_TRUE(m_slots.Pump(50, error)) << error;
    ASSERT_EQ(m_slots.Active(), 0);
  }
  void OnEnd(int slot, const TransferResult& result) {
    m_results[slot] = result;
    m_ends[slot] = Clock::now();
  }
  Clock::time_point EndOf(int slot) { return m_ends[slot]; }

  const TransferResult& Result(int slot) { return m_results[slot]; }
  const Collect& Sink(int slot) const { return m_sinks[static_cast<size_t>(slot)]; }

 private:
  Transport m_transport;
  TransferSlots m_slots;
  std::vector<Collect> m_sinks;
  std::map<int, TransferResult> m_results;
  std::map<int, Clock::time_point> m_ends;
};

std::string Server(const RawServer& server) {
  return "127.0.0.1:" + std::to_string(server.Port());
}

// A kept-alive HTTP/1.1 server that notes the client port of every request.
class KeepAliveServer {
 public:
  KeepAliveServer() {
    m_server.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard lock(m_mutex);
      m_ports.insert(request.remote_port);
      response.set_content("file " + request.path, "text/plain");
    });
    // Connections stay open however the transfers fall on them: never closed after a count.
    m_server.set_keep_alive_max_count(1000);
    m_server.set_keep_alive_timeout(300);
    m_port = m_server.bind_to_any_port("127.0.0.1");
    m_thread = std::thread([this] { m_server.listen_after_bind(); });
    while (!m_server.is_running())
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~KeepAliveServer() {
    m_server.stop();
    m_thread.join();
  }
  std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
  size_t Connections() {
    std::lock_guard lock(m_mutex);
    return m_ports.size();
  }

 private:
  httplib::Server m_server;
  int m_port = 0;
  std::thread m_thread;
  std::mutex m_mutex;
  std::set<int> m_ports;
};

TEST(TransferSlots, NextFilesOfASlotReuseItsConnection) {
  KeepAliveServer server;
  Driver driver(2, {});
  for (int round = 0; round < 5; ++round) {
    driver.Start(0, server.Address(), "a" + std::to_string(round));
    driver.Start(1, server.Address(), "b" + std::to_string(round));
    driver.RunToEnd();
    EXPECT_EQ(driver.Result(0).end, TransferEnd::Complete);
    EXPECT_EQ(driver.Sink(1).body, "file /b" + std::to_string(round));
  }
  EXPECT_LE(server.Connections(), 2u);
}

// Answers the transport must tell apart: each with the end, status and body it comes to.
TEST(TransferSlots, AnswersAndHowTheyEnd) {
  RawServer server([](int fd, const std::string& request) {
    const std::string path = request.substr(4, request.find(' ', 4) - 4);
    if (path == "/moved") {
      SendAll(fd, Answer(302, "", "Location: /target\r\n"));
    } else if (path == "/loop") {
      SendAll(fd, Answer(302, "", "Location: /loop\r\n"));
    } else if (path == "/away") {
      SendAll(fd, Answer(301, "", "Location: http://elsewhere.invalid/x\r\n"));
    } else if (path == "/none") {
      SendAll(fd, "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
    } else if (path == "/same") {
      SendAll(fd, "HTTP/1.1 304 Not Modified\r\nConnection: close\r\n\r\n");
    } else if (path == "/short") {
      SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: close\r\n\r\nfive!");
    } else if (path == "/word") {
      SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: many\r\nConnection: close\r\n\r\nwords");
    } else if (path == "/silent") {
      // closes without an answer
    } else {
      SendAll(fd, Answer(200, "at " + path));
    }
  });
  const RedirectRule sameServer = [](const std::string& target) {
    return !target.starts_with("http://elsewhere.invalid/");
  };
  struct {
    const char* object;
    TransferEnd end;
    int status;
    const char* body;
    const char* text;  // the reason, where there is one
  } cases[] = {
      {"moved", TransferEnd::Complete, 200, "at /target", ""},
      {"loop", TransferEnd::Broken, 302, "", "Maximum (20) redirects followed"},
      {"away", TransferEnd::RedirectRefused, 301, "", "http://elsewhere.invalid/x"},
      {"none", TransferEnd::Complete, 204, "", ""},
      {"same", TransferEnd::Complete, 304, "", ""},
      {"short", TransferEnd::Broken, 200, "five!", nullptr},
      {"word", TransferEnd::Complete, 200, "words", ""},
      {"silent", TransferEnd::Failed, 0, "", "Empty reply from server"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.object);
    Driver driver(1, {});
    driver.Start(0, Server(server), c.object, sameServer);
    driver.RunToEnd();
    EXPECT_EQ(driver.Result(0).end, c.end);
    EXPECT_EQ(driver.Result(0).status, c.status);
    EXPECT_EQ(driver.Sink(0).body, c.body);
    if (c.text != nullptr) {
      EXPECT_EQ(driver.Result(0).text, c.text);
    }
    // The answer's headers reach the sink once, or not at all when none came.
    EXPECT_EQ(driver.Sink(0).answers, c.end == TransferEnd::Failed ? 0 : 1);
  }
}

// A server that answers garbage, or nothing, on a kept-open connection: the request is asked for
// once more over a new one, and the crawl's network is not taken for failed.
TEST(TransferSlots, NoAnswerOnAReusedConnectionIsAskedAgainOnANewOne) {
  for (bool garbage : {true, false}) {
    SCOPED_TRACE(garbage ? "garbage" : "silence");
    RawServer server([garbage](int fd, const std::string& request) {
      const std::string first = request.substr(4, request.find(' ', 4) - 4);
      SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\n" + first.substr(0, 7));
      char next[4096];
      if (recv(fd, next, sizeof next, 0) > 0) {
        if (garbage)
          SendAll(fd, "garbage, no answer\r\n\r\n");
        else
          WaitForPeerClose(fd, 5000);
      }
    });
    NetworkSettings options;
    options.stallTimeoutMs = 300;
    Driver driver(1, options);
    for (const char* object : {"first01", "second2"}) {
      driver.Start(0, Server(server), object);
      driver.RunToEnd();
      EXPECT_EQ(driver.Result(0).end, TransferEnd::Complete) << driver.Result(0).text;
      EXPECT_EQ(driver.Sink(0).body, std::string("/") + std::string(object).substr(0, 6));
    }
  }
}

// Under a rate limit the transfers are paused on purpose, for longer than the stall limit;
// they still end whole. A server that really goes silent is a stall.
TEST(TransferSlots, PausesAreNoStallsButSilenceIs) {
  RawServer server([](int fd, const std::string& request) {
    if (request.starts_with("GET /silent ")) {
      SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 9000\r\n\r\n" + std::string(100, 's'));
      WaitForPeerClose(fd, 10000);
    } else {
      SendAll(fd, Answer(200, std::string(65536, 'r')));
    }
  });
  NetworkSettings options;
  options.stallTimeoutMs = 300;
  options.maxBytesPerSecond = 128 * 1024;
  Driver driver(3, options);
  driver.Start(0, Server(server), "1");
  driver.Start(1, Server(server), "2");
  driver.Start(2, Server(server), "3");
  const auto began = Clock::now();
  driver.RunToEnd();
  for (int slot = 0; slot < 3; ++slot) {
    EXPECT_EQ(driver.Result(slot).end, TransferEnd::Complete) << driver.Result(slot).text;
    EXPECT_EQ(driver.Sink(slot).body.size(), 65536u);
  }
  EXPECT_GE(Clock::now() - began, std::chrono::milliseconds(1000));  // 192 KiB at 128 KiB/s
  // The budget is taken in turns: no transfer waits unread while another takes it all.
  for (int slot = 1; slot < 3; ++slot)
    EXPECT_LT(driver.EndOf(slot) - driver.EndOf(0), std::chrono::milliseconds(400)) << slot;

  Driver silent(1, options);
  silent.Start(0, Server(server), "silent");
  silent.RunToEnd();
  EXPECT_EQ(silent.Result(0).end, TransferEnd::Broken);
  EXPECT_EQ(silent.Result(0).text, "no data received for 0.3 seconds");
}

TEST(Politeness, TurnsPerServerAndOneBudget) {
  Politeness politeness(200, 1000);
  EXPECT_EQ(politeness.ClaimStart("a").count(), 0);
  EXPECT_GT(politeness.ClaimStart("a").count(), 100);
  EXPECT_EQ(politeness.ClaimStart("b").count(), 0);  // another server has its own turn
  // A turn reserved for later counts as a start: nothing else takes it.
  const auto reserved = politeness.ReserveStart("b");
  EXPECT_GT(reserved - SteadyClock::now(), std::chrono::milliseconds(100));
  EXPECT_GT(politeness.ClaimStart("b").count(), 300);
  const auto now = SteadyClock::now();
  politeness.TakeBytes(500);
  const auto due = politeness.TakeBytes(500);  // the two halves add up: one second
  EXPECT_GE(due - now, std::chrono::milliseconds(990));
  EXPECT_TRUE(politeness.RateLimited());
  EXPECT_FALSE(Politeness(0, 0).RateLimited());
  // A server's own wait, longer than the crawl's; a server that asked to be left alone.
  Politeness own(0, 0);
  own.SetWait("c", 400);
  EXPECT_EQ(own.ClaimStart("c").count(), 0);
  EXPECT_GT(own.ClaimStart("c").count(), 300);
  EXPECT_GT(own.ClaimStart("c:80").count(), 300);  // "c" and "c:80" are one server
  own.HoldOff("d", SteadyClock::now() + std::chrono::seconds(2));
  EXPECT_GT(own.ClaimStart("d").count(), 1500);
  EXPECT_GT(own.ReserveStart("d") - SteadyClock::now(), std::chrono::milliseconds(1500));
  EXPECT_EQ(own.ClaimStart("e").count(), 0);
}

// The pause an answer asks for, and how long.
TEST(Politeness, PausesAnswersAskFor) {
  using std::chrono::milliseconds;
  const struct {
    int status;
    const char* retryAfter;
    int tries;
    std::optional<milliseconds> pause;
  } rows[] = {
      {429, "1", 0, milliseconds(1000)},
      {429, "", 0, milliseconds(1000)},
      {429, "", 2, milliseconds(4000)},
      {429, "-1", 1, milliseconds(2000)},  // no seconds, no date: as if none were given
      {429, "99999999999999999999", 0, milliseconds(600000)},
      {503, "2", 0, milliseconds(2000)},
      {503, "Thu, 01 Jan 2015 00:00:00 GMT", 0, milliseconds(0)},
      {503, "", 0, std::nullopt},
      {503, "soon", 0, std::nullopt},
      {200, "5", 0, std::nullopt},
  };
  for (const auto& row : rows) {
    TransferResult result;
    result.status = row.status;
    result.retryAfter = row.retryAfter;
    EXPECT_EQ(result.PauseAsked(row.tries), row.pause) << row.status << " " << row.retryAfter;
  }
}

}  // namespace
