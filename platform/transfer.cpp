#include "platform/transfer.h"

#include <algorithm>
#include <utility>

#include "platform/ascii.h"
#include "platform/request_options.h"
#include "platform/transfer_rules.h"
#include "platform/url_resolve.h"

Transfer::Transfer(Transport& transport) : m_transport(transport) {
  InitCurl();
}

Transfer::~Transfer() {
  m_wire.End(WireCut::Unspecified);
}

bool Transfer::Prepare(const TransferRequest& request, TransferSink& sink,
                       TransferResult& failure) {
  m_answer = Answer();
  m_received = 0;
  m_readToClose = request.readToClose;
  m_decoding = request.compressed || m_transport.Options().decodeAnyCoding;
  m_decoder.reset();
  m_framingDiffers = m_challengeAnswered = false;
  m_stoppedAtAnswer = m_refused = false;
  m_refusedRedirect.clear();
  m_followTarget.clear();
  m_redirectsBefore = m_redirectStatus = 0;
  m_paused = false;
  m_pausedUntil = m_waitingSince = m_lastData = std::nullopt;
  m_errorBuffer[0] = '\0';
  m_sink = &sink;
  m_mayRedirect = request.mayRedirect;
  m_referringPage = request.referringPage;
  m_wire.End(WireCut::Unspecified);
  if (!m_easy)
    m_easy.reset(curl_easy_init());
  failure = TransferResult::Failure({});
  if (!m_easy) {
    failure.text = curl_easy_strerror(CURLE_FAILED_INIT);
    return false;
  }
  std::optional<std::string> entry;
  if (!RequestAddress(m_transport.Options(), request, m_url, entry, failure))
    return false;
  if (m_login.Forgets(m_transport, m_url)) {
    // libcurl 7.88 loses the handle's cookie-file list on a reset; it is let go first.
    curl_easy_setopt(m_easy.get(), CURLOPT_COOKIEFILE, nullptr);
    curl_easy_reset(m_easy.get());
    m_cookieEngine = false;
  }
  SetOptions(request, entry);
  return true;
}

void Transfer::SetOptions(const TransferRequest& request, const std::optional<std::string>& entry) {
  const NetworkSettings& options = m_transport.Options();
  CURL* easy = m_easy.get();
  m_resolve.reset(entry ? curl_slist_append(nullptr, entry->c_str()) : nullptr);
  curl_easy_setopt(easy, CURLOPT_RESOLVE, m_resolve.get());
  m_headers = RequestHeaderLines(options, request);
  SetSharing(request);
  m_answersChallenge = SetLogin(easy, options, request, m_transport.LoginRemembered(m_url));
  m_referrer = request.referrer;
  curl_easy_setopt(easy, CURLOPT_URL, m_url.c_str());
  m_userAgent = m_transport.UserAgent();
  curl_easy_setopt(easy, CURLOPT_USERAGENT, m_userAgent.c_str());
  curl_easy_setopt(easy, CURLOPT_REFERER, m_referrer.empty() ? nullptr : m_referrer.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, m_headers.get());
  SetConnection(easy, options, request);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, m_errorBuffer);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  // The archive reads the wire through curl's trace, the one place that sees the request as
  // sent and the answer before its chunks are joined; without one, no trace is made.
  const bool record = m_transport.Recorder() != nullptr;
  curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, record ? &Transfer::OnWire : nullptr);
  curl_easy_setopt(easy, CURLOPT_DEBUGDATA, record ? this : nullptr);
  curl_easy_setopt(easy, CURLOPT_VERBOSE, record ? 1L : 0L);
}

void Transfer::SetSharing(const TransferRequest& request) {
  CURL* easy = m_easy.get();
  // A pooled transfer waits for a connection that may carry it as one more stream, rather
  // than opening one of its own before the server has said whether it multiplexes.
  curl_easy_setopt(easy, CURLOPT_PIPEWAIT, request.pooled ? 1L : 0L);
  const bool cookies = m_transport.Cookies();
  curl_easy_setopt(easy, CURLOPT_SHARE, request.pooled || cookies ? m_transport.Share() : nullptr);
  // "" turns the cookie engine on without a file: the store is the shared one.
  // Once per handle: each setting adds to a list the handle reads before every transfer.
  if (cookies && !m_cookieEngine)
    curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
  m_cookieEngine = m_cookieEngine || cookies;
}

