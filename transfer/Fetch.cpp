// Fetch(): the transfer of one download, over one or several connections of
// a libcurl multi handle driven by the calling worker thread alone. The
// contract is in Download.h; this file holds how it is kept.
//
// Each connection owns a piece [pos, end) of the file while it transfers and
// writes what arrives at its offset; bytes on disk are in state.onDisk. A
// start over (the server's answers disagree about the file) raises the epoch:
// every connection of an older epoch is stopped and none of its bytes is
// written any more, so no two versions ever meet in the file.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/PartFile.h"
#include "platform/Text.h"
#include "transfer/Download.h"
#include "transfer/FilePlacement.h"
#include "transfer/HttpAnswer.h"
#include "transfer/Retry.h"

namespace transfer {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// No piece is split below this, and a file is only split from 4 of them on.
constexpr std::uint64_t kMinPiece = 1u << 20;
constexpr std::uint64_t kMinSplitSize = 4 * kMinPiece;
// The end of a piece whose file has no known size yet.
constexpr std::uint64_t kOpenEnd = UINT64_MAX;
constexpr long kMaxRedirects = 20;

// Every chunk's report tests the stop event. While no chunk arrives, the loop
// tests it instead, but only when no test happened for this long: the end of
// a body often arrives just after its last chunk, and a signal arriving then
// belongs to the completion report, which consumes it without cancelling.
constexpr auto kIdleStopTest = 250ms;
// The longest the loop sleeps while nothing arrives.
constexpr auto kPollInterval = 100ms;
constexpr auto kStateReportInterval = 2s;

bool CurlReady() {
  static std::once_flag once;
  static CURLcode result = CURLE_FAILED_INIT;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return result == CURLE_OK;
}

bool IsSuccess(long status) { return status >= 200 && status <= 299; }

std::uint32_t WriteFailure(std::uint32_t error) {
  return platform::IsOutOfSpace(error) ? kErrDiskFull : kErrWriteFault;
}

// Failures of the network on the way, as opposed to a URL or a setup that
// can never work.
bool IsTransientCurlCode(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_SSL_CONNECT_ERROR:
      return true;
    default:
      return false;
  }
}

// What a connection that never opened tells the user.
FailureReason ReasonOfCurlCode(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return FailureReason::ServerNotFound;
    case CURLE_COULDNT_CONNECT:
      return FailureReason::ConnectionRefused;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
      return FailureReason::ConnectionLost;
    case CURLE_OPERATION_TIMEDOUT:
      return FailureReason::TimedOut;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
      return FailureReason::SecureConnection;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return FailureReason::BadAddress;
    default:
      return FailureReason::Unknown;
  }
}

// A control character would end the header line early and let the page's
// value add lines of its own, so the value ends before the first one.
std::string HeaderValue(const std::u16string& value) {
  const auto end = std::find_if(value.begin(), value.end(), [](char16_t c) { return c < 0x20 || c == 0x7F; });
  return platform::ToUtf8(std::u16string_view(value.data(), static_cast<std::size_t>(end - value.begin())));
}

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct HeaderListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

bool Append(HeaderList& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (!grown) return false;
  list.release();
  list.reset(grown);
  return true;
}

enum class Phase { Idle, Transferring, Waiting, Retired };

// Why a callback stopped a connection's transfer.
enum class Stop {
  None,
  PieceDone,   // its piece is whole; the answer went on beyond it
  Refused,     // a final answer outside 2xx
  Superseded,  // a start over made its answer worthless
  Failed,      // the download's outcome is decided (write failure, cancel)
  Stalled,
  Overrun,     // a 206 body ran past the range its Content-Range announced
};

class Engine;

struct Connection {
  explicit Connection(Engine& engine) : engine(engine) { pending.reserve(kChunkSize); }

  Engine& engine;
  CurlHandle easy;
  HeaderList headers;
  Phase phase = Phase::Idle;
  bool inMulti = false;
  // The epoch of the file version it works for.
  std::uint64_t epoch = 0;
  // The request: its first byte, whether it carried a Range line, whether its
  // answer names the file's version (the first request of a download).
  std::uint64_t requestStart = 0;
  bool ranged = false;
  bool defining = false;
  // The piece: pos is the next byte to write, pending the bytes from pos on
  // that wait for their write.
  std::uint64_t pos = 0;
  std::uint64_t end = kOpenEnd;
  // One past the last byte a 206 announced: nothing beyond it is the
  // server's word about this range, whatever the body goes on to send.
  std::uint64_t announcedEnd = kOpenEnd;
  std::vector<char> pending;
  HttpAnswer answer;
  bool evaluated = false;
  bool accepted = false;
  Stop stop = Stop::None;
  bool gotData = false;  // during the current round of the loop
  Clock::time_point lastByte{};
  Clock::time_point retryAt{};
  // Failed tries in a row, and what this try had to beat to count as progress.
  std::uint32_t failures = 0;
  std::uint64_t attemptBytes = 0;
  std::uint64_t bestAtStart = 0;

