#include "startup/LocalHandoffLink.h"

#include <QCoreApplication>
#include <QLocalSocket>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "TestListener.h"
#include "platform/Instance.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "settings/Settings.h"
#include "support/HelperProcess.h"
#include "support/TestAccount.h"
#include "support/TempFolder.h"

namespace {

using startup::HandoffRecord;
using startup::ManagedDownload;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr char16_t kTitle[] = u"Vexaro Download Manager";

ManagedDownload Sample() {
  ManagedDownload d;
  d.url = u"http://127.0.0.1:1/clip.flv";
  d.targetPath = u"/d/clip.mp3";
  d.conversionArgs = u"-ab 160k";
  d.size = 4096;
  d.cookie = u"c=1";
  d.tempPath = u"/c/vx_1.flv";
  d.referer = u"http://page/";
  return d;
}

QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "program_test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  return *app;
}

// Runs the event loop until done() or the time is up.
template <typename Done>
bool ServeUntil(Done done, std::chrono::milliseconds limit = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

std::vector<std::uint32_t> Kinds(const std::vector<HandoffRecord>& records) {
  std::vector<std::uint32_t> kinds;
  for (const HandoffRecord& r : records) kinds.push_back(r.kind);
  return kinds;
}

// Sends Sample()'s records to a socket. Exit code 0 when all were answered.
// Args: socket path.
VEXARO_TEST_HELPER(send_records) {
  App();
  return startup::SendHandoffRecords(QString::fromStdString(args.at(0)), transfer::MakeHandoffRecords(Sample()), 3000) ==
                 startup::SendResult::Delivered
             ? 0
             : 1;
}

class HandoffLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    settings::Settings::GetInstance();
  }

  // Records kept by link's inbox, in order (senders' ends left out).
  static std::vector<HandoffRecord> Kept(startup::LocalHandoffLink& link) {
    struct Sink : startup::HandoffSink {
      std::vector<HandoffRecord> kept;
      void Record(startup::HandoffSender, std::uint32_t kind, const std::string& payload) override {
        kept.push_back({kind, payload});
      }
      void SenderEnded(startup::HandoffSender) override {}
    } sink;
    link.Inbox().Attach(&sink);
    link.Inbox().Detach();
    return sink.kept;
  }

  testsupport::TempDataHome home_;
};

class ScriptedSaveAs : public startup::SaveAsDialog {
 public:
  bool Show(const startup::SaveAsOptions&, startup::SaveAsAnswer& answer) override {
    answer.path = u"/d/clip.flv";
    answer.filterIndex = 1;  // mp3
    return true;
  }
};

class NoManager : public startup::ManagerRunner {
 public:
  int runs = 0;
  void Run(const ManagedDownload&, startup::InstanceLink& link) override {
    ++runs;
    link.StopListening();
  }
};

TEST_F(HandoffLinkTest, LaterStartSendsEightRecordsToTheTestListener) {
  platform::InstanceMarker first;
  ASSERT_EQ(first.Take(), 0u);
  const std::string socket = platform::ToUtf8(platform::RuntimeFolder()) + startup::HandoffSocketName(kTitle);
  testsupport::TestListener listener(QString::fromStdString(socket));
  ASSERT_TRUE(listener.Listening());

  startup::LocalHandoffLink link;
  EXPECT_EQ(link.Status(), platform::kInstanceExists);
  ScriptedSaveAs saveAs;
  NoManager manager;
  startup::LaunchParts parts{saveAs, manager, link, 2000};
  startup::DownloadRequest request;
  request.url = u"http://127.0.0.1:1/clip.flv";
  request.file = u"clip";
  request.type = u"video/x-flv";
  request.size = 1234;
  request.referer = u"http://page/";
  EXPECT_EQ(startup::RunLaunchSequence(request, parts), startup::LaunchOutcome::HandedOver);
  EXPECT_EQ(manager.runs, 0);

  const std::vector<HandoffRecord>& records = listener.Records();
  EXPECT_EQ(Kinds(records), (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 7, 6}));
  ASSERT_EQ(records.size(), 8u);
  ManagedDownload got;
  for (const HandoffRecord& r : records) transfer::ApplyRecord(got, r.kind, r.payload);
  EXPECT_EQ(records[3].payload.size(), 4u);
  EXPECT_EQ(got.size, 1234);
  EXPECT_EQ(got.url, request.url);
  EXPECT_EQ(got.targetPath, u"/d/clip.mp3");
  EXPECT_EQ(records[4].payload, "") << "no cookie: an empty record";
  EXPECT_EQ(fs::path(platform::ToUtf8(got.tempPath)).filename().string().substr(0, 3), "vx_");
  EXPECT_EQ(records[7].payload, records[6].payload);
}

