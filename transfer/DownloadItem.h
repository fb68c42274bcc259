// CDownloadItem: the row that shows one download in the manager dialog, with
// its two text lines, its progress bar and its buttons. Creating the row's
// window (Create) starts the download's worker at once; CreatePaused() makes
// a row for an unfinished download of an earlier run, waiting for Resume.
//
// Buttons, two slots at the right (20 x 30 each, the right one where the
// design's Cancel stands):
//   downloading        Pause, Cancel
//   paused             Resume, Cancel
//   converting         -, Cancel
//   done               Open, Show in folder
//   failed             -, Retry (a transfer; it continues from what is on
//                      disk) or Show in folder (a conversion: the kept
//                      original)
//   cancelled          -, Show in folder when a conversion kept the original
// Pause stops the worker but keeps the unfinished file and the last state
// the worker reported (ResumeState); Resume and Retry start a new worker from
// it. A paused row counts as unfinished (IsFinished false). Cancel on a row
// without a worker (paused, or failed with its unfinished file) removes the
// unfinished file and finishes the row as cancelled.
//
// Calling sequence (UI thread): construct, Create() as a child of the
// scrolling list, SetBackground(); IsFinished() on every finished() signal and
// before closing. Delete the row only when WorkerRunning() is false; a row
// whose worker still runs is Detach()ed and deleted once it has stopped.
//
// Threads: the worker calls the DownloadRow methods on its own thread. They
// never touch a widget and never wait for the UI thread: they leave their
// update in the row's pending state under a short lock and post one queued
// flush while none is pending. The detail text and the bar position are
// coalesced (only the latest counts); status texts, the bar colour, the
// hidden Cancel and the finished notice are queued in order and never dropped.
// A flush applies everything at most about once a frame and emits finished()
// last, so the row already shows the worker's last word when the dialog hears
// of it.
#pragma once

#include <QColor>
#include <QStringList>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "transfer/DownloadRow.h"
#include "transfer/ResumeState.h"

class QProgressBar;
class QPushButton;

