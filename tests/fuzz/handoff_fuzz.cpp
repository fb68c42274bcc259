// Any byte stream as the hand-off of later starts: read by the record reader
// in the pieces the input chooses, kept by the inbox while no dialog exists
// (as while the first instance is in its own Save-As dialog), then fed to a
// real manager dialog, offscreen. The reader hands out only records that
// encode back to exactly the bytes it took, none beyond the payload bound and
// none after a bound was broken; feeding in pieces reads what feeding whole
// reads; the dialog gets one row per commit and survives its end.
//
// Input: byte 0 the piece size (0: the whole stream at once), byte 1 how many
// records arrive before the dialog exists, the rest the stream. The records
// come from 1 to 3 senders in turn (by the input's length), each of which
// ends after the last record.
//
// Records name files and URLs, and a row's temporary file is deleted when the
// row goes. So that no input reaches the network or the machine's files,
// every transfer goes through a proxy on a loopback port that refuses
// connections, and removing or renaming files outside this run's own folder
// fails (the functions below stand in for the C library's in this program).
#include <QApplication>
#include <QByteArray>
#include <QElapsedTimer>
#include <QThread>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "manager/DownloadFileDialog.h"
#include "settings/IniFile.h"
#include "settings/Settings.h"
#include "startup/Handoff.h"
#include "startup/StoreTool.h"
#include "transfer/DownloadItem.h"
#include "transfer/HandoffRecords.h"

namespace {

// More rows add threads, not paths: beyond this the stream is still read, but
// commits no longer reach the dialog.
constexpr int kMaxRowsPerInput = 16;

std::string allowedFolder;  // with a trailing '/'

bool MayTouch(const char* path) {
  if (path == nullptr || allowedFolder.empty()) return false;
  const std::string text(path);
  return text.compare(0, allowedFolder.size(), allowedFolder) == 0 && text.find("/..") == std::string::npos;
}

// A loopback port that is bound but never listens: connecting to it is refused
// at once, and no other program can take it while we live.
int RefusingPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    fuzzsupport::Fail(__FILE__, __LINE__, "no loopback port");
  }
  return ntohs(address.sin_port);
}

void RouteEverythingToNowhere() {
  const std::string proxy = "http://127.0.0.1:" + std::to_string(RefusingPort());
  for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "HTTPS_PROXY", "ALL_PROXY"}) {
    ::setenv(name, proxy.c_str(), 1);
  }
  ::unsetenv("no_proxy");
  ::unsetenv("NO_PROXY");
}

QByteArray Bytes(const std::string& text) { return QByteArray(text.data(), static_cast<qsizetype>(text.size())); }

std::vector<startup::HandoffRecord> ReadAll(const std::string& stream, std::size_t piece, bool& failed) {
  startup::RecordReader reader;
  std::vector<startup::HandoffRecord> records;
  std::string taken;
  startup::HandoffRecord record;
  for (std::size_t at = 0; at < stream.size(); at += piece) {
    reader.Feed(std::string_view(stream).substr(at, piece));
    while (reader.Next(record)) {
      FUZZ_CHECK(record.payload.size() <= startup::kMaxRecordPayload);
      taken += startup::EncodeRecord(record);
      records.push_back(record);
    }
    if (reader.Failed()) FUZZ_CHECK(!reader.Next(record));
  }
  FUZZ_CHECK(stream.compare(0, taken.size(), taken) == 0);
  failed = reader.Failed();
  return records;
}

}  // namespace

extern "C" int unlink(const char* path) {
  if (!MayTouch(path)) {
    errno = EPERM;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_unlink, path));
}

extern "C" int unlinkat(int folder, const char* path, int flags) {
  if (!MayTouch(path)) {
    errno = EPERM;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_unlinkat, folder, path, flags));
}

