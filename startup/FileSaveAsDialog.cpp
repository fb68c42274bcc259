#include "startup/FileSaveAsDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QStringList>

#include "manager/AnswerKeys.h"
#include "platform/File.h"

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

// Asks whether the existing file may be replaced; the Save-As title, the
// file's name first, No as the default answer.
bool AgreesToReplace(const SaveAsOptions& options, const QString& target) {
  QMessageBox question(QMessageBox::Question, ToQ(options.title),
                       QFileInfo(target).fileName() + QLatin1Char(' ') + ToQ(options.replaceQuestion),
                       QMessageBox::Yes | QMessageBox::No);
  question.setObjectName(QStringLiteral("vexaroReplaceQuestion"));
  const auto [yes, no] = manager::WithAnswerAccelerators(ToQ(options.yes), ToQ(options.no));
  question.button(QMessageBox::Yes)->setText(yes);
  question.button(QMessageBox::No)->setText(no);
  question.setDefaultButton(QMessageBox::No);
  return question.exec() == QMessageBox::Yes;
}

}  // namespace

bool FileSaveAsDialog::Show(const SaveAsOptions& options, SaveAsAnswer& answer) {
  QFileDialog dialog(nullptr, ToQ(options.title));
  dialog.setObjectName(QStringLiteral("vexaroSaveAs"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  // The dialog would ask about the name typed; what gets written may be
  // another file (a conversion's), so the question is ours.
  dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
  QStringList filters;
  for (const config::FilterPair& pair : options.filters) filters << ToQ(pair.text);
  if (!filters.isEmpty()) {
    dialog.setNameFilters(filters);
    if (options.filterIndex >= 1 && options.filterIndex <= filters.size())
      dialog.selectNameFilter(filters.at(options.filterIndex - 1));
  }
  dialog.setDirectory(InitialFolder(options.folder));
  dialog.setDefaultSuffix(ToQ(options.defaultExtension));
  // A name typed without extension gets the selected format's.
  QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog, &filters, &options](const QString& text) {
    const qsizetype index = filters.indexOf(text);
    if (index >= 0) dialog.setDefaultSuffix(ToQ(PatternExtension(options.filters[index].pattern)));
  });
  dialog.selectFile(ToQ(options.fileName));

  for (;;) {
    if (dialog.exec() != QDialog::Accepted) return false;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) return false;
    const qsizetype selected = filters.indexOf(dialog.selectedNameFilter());
    answer.path = FromQ(chosen.first());
    answer.filterIndex = selected >= 0 ? static_cast<std::int32_t>(selected + 1) : options.filterIndex;
    const QString target =
        options.targetFor ? ToQ(options.targetFor(answer.path, answer.filterIndex)) : chosen.first();
    answer.replaceAgreed = false;
    // A link that leads nowhere is in the way as much as a file.
    if (!platform::EntryExists(FromQ(target))) return true;
    if (AgreesToReplace(options, target)) {
      answer.replaceAgreed = true;
      return true;
    }
    // Back to the dialog as the user left it.
    dialog.selectFile(QFileInfo(chosen.first()).fileName());
  }
}

}  // namespace startup