  std::uint64_t Frontier() const { return pos + pending.size(); }
  std::uint64_t Remaining() const { return end == kOpenEnd ? kOpenEnd : end - Frontier(); }
  // Whether this try added a byte the file did not hold before it began.
  bool Progressed(std::uint64_t best) const { return attemptBytes > 0 && best > bestAtStart; }
};

class Engine {
 public:
  Engine(DownloadRow& row, const FetchRequest& request, ResumeState& state, const TransferOptions& options,
         const WorkerTexts& texts)
      : row_(row), request_(request), state_(state), options_(options), texts_(texts) {
    options_.connections = std::clamp<std::uint32_t>(options_.connections, 1, kMaxConnections);
    options_.tries = std::max<std::uint32_t>(options_.tries, 1);
    options_.stallMs = std::max<std::uint32_t>(options_.stallMs, 1);
  }

  ~Engine() {
    DetachAll();
    connections_.clear();
    if (multi_) curl_multi_cleanup(multi_);
  }

  std::uint32_t Run();
  FailureReason Reason() const { return reason_; }

  std::size_t OnHeader(Connection& c, const char* data, std::size_t length);
  std::size_t OnBody(Connection& c, const char* data, std::size_t length);

 private:
  bool Setup();
  void Begin();
  Connection* NewConnection();
  void Drive();
  bool Assign(Connection& c);
  void LaunchFresh(Connection& c);
  void LaunchRange(Connection& c, std::uint64_t begin, std::uint64_t end);
  void Launch(Connection& c, const std::vector<std::string>& lines);
  void Detach(Connection& c);
  void DetachAll();
  void ReapSuperseded();
  void Perform();
  void Ended(Connection& c, CURLcode code);
  void Failed(Connection& c, std::uint32_t code, bool transient);
  bool Evaluate(Connection& c);
  bool AcceptFirst(Connection& c);
  void Announce(Connection& c);
  bool SameVersion(const HttpAnswer& answer) const;
  bool OpenPart(bool truncate);
  bool CountStartOver();
  void Supersede();
  void Forget();
  void StartOver();
  bool Store(Connection& c, const char* data, std::size_t length, bool report);
  bool Flush(Connection& c, bool report);
  void FlushQuiet();
  void CheckStalls();
  void TestStop();
  void ShowRetry();
  void Poll();
  void ReportState(bool force);
  bool Complete() const;
  std::uint32_t Finish();

  void Fail(std::uint32_t code) {
    if (!result_) result_ = code;
  }
  bool SplitAllowed() const {
    return options_.connections > 1 && !splitDisabled_ && state_.size && *state_.size >= kMinSplitSize &&
           state_.rangesWork && state_.HasValidator();
  }
  std::uint32_t Wanted() const { return SplitAllowed() ? std::min(options_.connections, limit_) : 1; }
  // An even share of what is left for each wanted connection, at least a piece.
  std::uint64_t Share(std::uint64_t left) const {
    const std::uint64_t wanted = Wanted();
    return std::max(kMinPiece, (left + wanted - 1) / wanted);
  }
  std::uint64_t DisplayTotal() const { return request_.size > 0 ? request_.size : state_.size.value_or(0); }
  std::uint32_t Count(Phase phase) const {
    return static_cast<std::uint32_t>(std::count_if(connections_.begin(), connections_.end(),
                                                    [phase](const auto& c) { return c->phase == phase; }));
  }
  std::uint32_t Live() const { return Count(Phase::Transferring) + Count(Phase::Waiting); }
  bool OthersLive(const Connection& c) const {
    return std::any_of(connections_.begin(), connections_.end(), [&c](const auto& other) {
      return other.get() != &c && (other->phase == Phase::Transferring || other->phase == Phase::Waiting);
    });
  }
  std::vector<ByteRange> FreeGaps(std::uint64_t size) const;

  DownloadRow& row_;
  const FetchRequest& request_;
  ResumeState& state_;
  TransferOptions options_;
  const WorkerTexts& texts_;

