// What a download worker needs of the row that shows it.
//
// The Qt row (CDownloadItem) and the recording row of the tests both derive
// from DownloadRow, so the worker's texts, bar rules and cancel handling are
// the same code in both.
//
// Threads: every virtual below is called on the worker thread. An
// implementation that owns widgets must queue the call onto the user-interface
// thread and return at once; it must never block on that thread, since the UI
// thread may be waiting for the worker. NotifyFinished() is called once, after
// m_finished is set; storing m_workerDone after it is the worker's last touch
// of the row.
//
// Lifetime: the row must outlive its worker. m_finished alone does not allow
// deleting the row (NotifyFinished() still follows it): the owner deletes a
// row once m_workerDone is true, or when no worker was started. To end a
// running worker early, signal m_stopEvent; the worker notices it within about
// a second even while no data flows. Set m_pauseRequested first to have it
// stop but keep the unfinished file and what is known about it (a pause: it
// ends with NotifyPaused() instead of finishing, and a new worker started
// from the last OnResumeState() continues the download). A pause requested
// once the transfer is over (while converting) is dropped.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/Event.h"

namespace transfer {

struct ResumeState;

inline constexpr std::uint32_t kStatusDownloadingData = 5;  // BINDSTATUS_DOWNLOADINGDATA
inline constexpr std::uint32_t kStatusEndDownloadData = 6;  // BINDSTATUS_ENDDOWNLOADDATA

inline constexpr std::uint32_t kSOk = 0;
inline constexpr std::uint32_t kEAbort = 0x80004004u;

class DownloadRow {
 public:
  virtual ~DownloadRow() = default;

  virtual void SetStatusText(const std::u16string& text) = 0;
  virtual void SetDetailText(const std::u16string& text) = 0;
  // 0..100; the reports never send more (a count past its total shows full).
  virtual void SetBarPosition(int position) = 0;
  // Colour as 0x00BBGGRR, as RGB() builds it.
  virtual void SetBarColour(std::uint32_t rgb) = 0;
  virtual void HideCancel() = 0;
  // Cancel again, for a stop that the worker honours after the transfer (a
  // running conversion).
  virtual void ShowCancel() {}
  // False once the row's progress bar is gone (row being destroyed).
  virtual bool BarExists() const = 0;
  // The finished notice to the manager dialog (WM_DOWNLOAD_FINISHED).
  virtual void NotifyFinished() = 0;
  // The worker stopped for a pause: nothing is finished, the unfinished file
  // and the last reported state are kept. Its last call but m_workerDone.
  virtual void NotifyPaused() {}
  // The file that holds the result once the download (and its conversion)
  // succeeded: the target, or the free name it took beside one that was there;
  // after a failed conversion, the download kept beside the target.
  virtual void SetResultPath(const std::u16string& path) { (void)path; }
  // What is known about the unfinished download (ResumeState.h), for a row
  // that keeps it to continue the download another time. Called at most every
  // 2 s while bytes arrive; at once when the server's answer names the file's
  // version and size and when the file starts over from zero (before any byte
  // is written over the old ones); and a last time with partOnDisk false once
  // the unfinished file has been renamed onto the target or removed. The
  // state is only lent for the call.
  virtual void OnResumeState(const ResumeState& state) { (void)state; }

  // CDownloadItem::OnProgress: writes the detail line and the bar for a
  // report (kStatusDownloadingData) or the completion (kStatusEndDownloadData)
  // and tells the worker whether to stop: kEAbort when the stop event was
  // signalled (the test consumes the signal), else kSOk. Counts are 64-bit.
  // Worker thread only.
  std::uint32_t OnProgress(std::uint64_t progress, std::uint64_t total,
                           std::uint32_t statusCode);
  // The detail line and the bar position a report of (progress, total) shows.
  static std::u16string ProgressText(std::uint64_t progress, std::uint64_t total, const std::u16string& ofText);
  static int ProgressPercent(std::uint64_t progress, std::uint64_t total);

  // Signalled by Cancel and by the row's destruction; auto-reset.
  platform::AutoResetEvent m_stopEvent;
  // The word between the two amounts ("of"), looked up when the row is made.
  std::u16string m_ofText = u"of";
  // Only the worker thread touches this.
  std::u16string m_lastDetailText;
  // The completion text before ": " and the target path, looked up when the
  // row is made.
  std::u16string m_completedText = u"Download completed";
  // The target path, for the completion text. Set when the row is made and
  // only read afterwards, by both threads.
  std::u16string m_targetPath;
  // Only the worker thread touches this: where the completed download was
  // placed when another name was free where the user's was taken meanwhile
  // (the user-interface thread learns it from SetResultPath).
  std::u16string m_placedPath;
  // The outcome was a failure (not a cancel): set before m_finished.
  std::atomic<bool> m_failed{false};
  // The failure was the transfer's, and a new try can start from what it left
  // (see DownloadThreadParams::keepUnfinished): set with m_failed.
  std::atomic<bool> m_retryable{false};
  // The outcome was a Cancel (of the transfer or of the conversion): set
  // before m_finished.
  std::atomic<bool> m_cancelled{false};
  // Set by the user-interface thread before it signals m_stopEvent for a
  // pause; the worker clears it.
  std::atomic<bool> m_pauseRequested{false};
  std::atomic<bool> m_finished{false};
  // Set by the worker as its very last access to the row.
  std::atomic<bool> m_workerDone{false};
};

}  // namespace transfer
