#include "transfer/Download.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/Text.h"
#include "settings/Settings.h"
#include "transfer/Conversion.h"
#include "transfer/Texts.h"

namespace transfer {

namespace {

using Clock = std::chrono::steady_clock;

// Every chunk's report tests the stop event. While no chunk arrives, the idle
// callback (libcurl calls it at least once a second) tests it instead, but only
// when no test happened for this long: libcurl makes one more call right after
// the last chunk, and a signal arriving then belongs to the completion report,
// which consumes it without cancelling.
constexpr auto kIdleStopTest = std::chrono::milliseconds(250);

constexpr long kMaxRedirects = 20;

bool CurlReady() {
  static std::once_flag once;
  static CURLcode result = CURLE_FAILED_INIT;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return result == CURLE_OK;
}

bool IsSuccess(long status) { return status >= 200 && status <= 299; }

std::uint32_t WriteFailure(std::uint32_t error) {
  return error == platform::kErrDiskFull ? kErrDiskFull : kErrWriteFault;
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

// One transfer's state, shared by the libcurl callbacks on the worker thread.
struct Transfer {
  Transfer(DownloadRow& row, CURL* curl, const std::u16string& path, std::uint64_t size, std::uint32_t stallMs)
      : row(row), curl(curl), path(path), size(size), stall(stallMs) {
    pending.reserve(kChunkSize);
  }

  DownloadRow& row;
  CURL* curl;
  const std::u16string& path;
  std::uint64_t size;
  std::chrono::milliseconds stall;

  platform::OutputFile file;
  // The one chunk buffer of the transfer.
  std::vector<char> pending;
  std::uint64_t count = 0;
  std::uint64_t total = 0;
  bool bodyStarted = false;
  // Status of the last complete header block (redirects included).
  long headerStatus = 0;
  // Why a callback stopped the transfer.
  bool cancelled = false;
  bool stalled = false;
  bool openFailed = false;
  long refusedStatus = 0;
  std::uint32_t writeError = 0;
  Clock::time_point lastByte = Clock::now();
  Clock::time_point lastStopTest = Clock::now();

  // The first body byte of the final response: only a 2xx body becomes the
  // file, so an error page neither creates nor truncates it.
  bool StartBody() {
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (!IsSuccess(status)) {
      refusedStatus = status;
      return false;
    }
    total = size;
    if (total == 0) {
      curl_off_t length = -1;
      curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
      if (length > 0) total = static_cast<std::uint64_t>(length);
    }
    if (!file.Open(path)) {
      openFailed = true;
      return false;
    }
    bodyStarted = true;
    return true;
  }

  // Writes the pending chunk; false (writeError set) when that fails.
  bool WritePending() {
    if (pending.empty()) return true;
    if (!file.Write(pending.data(), pending.size())) {
      writeError = WriteFailure(platform::LastError());
      return false;
    }
    count += pending.size();
    pending.clear();
    return true;
  }

  // Writes and reports the pending chunk; false to stop the transfer.
  bool Flush() {
    if (pending.empty()) return true;
    if (!WritePending()) return false;
    lastStopTest = Clock::now();
    if (row.OnProgress(count, total, kStatusDownloadingData) == kEAbort) {
      cancelled = true;
      return false;
    }
    return true;
  }

  // libcurl hands a read over in pieces of at most 16 KiB; they are gathered
  // into chunks of up to 50,000 bytes, one write and one report each, which a
  // full buffer or the end of a read round (Idle) completes.
  bool Body(const char* data, std::size_t length) {
    lastByte = Clock::now();
    if (!bodyStarted && !StartBody()) return false;
    while (length > 0) {
      const std::size_t take = std::min(length, kChunkSize - pending.size());
      pending.insert(pending.end(), data, data + take);
      data += take;
      length -= take;
      if (pending.size() == kChunkSize && !Flush()) return false;
    }
    return true;
  }

  void Header(const char* data, std::size_t length) {
    lastByte = Clock::now();
    const bool blockEnd = (length == 2 && data[0] == '\r' && data[1] == '\n') || (length == 1 && data[0] == '\n');
    if (blockEnd) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &headerStatus);
  }

  // Called after every read round and at least once a second while idle.
  // Returns false to stop the transfer.
  bool Idle() {
    if (!Flush()) return false;
    const Clock::time_point now = Clock::now();
    if (now - lastStopTest >= kIdleStopTest) {
      lastStopTest = now;
      if (row.m_stopEvent.TryWait()) {
        cancelled = true;
        return false;
      }
    }
    if (now - lastByte >= stall) {
      stalled = true;
      return false;
    }
    return true;
  }

  std::uint32_t Outcome(CURLcode result) {
    // The last chunk is reported (and may still cancel) only when the body is
    // whole; after a failure what arrived is just kept in the file.
    if (!cancelled && result == CURLE_OK) Flush();
    else if (!cancelled) WritePending();
    if (cancelled) return kEAbort;
    if (writeError != 0) return writeError;
    if (stalled || result == CURLE_OPERATION_TIMEDOUT) return kErrConnectionTimeout;
    if (openFailed) return kDownloadFailed;
    if (result == CURLE_TOO_MANY_REDIRECTS) return kErrRedirectFailed;
    if (refusedStatus != 0) return kErrHttpStatusBase + static_cast<std::uint32_t>(refusedStatus);
    if (result != CURLE_OK) {
      // After a 2xx header the body was under way: a lost connection or a
      // body short of its Content-Length. Before that the URL never opened.
      return IsSuccess(headerStatus) ? kErrDownloadFailure : kDownloadFailed;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (!IsSuccess(status)) return kErrHttpStatusBase + static_cast<std::uint32_t>(status);
    if (!file.IsOpen() && !file.Open(path)) return kDownloadFailed;
    if (!file.Close()) return WriteFailure(platform::LastError());
    // Its answer is not looked at: a Cancel after the last chunk comes too
    // late, and this report takes the signal with it.
    row.OnProgress(count, total, kStatusEndDownloadData);
    return kSOk;
  }
};

std::size_t OnBody(char* data, std::size_t, std::size_t length, void* transfer) {
  return static_cast<Transfer*>(transfer)->Body(data, length) ? length : 0;
}

std::size_t OnHeader(char* data, std::size_t, std::size_t length, void* transfer) {
  static_cast<Transfer*>(transfer)->Header(data, length);
  return length;
}

int OnIdle(void* transfer, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Transfer*>(transfer)->Idle() ? 0 : 1;
}

}  // namespace

std::uint32_t DownloadToFile(DownloadRow& row, const std::u16string& url, const std::u16string& filePath,
                             std::uint64_t size, const std::u16string& cookie, const std::u16string& referer,
                             std::uint32_t stallMs) {
  if (!CurlReady()) return kDownloadFailed;
  CurlHandle curl(curl_easy_init());
  if (!curl) return kDownloadFailed;

  HeaderList headers;
  bool listed = true;
  if (const std::string value = HeaderValue(cookie); !value.empty()) {
    listed = Append(headers, "Cookie: " + value);
  }
  if (const std::string value = HeaderValue(referer); !value.empty()) {
    listed = listed && Append(headers, "Referer: " + value) && Append(headers, "Referrer: " + value);
  }
  if (!listed) return kDownloadFailed;

  Transfer transfer(row, curl.get(), filePath, size, stallMs);
  const std::string urlText = platform::ToUtf8(url);
  CURL* h = curl.get();
  // No cookie file is named, so libcurl's cookie engine stays off; proxies
  // come from the environment and certificates from the system by default.
  const bool configured =
      curl_easy_setopt(h, CURLOPT_URL, urlText.c_str()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_USERAGENT, "Vexaro") == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(kChunkSize)) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnBody) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, OnHeader) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, OnIdle) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
  if (!configured) return kDownloadFailed;

  transfer.lastByte = transfer.lastStopTest = Clock::now();
  return transfer.Outcome(curl_easy_perform(h));
}