  CURLM* multi_ = nullptr;
  std::string url_;
  std::vector<std::string> baseLines_;
  std::vector<std::unique_ptr<Connection>> connections_;
  platform::PartFile file_;

  std::optional<std::uint32_t> result_;
  // What a failure with kDownloadFailed was, in the words of a row.
  FailureReason reason_ = FailureReason::Unknown;
  std::uint64_t epoch_ = 0;
  // The next request must be one from zero without a range (after a start
  // over, or for the first one).
  bool needFresh_ = false;
  // The first request asks "Range: bytes=0-" to learn whether ranges work;
  // not after a start over, which a range answer may have caused.
  bool probe_ = true;
  bool splitDisabled_ = false;
  std::uint32_t limit_ = kMaxConnections;
  std::uint32_t startOvers_ = 0;
  // A body of unknown length has ended: the file is what arrived.
  bool streamEnded_ = false;
  // The most bytes ever on disk: a try that passes it has made progress.
  std::uint64_t best_ = 0;
  Clock::time_point lastStopTest_ = Clock::now();
  Clock::time_point lastStateReport_ = Clock::now();
  std::uint64_t stateChanges_ = 0;
  std::uint64_t reportedChanges_ = 0;
  std::u16string retryShown_;
};

std::size_t OnHeaderCallback(char* data, std::size_t, std::size_t length, void* connection) {
  auto* c = static_cast<Connection*>(connection);
  return c->engine.OnHeader(*c, data, length);
}

std::size_t OnBodyCallback(char* data, std::size_t, std::size_t length, void* connection) {
  auto* c = static_cast<Connection*>(connection);
  return c->engine.OnBody(*c, data, length);
}

bool Engine::Setup() {
  if (!CurlReady() || !(multi_ = curl_multi_init())) {
    Fail(kDownloadFailed);
    return false;
  }
  // Each connection its own TCP connection, also over HTTP/2: servers limit
  // the speed per connection, which one multiplexed connection would share.
  curl_multi_setopt(multi_, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_NOTHING));
  if (const std::string value = HeaderValue(request_.cookie); !value.empty()) {
    baseLines_.push_back("Cookie: " + value);
  }
  if (const std::string value = HeaderValue(request_.referer); !value.empty()) {
    baseLines_.push_back("Referer: " + value);
    baseLines_.push_back("Referrer: " + value);
  }
  url_ = platform::ToUtf8(request_.url);
  return true;
}

Connection* Engine::NewConnection() {
  auto c = std::make_unique<Connection>(*this);
  c->easy.reset(curl_easy_init());
  CURL* h = c->easy.get();
  // No cookie file is named, so libcurl's cookie engine stays off; proxies
  // come from the environment and certificates from the system by default.
  const bool configured =
      h && curl_easy_setopt(h, CURLOPT_URL, url_.c_str()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_USERAGENT, "Vexaro") == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(kChunkSize)) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnBodyCallback) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_WRITEDATA, c.get()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, OnHeaderCallback) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_HEADERDATA, c.get()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_PRIVATE, c.get()) == CURLE_OK;
  if (!configured) {
    Fail(kDownloadFailed);
    return nullptr;
  }
  connections_.push_back(std::move(c));
  return connections_.back().get();
}

void Engine::Begin() {
  if (state_.CanContinue()) {
    // The file must still hold what the state lists.
    const std::uint64_t listed = state_.onDisk.Ranges().back().end;
    if (!file_.Open(state_.partPath, false)) {
      Fail(kDownloadFailed);
      return;
    }
    const long long held = file_.Size();
    if (held >= 0 && static_cast<std::uint64_t>(held) >= listed) {
      probe_ = false;
      best_ = state_.onDisk.Total();
      return;
    }
    Forget();
  } else {
    state_.ForgetVersion();
  }
  needFresh_ = true;
}

void Engine::Launch(Connection& c, const std::vector<std::string>& lines) {
  HeaderList list;
  for (const std::string& line : baseLines_) {
    if (!Append(list, line)) return Fail(kDownloadFailed);
  }
  for (const std::string& line : lines) {
    if (!Append(list, line)) return Fail(kDownloadFailed);
  }
  curl_easy_setopt(c.easy.get(), CURLOPT_HTTPHEADER, list.get());
  c.headers = std::move(list);
  c.answer = HttpAnswer();
  c.evaluated = false;
  c.accepted = false;
  c.stop = Stop::None;
  c.announcedEnd = kOpenEnd;
  c.pending.clear();
  c.epoch = epoch_;
  c.attemptBytes = 0;
  c.bestAtStart = best_;
  c.lastByte = Clock::now();
  if (curl_multi_add_handle(multi_, c.easy.get()) != CURLM_OK) return Fail(kDownloadFailed);
  c.inMulti = true;
  c.phase = Phase::Transferring;
}

