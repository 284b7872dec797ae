#pragma once

// One transfer over the crawl's transport: the state of one request (its answer's headers, its
// body, the framing check, a stall clock that stops while the transfer is paused on purpose,
// curl's results mapped once into the program's own).
#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/answer_framing.h"
#include "platform/answer_headers.h"
#include "platform/content_decoding.h"
#include "platform/transfer_login.h"
#include "platform/transfer_result.h"
#include "platform/transfer_rules.h"
#include "platform/transport.h"
#include "platform/wire_capture.h"

// What the final answer's headers say.
struct AnswerInfo {
  std::string url;  // the address that answered, redirects followed
  int status = 0;
  std::optional<std::string> sizeHeader;  // the Content-Length text as sent
  std::string contentType;
  std::string lastModified;  // the validators, for a conditional request later
  std::string etag;
  bool encoded = false;  // compressed on the wire: the size header is not the file's size
  std::string contentDisposition;
  std::string contentRange;  // of a 206: which part of the file it holds
  // A 401 that asks for a login (Basic or Digest): the realm it names, maybe empty.
  std::optional<std::string> loginAsked;
  bool digestAsked = false;  // by Digest, rather than Basic
};

// Where a transfer hands what arrives.
class TransferSink {
 public:
  enum class Take { All, Pause, Refuse };
  virtual ~TransferSink() = default;
  // The final answer's headers, once, before any of its body.
  virtual void OnAnswer(const AnswerInfo& answer) = 0;
  // Pause: nothing is taken now, and the same bytes come again after a Resume.
  virtual Take OnBody(const char* data, size_t size) = 0;
  // Holds enough for now: compressed bytes wait on the wire rather than be decoded, since what
  // they decode to cannot be given again.
  virtual bool Full() const { return false; }
  // Wants none of the body, its answer once told: the transfer ends there, as refused.
  virtual bool RefusesBody() const { return false; }
};

struct TransferRequest {
  bool https = false;
  std::string server;      // host, with ":port" when the address names one
  std::string objectName;  // the path after the server's "/", sent as it is but for unsafe bytes
  std::string referrer;
  bool http10 = false;         // HTTP/1.0
  bool ownConnection = false;  // a new connection, closed after the answer
  bool readToClose = false;    // the size header is not trusted: the answer ends when it closes
  // HTTP/2 over TLS where the server offers it, the transfers to one server multiplexed over one
  // connection; DNS answers shared with the crawl's other pooled transfers.
  bool pooled = false;
  // Compressed answers asked for; the bytes handed on are decoded. The sink must take every
  // byte or refuse: decoded bytes cannot be given again.
  bool compressed = false;
  // Where a redirect may lead; empty: anywhere over http or https.
  std::function<bool(const std::string& target)> mayRedirect;
  std::vector<std::string> headers;  // more request header lines, "Name: value"
  // Where a page asked for the file: each redirect's request gives the Referer a browser gives
  // from it there.
  std::string referringPage;
};

struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// One request at a time over one easy handle, which the next request may reuse.
class Transfer {
 public:
  explicit Transfer(Transport& transport);
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Sets up the handle for a request; false, with how it failed, when it cannot be made.
  bool Prepare(const TransferRequest& request, TransferSink& sink, TransferResult& failure);
  CURL* Handle() const { return m_easy.get(); }

  // The final answer's headers have arrived.
  bool Answered() const { return m_answer.complete; }
  // An answer's status line came: the server answered.
  bool AnswerBegan() const { return m_answer.statusLine; }
  int Status() const;
  const std::optional<std::string>& SizeHeader() const { return m_answer.framing.SizeText(); }
  std::string ContentType() const;
  AnswerInfo Info() const;

  // The body came up to its announced length, or the answer has none.
  bool BodyComplete() const;
  // The body is being decoded: every piece handed on must be taken or refused, never paused.
  bool Decoding() const { return m_decoder != nullptr; }
  int64_t Received() const { return m_received; }

  // Pauses on purpose stop the stall clock; Resume gives the held bytes again.
  bool Paused() const { return m_paused; }
  std::optional<SteadyClock::time_point> PausedUntil() const;
  // Since when the transfer has waited for the budget, for taking turns fairly.
  std::optional<SteadyClock::time_point> WaitingSince() const { return m_waitingSince; }
  void Resume();
  // The reader kept the transfer waiting on purpose: that time is no stall either.
  void RestartStallClock() { m_lastData = SteadyClock::now(); }
  // The stall clock starts once the request has been sent.
  void StartStallClockOnceSent();
  bool Stalled(SteadyClock::time_point now) const;
  // The request went over a connection that an earlier one had opened.
  bool Reused() const;