int Transfer::Status() const {
  long status = 0;
  if (m_easy)
    curl_easy_getinfo(m_easy.get(), CURLINFO_RESPONSE_CODE, &status);
  // Before an answer to a redirect followed from here, the redirect is the last answer.
  return status != 0 ? static_cast<int>(status) : m_redirectStatus;
}

std::string Transfer::ContentType() const {
  char* type = nullptr;
  if (m_easy)
    curl_easy_getinfo(m_easy.get(), CURLINFO_CONTENT_TYPE, &type);
  return type != nullptr ? type : "";
}

AnswerInfo Transfer::Info() const {
  char* url = nullptr;
  if (m_easy)
    curl_easy_getinfo(m_easy.get(), CURLINFO_EFFECTIVE_URL, &url);
  return AnswerInfo{
      WithoutLogin(url != nullptr ? url : m_url),
      Status(),
      m_answer.framing.SizeText(),
      ContentType(),
      m_answer.lastModified,
      m_answer.etag,
      m_answer.encoded,
      m_answer.contentDisposition,
      m_answer.contentRange,
      Status() == 401 && m_answer.challenged ? std::optional(m_answer.realm) : std::nullopt,
      m_answer.digest};
}

bool Transfer::BodyComplete() const {
  return m_answer.complete &&
         (m_answer.empty || (m_answer.expected && m_received >= *m_answer.expected));
}

std::optional<SteadyClock::time_point> Transfer::PausedUntil() const {
  return m_paused ? m_pausedUntil : std::nullopt;
}

void Transfer::Resume() {
  if (!m_paused)
    return;
  m_paused = false;
  m_pausedUntil.reset();
  RestartStallClock();
  curl_easy_pause(m_easy.get(), CURLPAUSE_CONT);
}

bool Transfer::Stalled(SteadyClock::time_point now) const {
  return !m_paused && m_lastData &&
         now - *m_lastData > std::chrono::milliseconds(m_transport.Options().stallTimeoutMs);
}

void Transfer::StartStallClockOnceSent() {
  curl_off_t sent = 0;
  if (!m_lastData &&
      curl_easy_getinfo(m_easy.get(), CURLINFO_PRETRANSFER_TIME_T, &sent) == CURLE_OK && sent > 0)
    m_lastData = SteadyClock::now();
}

bool Transfer::Reused() const {
  long connects = 0;
  curl_easy_getinfo(m_easy.get(), CURLINFO_NUM_CONNECTS, &connects);
  return connects == 0;
}

bool Transfer::FramingRefused(CURLcode code) const {
  return m_framingDiffers ||
         (code == CURLE_WEIRD_SERVER_REPLY && m_answer.statusLine && !m_answer.complete);
}

int Transfer::OnWire(CURL*, curl_infotype type, char* data, size_t size, void* self) {
  auto* transfer = static_cast<Transfer*>(self);
  if (WireRecorder* recorder = transfer->m_transport.Recorder())
    transfer->m_wire.Trace(*recorder, transfer->m_easy.get(), transfer->m_url, type,
                           std::string_view(data, size));
  return 0;
}

bool Transfer::Follow(TransferRequest& request, TransferResult& failure) {
  const long followed = m_redirectsBefore + RedirectCount() + 1;
  const int status = Status();
  // The redirect's head came whole; its body, where it has one, was left unread.
  m_wire.End(m_answer.framing.Length() == 0 ? WireCut::None : WireCut::Length, true);
  const std::string target = std::exchange(m_followTarget, std::string());
  const size_t scheme = target.find("://");
  const size_t path = target.find('/', scheme + 3);
  request.https = StartsWithNoCase(target, "https://");
  request.server = target.substr(scheme + 3, path - scheme - 3);
  request.objectName = path == std::string::npos ? std::string() : target.substr(path + 1);
  if (!request.referringPage.empty())
    request.referrer = BrowserReferrer(request.referringPage, target);
  const bool prepared = Prepare(request, *m_sink, failure);
  m_redirectsBefore = followed;
  m_redirectStatus = status;
  // curl counts afresh: it stops where the redirects of the whole chain reach the most.
  if (prepared)
    curl_easy_setopt(m_easy.get(), CURLOPT_MAXREDIRS,
                     std::max(0L, m_transport.Options().maxRedirects - followed));
  return prepared;
}

