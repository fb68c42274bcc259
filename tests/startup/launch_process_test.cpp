// The program's launch across real processes: each start is a helper process
// that runs the launch sequence with the real hand-off socket and the real
// manager dialog (offscreen); only the Save-As answer is scripted.
#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "manager/DownloadFileDialog.h"
#include "platform/Instance.h"
#include "platform/Text.h"
#include "settings/Settings.h"
#include "startup/LaunchSequence.h"
#include "startup/LocalHandoffLink.h"
#include "startup/ManagerDialogRunner.h"
#include "support/HelperProcess.h"
#include "support/LoopbackServer.h"
#include "support/TempFolder.h"

namespace {

using testsupport::HelperProcess;
using testsupport::LoopbackServer;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Waits, with the event loop running, until path exists.
void ServeUntilFile(const std::string& path) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!fs::exists(path) && std::chrono::steady_clock::now() < deadline) {
    QEventLoop loop;
    QTimer::singleShot(20, &loop, &QEventLoop::quit);
    loop.exec();
  }
}

// Answers the Save-As question with a fixed path and the native pair, after
// the go file appears when one is named; "cancel" cancels instead.
class ScriptedSaveAs : public startup::SaveAsDialog {
 public:
  ScriptedSaveAs(std::string answer, std::string path, std::string goFile)
      : answer_(std::move(answer)), path_(std::move(path)), goFile_(std::move(goFile)) {}
  bool Show(const startup::SaveAsOptions& options, startup::SaveAsAnswer& answer) override {
    if (!goFile_.empty()) ServeUntilFile(goFile_);
    if (answer_ == "cancel") return false;
    answer.path = platform::FromUtf8(path_);
    answer.filterIndex = options.filterIndex;  // /format:-1: the native pair
    return true;
  }

 private:
  std::string answer_, path_, goFile_;
};

// One start of the program. Args: url, "accept" or "cancel", chosen path,
// go file ("-" for none), report file. Writes the largest row count its
// manager dialog had into the report file; exits with the LaunchOutcome.
VEXARO_TEST_HELPER(launch) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int argc = 1;
  char name[] = "vexaro";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);

  int rows = 0;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&rows] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (auto* dialog = qobject_cast<manager::CDownloadFileDialog*>(widget)) rows = std::max(rows, dialog->RowCount());
    }
  });
  watch.start(10);

  startup::DownloadRequest request;
  request.url = platform::FromUtf8(args.at(0));
  request.file = u"clip";
  request.type = u"video/x-flv";
  request.format = u"-1";
  request.autoclose = true;
  startup::LocalHandoffLink link;
  ScriptedSaveAs saveAs(args.at(1), args.at(2), args.at(3) == "-" ? "" : args.at(3));
  startup::ManagerDialogRunner manager;
  startup::LaunchParts parts{saveAs, manager, link};
  const startup::LaunchOutcome outcome = startup::RunLaunchSequence(request, parts);
  manager::WaitForDetachedWorkers();
  testsupport::WriteFileBytes(args.at(4), std::to_string(rows));
  return static_cast<int>(outcome);
}

// A first instance that is just ending: holds the marker without listening
// until the release file appears, then ends. Args: ready file, release file.
VEXARO_TEST_HELPER(ending_instance) {
  platform::InstanceMarker marker;
  if (marker.Take() != 0) return 2;
  testsupport::WriteFileBytes(args.at(0), "");
  testsupport::WaitForFile(args.at(1), 60000);
  return 0;
}

constexpr int kRanManager = static_cast<int>(startup::LaunchOutcome::RanManager);
constexpr int kHandedOver = static_cast<int>(startup::LaunchOutcome::HandedOver);
constexpr std::uint64_t kLength = 300000;

class LaunchProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("no_proxy", "*", 1);
    settings::Settings::GetInstance();
    server_.Http().Get("/fast", [](const httplib::Request&, httplib::Response& res) {
      LoopbackServer::ServePattern(res, kLength);
    });
    // The first download stays in progress until the test lets it end.
    server_.Http().Get("/held", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(kLength, "application/octet-stream",
                               [this](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 if (offset > 0) {
                                   while (!released_ && server_.Pause(10ms)) {
                                   }
                                 }
                                 const std::uint64_t end = offset == 0 ? 1000 : kLength;
                                 std::string bytes;
                                 for (std::uint64_t i = offset; i < end; ++i) bytes += LoopbackServer::PatternByte(i);
                                 return sink.write(bytes.data(), bytes.size());
                               });
    });
    ASSERT_TRUE(server_.Start());
  }

  std::string Target(const std::string& name) const { return home_.Root().File(name); }

  // The socket of a listening first instance exists.
  bool WaitForListener() const {
    const std::string folder = home_.Root().File("runtime/Vexaro");
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      std::error_code ignored;
      for (const auto& e : fs::directory_iterator(folder, ignored)) {
        if (e.path().filename().string().rfind("handoff-", 0) == 0) return true;
      }
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  void ExpectComplete(const std::string& path) const {
    const std::string bytes = testsupport::ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), kLength) << path;
    for (std::uint64_t i = 0; i < kLength; i += 997) ASSERT_EQ(bytes[i], LoopbackServer::PatternByte(i)) << i;
  }

  testsupport::TempDataHome home_;
  LoopbackServer server_;
  std::atomic<bool> released_{false};
};

TEST_F(LaunchProcessTest, SecondStartBecomesASecondRowOfTheFirstAndCompletes) {
  HelperProcess first("launch", {server_.Url("/held"), "accept", Target("one.flv"), "-", Target("first.rows")});
  ASSERT_TRUE(WaitForListener());

  HelperProcess second("launch", {server_.Url("/fast"), "accept", Target("two.flv"), "-", Target("second.rows")});
  EXPECT_EQ(second.Wait(), kHandedOver);
  EXPECT_EQ(testsupport::ReadFileBytes(Target("second.rows")), "0") << "a later start shows no manager";

  // The handed-over download completes in the first process while its own
  // is still held.
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  std::error_code missing;
  while (fs::file_size(Target("two.flv"), missing) != kLength && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  released_ = true;
  EXPECT_EQ(first.Wait(), kRanManager);
  EXPECT_EQ(testsupport::ReadFileBytes(Target("first.rows")), "2");
  ExpectComplete(Target("one.flv"));
  ExpectComplete(Target("two.flv"));
}

struct SaveAsRaceCase {
  const char* name;
  const char* firstAnswer;
  const char* rows;
};

class SaveAsRaceTest : public LaunchProcessTest, public ::testing::WithParamInterface<SaveAsRaceCase> {};

TEST_P(SaveAsRaceTest, HandOffWhileTheFirstIsInItsSaveAsIsKept) {
  const SaveAsRaceCase& c = GetParam();
  released_ = true;
  HelperProcess first("launch", {server_.Url("/fast"), c.firstAnswer, Target("one.flv"), Target("go"),
                                 Target("first.rows")});
  ASSERT_TRUE(WaitForListener()) << "the first listens before its Save-As";

  HelperProcess second("launch", {server_.Url("/fast"), "accept", Target("two.flv"), "-", Target("second.rows")});
  EXPECT_EQ(second.Wait(), kHandedOver);
  testsupport::WriteFileBytes(Target("go"), "");

  EXPECT_EQ(first.Wait(), kRanManager);
  EXPECT_EQ(testsupport::ReadFileBytes(Target("first.rows")), c.rows);
  ExpectComplete(Target("two.flv"));
  if (std::string(c.firstAnswer) == "accept") ExpectComplete(Target("one.flv"));
  else EXPECT_FALSE(fs::exists(Target("one.flv")));
}

INSTANTIATE_TEST_SUITE_P(Cases, SaveAsRaceTest,
                         ::testing::Values(SaveAsRaceCase{"FirstAccepts", "accept", "2"},
                                           SaveAsRaceCase{"FirstCancels", "cancel", "1"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LaunchProcessTest, LaterStartThatNobodyAnswersBecomesTheFirst) {
  HelperProcess ending("ending_instance", {Target("ready"), Target("release")});
  ASSERT_TRUE(testsupport::WaitForFile(Target("ready"), 10000));

  HelperProcess later("launch", {server_.Url("/fast"), "accept", Target("two.flv"), "-", Target("later.rows")});
  std::this_thread::sleep_for(500ms);  // it finds the marker held and nobody listening
  testsupport::WriteFileBytes(Target("release"), "");
  EXPECT_EQ(ending.Wait(), 0);
  EXPECT_EQ(later.Wait(), kRanManager);
  EXPECT_EQ(testsupport::ReadFileBytes(Target("later.rows")), "1");
  ExpectComplete(Target("two.flv"));
}

}  // namespace