  // Taken off its loop unfinished: what it exchanged so far is recorded as cut short.
  void Abandon() { m_wire.End(WireCut::Unspecified); }
  // A request that got no answer, to be sent again: it is not recorded.
  void ForgetUnanswered() { m_wire.ForgetUnanswered(); }
  // A redirect the transfer ended at, to be followed by a request of its own (its target then
  // written into the request), the redirects counted on.
  bool FollowsOn() const { return !m_followTarget.empty(); }
  bool Follow(TransferRequest& request, TransferResult& failure);
  // What the transfer came to, from curl's code for it (or a stall), mapped once.
  TransferResult Finish(CURLcode code, bool stalled);
  // An answer whose size header curl's framing refuses, or reads otherwise than the size check
  // does; it is asked for again with readToClose.
  bool FramingRefused(CURLcode code) const;

 private:
  // The answer as it comes: what its headers say, and what the transfer made of them.
  struct Answer : AnswerHeaders {
    bool complete = false;            // the final answer's headers are in
    std::optional<int64_t> expected;  // the announced length, when it is a number
    bool empty = false;               // nothing will follow the headers
    bool encoded = false;             // decoded here: what the wire carries is not the file
    std::string resultText;           // a reason of our own, where curl's is not the one
    CURLcode result = CURLE_OK;
  };

  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnBody(char* data, size_t size, size_t count, void* self);
  static int OnWire(CURL* easy, curl_infotype type, char* data, size_t size, void* self);
  TransferResult Outcome(CURLcode code, bool stalled);
  // The code the transfer ended with: a stall, or a fault found here in the answer, before
  // curl's own; an answer curl took as whole that came short. text takes the reason where it is
  // this transfer's own.
  CURLcode EndCode(CURLcode code, bool stalled, std::string& text) const;
  void SetOptions(const TransferRequest& request, const std::optional<std::string>& resolveEntry);
  void SetSharing(const TransferRequest& request);
  // false when the header block ends a redirect that must not be followed.
  bool HeaderLine(std::string_view line);
  bool HeaderBlockEnded();
  // A 3xx curl would follow, or a login refused, is the answer: curl is stopped there (false).
  bool StopAtAnswer(long status);
  // Whether the transfer reads on past the answer's headers: not where its body cannot be
  // read as framed or coded, nor after a redirect it refused; one redirect too many fails it.
  bool ReadsOn(bool bodyless, bool redirect);
  // The answer is the one in hand: what it announces is noted and the sink told.
  void BeginAnswer(long status);
  bool RedirectAllowed();
  // A redirect to follow that the transfer stops at, to be followed by a request of its own (or
  // that is the answer, being none to follow): true when curl is to go no further.
  bool FollowsHere(long status);

  Transport& m_transport;
  std::unique_ptr<CURL, EasyDeleter> m_easy;
  std::unique_ptr<curl_slist, ListDeleter> m_resolve;
  std::unique_ptr<curl_slist, ListDeleter> m_headers;
  std::string m_url;
  std::string m_referrer;
  std::string m_userAgent;
  TransferSink* m_sink = nullptr;
  std::function<bool(const std::string&)> m_mayRedirect;
  char m_errorBuffer[CURL_ERROR_SIZE] = "";
  Answer m_answer;
  size_t TakeBody(const char* data, size_t size);

  int64_t m_received = 0;  // body bytes taken as they crossed the wire
  bool m_readToClose = false;
  bool m_decoding = false;  // compressed answers asked for
  std::unique_ptr<ContentDecoder> m_decoder;
  bool m_framingDiffers = false;     // the size header is no number that the size check reads
  bool m_answersChallenge = false;   // credentials are sent to this server once it asks
  bool m_challengeAnswered = false;  // it asked, and curl asks again with them
  bool m_digestAsked = false;        // by Digest, rather than Basic
  TransferLogin m_login;
  bool m_stoppedAtAnswer = false;  // a 3xx curl would follow is the answer: nothing more is read
  bool m_refused = false;
  bool m_cookieEngine = false;  // the handle reads the shared cookies
  std::string m_refusedRedirect;
  std::string m_followTarget;  // a redirect followed by a request of its own
  std::string m_referringPage;
  long m_redirectsBefore = 0;  // those followed by the requests before this one
  int m_redirectStatus = 0;    // the last of them
  long RedirectCount() const;
  bool m_paused = false;
  std::optional<SteadyClock::time_point> m_pausedUntil;  // the end of a wait for the budget
  std::optional<SteadyClock::time_point> m_waitingSince;
  std::optional<SteadyClock::time_point> m_lastData;  // the stall clock; runs once answered
  // The exchanges being recorded, where the crawl keeps an archive.
  WireCapture m_wire;
};
