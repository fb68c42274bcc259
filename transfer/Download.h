// The transfer worker: one thread per download row fetches the row's URL over
// HTTP into a file, shows the outcome on the row, runs the conversion when
// one was chosen, and tells the manager dialog that the row has finished.
//
// Calling sequence: the row fills a new DownloadThreadParams and hands it to
// Download::Start (or runs Download::StartThead on a thread of its own). The
// worker owns the params from then on and deletes them. It talks to the row
// only through DownloadRow (see DownloadRow.h for threads and lifetime).
//
// HTTP: libcurl's multi interface, driven by the worker thread alone. User
// agent "Vexaro"; the lines "Cookie: " and "Referer: " / "Referrer: " only for
// non-empty values, each cut at its first control character so a value
// cannot add header lines; redirects followed (at most 20); http and https
// only; no cookie engine; proxies from the standard environment variables; the
// system's certificates; the body arrives in chunks of at most 50,000 bytes
// per connection, each written and reported through DownloadRow::OnProgress
// with the count of all bytes on disk.
//
// Files: the bytes go to an unfinished file beside the download's file
// (PartPathFor: "clip.flv.vxpart"; for a conversion the temporary file's,
// "vx_1A.flv.vxpart"), reserved to the server's size when it is known, and
// renamed onto the file only when complete (of exactly that size). Until then
// an existing file of that name stays as it was. After a failure or a Cancel
// the worker removes the unfinished file.
//
// Retry and resume: a transient failure (connection refused or reset, a body
// cut short, a stall, HTTP 408, 429, 500, 502, 503, 504) is tried again after
// 1, 2, 4 ... s (at most 60 s, or the server's Retry-After within that bound),
// up to the tries of TransferOptions; a try that brought new bytes starts the
// count again. Meanwhile the status line reads the MANAGER_STATUS_RETRYING text
// (RetryText) + ": " + target, and "Downloading" again once the next try
// starts. The next try asks for the missing bytes only (Range, with If-Range:
// the first answer's strong ETag, else its Last-Modified) and appends only a
// 206 whose Content-Range starts there and agrees with the file's version; a
// 200, a 416 or another version starts the file over from zero, so it never
// mixes two versions. Without a validator the bytes cannot be continued and a
// new try starts from zero.
//
// Connections: when the first answer shows ranges work (a 206 to "Range:
// bytes=0-", or "Accept-Ranges: bytes" with a size), the file has a validator
// and is at least 4 MiB, it is split over up to TransferOptions::connections
// connections, each writing its piece at its offset. A connection that ends
// its piece takes a piece nobody has or splits the largest one left (no piece
// below 1 MiB). Each connection retries and continues on its own; one whose
// tries are spent while others still work drops out, as does one refused with
// a 4xx (servers limit connections so), and the download fails only with its
// last connection. After a start over the rest runs on one connection.
//
// Result codes of DownloadToFile, in the platform's status-code style:
//   0                          the whole body was received and written
//   kEAbort (0x80004004)       cancelled through the row's stop event
//   kDownloadFailed (1)        no HTTP session, the URL could not be opened,
//                              or the output file could not be created
//   0x80190000 + HTTP status   a final response outside 2xx (0x80190194: 404)
//   kErrDownloadFailure        the connection failed mid-body or the body was
//                              shorter than its Content-Length
//   kErrConnectionTimeout      no byte arrived for the stall time
//   kErrRedirectFailed         more than 20 redirects
//   kErrDiskFull / kErrWriteFault  reserving or writing the file failed
// A failure that was retried reports the code of its last try.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "transfer/DownloadRow.h"
#include "transfer/Texts.h"
#include "transfer/ResumeState.h"
#include "transfer/TransferOptions.h"

namespace localisation {
class Dictionary;
}