TEST_F(HandoffLinkTest, FirstInstanceKeepsAndAnswersRecordsUntilItStops) {
  startup::LocalHandoffLink link;
  ASSERT_EQ(link.Status(), 0u);
  link.Open(kTitle);
  ASSERT_TRUE(link.IsListening());

  std::atomic<int> sent{-1};
  std::thread sender([&] {
    sent = startup::SendHandoffRecords(link.SocketPath(), transfer::MakeHandoffRecords(Sample()), 5000) ==
                   startup::SendResult::Delivered
               ? 1
               : 0;
  });
  EXPECT_TRUE(ServeUntil([&] { return sent >= 0; }));
  sender.join();
  EXPECT_EQ(sent, 1);
  EXPECT_TRUE(link.Inbox().HoldsCommit());
  EXPECT_EQ(Kinds(Kept(link)), (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 7, 6}));

  // Once stopped, nobody answers and the marker is free for a later start.
  link.StopListening();
  EXPECT_EQ(startup::SendHandoffRecords(link.SocketPath(), transfer::MakeHandoffRecords(Sample()), 1000),
            startup::SendResult::NotReached);
  platform::InstanceMarker next;
  EXPECT_EQ(next.Take(), 0u);
}

// Beyond the bound a record is refused in words: the sender learns it at
// once (and shows its download itself) instead of waiting out its time, and
// nothing more of that connection reaches the inbox.
TEST_F(HandoffLinkTest, OversizedRecordIsRefusedAndNothingMoreOfItsSenderIsTaken) {
  startup::LocalHandoffLink link;
  link.Open(kTitle);
  ASSERT_TRUE(link.IsListening());

  std::atomic<int> outcome{-1};
  std::thread sender([&] {
    std::vector<HandoffRecord> records{{0, "ab"}, {4, std::string(startup::kMaxRecordPayload + 2, 'c')}, {6, ""}};
    outcome = static_cast<int>(startup::SendHandoffRecords(link.SocketPath(), records, 5000));
  });
  EXPECT_TRUE(ServeUntil([&] { return outcome >= 0; }));
  sender.join();
  EXPECT_EQ(outcome, static_cast<int>(startup::SendResult::Refused));
  EXPECT_EQ(Kinds(Kept(link)), (std::vector<std::uint32_t>{0})) << "only the record before it";

  // The listener goes on serving others, and a cookie far beyond the old
  // 64 KiB arrives whole.
  ManagedDownload big = Sample();
  big.cookie = std::u16string(100000, u'k');
  std::atomic<int> sent{-1};
  std::thread next([&] {
    sent = static_cast<int>(startup::SendHandoffRecords(link.SocketPath(), transfer::MakeHandoffRecords(big), 5000));
  });
  EXPECT_TRUE(ServeUntil([&] { return sent >= 0; }));
  next.join();
  EXPECT_EQ(sent, static_cast<int>(startup::SendResult::Delivered));
  ManagedDownload got;
  for (const HandoffRecord& r : Kept(link)) transfer::ApplyRecord(got, r.kind, r.payload);
  EXPECT_EQ(got.cookie, big.cookie);
}

TEST_F(HandoffLinkTest, AnotherUserIsRefused) {
  if (::geteuid() != 0 || !fs::exists("/usr/bin/setpriv")) {
    GTEST_SKIP() << "needs root and setpriv to act as a second user";
  }
  startup::LocalHandoffLink link;
  link.Open(kTitle);
  ASSERT_TRUE(link.IsListening());
  // Open the way to the socket for the other user, so that only the peer
  // check can stop it (the runtime folder is 0700 and would stop it first).
  const std::string socket = link.SocketFile().toStdString();
  for (const std::string& path : {home_.Root().Path(), home_.Root().File("runtime"), home_.Root().File("runtime/Vexaro")})
    ::chmod(path.c_str(), 0711);
  ::chmod(socket.c_str(), 0777);
  // The test program must be readable by that user too.
  const std::string program = home_.Root().File("program_test");
  fs::copy_file(testsupport::SelfExe(), program);
  ::chmod(program.c_str(), 0755);

  const auto run = [&](const std::u16string& prefix) {
    platform::Process process;
    std::atomic<int> code{-1};
    if (!process.Start(prefix + platform::FromUtf8(program + " --vexaro-helper=send_records " + socket))) return -2;
    std::thread waiter([&] {
      std::uint32_t exitCode = 0;
      code = process.Wait(20000, exitCode) == platform::ProcessWait::Exited ? static_cast<int>(exitCode) : -3;
    });
    ServeUntil([&] { return code >= 0 || code == -3; });
    waiter.join();
    return code.load();
  };
  // As nobody, through RunAs, which hands the sanitizers' suppressions over
  // where nobody can read them: the checkout may be closed to it.
  std::u16string asNobody;
  for (const std::string& part : testsupport::RunAs({"nobody", 65534, 65534}, {})) {
    asNobody += platform::FromUtf8(part) + u" ";
  }
  EXPECT_EQ(run(asNobody), 1);
  EXPECT_FALSE(link.Inbox().HoldsCommit());
  EXPECT_TRUE(Kept(link).empty());

  EXPECT_EQ(run(u""), 0) << "the same user, same program, is served";
  EXPECT_TRUE(link.Inbox().HoldsCommit());
}

}  // namespace
