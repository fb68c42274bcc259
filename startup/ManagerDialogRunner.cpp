#include "startup/ManagerDialogRunner.h"

#include <QByteArray>
#include <QTimer>

#include "manager/DownloadFileDialog.h"

namespace startup {

void ManagerDialogRunner::Run(const ManagedDownload& first, InstanceLink& link) {
  manager::CDownloadFileDialog dialog(first.url, first.tempPath, first.targetPath, first.conversionArgs,
                                      first.size, first.cookie, first.autoclose, first.referer,
                                      first.replaceTarget);
  HandoffInbox& inbox = link.Inbox();
  QObject::connect(&dialog, &QDialog::finished, &dialog, [&inbox, &link] {
    inbox.Detach();
    link.StopListening();
  });
  QTimer::singleShot(0, &dialog, [&dialog, &inbox] {
    inbox.Attach([&dialog](std::uint32_t kind, const std::string& payload) {
      dialog.OnCopyData(kind, QByteArray(payload.data(), static_cast<qsizetype>(payload.size())));
    });
  });
  dialog.exec();
  inbox.Detach();
  link.StopListening();
}

}  // namespace startup