namespace transfer {

struct DownloadThreadParams;

// Core text to Qt text, at the edge of the window code.
inline QString ToQString(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

// A one-line text that gives way in the middle of a path: the text before the
// last '/' is cut at its end and "..." stands in its place, so the file name
// stays visible; only a file name that is wider than the line itself loses
// its beginning. What stands before the path ("Downloading: ", a failure and
// its reason) never gives way to it: the path is elided in the room that is
// left, and only a status wider than the whole line is cut, at its end.
// The text is drawn as it stands (no markup, no mnemonics).
class PathLine : public QWidget {
 public:
  explicit PathLine(QWidget* parent);
  void SetText(const QString& text);
  const QString& Text() const { return text_; }
  // What the line shows at its current width and font.
  QString DisplayedText() const;
  static QString ElidePath(const QString& text, const QFontMetrics& metrics, int width);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString text_;
};

class CDownloadItem : public QWidget, public DownloadRow {
  Q_OBJECT

 public:
  // size: bytes from the command line; 0 or negative means unknown.
  // rowIndex: the number of rows the dialog held before this one.
  CDownloadItem(std::u16string url, std::u16string tempPath, std::u16string targetPath,
                std::u16string conversionArgs, std::int64_t size, std::u16string cookie, int rowIndex,
                std::u16string referer);
  // Signals the stop event. Never while WorkerRunning().
  ~CDownloadItem() override;

  // Makes the row a child window of parent at rect (width 395 in the
  // dialog) with object name "dlitem" and the property "id", shows it and
  // runs OnCreate: the controls, the first texts and the worker.
  void Create(QWidget* parent, const QRect& rect, int id);
  // Like Create() for a download that an earlier run left unfinished: the
  // controls and the paused texts ("Paused: target", the amount on disk, its
  // share on the bar), Resume and Cancel; no worker until Resume().
  void CreatePaused(QWidget* parent, const QRect& rect, int id, const ResumeState& state);
  // Before Create(): the user agreed to replace an existing file at the
  // target (see DownloadThreadParams::replaceTarget).
  void SetReplaceTarget(bool replace) { m_replaceTarget = replace; }
  bool ReplaceTarget() const { return m_replaceTarget; }

  // The buttons' actions, for the dialog and tests. Pause() only while the
  // transfer runs; Resume() only while paused, Retry() only while a failed
  // transfer can be tried again (both start a new worker and return whether
  // they did); CancelStopped() only while no worker runs and the row is not
  // finished (paused) or failed with its unfinished file kept. Each does
  // nothing otherwise.
  void Pause();
  bool Resume();
  bool Retry();
  void CancelStopped();
  // The result with the desktop's default application; its folder (with the
  // file selected where the file manager can).
  void OpenResult();
  void ShowResultInFolder();

  enum class State { Running, Paused, Done, Failed, Cancelled };
  // The transfer runs and Pause() would stop it.
  bool CanPause() const { return m_state == State::Running && WorkerRunning() && !m_transferOver; }
  // Updates are posted and not applied yet; FlushNow() applies them at once
  // (for a dialog that ends and will not run its event loop again).
  bool FlushPending() const;
  void FlushNow() { Flush(); }

  State CurrentState() const { return m_state; }
  bool IsPaused() const { return m_state == State::Paused; }
  // What the worker last reported about the unfinished download, if anything.
  const std::optional<ResumeState>& LastResumeState() const { return m_resume; }
  // The file that holds the result (or a failed conversion's kept original).
  const std::u16string& ResultPath() const { return m_resultPath; }
  // The unfinished file the row keeps for later (paused, or failed and
  // retryable), else empty.
  std::u16string KeptUnfinishedFile() const;
  // Visible buttons by object name, left to right, for tests and pictures.
  QStringList VisibleButtons() const;

  // The download as the row was made with it, for the dialog's journal.
  const std::u16string& Url() const { return m_url; }
  const std::u16string& TargetPath() const { return m_targetPath; }
  const std::u16string& ConversionArgs() const { return m_conversionArgs; }
  std::uint64_t Size() const { return m_size; }
  const std::u16string& Cookie() const { return m_cookie; }
  const std::u16string& Referer() const { return m_referer; }

  static int GetItemHeight() { return 70; }
  // The worker has finished and the row shows its final texts: the flush
  // that carried the finished notice has been applied. Asked on the UI
  // thread, it never runs ahead of what the user sees (m_finished, the
  // worker's own flag, is set a flush earlier).
  bool IsFinished() const { return m_finishedShown; }
  // Finished, and the worker's outcome was a failure (a cancel is none).
  bool Failed() const { return m_finishedShown && m_failed; }
  // A worker was started and has not yet made its last access to the row.
  // A row whose thread could not be created never finishes, yet nothing
  // runs on it.
  bool WorkerRunning() const { return m_workerStarted && !m_workerDone; }
  // The row's background (the dialog sets the button-face colour).
  void SetBackground(const QColor& colour);
  // Takes the row out of its window (hidden, no parent) so the dialog can
  // go while the worker ends; signals the stop event. The texts it still
  // gets are no longer shown.
  void Detach();

  const std::u16string& TempPath() const { return m_tempPath; }
  // "stopevent<row index>", the name the stop event carries in the design.
  const std::u16string& StopEventName() const { return m_stopEventName; }

  // What the row shows, for the dialog's tests and pictures.
  QString StatusText() const;
  QString StatusDisplayed() const;
  QString DetailText() const;
  int BarPosition() const;
  QColor BarColour() const;
  bool CancelShown() const;
  // Every status text applied, in order (a handful per row), for tests that
  // check that none was lost or reordered.
  const std::vector<QString>& AppliedStatusTexts() const { return m_appliedStatus; }

  // Stands in for Download::Start; tests use it to see a thread that cannot
  // be created. Returns the previous starter.
  using WorkerStarter = bool (*)(DownloadThreadParams*);
  static WorkerStarter SetWorkerStarter(WorkerStarter starter);

  // DownloadRow, called on the worker thread.
  void SetStatusText(const std::u16string& text) override;
  void SetDetailText(const std::u16string& text) override;
  void SetBarPosition(int position) override;
  void SetBarColour(std::uint32_t rgb) override;
  void HideCancel() override;
  void ShowCancel() override;
  bool BarExists() const override { return m_barAlive; }
  void NotifyFinished() override;
  void NotifyPaused() override;
  void SetResultPath(const std::u16string& path) override;
  void OnResumeState(const ResumeState& state) override;

 signals:
  // WM_DOWNLOAD_FINISHED: the worker has finished and the row shows its
  // final texts.
  void finished();
  // The worker stopped for a pause (or a Cancel ended a row without one):
  // the row's state changed without a finish notice.
  void paused();
  // A new state of the unfinished download is known (LastResumeState); at
  // most every couple of seconds while bytes arrive.
  void resumeStateChanged();

 private:
  enum class OpKind { Status, Colour, HideCancel, ShowCancel, Finished, Paused, Result };
  struct Op {
    OpKind kind;
    std::u16string text;
    std::uint32_t value = 0;
  };
  struct Pending {
    std::vector<Op> ordered;
    std::optional<std::u16string> detail;
    std::optional<int> bar;
    std::optional<ResumeState> resume;
  };

  void OnCreate();
  void MakeControls();
  void OnCancelButton();
  // Starts a worker (Create, Resume, Retry); resume: what to continue from.
  bool StartWorker(std::optional<ResumeState> resume);
  // Shows the buttons of the row's state.
  void ShowButtons();
  QPushButton* MakeButton(const char* name, const char* icon, const QString& tip, int slot);
  // Worker side: records under the lock, posts a flush when none is pending.
  template <typename F>
  void Post(F&& record);
  // Invoked queued by meta-method from the worker side (see Post).
  Q_INVOKABLE void OnUpdatePosted();
  void Flush();

  QProgressBar* m_progress = nullptr;
  PathLine* m_statusLine = nullptr;
  PathLine* m_detailLine = nullptr;
  QPushButton* m_cancelButton = nullptr;
  QPushButton* m_pauseButton = nullptr;
  QPushButton* m_resumeButton = nullptr;
  QPushButton* m_openButton = nullptr;
  QPushButton* m_folderButton = nullptr;
  QPushButton* m_retryButton = nullptr;

  std::u16string m_url;
  std::u16string m_tempPath;
  std::u16string m_conversionArgs;
  std::uint64_t m_size = 0;
  std::u16string m_cookie;
  std::u16string m_referer;
  std::u16string m_stopEventName;
  bool m_replaceTarget = false;

  bool m_workerStarted = false;
  bool m_finishedShown = false;
  State m_state = State::Running;
  // The transfer is over (Cancel hidden once): Pause no longer applies.
  bool m_transferOver = false;
  std::optional<ResumeState> m_resume;
  std::u16string m_resultPath;
  std::u16string m_pausedText = u"Paused";
  std::u16string m_cancelledText = u"MANAGER_ERROR_DOWNLOAD_CANCELED";
  std::atomic<bool> m_barAlive{false};

  mutable std::mutex m_pendingLock;
  Pending m_pending;
  bool m_flushPosted = false;  // guarded by m_pendingLock

  QTimer m_flushTimer;
  QElapsedTimer m_sinceFlush;
  std::vector<QString> m_appliedStatus;
};

}  // namespace transfer
