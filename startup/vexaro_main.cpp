// vexaro: the program a browser add-on starts once per file to download.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "manager/DownloadFileDialog.h"
#include "startup/CommandLine.h"
#include "startup/FileSaveAsDialog.h"
#include "startup/LaunchSequence.h"
#include "startup/LocalHandoffLink.h"
#include "startup/ManagerDialogRunner.h"

namespace {

const char kUsage[] =
    "usage: vexaro /url:URL [/file:NAME] /type:MIME-TYPE [/size:BYTES] [/cookie:TEXT]\n"
    "              [/referer:URL] [/path:FOLDER] [/format:N] [/autoclose:true]\n"
    "       vexaro --help | --version\n"
    "\n"
    "Asks where to save the file and whether to convert it, then downloads it in the\n"
    "download manager window. A start while that window is open hands its download\n"
    "over to it and ends.\n"
    "\n"
    "  /url        the address to fetch (http or https)\n"
    "  /file       the suggested file name; its extension is dropped\n"
    "  /type       the MIME type; it selects the format offer from config.ini\n"
    "  /size       the expected size in bytes (0 or absent: from the server)\n"
    "  /cookie     the page's cookie, sent with the request\n"
    "  /referer    the page's address, sent with the request\n"
    "  /path       the folder the Save-As dialog opens in (default: Downloads)\n"
    "  /format     preselected target format: -1 the file's own, 0.. an index\n"
    "              into the known extensions (asf avi flv mov mp3 mp4 wav wmv)\n"
    "  /autoclose  true: close the window when every download has finished\n"
    "\n"
    "Options are separated by \" /\"; a value runs up to the next \" /\".\n"
    "\n"
    "example:\n"
    "  vexaro /url:https://example.com/clip.flv /file:clip.flv /type:video/x-flv "
    "/format:4 /autoclose:true\n";

// Qt ends a program that cannot start its window system with a fatal message
// and abort(); the program's contract is exit code 1 for that.
void ExitOnFatal(QtMsgType type, const QMessageLogContext&, const QString& message) {
  std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
  if (type == QtFatalMsg) std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("vexaro %s\n", VEXARO_VERSION);
    return 0;
  }

  const QtMessageHandler previous = qInstallMessageHandler(ExitOnFatal);
  QApplication application(argc, argv);
  qInstallMessageHandler(previous);
  // The add-on starts the program in the background; the dialogs are its only
  // windows, and the manager must not end the program by closing the Save-As.
  QApplication::setQuitOnLastWindowClosed(false);

  const startup::DownloadRequest request = startup::ParseCommandLine(startup::JoinArguments(argc, argv));
  {
    startup::LocalHandoffLink link;
    startup::FileSaveAsDialog saveAs;
    startup::ManagerDialogRunner manager;
    startup::LaunchParts parts{saveAs, manager, link};
    startup::RunLaunchSequence(request, parts);
  }
  // A converter may still run for a row of the closed dialog; its worker
  // releases the row and the temporary file when it ends.
  manager::WaitForDetachedWorkers();
  return 0;
}
