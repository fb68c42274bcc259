#include "startup/FileSaveAsDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

namespace startup {

namespace {

QString ToQ(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

std::u16string FromQ(const QString& text) { return text.toStdU16String(); }

QString InitialFolder(const std::u16string& requested) {
  const QString folder = ToQ(requested);
  if (!folder.isEmpty() && QFileInfo(folder).isDir()) return folder;
  const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
  if (!downloads.isEmpty() && QFileInfo(downloads).isDir()) return downloads;
  return QDir::homePath();
}

}  // namespace

bool FileSaveAsDialog::Show(const SaveAsOptions& options, SaveAsAnswer& answer) {
  QFileDialog dialog(nullptr, ToQ(options.title));
  dialog.setObjectName(QStringLiteral("vexaroSaveAs"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  QStringList filters;
  for (const config::FilterPair& pair : options.filters) filters << ToQ(pair.text);
  if (!filters.isEmpty()) {
    dialog.setNameFilters(filters);
    if (options.filterIndex >= 1 && options.filterIndex <= filters.size())
      dialog.selectNameFilter(filters.at(options.filterIndex - 1));
  }
  dialog.setDirectory(InitialFolder(options.folder));
  dialog.setDefaultSuffix(ToQ(options.defaultExtension));
  dialog.selectFile(ToQ(options.fileName));
  if (dialog.exec() != QDialog::Accepted) return false;

  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return false;
  answer.path = FromQ(chosen.first());
  const qsizetype selected = filters.indexOf(dialog.selectedNameFilter());
  answer.filterIndex = selected >= 0 ? static_cast<std::int32_t>(selected + 1) : options.filterIndex;
  return true;
}

}  // namespace startup