extern "C" int remove(const char* path) {
  if (!MayTouch(path)) {
    errno = EPERM;
    return -1;
  }
  const long rc = ::syscall(SYS_unlink, path);
  return static_cast<int>(rc == 0 || errno != EISDIR ? rc : ::syscall(SYS_rmdir, path));
}

extern "C" int rename(const char* from, const char* to) {
  if (!MayTouch(from) || !MayTouch(to)) {
    errno = EPERM;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_rename, from, to));
}

extern "C" int renameat(int fromFolder, const char* from, int toFolder, const char* to) {
  if (!MayTouch(from) || !MayTouch(to)) {
    errno = EPERM;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_renameat, fromFolder, from, toFolder, to));
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzzsupport::UsePrivateDataHome();
  allowedFolder = fuzzsupport::HomeFolder() + "/";
  RouteEverythingToNowhere();
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  std::ostringstream ignored;
  startup::StoreInstallTexts({}, ignored, ignored);
  // A refused connection is a failure the worker tries again after a pause;
  // one try lets each row end at once, so an input takes milliseconds, not
  // the seconds of the pauses.
  settings::IniFile file(settings::Settings::GetDataPath(u"settings.ini"), true);
  file.Read();
  file.SetSection(u"Transfer", {{u"tries", u"1"}});
  if (!file.Write()) fuzzsupport::Fail(__FILE__, __LINE__, "settings.ini cannot be written");
  static QApplication* application = new QApplication(*argc, *argv);
  (void)application;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t piece = data[0] == 0 ? size : data[0];
  const std::size_t keptBeforeDialog = data[1];
  const std::string stream(reinterpret_cast<const char*>(data) + 2, size - 2);

  bool failed = false;
  const std::vector<startup::HandoffRecord> records = ReadAll(stream, piece, failed);
  bool failedWhole = false;
  const std::vector<startup::HandoffRecord> whole = ReadAll(stream, stream.size() + 1, failedWhole);
  FUZZ_CHECK(failed == failedWhole && records.size() == whole.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    FUZZ_CHECK(records[i].kind == whole[i].kind && records[i].payload == whole[i].payload);
  }

  startup::HandoffInbox inbox;
  const std::size_t senders = 1 + size % 3;
  std::size_t delivered = 0;
  int commits = 0;
  const auto deliver = [&](std::size_t until) {
    for (; delivered < records.size() && delivered < until; ++delivered) {
      const startup::HandoffRecord& record = records[delivered];
      if (record.kind == transfer::kRecordCommit && ++commits > kMaxRowsPerInput) return;
      inbox.Deliver(delivered % senders, record.kind, record.payload);
    }
  };
  deliver(keptBeforeDialog);

  {
    auto dialog = std::make_unique<manager::CDownloadFileDialog>(
        u"http://127.0.0.1/first", u"", fuzzsupport::DataFile16("first.bin"), u"", 0, u"", false, u"");
    struct Sink : startup::HandoffSink {
      manager::CDownloadFileDialog* target;
      explicit Sink(manager::CDownloadFileDialog* t) : target(t) {}
      void Record(startup::HandoffSender sender, std::uint32_t kind, const std::string& payload) override {
        target->OnCopyData(sender, kind, Bytes(payload));
      }
      void SenderEnded(startup::HandoffSender sender) override { target->OnSenderGone(sender); }
    } sink(dialog.get());
    inbox.Attach(&sink);
    deliver(records.size());
    for (std::size_t sender = 0; sender < senders; ++sender) inbox.End(sender);
    inbox.Detach();
    FUZZ_CHECK(dialog->RowCount() == 1 + std::min(commits, kMaxRowsPerInput));

    // Let the workers report (each fails at once against the refusing port:
    // one try).
    QElapsedTimer waited;
    waited.start();
    QApplication::processEvents();
    for (int i = 0; i < dialog->RowCount(); ++i) {
      while (!dialog->Row(i)->IsFinished() && waited.elapsed() < 2000) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::usleep(200);
      }
    }
  }
  manager::WaitForDetachedWorkers();
  return 0;
}
