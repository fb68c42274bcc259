// The transfer worker: one thread per download row fetches the row's URL over
// HTTP into a file, shows the outcome on the row, runs the conversion when
// one was chosen, and tells the manager dialog that the row has finished.
//
// Calling sequence: the row fills a new DownloadThreadParams and hands it to
// Download::Start (or runs Download::StartThead on a thread of its own). The
// worker owns the params from then on and deletes them. It talks to the row
// only through DownloadRow (see DownloadRow.h for threads and lifetime).
//
// HTTP: libcurl, one easy handle per transfer. User agent "Vexaro"; the lines
// "Cookie: " and "Referer: " / "Referrer: " only for non-empty values, each cut
// at its first control character so a value cannot add header lines;
// redirects followed (at most 20); http and https only; no cookie engine;
// proxies from the standard environment variables; the system's certificates;
// the body arrives in chunks of at most 50,000 bytes, each reported through
// DownloadRow::OnProgress.
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
//   kErrDiskFull / kErrWriteFault  writing the file failed
// The output file is created (or truncated) only when the first body byte of
// a 2xx response arrives, or at the end for an empty 2xx body, so a failing
// request leaves an existing file as it was. After a failure in mid-body the
// partial file stays; the worker deletes nothing.
#pragma once

#include <cstdint>
#include <string>

#include "transfer/DownloadRow.h"
#include "transfer/Texts.h"

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
inline constexpr std::uint32_t kDefaultStallMs = 60000;

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
};

// Lifetime: the row must outlive the worker, including a conversion that runs
// to its end: the converter runs on whatever happens to the row, and the
// worker writes to the row until it ends. The owner keeps the row until its
// m_workerDone is set. The dictionary is only read before the worker starts.
struct DownloadThreadParams {
  DownloadRow* row = nullptr;
  std::u16string url;
  // The user's file: the final result.
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
  // No byte for this long fails the transfer (kErrConnectionTimeout).
  std::uint32_t stallMs = kDefaultStallMs;
};

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

// Fetches url into filePath on behalf of row, reporting every chunk and the
// completion through row.OnProgress. size 0 takes the total from the
// response's Content-Length (0 when it has none). Returns a code above.
std::uint32_t DownloadToFile(DownloadRow& row, const std::u16string& url, const std::u16string& filePath,
                             std::uint64_t size, const std::u16string& cookie, const std::u16string& referer,
                             std::uint32_t stallMs = kDefaultStallMs);

}  // namespace transfer