void Engine::LaunchFresh(Connection& c) {
  c.ranged = probe_;
  c.defining = true;
  c.requestStart = 0;
  c.pos = 0;
  c.end = kOpenEnd;
  Launch(c, probe_ ? std::vector<std::string>{"Range: bytes=0-"} : std::vector<std::string>{});
}

void Engine::LaunchRange(Connection& c, std::uint64_t begin, std::uint64_t end) {
  std::string range = "Range: bytes=" + std::to_string(begin) + "-";
  // A piece that runs to the end of the file asks for "the rest": also what
  // a server whose file grew would send of the same version.
  if (end != kOpenEnd && !(state_.size && end >= *state_.size)) range += std::to_string(end - 1);
  std::vector<std::string> lines{range};
  lines.push_back("If-Range: " + (!state_.etag.empty() ? state_.etag : state_.lastModified));
  c.ranged = true;
  c.defining = false;
  c.requestStart = begin;
  c.pos = begin;
  c.end = end;
  Launch(c, lines);
}

void Engine::Detach(Connection& c) {
  if (c.inMulti) curl_multi_remove_handle(multi_, c.easy.get());
  c.inMulti = false;
}

void Engine::DetachAll() {
  for (auto& c : connections_) Detach(*c);
}

void Engine::ReapSuperseded() {
  for (auto& c : connections_) {
    if (c->phase == Phase::Transferring && c->epoch != epoch_) {
      Detach(*c);
      c->pending.clear();
      c->phase = Phase::Idle;
    }
  }
}

std::vector<ByteRange> Engine::FreeGaps(std::uint64_t size) const {
  std::vector<ByteRange> gaps = state_.onDisk.Gaps(size);
  for (const auto& c : connections_) {
    if (c->phase != Phase::Transferring || c->end == kOpenEnd) continue;
    std::vector<ByteRange> left;
    for (const ByteRange& g : gaps) {
      if (c->end <= g.begin || c->pos >= g.end) {
        left.push_back(g);
        continue;
      }
      if (g.begin < c->pos) left.push_back({g.begin, c->pos});
      if (c->end < g.end) left.push_back({c->end, g.end});
    }
    gaps = std::move(left);
  }
  return gaps;
}

bool Engine::Assign(Connection& c) {
  const bool busy = Count(Phase::Transferring) > 0;
  if (!state_.size || !state_.HasValidator()) {
    // One connection at a time. Its bytes are continued when a validator
    // vouches for them and they are one run from the start.
    if (busy) return false;
    const std::uint64_t from = state_.onDisk.PrefixEnd();
    if (state_.CanContinue() && from > 0 && state_.onDisk.Ranges().size() == 1 &&
        (!state_.size || from < *state_.size)) {
      LaunchRange(c, from, state_.size ? *state_.size : kOpenEnd);
      return true;
    }
    Forget();
    if (result_) return false;
    LaunchFresh(c);
    return true;
  }
  const std::uint64_t size = *state_.size;
  const std::vector<ByteRange> gaps = FreeGaps(size);
  if (!gaps.empty()) {
    const ByteRange gap = gaps.front();
    const std::uint64_t share = Share(size - state_.onDisk.Total());
    const std::uint64_t end = gap.Length() > share + kMinPiece ? gap.begin + share : gap.end;
    LaunchRange(c, gap.begin, end);
    return true;
  }
  if (!SplitAllowed()) return false;
  // The largest piece still running gives its second half away, so the
  // last seconds do not run on one connection.
  Connection* victim = nullptr;
  for (auto& other : connections_) {
    if (other->phase == Phase::Transferring && other->end != kOpenEnd &&
        (!victim || other->Remaining() > victim->Remaining())) {
      victim = other.get();
    }
  }
  if (!victim || victim->Remaining() < 2 * kMinPiece) return false;
  const std::uint64_t middle = victim->Frontier() + victim->Remaining() / 2;
  const std::uint64_t end = victim->end;
  victim->end = middle;
  LaunchRange(c, middle, end);
  return true;
}