namespace transfer {

inline constexpr std::uint32_t kDownloadFailed = 1;
inline constexpr std::uint32_t kErrHttpStatusBase = 0x80190000u;     // HTTP_E_STATUS_*
inline constexpr std::uint32_t kErrDownloadFailure = 0x800C0008u;    // INET_E_DOWNLOAD_FAILURE
inline constexpr std::uint32_t kErrConnectionTimeout = 0x800C000Bu;  // INET_E_CONNECTION_TIMEOUT
inline constexpr std::uint32_t kErrRedirectFailed = 0x800C0014u;     // INET_E_REDIRECT_FAILED
inline constexpr std::uint32_t kErrDiskFull = 0x80070070u;           // ERROR_DISK_FULL
inline constexpr std::uint32_t kErrWriteFault = 0x8007001Du;         // ERROR_WRITE_FAULT

inline constexpr std::size_t kChunkSize = 50000;

// WM_DOWNLOAD_FINISHED (WM_APP + 1): what DownloadRow::NotifyFinished stands for.
inline constexpr std::uint32_t WM_DOWNLOAD_FINISHED = 0x8001;

// The dictionary texts a worker shows. Copied before the worker runs (see
// DownloadThreadParams::dictionary): the launch sequence destroys the
// Dictionary when the manager dialog closes, while a converter may still run.
// Without a dictionary each text is its key, as for a text the dictionary
// lacks.
struct WorkerTexts {
  std::u16string downloading = u"MANAGER_STATUS_DOWNLOADING";
  std::u16string cancelled = u"MANAGER_ERROR_DOWNLOAD_CANCELED";
  std::u16string converting = u"MANAGER_STATUS_CONVERTING";
  std::u16string elapsed = u"MANAGER_CONVERSION_TIME_ELAPSED";
  std::u16string convertedSize = u"MANAGER_CONVERSION_CONVERTED_SIZE";
  std::u16string launchFailed = u"DOWNLOAD_FILE_STATUS_ERROR_LAUNCH";
  std::u16string done = u"MANAGER_STATUS_DONE";
  std::u16string conversionCancelled = u"MANAGER_ERROR_CONVERSION_CANCELED";
  std::u16string originalKept = u"MANAGER_ORIGINAL_KEPT";
  // A failure's words; English until looked up.
  ReasonTexts reasons = LookupReasonTexts(nullptr);
  // With %1 seconds, %2 the coming try, %3 the tries (see RetryText).
  std::u16string retrying = u"MANAGER_STATUS_RETRYING";
  std::u16string paused = u"MANAGER_STATUS_PAUSED";
  // A continued download whose bytes the server cannot continue.
  std::u16string startingOver = u"MANAGER_STATUS_STARTING_OVER";
};

// Lifetime: the row must outlive the worker, including a conversion that runs
// to its end: the converter runs on whatever happens to the row, and the
// worker writes to the row until it ends. The owner keeps the row until its
// m_workerDone is set. The dictionary is only read before the worker starts.
struct DownloadThreadParams {
  DownloadRow* row = nullptr;
  std::u16string url;
  // The user's file: the final result, written at exactly this name. The
  // worker follows no link here: a link met at the name is an entry in the
  // way (replaced itself with replaceTarget, else stepped around to a
  // numbered name). A caller whose user may save onto a link of their own
  // resolves it first, as the Save-As offer does (platform::WrittenPath), so
  // that the row and its journal entry name the file the bytes go to.
  std::u16string targetPath;
  // Receives the raw download when converting; empty otherwise. A folder
  // (ending in '/') stands for a conversion whose temporary file could not be
  // named: the row fails (kDownloadFailed) without fetching anything, rather
  // than fetching unconverted bytes into the target's name.
  std::u16string temporaryPath;
  // Converter options; empty when not converting.
  std::u16string conversionArguments;
  // The user agreed to replace an existing file at targetPath (the Save-As
  // question was asked about it). Without that agreement the result of a
  // conversion never replaces a file; it takes a free numbered name.
  bool replaceTarget = false;
  // The download's own extension (without '.'), under which the conversion
  // runner keeps the download when converting fails; may be empty.
  std::u16string nativeExtension;
  // Source of the row's texts; without one the keys are shown. CopyTexts()
  // moves what the worker needs into `texts` and clears this pointer:
  // Download::Start does it on the calling thread, before the thread exists.
  localisation::Dictionary* dictionary = nullptr;
  WorkerTexts texts;
  // Expected size from the command line; 0 = take Content-Length.
  std::uint64_t size = 0;
  std::u16string cookie;
  std::u16string referer;
  // 0 takes the value of settings.ini (TransferOptions) when the worker
  // starts. No byte for stallMs counts as a stall (kErrConnectionTimeout).
  std::uint32_t connections = 0;
  std::uint32_t tries = 0;
  std::uint32_t stallMs = 0;
  // An unfinished download to continue (its partPath must be the unfinished
  // file of the file this download goes to); empty for a fresh one. For a
  // conversion, a state whose transfer was over (the temporary file placed,
  // nothing unfinished) goes straight to the converter while that file is
  // still there at the size the state names: a program ended during a
  // conversion does not fetch the file again.
  std::optional<ResumeState> resume;
  // After a failed transfer the unfinished file stays (with its last
  // reported state) for a new try, and the row is m_retryable; its owner
  // removes it when it gives the download up. Otherwise it goes at once.
  bool keepUnfinished = false;
};

// The status line of a failed download before ": " + target path: the
// cancel text for kEAbort, else "Error: %u (0x%8.8x)" of the code followed by
// its reason in words (FailureText): reason when the transfer knew one, else
// what the code alone tells. The one place that composes it.
std::u16string FailureStatusText(std::uint32_t code, const WorkerTexts& texts,
                                 FailureReason reason = FailureReason::Unknown);

// Fills params.texts from params.dictionary (the conversion texts only when
// converting) and clears the pointer; nothing when it is already clear.
void CopyTexts(DownloadThreadParams& params);

class Download {
 public:
  // Thread procedure: downloads, reports, converts, marks the row finished
  // and notifies. Deletes params. Returns 1 on every way out.
  static std::uint32_t StartThead(DownloadThreadParams* params);