long Transfer::RedirectCount() const {
  long followed = 0;
  curl_easy_getinfo(m_easy.get(), CURLINFO_REDIRECT_COUNT, &followed);
  return followed;
}

size_t Transfer::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* transfer = static_cast<Transfer*>(self);
  return transfer->HeaderLine(std::string_view(data, size * count)) ? size * count : 0;
}

bool Transfer::HeaderLine(std::string_view line) {
  m_lastData = SteadyClock::now();
  Answer& a = m_answer;
  if (a.complete && line.starts_with("HTTP/")) {
    // Another answer after the one taken (curl asking again on its own): the two must not mix.
    a.result = CURLE_WEIRD_SERVER_REPLY;
    a.resultText = "a second answer came after the one read";
    return false;
  }
  if (a.complete)
    return true;  // a chunked body's trailer: the answer's headers are what came before
  a.Line(line);
  if (TrimSpace(line).empty())
    return HeaderBlockEnded();
  return true;
}

// The end of a header block: an interim answer, a redirect curl follows, or the answer.
bool Transfer::HeaderBlockEnded() {
  Answer& a = m_answer;
  const long status = Status();
  const long redirects = m_redirectsBefore + RedirectCount();
  if (status >= 100 && status < 200)
    return true;
  // The server asks for credentials the transfer has: curl asks again with them, once, and
  // this answer is none. Asked again, the login was refused: that answer is the file's, and
  // curl, which would go on asking (a Digest nonce said stale each time), is stopped there.
  if (status == 401 && a.challenged && m_answersChallenge) {
    if (!m_challengeAnswered) {
      m_challengeAnswered = true;
      m_digestAsked = a.digest;
      return true;
    }
    return StopAtAnswer(status);
  }
  const bool redirect = IsFollowedRedirect(status) && a.location;
  if (redirect && redirects < m_transport.Options().maxRedirects && RedirectAllowed())
    return !FollowsHere(status);
  // Another 3xx with a location is the answer; curl, which would follow it, is stopped here.
  if (!redirect && IsRedirect(status) && a.location)
    return StopAtAnswer(status);
  // Over a kept-open connection curl frames the body by a size header that the size check may
  // not read as a number; then the answer is asked for again and read to its close.
  // A transfer coding frames the body whatever the size header says.
  const bool bodyless = redirect || status == 204 || status == 304;
  if (!m_readToClose && !bodyless && a.framing.Unreadable()) {
    m_framingDiffers = true;
    return false;
  }
  // The answer is this one: a final answer, one redirect too many, or one not to be followed,
  // with which the transfer ends here.
  BeginAnswer(status);
  return ReadsOn(bodyless, redirect);
}

bool Transfer::StopAtAnswer(long status) {
  BeginAnswer(status);
  m_stoppedAtAnswer = true;
  return false;
}

bool Transfer::ReadsOn(bool bodyless, bool redirect) {
  Answer& a = m_answer;
  if (m_refused)
    return false;
  if (!bodyless && !a.framing.Problem().empty()) {
    a.result = CURLE_WEIRD_SERVER_REPLY;
    a.resultText = a.framing.Problem();
    return false;
  }
  if (!bodyless && m_decoding && a.codings.size() > kMostCodings) {
    a.result = CURLE_BAD_CONTENT_ENCODING;
    a.resultText = "more than " + std::to_string(kMostCodings) + " content codings";
    return false;
  }
  if (redirect && m_refusedRedirect.empty()) {
    a.result = CURLE_TOO_MANY_REDIRECTS;
    a.resultText =
        "Maximum (" + std::to_string(m_transport.Options().maxRedirects) + ") redirects followed";
  }
  return m_refusedRedirect.empty();
}

