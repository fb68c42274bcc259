#include "transfer/Download.h"

#include <algorithm>
#include <memory>
#include <system_error>
#include <thread>

#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/Text.h"
#include "settings/Settings.h"
#include "transfer/Conversion.h"
#include "transfer/Texts.h"

namespace transfer {

namespace {

// Values left at 0 in the params come from settings.ini.
TransferOptions ResolveOptions(const DownloadThreadParams& params) {
  TransferOptions options;
  if (params.connections == 0 || params.tries == 0 || params.stallMs == 0) options = LoadTransferOptions();
  if (params.connections != 0) options.connections = std::min(params.connections, kMaxConnections);
  if (params.tries != 0) options.tries = params.tries;
  if (params.stallMs != 0) options.stallMs = params.stallMs;
  return options;
}

}  // namespace

std::u16string FailureStatusText(std::uint32_t code, const WorkerTexts& texts, FailureReason reason) {
  if (code == kEAbort) return texts.cancelled;
  const Failure failure = reason == FailureReason::Unknown ? FailureOfCode(code) : Failure{code, reason, 0};
  return FailureText(failure, texts.reasons);
}

void DiscardUnfinished(DownloadRow& row, ResumeState& state) {
  if (!state.partOnDisk) return;
  platform::RemoveFile(state.partPath);
  state.partOnDisk = false;
  state.onDisk.Clear();
  row.OnResumeState(state);
}

std::uint32_t DownloadToFile(DownloadRow& row, const std::u16string& url, const std::u16string& filePath,
                             std::uint64_t size, const std::u16string& cookie, const std::u16string& referer,
                             const TransferOptions& options, const WorkerTexts& texts) {
  ResumeState state = FreshState(url, platform::WrittenPath(filePath));
  const FetchRequest request{url, cookie, referer, size, filePath};
  const std::uint32_t result = Fetch(row, request, state, options, texts);
  if (result != kSOk) DiscardUnfinished(row, state);
  return result;
}

std::uint32_t DownloadToFile(DownloadRow& row, const std::u16string& url, const std::u16string& filePath,
                             std::uint64_t size, const std::u16string& cookie, const std::u16string& referer,
                             std::uint32_t stallMs) {
  TransferOptions options;
  options.stallMs = stallMs;
  return DownloadToFile(row, url, filePath, size, cookie, referer, options);
}

void CopyTexts(DownloadThreadParams& params) {
  localisation::Dictionary* dictionary = params.dictionary;
  if (!dictionary) return;
  WorkerTexts& texts = params.texts;
  texts.downloading = LookupText(dictionary, texts.downloading);
  texts.cancelled = LookupText(dictionary, texts.cancelled);
  texts.reasons = LookupReasonTexts(dictionary);
  texts.retrying = LookupText(dictionary, texts.retrying, u"Retrying in %1 s (attempt %2 of %3)");
  texts.paused = LookupText(dictionary, texts.paused, u"Paused");
  texts.startingOver = LookupText(dictionary, texts.startingOver, u"Starting over, the server cannot resume");
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
  // Bytes on disk that the server cannot continue are fetched again whole;
  // the user should know why the bar starts from nothing.
  const bool startsOver =
      params->resume && params->resume->partOnDisk && !params->resume->onDisk.Empty() && !params->resume->CanContinue();
  row.SetStatusText((startsOver ? params->texts.startingOver : params->texts.downloading) + u": " +
                    params->targetPath);
  row.m_finished = false;
  row.m_failed = false;
  row.m_retryable = false;
  row.m_cancelled = false;

  const std::u16string file = FetchedPath(params->targetPath, params->temporaryPath);
  // A conversion whose temporary file could not be named gets the temporary
  // folder itself (see DownloadThreadParams): the row fails as one whose
  // output file cannot be created, before any byte is fetched.
  const bool noTemporaryFile = !params->temporaryPath.empty() && params->temporaryPath.back() == u'/';
  std::uint32_t r = kDownloadFailed;
  FailureReason reason = noTemporaryFile ? FailureReason::CannotCreateFile : FailureReason::Unknown;
  std::u16string placed;
  const bool fetched = !noTemporaryFile && !params->temporaryPath.empty() && params->resume &&
                       IsPlacedAt(*params->resume, file) &&
                       platform::FileSize(file) == static_cast<long long>(*params->resume->size);
  if (fetched) {
    r = kSOk;
  } else if (!noTemporaryFile) {
    const TransferOptions options = ResolveOptions(*params);
    ResumeState state = params->resume && params->resume->partOnDisk ? *params->resume : FreshState(params->url, file);
    // The raw download of a conversion goes to a name of our own.
    const FetchRequest request{params->url, params->cookie, params->referer, params->size, params->targetPath,
                               params->replaceTarget || !params->temporaryPath.empty()};
    r = Fetch(row, request, state, options, params->texts, &reason);
    if (r == kEAbort && row.m_pauseRequested.exchange(false)) {
      // A pause: the unfinished file and its state stay for the worker that
      // continues (the last report is exact, the earlier ones lag by up to a
      // couple of seconds); the row shows where it stopped.
      row.OnResumeState(state);
      row.SetStatusText(params->texts.paused + u": " + params->targetPath);
      row.NotifyPaused();
      params.reset();
      row.m_workerDone = true;
      return 1;
    }
    const bool keep = params->keepUnfinished && r != kSOk && r != kEAbort;
    if (r != kSOk && !keep) DiscardUnfinished(row, state);
    if (keep) row.OnResumeState(state);
    if (r == kSOk) placed = state.targetPath;
  }
  // A pause asked for as the transfer ended comes too late.
  row.m_pauseRequested = false;
  if (r != kSOk) {
    settings::ReportError(r, settings::errors::kTransferFailed);
    if (r != kEAbort) {
      row.m_retryable = params->keepUnfinished && !noTemporaryFile;
      row.m_failed = true;
    } else {
      row.m_cancelled = true;
    }
    row.SetStatusText(FailureStatusText(r, params->texts, reason) + u": " + params->targetPath);
    row.HideCancel();
  } else if (!params->temporaryPath.empty()) {
    RunConversion(*params);
  } else {
    row.SetResultPath(placed);
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