void Engine::Drive() {
  if (needFresh_) {
    if (Count(Phase::Transferring) > 0) return;
    needFresh_ = false;
    Connection* c = nullptr;
    for (auto& candidate : connections_) {
      if (candidate->phase == Phase::Idle) {
        c = candidate.get();
        break;
      }
    }
    if (!c) c = NewConnection();
    if (c) LaunchFresh(*c);
    return;
  }
  const Clock::time_point now = Clock::now();
  for (auto& c : connections_) {
    if (result_) return;
    if (c->phase == Phase::Waiting && now >= c->retryAt) {
      c->phase = Phase::Idle;
      Assign(*c);
    }
  }
  // More connections while there is work for them: idle ones first.
  while (!result_ && Live() < Wanted()) {
    Connection* c = nullptr;
    for (auto& candidate : connections_) {
      if (candidate->phase == Phase::Idle) {
        c = candidate.get();
        break;
      }
    }
    if (!c && connections_.size() - Count(Phase::Retired) < Wanted()) c = NewConnection();
    if (!c || !Assign(*c)) break;
  }
  if (!result_ && Live() == 0 && !Complete()) {
    // Nothing runs and nothing waits, yet the file is not whole: never hang.
    Fail(kErrDownloadFailure);
  }
}

std::size_t Engine::OnHeader(Connection& c, const char* data, std::size_t length) {
  if (c.epoch != epoch_ || result_) {
    c.stop = Stop::Superseded;
    return 0;
  }
  c.lastByte = Clock::now();
  const std::string_view line(data, length);
  if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
    c.answer = HttpAnswer();
    c.evaluated = false;
    return length;
  }
  if (c.evaluated) return length;  // trailers
  if (line != "\r\n" && line != "\n") {
    c.answer.Read(line, std::time(nullptr));
    return length;
  }
  long status = 0;
  curl_easy_getinfo(c.easy.get(), CURLINFO_RESPONSE_CODE, &status);
  c.answer.status = status;
  if (status >= 100 && status <= 199) return length;
  // A redirect that libcurl follows; the next answer brings its own headers.
  if (status >= 300 && status <= 399 && status != 304 && c.answer.location) return length;
  c.evaluated = true;
  return Evaluate(c) ? length : 0;
}

bool Engine::Evaluate(Connection& c) {
  const HttpAnswer& a = c.answer;
  if (!IsSuccess(a.status)) {
    if (a.status == 416 && c.ranged) {
      c.stop = Stop::Superseded;
      StartOver();
      return false;
    }
    c.stop = Stop::Refused;
    return false;
  }
  if (a.status == 206) {
    const bool where = c.ranged && a.contentRange && a.contentRange->first == c.requestStart;
    if (where && c.defining) return AcceptFirst(c);
    if (!where || !SameVersion(a)) {
      c.stop = Stop::Superseded;
      StartOver();
      return false;
    }
    c.accepted = true;
    Announce(c);
    return true;
  }
  if (c.defining) return AcceptFirst(c);
  // The whole file where a range was asked for: the server ignores ranges or
  // has another version. This answer becomes the file, from zero.
  if (!CountStartOver()) {
    c.stop = Stop::Failed;
    return false;
  }
  Supersede();
  c.epoch = epoch_;
  c.defining = true;
  return AcceptFirst(c);
}

bool Engine::SameVersion(const HttpAnswer& a) const {
  if (!state_.etag.empty() && !a.etag.empty() && a.etag != state_.etag) return false;
  if (state_.etag.empty() && !a.lastModified.empty() && a.lastModified != state_.lastModified) return false;
  return !(state_.size && a.contentRange->total && *a.contentRange->total != *state_.size);
}

bool Engine::AcceptFirst(Connection& c) {
  const HttpAnswer& a = c.answer;
  const std::optional<std::uint64_t> size = a.status == 206 ? a.contentRange->total : a.contentLength;
  // Report the forgotten bytes before any is written over (ResumeState.h).
  if (!state_.onDisk.Empty()) {
    state_.onDisk.Clear();
    ReportState(true);
  }
  state_.size = size;
  state_.etag = StrongEtag(a.etag);
  state_.lastModified = a.lastModified;
  state_.rangesWork = a.status == 206 || (a.acceptRanges && size.has_value());
  if (!OpenPart(true)) {
    c.stop = Stop::Failed;
    return false;
  }
  state_.partOnDisk = true;
  if (size && !file_.Reserve(*size)) {
    Fail(WriteFailure(platform::LastError()));
    c.stop = Stop::Failed;
    return false;
  }
  ReportState(true);
  c.defining = false;
  c.accepted = true;
  c.pos = 0;
  c.end = size ? *size : kOpenEnd;
  if (SplitAllowed()) c.end = std::min(*size, Share(*size));
  if (a.status == 206) Announce(c);
  return true;
}

