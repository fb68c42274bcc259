// CDownloadFileDialog: the manager window. One row per download in a
// scrolling list; the first download comes from the constructor, later ones
// from hand-off records (OnCopyData). It asks before closing while a download
// runs, and closes by itself when the last one finishes and "Close when
// finished" is checked.
//
// Records come from senders (one per connection of a later start). Each
// sender assembles a download of its own, starting from the dialog's first
// pending values (the first download's, without its temporary file, as the
// design's one pending download starts) and never cleared: the records it
// sent replace values one by one, and each of its commits adds a row from
// what it holds then. Records of one sender never change another's download.
//
// Calling sequence (UI thread): construct (the first row's worker starts at
// once), exec(), delete, then WaitForDetachedWorkers() before the process
// ends.
//
// Unfinished downloads: every row that is not done is written to the
// dialog's journal (DownloadJournal.h) when it is added, pauses, finishes, and
// at most every 2 s while its bytes arrive. RestoreUnfinished() adds what
// earlier runs left as paused rows. When the dialog ends, running transfers
// pause (they come back on the next start), running conversions stop (their
// download kept beside the target), and the journal keeps the paused rows;
// a failed row's bytes and every other row's temporary files go.
//
// While the window is minimised or behind others, a row that ends (done or
// failed) is announced as a desktop notification (DesktopNotifier.h).
//
// Lifetime: the dialog never deletes a row whose worker still runs. Its
// destructor stops the rows as above and waits (taking their reports) for
// their workers, which end within seconds; one that does not is handed to
// WaitForDetachedWorkers, which deletes the row and its temporary file once
// its worker has made its last access.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QRect>
#include <QString>
#include <QTimer>

#include <QPointer>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "manager/DownloadJournal.h"
#include "transfer/HandoffRecords.h"

class QCheckBox;
class QMessageBox;
class QPushButton;

namespace transfer {
class CDownloadItem;
}

namespace manager {

class CScrollWindow;

class CDownloadFileDialog : public QDialog {
  Q_OBJECT

 public:
  // The first download. size: negative means unknown, as 0 does.
  // replaceTarget: the user agreed to replace an existing file at targetPath.
  // An empty url makes a dialog without a first download (rows come from
  // RestoreUnfinished and hand-offs).
  CDownloadFileDialog(std::u16string url, std::u16string tempPath, std::u16string targetPath,
                      std::u16string conversionArgs, std::int64_t size, std::u16string cookie, bool autoclose,
                      std::u16string referer, bool replaceTarget = false, QWidget* parent = nullptr);
  ~CDownloadFileDialog() override;  // stops rows; never deletes a row whose worker still runs

  // One hand-off record of sender (kind = dwData, payload = the record's
  // bytes; see transfer/HandoffRecords.h). Never fails, never crashes on any
  // byte string: 0, 1, 2, 4, 5, 7 replace the sender's pending url, target
  // path, conversion arguments, cookie, temporary path, referer; 3 its
  // pending size; 8 its pending flags (replace an existing target); 6 adds a
  // row from its pending values (and clears the flags, which a sender sends
  // only when set) and raises and activates the dialog (keeping an open close
  // question in front of it); kinds 9 and above are ignored.
  void OnCopyData(transfer::HandoffSender sender, std::uint32_t kind, const QByteArray& payload);
  // The same for the one sender of the design (sender 0).
  void OnCopyData(std::uint32_t kind, const QByteArray& payload) { OnCopyData(0, kind, payload); }
  // The sender sends nothing more: its pending values go.
  void OnSenderGone(transfer::HandoffSender sender);

  // Adds the downloads that earlier runs left unfinished (journals whose
  // process is gone) as paused rows, below the rows there are, and takes
  // their journals over. Returns how many rows it added.
  int RestoreUnfinished();
  // RestoreUnfinished() found downloads it could not show again and tells
  // the user where what was known of them is kept (a message over the
  // window, which therefore has something to show even without rows).
  bool KeptAsideShown() const { return m_keptAsideShown; }
  // This dialog's journal, for tests.
  const DownloadJournal& Journal() const { return m_journal; }

  // Rows in the order they were added, for tests and pictures.
  int RowCount() const { return static_cast<int>(m_rows.size()); }
  transfer::CDownloadItem* Row(int index) const { return m_rows.at(static_cast<std::size_t>(index)); }
  CScrollWindow* Host() const { return m_host; }
  QPushButton* CloseButton() const { return m_closeButton; }
  QCheckBox* CloseWhenFinished() const { return m_autoCloseBox; }

  // The close question's English text (MANAGER_EXIT_QUESTION's fallback).
  static const char* CloseQuestion();

 public slots:
  // Escape, the Close button and the window's close box all land here.
  void reject() override;

 private:
  using PendingDownload = transfer::HandedDownload;

  void OnInitDialog();
  // A new row below the others, in m_rows and tracked under journalId when
  // create (Create, which starts the worker, or CreatePaused) makes its
  // window at its place.
  transfer::CDownloadItem* AddRowWith(const PendingDownload& download, std::u16string journalId,
                                      const std::function<void(transfer::CDownloadItem*, const QRect&, int)>& create);
  void AddRow(const PendingDownload& download);
  // Keeps the journal of a row in m_rows up to date from now on. A row whose
  // worker starts is written to the journal before it starts: a start killed
  // once the worker has made a file still names that file (and the download).
  void Track(transfer::CDownloadItem* row, std::u16string journalId);
  void OnRowFinished(transfer::CDownloadItem* row);
  void Announce(transfer::CDownloadItem* row);
  void WriteJournal();
  void ShowKeptAside();
  // Ends every row as the dialog's end does (see above) and waits for them.
  void WindDown();
  void OnCloseRequest();
  void OnMinimize();
  void OnDownloadFinished();
  bool AllFinished() const;
  QRect MapDialogRect(int x, int y, int w, int h) const;

  // The first download, from the constructor.
  PendingDownload m_first;
  bool m_autoclose = false;
  // What every sender's download starts from.
  PendingDownload m_initialPending;
  // Filled by each sender's records; never cleared while the sender lasts.
  std::map<transfer::HandoffSender, PendingDownload> m_pending;
  // The close question while it is open.
  QPointer<QMessageBox> m_question;

  std::vector<transfer::CDownloadItem*> m_rows;
  CScrollWindow* m_host = nullptr;
  QRect m_hostClient;
  QPushButton* m_closeButton = nullptr;
  QPushButton* m_minimizeButton = nullptr;
  DownloadJournal m_journal;
  std::map<const transfer::CDownloadItem*, std::u16string> m_journalIds;
  QTimer m_journalTimer;
  // The unfinished files the last journal written names.
  std::set<std::u16string> m_journaledParts;
  QString m_notifyDone;
  QString m_notifyFailed;
  QString m_keptAsideText;
  bool m_keptAsideShown = false;
  QCheckBox* m_autoCloseBox = nullptr;
  QString m_closeText;
  QString m_closeQuestion;
  QString m_yesText;
  QString m_noText;
  int m_baseX = 6;
  int m_baseY = 13;
};

// Called after the dialog has ended and been destroyed, before the process
// exits: waits until every worker that was still running (e.g. a converter)
// has finished, then deletes those rows and their temporary files. Returns at
// once when nothing runs. UI thread.
void WaitForDetachedWorkers();


}  // namespace manager
