// The peer of the start-time figure of bench_handoff: the least a Qt program
// does to show a save dialog. Same dialog, same title, same mode as vexaro's.
#include <QApplication>
#include <QFileDialog>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QFileDialog dialog(nullptr, QStringLiteral("Save file as"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setNameFilters({QStringLiteral("Audio - MP3 (*.mp3)"), QStringLiteral("Video - Flash Video (*.flv)")});
  dialog.selectFile(QStringLiteral("clip"));
  return dialog.exec() == QDialog::Accepted ? 0 : 1;
}