void CopyTexts(DownloadThreadParams& params) {
  localisation::Dictionary* dictionary = params.dictionary;
  if (!dictionary) return;
  WorkerTexts& texts = params.texts;
  texts.downloading = LookupText(dictionary, texts.downloading);
  texts.cancelled = LookupText(dictionary, texts.cancelled);
  texts.reasons = LookupReasonTexts(dictionary);
  // A download that is not converted never shows these; looking them up
  // would only report keys the dictionary lacks.
  if (!params.temporaryPath.empty()) {
    texts.converting = LookupText(dictionary, texts.converting);
    texts.elapsed = LookupText(dictionary, texts.elapsed);
    texts.convertedSize = LookupText(dictionary, texts.convertedSize);
    texts.launchFailed = LookupText(dictionary, texts.launchFailed);
    texts.done = LookupText(dictionary, texts.done);
    texts.conversionCancelled = LookupText(dictionary, texts.conversionCancelled, u"Conversion canceled");
    texts.originalKept = LookupText(dictionary, texts.originalKept, u"Original kept");
  }
  params.dictionary = nullptr;
}

std::uint32_t Download::StartThead(DownloadThreadParams* raw) {
  std::unique_ptr<DownloadThreadParams> params(raw);
  // Callers that run the procedure themselves may leave the copy to it.
  CopyTexts(*params);
  DownloadRow& row = *params->row;
  row.SetStatusText(params->texts.downloading + u": " + params->targetPath);
  row.m_finished = false;

  const std::u16string& file = params->temporaryPath.empty() ? params->targetPath : params->temporaryPath;
  // A conversion whose temporary file could not be named gets the temporary
  // folder itself (see DownloadThreadParams): the row fails as one whose
  // output file cannot be created, before any byte is fetched.
  const bool noTemporaryFile = !params->temporaryPath.empty() && params->temporaryPath.back() == u'/';
  const std::uint32_t r =
      noTemporaryFile
          ? kDownloadFailed
          : DownloadToFile(row, params->url, file, params->size, params->cookie, params->referer, params->stallMs);
  if (r != kSOk) {
    settings::ReportError(r, settings::errors::kTransferFailed);
    if (r != kEAbort) row.m_failed = true;
    const std::u16string failure =
        r == kEAbort ? params->texts.cancelled : FailureText(FailureOfCode(r), params->texts.reasons);
    row.SetStatusText(failure + u": " + params->targetPath);
    row.HideCancel();
  } else if (!params->temporaryPath.empty()) {
    RunConversion(*params);
  }

  row.m_finished = true;
  row.NotifyFinished();
  params.reset();
  row.m_workerDone = true;
  return 1;
}

bool Download::Start(DownloadThreadParams* params) {
  CopyTexts(*params);
  try {
    std::thread(&Download::StartThead, params).detach();
    return true;
  } catch (const std::system_error&) {
    delete params;
    return false;
  }
}

}  // namespace transfer