void Engine::Announce(Connection& c) {
  const ContentRange& range = *c.answer.contentRange;
  c.announcedEnd = range.last == UINT64_MAX ? kOpenEnd : range.last + 1;
}

bool Engine::OpenPart(bool truncate) {
  if (file_.IsOpen()) {
    if (truncate && !file_.Truncate(0)) {
      Fail(WriteFailure(platform::LastError()));
      return false;
    }
    return true;
  }
  if (!file_.Open(state_.partPath, truncate)) {
    if (!result_) reason_ = FailureReason::CannotCreateFile;
    Fail(kDownloadFailed);
    return false;
  }
  return true;
}

// A start over leaves one connection: the server's answers disagreed, and
// more ranges would only disagree again. A server that never agrees fails
// the download once the tries are spent.
bool Engine::CountStartOver() {
  splitDisabled_ = true;
  probe_ = false;
  if (++startOvers_ > options_.tries) {
    Fail(kErrDownloadFailure);
    return false;
  }
  return true;
}

void Engine::Supersede() {
  ++epoch_;
  for (auto& c : connections_) c->pending.clear();
}

void Engine::Forget() {
  const bool hadBytes = !state_.onDisk.Empty();
  state_.ForgetVersion();
  if (!hadBytes) return;
  ReportState(true);
  if (file_.IsOpen() && !file_.Truncate(0)) Fail(WriteFailure(platform::LastError()));
}

void Engine::StartOver() {
  if (!CountStartOver()) return;
  Supersede();
  Forget();
  needFresh_ = true;
}

std::size_t Engine::OnBody(Connection& c, const char* data, std::size_t length) {
  if (c.epoch != epoch_ || result_ || !c.accepted) {
    c.stop = c.stop == Stop::None ? Stop::Superseded : c.stop;
    return 0;
  }
  c.lastByte = Clock::now();
  c.gotData = true;
  std::size_t used = 0;
  while (used < length) {
    const std::uint64_t at = c.Frontier();
    if (c.end != kOpenEnd && at >= c.end) {
      c.stop = Stop::PieceDone;
      return used;
    }
    if (at >= c.announcedEnd) {
      c.stop = Stop::Overrun;
      return used;
    }
    const std::uint64_t limit = std::min(c.end, c.announcedEnd);
    std::size_t take = std::min(length - used, kChunkSize - c.pending.size());
    if (limit != kOpenEnd) take = static_cast<std::size_t>(std::min<std::uint64_t>(take, limit - at));
    if (c.pending.empty() && take == kChunkSize) {
      // A whole chunk straight from libcurl's buffer, without a copy.
      if (!Store(c, data + used, take, true)) return 0;
    } else {
      c.pending.insert(c.pending.end(), data + used, data + used + take);
      if (c.pending.size() == kChunkSize && !Flush(c, true)) return 0;
    }
    used += take;
    c.attemptBytes += take;
  }
  return length;
}

bool Engine::Store(Connection& c, const char* data, std::size_t length, bool report) {
  if (!file_.WriteAt(data, length, c.pos)) {
    Fail(WriteFailure(platform::LastError()));
    c.stop = Stop::Failed;
    return false;
  }
  state_.onDisk.Add(c.pos, c.pos + length);
  c.pos += length;
  ++stateChanges_;
  const std::uint64_t count = state_.onDisk.Total();
  best_ = std::max(best_, count);
  if (!report) return true;
  lastStopTest_ = Clock::now();
  if (row_.OnProgress(count, DisplayTotal(), kStatusDownloadingData) == kEAbort) {
    Fail(kEAbort);
    c.stop = Stop::Failed;
    return false;
  }
  return true;
}

bool Engine::Flush(Connection& c, bool report) {
  if (c.pending.empty()) return true;
  const bool stored = Store(c, c.pending.data(), c.pending.size(), report);
  c.pending.clear();
  return stored;
}

// Bytes that wait while their connection receives nothing more for a round
// are written and reported now, so a slow connection shows its progress.
void Engine::FlushQuiet() {
  for (auto& c : connections_) {
    if (result_) return;
    if (c->phase == Phase::Transferring && !c->gotData && c->epoch == epoch_) Flush(*c, true);
  }
}