bool Transfer::FollowsHere(long status) {
  // Read to its close, an empty redirect over a connection the server keeps open would be
  // waited on to the stall time: it is whole now. A request of a page's whose Referer the
  // redirect changes, as a browser changes it, goes on with that one.
  const bool empty = m_readToClose && m_answer.framing.Length() == 0;
  if (!empty && m_referringPage.empty())
    return false;
  const std::string target = RedirectTarget(Info().url.c_str(), *m_answer.location).value_or("");
  // What is no web address is not followed, as curl would refuse it once the close came.
  if (!StartsWithNoCase(target, "http://") && !StartsWithNoCase(target, "https://")) {
    if (!empty)
      return false;
    BeginAnswer(status);
    m_answer.result = CURLE_UNSUPPORTED_PROTOCOL;
    m_answer.resultText = "redirected to no web address: " + WithoutLogin(*m_answer.location);
    return true;
  }
  if (empty || BrowserReferrer(m_referringPage, target) != m_referrer)
    m_followTarget = target;
  return !m_followTarget.empty();
}

void Transfer::BeginAnswer(long status) {
  Answer& a = m_answer;
  a.complete = true;
  // A compressed file sent as such (an archive labelled with its own coding) is kept as sent,
  // as a request that asked for no coding keeps it; so is a coding not decoded here.
  if (m_decoding && !a.codings.empty() && !CompressedFile(Info().url, ContentType()))
    m_decoder = ContentDecoder::For(a.codings);
  a.encoded = m_decoder != nullptr;
  // A redirect that is the answer (not followed) is framed as any: read to its close, an empty
  // one is whole at once.
  a.expected = status == 204 || status == 304 ? std::nullopt : a.framing.Length();
  a.empty = status == 204 || status == 304 || a.expected == 0;
  m_sink->OnAnswer(Info());
  m_refused = m_sink->RefusesBody();
}

bool Transfer::RedirectAllowed() {
  if (!m_mayRedirect)
    return true;
  char* from = nullptr;
  curl_easy_getinfo(m_easy.get(), CURLINFO_EFFECTIVE_URL, &from);
  std::optional<std::string> target =
      RedirectTarget(from != nullptr ? from : m_url.c_str(), *m_answer.location);
  // What cannot be read as an address is left to curl, which refuses it.
  if (!target || m_mayRedirect(*target))
    return true;
  m_refusedRedirect = *target;
  return false;
}