  // Copies the texts (CopyTexts), then runs StartThead on a new detached
  // thread. False when no thread could be made; params are then deleted and
  // the row is left as it was (never finished, no worker to wait for).
  static bool Start(DownloadThreadParams* params);
};

// What one fetch needs besides its ResumeState.
struct FetchRequest {
  std::u16string url;
  std::u16string cookie;
  std::u16string referer;
  // The total shown on the row: the size from the command line, or 0 to show
  // the server's.
  std::uint64_t size = 0;
  // The path after the status words ("Retrying in 1 s ...: <statusPath>").
  std::u16string statusPath;
  // An existing file at the target may be replaced (the user agreed, or named
  // it outright); otherwise the finished file takes a free numbered name
  // beside it (see PlaceFinishedFile), and when the target is the row's own,
  // the row's completion text names that one.
  bool replaceTarget = true;
};

// Fetches request.url into state.targetPath on behalf of row, continuing
// from what state says is on disk (a fresh state starts from nothing), with
// the retries and connections above. Reports every chunk and the completion
// through row.OnProgress, and state changes through row.OnResumeState. On
// success the file is complete and the unfinished file gone; otherwise the
// unfinished file is left as state describes it: state.onDisk lists exactly
// the bytes written (bytes still in a connection's buffer are not), so a
// later Fetch from a copy of it continues correctly. DiscardUnfinished
// removes the file; a pause would stop the same way and keep it. Returns a
// code above.
// reason, when given, receives the words of a kDownloadFailed (the server
// not found, the connection refused, the file not created ...).
std::uint32_t Fetch(DownloadRow& row, const FetchRequest& request, ResumeState& state, const TransferOptions& options,
                    const WorkerTexts& texts, FailureReason* reason = nullptr);

// Removes the unfinished file of state, if any, and tells the row.
void DiscardUnfinished(DownloadRow& row, ResumeState& state);

// Fetches url into filePath, or into the file a link of this user's there
// leads to (Fetch from a fresh state, then DiscardUnfinished on failure).
// size 0 shows the total from the server's answer (0 when it has none).
// Returns a code above.
std::uint32_t DownloadToFile(DownloadRow& row, const std::u16string& url, const std::u16string& filePath,
                             std::uint64_t size, const std::u16string& cookie, const std::u16string& referer,
                             const TransferOptions& options, const WorkerTexts& texts = WorkerTexts());
// The same with the default options and the given stall time.
std::uint32_t DownloadToFile(DownloadRow& row, const std::u16string& url, const std::u16string& filePath,
                             std::uint64_t size, const std::u16string& cookie, const std::u16string& referer,
                             std::uint32_t stallMs = kDefaultStallMs);

}  // namespace transfer
