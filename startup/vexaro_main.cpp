// vexaro: the program a browser add-on starts once per file to download.
#include <QApplication>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "browser/host/Install.h"
#include "manager/DownloadFileDialog.h"
#include "platform/Process.h"
#include "platform/ProgramFolders.h"
#include "platform/Stream.h"
#include "platform/Text.h"
#include "startup/CommandLine.h"
#include "startup/FileSaveAsDialog.h"
#include "startup/LaunchSequence.h"
#include "startup/LocalHandoffLink.h"
#include "startup/ManagerDialogRunner.h"

namespace {

const char kUsage[] =
    "usage: vexaro /url:URL [/file:NAME] /type:MIME-TYPE [/size:BYTES] [/cookie:TEXT]\n"
    "              [/referer:URL] [/path:FOLDER] [/format:N] [/autoclose:true]\n"
    "       vexaro --request-stdin\n"
    "       vexaro --install-browser-integration\n"
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
    "--request-stdin reads the options from standard input instead, each ended by\n"
    "a NUL byte and the whole by one more (the browser host sends them so; the\n"
    "page's cookie then never shows on a command line).\n"
    "--install-browser-integration writes the browser host's manifests for\n"
    "Chromium, Google Chrome and Firefox into your home folder.\n"
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

// The largest request the browser host sends, with room to spare.
constexpr std::size_t kMaxStdinRequest = 1024 * 1024;

// False when no whole request arrived: the sender was cut off or stalled,
// and a download made of part of a request would be a wrong one.
bool ReadRequestFromStdin(startup::DownloadRequest& request) {
  std::string text;
  const platform::StreamResult read = platform::ReadToEnd(0, kMaxStdinRequest, platform::DeadlineIn(5000), text);
  if (read != platform::StreamResult::Complete) {
    std::fprintf(stderr, "vexaro: no whole request on standard input\n");
    return false;
  }
  if (!startup::ParseRequestOptions(text, request)) {
    std::fprintf(stderr, "vexaro: the request on standard input has no end mark\n");
    return false;
  }
  return true;
}

int InstallBrowserIntegration() {
  const std::string host = platform::ToUtf8(platform::RunningProgramFolder()) + "/vexaro-browser-host";
  if (!QFileInfo(QString::fromStdString(host)).isExecutable()) {
    std::fprintf(stderr, "vexaro: the browser host %s is missing; install Vexaro first\n", host.c_str());
    return 1;
  }
  int failures = 0;
  for (const browserhost::ManifestWrite& write : browserhost::InstallUserManifests(host)) {
    if (write.written) {
      std::printf("wrote %s\n", write.file.c_str());
    } else {
      std::fprintf(stderr, "vexaro: cannot write %s: %s\n", write.file.c_str(), write.error.c_str());
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // A browser may start us with SIGCHLD ignored; the converter's exit code
  // would then be lost.
  platform::RestoreChildSignal();
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("vexaro %s\n", VEXARO_VERSION);
    return 0;
  }

  if (argc == 2 && std::strcmp(argv[1], "--install-browser-integration") == 0) {
    return InstallBrowserIntegration();
  }
  // Read before the window system starts, so the sender is let go at once.
  const bool fromStdin = argc == 2 && std::strcmp(argv[1], "--request-stdin") == 0;
  startup::DownloadRequest stdinRequest;
  if (fromStdin && !ReadRequestFromStdin(stdinRequest)) return 1;

  const QtMessageHandler previous = qInstallMessageHandler(ExitOnFatal);
  QApplication application(argc, argv);
  qInstallMessageHandler(previous);
  // The add-on starts the program in the background; the dialogs are its only
  // windows, and the manager must not end the program by closing the Save-As.
  QApplication::setQuitOnLastWindowClosed(false);

  const startup::DownloadRequest request =
      fromStdin ? stdinRequest : startup::ParseCommandLine(startup::JoinArguments(argc, argv));
  startup::LaunchOutcome outcome = startup::LaunchOutcome::Cancelled;
  {
    startup::LocalHandoffLink link;
    startup::FileSaveAsDialog saveAs;
    startup::ManagerDialogRunner manager;
    startup::LaunchParts parts{saveAs, manager, link};
    outcome = startup::RunLaunchSequence(request, parts);
  }
  // A user who typed `vexaro` learns why no window came.
  if (outcome == startup::LaunchOutcome::NothingToShow) {
    std::fputs("vexaro: no unfinished downloads to show. Downloads start from the browser add-on,\n"
               "or with their options on the command line (vexaro --help).\n",
               stderr);
  } else if (outcome == startup::LaunchOutcome::AlreadyShown) {
    std::fputs("vexaro: Vexaro is already running; its window shows the downloads.\n", stderr);
  }
  // A converter may still run for a row of the closed dialog; its worker
  // releases the row and the temporary file when it ends.
  manager::WaitForDetachedWorkers();
  return 0;
}