void Engine::Perform() {
  for (auto& c : connections_) c->gotData = false;
  int running = 0;
  curl_multi_perform(multi_, &running);
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    const CURLcode code = message->data.result;
    char* owner = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner);
    auto* c = reinterpret_cast<Connection*>(owner);
    if (!c) continue;
    Detach(*c);
    Ended(*c, code);
  }
}

void Engine::Ended(Connection& c, CURLcode code) {
  c.phase = Phase::Idle;
  if (c.epoch != epoch_) {
    c.pending.clear();
    return;
  }
  if (result_ || c.stop == Stop::Failed) return;
  if (c.accepted && (code == CURLE_OK || c.stop == Stop::PieceDone)) {
    // The last chunk is reported (and may still cancel) only when it is whole.
    if (!Flush(c, true)) return;
    if (c.end == kOpenEnd && (c.announcedEnd == kOpenEnd || c.pos >= c.announcedEnd)) {
      streamEnded_ = true;  // a body of unknown length ends the file
    } else if (c.pos < std::min(c.end, c.announcedEnd)) {
      Failed(c, kErrDownloadFailure, true);  // a body short of what its headers promised
    } else if (c.pos < c.end && !c.Progressed(best_)) {
      // A 206 may announce less than was asked, and the rest is asked for
      // again; but a server that never moves the file on would be asked at
      // once, for ever.
      Failed(c, kErrDownloadFailure, true);
    }
    return;
  }
  // After a failure what arrived is just kept.
  Flush(c, false);
  if (result_) return;
  if (c.stop == Stop::Stalled || code == CURLE_OPERATION_TIMEDOUT) {
    Failed(c, kErrConnectionTimeout, true);
  } else if (code == CURLE_TOO_MANY_REDIRECTS) {
    Failed(c, kErrRedirectFailed, false);
  } else if (c.stop == Stop::Refused) {
    Failed(c, kErrHttpStatusBase + static_cast<std::uint32_t>(c.answer.status), IsTransientStatus(c.answer.status));
  } else if (c.accepted) {
    // After a 2xx header the body was under way: a lost connection or a
    // body short of its Content-Length.
    Failed(c, kErrDownloadFailure, true);
  } else {
    reason_ = ReasonOfCurlCode(code);
    Failed(c, kDownloadFailed, IsTransientCurlCode(code));
  }
}

void Engine::Failed(Connection& c, std::uint32_t code, bool transient) {
  const bool others = OthersLive(c);
  if (!transient) {
    // Servers refuse connections beyond their limit with a 4xx; the download
    // goes on over those that work.
    const bool refusedPiece = c.stop == Stop::Refused && c.answer.status >= 400 && c.answer.status <= 499 &&
                              c.ranged && !c.defining;
    if (others && refusedPiece) {
      c.phase = Phase::Retired;
      limit_ = std::max<std::uint32_t>(1, Live());
      return;
    }
    return Fail(code);
  }
  if (c.Progressed(best_)) c.failures = 0;
  ++c.failures;
  if (c.failures >= options_.tries) {
    if (others) {
      c.phase = Phase::Retired;
      limit_ = std::max<std::uint32_t>(1, Live());
      return;
    }
    return Fail(code);
  }
  c.phase = Phase::Waiting;
  const std::optional<std::uint32_t> retryAfter =
      c.stop == Stop::Refused ? c.answer.retryAfter : std::optional<std::uint32_t>();
  c.retryAt = Clock::now() + RetryPause(c.failures, retryAfter);
}

void Engine::CheckStalls() {
  const Clock::time_point now = Clock::now();
  const auto stall = std::chrono::milliseconds(options_.stallMs);
  for (auto& c : connections_) {
    if (result_) return;
    if (c->phase == Phase::Transferring && c->epoch == epoch_ && now - c->lastByte >= stall) {
      c->stop = Stop::Stalled;
      Detach(*c);
      Ended(*c, CURLE_OPERATION_TIMEDOUT);
    }
  }
}

void Engine::TestStop() {
  const Clock::time_point now = Clock::now();
  if (now - lastStopTest_ < kIdleStopTest) return;
  lastStopTest_ = now;
  if (row_.m_stopEvent.TryWait()) Fail(kEAbort);
}

