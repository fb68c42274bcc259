#include "startup/ManagerDialogRunner.h"

#include <QByteArray>

#include "manager/DownloadFileDialog.h"
#include "manager/DownloadJournal.h"

namespace startup {

namespace {

class DialogSink : public HandoffSink {
 public:
  explicit DialogSink(manager::CDownloadFileDialog& dialog) : dialog_(dialog) {}
  void Record(HandoffSender sender, std::uint32_t kind, const std::string& payload) override {
    dialog_.OnCopyData(sender, kind, QByteArray(payload.data(), static_cast<qsizetype>(payload.size())));
  }
  void SenderEnded(HandoffSender sender) override { dialog_.OnSenderGone(sender); }

 private:
  manager::CDownloadFileDialog& dialog_;
};

}  // namespace

void ManagerDialogRunner::Run(const ManagedDownload& first, InstanceLink& link) {
  manager::CDownloadFileDialog dialog(first.url, first.tempPath, first.targetPath, first.conversionArgs,
                                      first.size, first.cookie, first.autoclose, first.referer,
                                      first.replaceTarget);
  DialogSink sink(dialog);
  dialog.RestoreUnfinished();
  HandoffInbox& inbox = link.Inbox();
  QObject::connect(&dialog, &QDialog::finished, &dialog, [&inbox, &link] {
    inbox.Detach();
    link.StopListening();
  });
  // Before any event is handled: a row that ends at once must not close the
  // dialog while downloads handed over before it existed are still records.
  inbox.Attach(&sink);
  // Nothing to show (no request, nothing left by earlier runs): no window.
  // What earlier runs left but cannot be shown again is said in the window.
  if (dialog.RowCount() > 0 || dialog.KeptAsideShown()) dialog.exec();
  inbox.Detach();
  link.StopListening();
}

std::vector<std::u16string> ManagerDialogRunner::FilesInUse() { return manager::DownloadJournal::FilesInUse(); }

bool ManagerDialogRunner::HasUnfinished() { return manager::DownloadJournal::HasOrphans(); }

}  // namespace startup