size_t Transfer::OnBody(char* data, size_t size, size_t count, void* self) {
  auto* transfer = static_cast<Transfer*>(self);
  const size_t total = size * count;
  Politeness& politeness = transfer->m_transport.Polite();
  // Under a rate limit no bytes are taken before the crawl's budget allows; curl holds them.
  if (politeness.RateLimited() && SteadyClock::now() < politeness.NextTake()) {
    transfer->m_pausedUntil = politeness.NextTake();
    if (!transfer->m_waitingSince)
      transfer->m_waitingSince = SteadyClock::now();
    transfer->m_paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  transfer->m_waitingSince.reset();
  Answer& a = transfer->m_answer;
  // A body after an interim answer's headers: that answer is the one there is.
  if (!a.complete)
    transfer->BeginAnswer(transfer->Status());
  size_t n = total;
  // Bytes past the announced length are not the file's.
  if (a.expected)
    n = static_cast<size_t>(
        std::clamp<int64_t>(*a.expected - transfer->m_received, 0, static_cast<int64_t>(total)));
  if (n > 0) {
    const size_t taken = transfer->TakeBody(data, n);
    if (taken != n)
      return taken;
  }
  transfer->m_received += static_cast<int64_t>(n);
  transfer->m_lastData = SteadyClock::now();
  if (politeness.RateLimited() && total > 0)
    politeness.TakeBytes(total);
  return total;
}

// Hands body bytes on, decoded where they are compressed: n when all were taken, 0 to end the
// transfer, CURL_WRITEFUNC_PAUSE to have them again later.
size_t Transfer::TakeBody(const char* data, size_t n) {
  if (!m_decoder) {
    switch (m_sink->OnBody(data, n)) {
      case TransferSink::Take::All:
        return n;
      case TransferSink::Take::Pause:
        m_paused = true;
        return CURL_WRITEFUNC_PAUSE;
      case TransferSink::Take::Refuse:
        m_refused = true;
        return 0;
    }
  }
  if (m_sink->Full()) {
    m_paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  const ContentDecoder::Result decoded =
      m_decoder->Push(data, n, [this](const char* piece, size_t size) {
        return m_sink->OnBody(piece, size) != TransferSink::Take::Refuse;
      });
  if (decoded == ContentDecoder::Result::Refused) {
    m_refused = true;
    return 0;
  }
  if (decoded == ContentDecoder::Result::Invalid) {
    m_answer.result = CURLE_BAD_CONTENT_ENCODING;
    m_answer.resultText = "the compressed answer could not be decoded";
    return 0;
  }
  return n;
}

TransferResult Transfer::Finish(CURLcode code, bool stalled) {
  TransferResult result = Outcome(code, stalled);
  m_login.Taken(m_transport, Info().url, result.status, m_challengeAnswered, m_digestAsked);
  switch (result.end) {
    case TransferEnd::Complete:
      m_wire.End(m_stoppedAtAnswer ? WireCut::Unspecified : WireCut::None);
      break;
    case TransferEnd::Refused:
      m_wire.End(WireCut::Length);
      break;
    case TransferEnd::RedirectRefused:
      m_wire.End(WireCut::Unspecified);
      break;
    default:
      m_wire.End(stalled ? WireCut::Time : WireCut::Disconnect);
  }
  return result;
}

TransferResult Transfer::Outcome(CURLcode code, bool stalled) {
  TransferResult result;
  result.status = Status();
  const Answer& a = m_answer;
  result.retryAfter = a.retryAfter;
  long version = 0;
  if (m_easy && curl_easy_getinfo(m_easy.get(), CURLINFO_HTTP_VERSION, &version) == CURLE_OK)
    result.multiplexed = version == CURL_HTTP_VERSION_2_0 || version == CURL_HTTP_VERSION_3;
  if (m_decoder)
    result.wireBytes = m_received;
  if (m_refused) {
    result.end = TransferEnd::Refused;
    return result;
  }
  if (!m_refusedRedirect.empty()) {
    result.end = TransferEnd::RedirectRefused;
    result.text = m_refusedRedirect;
    return result;
  }
  if (m_stoppedAtAnswer)
    return result;
  std::string text = a.resultText;
  code = EndCode(code, stalled, text);
  if (code == CURLE_OK)
    return result;
  if (text.empty())
    text =
        m_errorBuffer[0] != '\0' ? std::string(TrimSpace(m_errorBuffer)) : curl_easy_strerror(code);
  // The server answered (a redirect followed from here included): what went wrong after is this
  // file's failure, not the network's.
  const bool answered = a.statusLine || m_redirectsBefore > 0;
  result.end = answered ? TransferEnd::Broken : TransferEnd::Failed;
  if (a.statusLine && !a.complete)
    result.sizeHeader = a.framing.SizeText();
  result.redirectLimit = code == CURLE_TOO_MANY_REDIRECTS;
  if (!answered && !stalled)
    NoteUnreachable(result, code);
  result.text = text;
  return result;
}

CURLcode Transfer::EndCode(CURLcode code, bool stalled, std::string& text) const {
  const Answer& a = m_answer;
  if (stalled) {
    code = CURLE_OPERATION_TIMEDOUT;
    text = StallText(m_transport.Options().stallTimeoutMs);
  } else if (a.result != CURLE_OK) {
    code = a.result;
  } else if (code == CURLE_OK && !a.complete) {
    code = CURLE_PARTIAL_FILE;
    text = "the answer ended inside its headers";
  } else if (code == CURLE_OK && a.expected && m_received < *a.expected) {
    code = CURLE_PARTIAL_FILE;
    text = "transfer closed with " + std::to_string(*a.expected - m_received) +
           " bytes remaining to read";
  } else if (code == CURLE_OK && m_decoder && m_received > 0 && !m_decoder->Finished()) {
    // Framed whole, yet the compressed stream stops short: the file would be cut.
    code = CURLE_PARTIAL_FILE;
    text = "the compressed answer ended before its end";
  }
  return code;
}