// While every connection waits for its next try the row says when the next
// one comes; once one runs again it says "Downloading" again.
void Engine::ShowRetry() {
  if (Count(Phase::Transferring) > 0 || needFresh_) {
    if (!retryShown_.empty()) {
      row_.SetStatusText(texts_.downloading + u": " + request_.statusPath);
      retryShown_.clear();
    }
    return;
  }
  const Connection* next = nullptr;
  for (const auto& c : connections_) {
    if (c->phase == Phase::Waiting && (!next || c->retryAt < next->retryAt)) next = c.get();
  }
  if (!next) return;
  const auto left = std::max(next->retryAt - Clock::now(), Clock::duration::zero());
  const auto seconds = std::chrono::ceil<std::chrono::seconds>(left).count();
  const std::u16string text = RetryText(texts_.retrying, static_cast<std::uint32_t>(seconds), next->failures + 1,
                                        options_.tries) +
                              u": " + request_.statusPath;
  if (text != retryShown_) {
    row_.SetStatusText(text);
    retryShown_ = text;
  }
}

void Engine::Poll() {
  auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kPollInterval);
  const Clock::time_point now = Clock::now();
  for (const auto& c : connections_) {
    if (c->phase == Phase::Waiting) {
      wait = std::min(wait, std::max(std::chrono::duration_cast<std::chrono::milliseconds>(c->retryAt - now), 0ms));
    }
  }
  curl_multi_poll(multi_, nullptr, 0, static_cast<int>(wait.count()), nullptr);
}

void Engine::ReportState(bool force) {
  const Clock::time_point now = Clock::now();
  if (!force && (stateChanges_ == reportedChanges_ || now - lastStateReport_ < kStateReportInterval)) return;
  // The report goes into the journal, which a start after a power cut
  // trusts: the bytes it lists must be on the disk before it is. A failed
  // sync keeps the last report, which is.
  if (state_.partOnDisk && file_.IsOpen() && !file_.Sync()) return;
  row_.OnResumeState(state_);
  lastStateReport_ = now;
  reportedChanges_ = stateChanges_;
}

bool Engine::Complete() const {
  if (!state_.partOnDisk) return false;
  if (!state_.size) return streamEnded_;
  return state_.onDisk.Covers(0, *state_.size);
}

std::uint32_t Engine::Finish() {
  DetachAll();
  const std::uint64_t count = state_.onDisk.Total();
  if (!state_.size) state_.size = count;
  if (!file_.Close()) return WriteFailure(platform::LastError());
  // Only a file of exactly the server's size becomes the target.
  const long long held = platform::FileSize(state_.partPath);
  if (held < 0 || static_cast<std::uint64_t>(held) != *state_.size) return kErrDownloadFailure;
  const std::u16string placed = PlaceFinishedFile(state_.partPath, state_.targetPath, request_.replaceTarget);
  if (placed.empty()) {
    reason_ = FailureReason::CannotCreateFile;
    return kDownloadFailed;
  }
  // Another name was free where the user's was taken meanwhile: the row's
  // completion names the file that holds the download.
  if (placed != state_.targetPath && request_.statusPath == state_.targetPath) row_.m_placedPath = placed;
  state_.targetPath = placed;
  state_.partOnDisk = false;
  ReportState(true);
  // Its answer is not looked at: a Cancel after the last chunk comes too
  // late, and this report takes the signal with it.
  row_.OnProgress(count, DisplayTotal(), kStatusEndDownloadData);
  return kSOk;
}

std::uint32_t Engine::Run() {
  if (Setup()) Begin();
  while (!result_) {
    ReapSuperseded();
    if (Complete()) {
      result_ = Finish();
      break;
    }
    Drive();
    if (result_) break;
    ShowRetry();
    Poll();
    Perform();
    if (result_) break;
    FlushQuiet();
    CheckStalls();
    if (result_) break;
    if (!Complete()) TestStop();
    ReportState(false);
  }
  DetachAll();
  // What a pause or a failure keeps is recorded by the caller for a later
  // attempt, possibly after a power cut.
  if (*result_ != kSOk && state_.partOnDisk && file_.IsOpen()) file_.Sync();
  file_.Close();
  return *result_;
}

}  // namespace

std::uint32_t Fetch(DownloadRow& row, const FetchRequest& request, ResumeState& state, const TransferOptions& options,
                    const WorkerTexts& texts, FailureReason* reason) {
  Engine engine(row, request, state, options, texts);
  const std::uint32_t result = engine.Run();
  if (reason) *reason = result == kDownloadFailed ? engine.Reason() : FailureReason::Unknown;
  return result;
}

}  // namespace transfer
