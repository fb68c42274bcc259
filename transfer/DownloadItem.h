// CDownloadItem: the row that shows one download in the manager dialog, with
// its two text lines, its progress bar and its Cancel button. Creating the
// row's window (Create) starts the download's worker at once.
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
  // Before Create(): the user agreed to replace an existing file at the
  // target (see DownloadThreadParams::replaceTarget).
  void SetReplaceTarget(bool replace) { m_replaceTarget = replace; }

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

 signals:
  // WM_DOWNLOAD_FINISHED: the worker has finished and the row shows its
  // final texts.
  void finished();

 private:
  enum class OpKind { Status, Colour, HideCancel, ShowCancel, Finished };
  struct Op {
    OpKind kind;
    std::u16string text;
    std::uint32_t value = 0;
  };
  struct Pending {
    std::vector<Op> ordered;
    std::optional<std::u16string> detail;
    std::optional<int> bar;
  };

  void OnCreate();
  void OnCancelButton();
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
  std::atomic<bool> m_barAlive{false};

  std::mutex m_pendingLock;
  Pending m_pending;
  bool m_flushPosted = false;  // guarded by m_pendingLock

  QTimer m_flushTimer;
  QElapsedTimer m_sinceFlush;
  std::vector<QString> m_appliedStatus;
};

}  // namespace transfer
