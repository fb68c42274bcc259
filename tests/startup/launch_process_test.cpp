// The program's launch across real processes: each start is a helper process
// that runs the launch sequence with the real hand-off socket and the real
// manager dialog (offscreen); only the Save-As answer is scripted.
#include <QAbstractButton>
#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "manager/DownloadFileDialog.h"
#include "platform/Instance.h"
#include "platform/RuntimeFolder.h"
#include "platform/Text.h"
#include "settings/Mutex.h"
#include "settings/Settings.h"
#include "startup/LaunchSequence.h"
#include "startup/LocalHandoffLink.h"
#include "startup/ManagerDialogRunner.h"
#include "startup/Handoff.h"
#include "support/Downloads.h"
#include "support/ErrorRecord.h"
#include "support/HelperProcess.h"
#include "support/LoopbackServer.h"
#include "support/RawHttpServer.h"
#include "support/TempFolder.h"
#include "support/TestAccount.h"
#include "transfer/Download.h"
#include "transfer/DownloadItem.h"

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
  ScriptedSaveAs(std::string answer, std::string path, std::string goFile, bool convert)
      : answer_(std::move(answer)), path_(std::move(path)), goFile_(std::move(goFile)), convert_(convert) {}
  bool Show(const startup::SaveAsOptions& options, startup::SaveAsAnswer& answer) override {
    if (!goFile_.empty()) ServeUntilFile(goFile_);
    if (answer_ == "cancel") return false;
    answer.path = platform::FromUtf8(path_);
    // /format:-1: the native pair; converting: the first pair (MP3).
    answer.filterIndex = convert_ ? 1 : options.filterIndex;
    return true;
  }

 private:
  std::string answer_, path_, goFile_;
  bool convert_;
};

// The UI thread is busy this long right after each worker starts.
int probeMs = 0;
bool StartAndStayBusy(transfer::DownloadThreadParams* params) {
  const bool started = transfer::Download::Start(params);
  std::this_thread::sleep_for(std::chrono::milliseconds(probeMs));
  return started;
}

// Plays the user at the close question, through files with the prefix given:
// <prefix>.ask appearing asks the dialog to close; each question shown writes
// <prefix>.asked.<n> (n from 1) and is answered by <prefix>.answer.<n> ("yes"
// or "no") once that appears; a row added while question n is open writes
// <prefix>.front.<n>: 1 when the question is then the active window, else 0.
class CloseQuestionPlayer {
 public:
  explicit CloseQuestionPlayer(std::string prefix) : prefix_(std::move(prefix)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
    timer_.start(10);
  }

 private:
  void Tick() {
    manager::CDownloadFileDialog* dialog = nullptr;
    QMessageBox* box = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (auto* d = qobject_cast<manager::CDownloadFileDialog*>(widget)) dialog = d;
      if (auto* b = qobject_cast<QMessageBox*>(widget); b && b->isVisible()) box = b;
    }
    if (dialog == nullptr) return;
    if (!closeAsked_ && fs::exists(prefix_ + ".ask")) {
      closeAsked_ = true;
      // Queued, so that the question's own event loop does not run inside
      // this timer's slot.
      QMetaObject::invokeMethod(dialog, "reject", Qt::QueuedConnection);
    }
    if (box == nullptr) return;
    if (box != current_) {
      current_ = box;
      ++asked_;
      rowsAsked_ = dialog->RowCount();
      rowAdded_ = {};
      testsupport::PublishFile(prefix_ + ".asked." + std::to_string(asked_), std::to_string(rowsAsked_));
    }
    const std::string n = std::to_string(asked_);
    if (dialog->RowCount() > rowsAsked_ && rowAdded_ == std::chrono::steady_clock::time_point{})
      rowAdded_ = std::chrono::steady_clock::now();
    // Activation comes through the window system's events: give them a moment.
    if (rowAdded_ != std::chrono::steady_clock::time_point{} && !fs::exists(prefix_ + ".front." + n) &&
        std::chrono::steady_clock::now() - rowAdded_ > 300ms) {
      testsupport::PublishFile(prefix_ + ".front." + n, QApplication::activeWindow() == box ? "1" : "0");
    }
    const std::string answer = testsupport::ReadFileBytes(prefix_ + ".answer." + n);
    if (answer == "yes" || answer == "no") {
      box->button(answer == "yes" ? QMessageBox::Yes : QMessageBox::No)->click();
    }
  }

  std::string prefix_;
  QTimer timer_;
  bool closeAsked_ = false;
  QPointer<QMessageBox> current_;
  int asked_ = 0;
  int rowsAsked_ = 0;
  std::chrono::steady_clock::time_point rowAdded_{};
};

// One start of the program. Args: url, "accept" or "cancel", chosen path,
// go file ("-" for none), report file, then options:
//   convert           choose the MP3 conversion (a temporary file) instead of
//                     the file's own format;
//   cookie=N          a cookie of N characters;
//   probe=MS          keep the UI thread busy MS ms after each worker starts;
//   question=PREFIX   play the close question (CloseQuestionPlayer);
//   resume            resume every paused row (those an earlier run left),
//                     as a user would press Resume.
// Writes the largest row count its manager dialog had into the report file,
// and its runtime folder into <report file>.where; exits with the
// LaunchOutcome.
VEXARO_TEST_HELPER(launch) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int argc = 1;
  char name[] = "vexaro";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);

  int rows = 0;
  QTimer watch;
  bool resume = false;
  QObject::connect(&watch, &QTimer::timeout, [&rows, &resume] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* dialog = qobject_cast<manager::CDownloadFileDialog*>(widget);
      if (!dialog) continue;
      rows = std::max(rows, dialog->RowCount());
      for (int i = 0; resume && i < dialog->RowCount(); ++i) {
        if (dialog->Row(i)->IsPaused()) dialog->Row(i)->Resume();
      }
    }
  });
  watch.start(10);

  startup::DownloadRequest request;
  request.url = platform::FromUtf8(args.at(0));
  request.file = u"clip";
  request.type = u"video/x-flv";
  request.format = u"-1";
  request.autoclose = true;
  bool convert = false;
  std::unique_ptr<CloseQuestionPlayer> player;
  for (std::size_t i = 5; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "convert") convert = true;
    if (option == "resume") resume = true;
    if (option.rfind("cookie=", 0) == 0) request.cookie = u"c=" + std::u16string(std::stoul(option.substr(7)) - 2, u'k');
    if (option.rfind("probe=", 0) == 0) {
      probeMs = std::stoi(option.substr(6));
      transfer::CDownloadItem::SetWorkerStarter(&StartAndStayBusy);
    }
    if (option.rfind("question=", 0) == 0) player = std::make_unique<CloseQuestionPlayer>(option.substr(9));
  }
  startup::LocalHandoffLink link;
  ScriptedSaveAs saveAs(args.at(1), args.at(2), args.at(3) == "-" ? "" : args.at(3), convert);
  startup::ManagerDialogRunner manager;
  startup::LaunchParts parts{saveAs, manager, link};
  testsupport::PublishFile(args.at(4) + ".where", platform::ToUtf8(platform::RuntimeFolder()));
  const startup::LaunchOutcome outcome = startup::RunLaunchSequence(request, parts);
  manager::WaitForDetachedWorkers();
  testsupport::PublishFile(args.at(4), std::to_string(rows));
  return static_cast<int>(outcome);
}

// A start between naming its temporary file and showing it on a row: holds
// the name as a start does, writes it into the ready file, and waits to be
// killed. Args: ready file.
VEXARO_TEST_HELPER(named_temporary) {
  settings::Settings::GetInstance();
  const std::u16string path = settings::Settings::GetTempFileName(u"vx_", u"flv");
  if (path.empty()) return 2;
  testsupport::WriteFileBytes(platform::ToUtf8(path), std::string(1000, 'x'));
  testsupport::PublishFile(args.at(0), platform::ToUtf8(path));
  std::this_thread::sleep_for(600s);
  return 0;
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

// A first instance that holds the marker and config.ini's lock without
// listening (a test stops it there) until the release file appears. Args:
// ready file, release file.
VEXARO_TEST_HELPER(first_holding_config) {
  platform::InstanceMarker marker;
  if (marker.Take() != 0) return 2;
  settings::Mutex lock(settings::kConfigFileLock, settings::kConfigFileErrorBase);
  if (!lock.IsLocked()) return 3;
  testsupport::PublishFile(args.at(0), "");
  testsupport::WaitForFile(args.at(1), 120000);
  return 0;
}

constexpr int kRanManager = static_cast<int>(startup::LaunchOutcome::RanManager);
constexpr int kHandedOver = static_cast<int>(startup::LaunchOutcome::HandedOver);
constexpr int kOwnWindow = static_cast<int>(startup::LaunchOutcome::OwnWindow);
constexpr int kCancelled = static_cast<int>(startup::LaunchOutcome::Cancelled);
constexpr std::uint64_t kLength = 300000;
constexpr std::uint64_t kOtherLength = 200000;

class LaunchProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("no_proxy", "*", 1);
    settings::Settings::GetInstance();
    server_.Http().Get("/fast", [](const httplib::Request&, httplib::Response& res) {
      LoopbackServer::ServePattern(res, kLength);
    });
    server_.Http().Get("/other", [](const httplib::Request&, httplib::Response& res) {
      LoopbackServer::ServePattern(res, kOtherLength);
    });
    server_.Http().Get("/missing", [](const httplib::Request&, httplib::Response& res) { res.status = 404; });
    server_.Http().Get("/tiny", [](const httplib::Request&, httplib::Response& res) {
      LoopbackServer::ServePattern(res, 100);
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

  // The socket of a listening first instance exists in folder; returns its
  // path, or empty.
  std::string WaitForListener(std::string folder = {}) const {
    if (folder.empty()) folder = home_.Root().File("runtime/Vexaro");
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      std::error_code ignored;
      for (const auto& e : fs::directory_iterator(folder, ignored)) {
        if (e.path().filename().string().rfind("handoff-", 0) == 0) return e.path().string();
      }
      std::this_thread::sleep_for(10ms);
    }
    return {};
  }

  static void ExpectComplete(const std::string& path, std::uint64_t length = kLength) {
    const std::string bytes = testsupport::ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), length) << path;
    for (std::uint64_t i = 0; i < length; i += 997) ASSERT_EQ(bytes[i], LoopbackServer::PatternByte(i)) << i;
  }

  static bool WaitForSize(const std::string& path, std::uint64_t length, std::chrono::seconds limit = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::error_code missing;
    while (fs::file_size(path, missing) != length) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

  // A download into path is under way: its unfinished file is there (its size
  // says nothing, the file is reserved whole when the size is known).
  static bool WaitForDownloadUnderWay(const std::string& path, std::chrono::seconds limit = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!fs::exists(path + ".vxpart") && !fs::exists(path)) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

  // The temporary files in the cache folder, by name.
  std::set<std::string> TemporaryFiles() const {
    std::set<std::string> names;
    std::error_code ignored;
    for (const auto& e : fs::directory_iterator(home_.CacheFolder(), ignored)) {
      const std::string name = e.path().filename().string();
      if (name.rfind("vx_", 0) == 0) names.insert(name);
    }
    return names;
  }

  testsupport::TempDataHome home_;
  LoopbackServer server_;
  std::atomic<bool> released_{false};
};

TEST_F(LaunchProcessTest, SecondStartBecomesASecondRowOfTheFirstAndCompletes) {
  HelperProcess first("launch", {server_.Url("/held"), "accept", Target("one.flv"), "-", Target("first.rows")});
  ASSERT_FALSE(WaitForListener().empty());

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
  ASSERT_FALSE(WaitForListener().empty()) << "the first listens before its Save-As";

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

// A first instance that holds the marker but takes nothing (here it never
// listens; a stopped or hung one looks the same): once the retry time is
// over, the later start shows its download in a window of its own instead of
// dropping it.
TEST_F(LaunchProcessTest, LaterStartThatNobodyTakesShowsItsOwnWindow) {
  HelperProcess ending("ending_instance", {Target("ready"), Target("release")});
  ASSERT_TRUE(testsupport::WaitForFile(Target("ready"), 10000));

  HelperProcess later("launch", {server_.Url("/fast"), "accept", Target("two.flv"), "-", Target("later.rows")});
  EXPECT_EQ(later.Wait(), kOwnWindow);
  EXPECT_EQ(testsupport::ReadFileBytes(Target("later.rows")), "1");
  ExpectComplete(Target("two.flv"));
  testsupport::WriteFileBytes(Target("release"), "");
  EXPECT_EQ(ending.Wait(), 0);
}

// A first instance stopped (SIGSTOP) while it holds config.ini's lock: a
// later start waits the lock out, then still offers the download (with the
// shipped formats) and shows it in a window of its own.
TEST_F(LaunchProcessTest, LaterStartPastAStoppedFirstHoldingTheConfigShowsItsDownload) {
  HelperProcess first("first_holding_config", {Target("ready"), Target("release")});
  ASSERT_TRUE(testsupport::WaitForFile(Target("ready"), 10000));
  ASSERT_EQ(::kill(first.Pid(), SIGSTOP), 0);

  HelperProcess later("launch", {server_.Url("/fast"), "accept", Target("two.flv"), "-", Target("later.rows")});
  EXPECT_EQ(later.Wait(), kOwnWindow);
  EXPECT_EQ(testsupport::ReadFileBytes(Target("later.rows")), "1");
  ExpectComplete(Target("two.flv"));
  EXPECT_FALSE(testsupport::RecordedError(u"1399").empty()) << "the lock's timeout is recorded";
  ::kill(first.Pid(), SIGCONT);
  testsupport::WriteFileBytes(Target("release"), "");
  EXPECT_EQ(first.Wait(), 0);
}

// How many connections wait at the listening socket (accepted or not), from
// the kernel's table of Unix sockets, where each shows the socket's path.
int ConnectionsAt(const std::string& socket) {
  std::ifstream table("/proc/net/unix");
  std::string line;
  int count = 0;
  while (std::getline(table, line)) {
    if (line.size() >= socket.size() && line.compare(line.size() - socket.size(), std::string::npos, socket) == 0)
      ++count;
  }
  return count - 1;  // the listener itself
}

// Two later starts whose records reach a first instance that is held still
// (SIGSTOP) arrive interleaved: each connection's records make its own
// download, so each file is fetched once, whole, by a row of its own.
TEST_F(LaunchProcessTest, TwoHandOffsArrivingTogetherStayApart) {
  HelperProcess first("launch", {server_.Url("/held"), "accept", Target("one.flv"), "-", Target("first.rows")});
  const std::string socket = WaitForListener();
  ASSERT_FALSE(socket.empty());
  // Stopped with its dialog up, not in the middle of reading its stores.
  ASSERT_TRUE(WaitForDownloadUnderWay(Target("one.flv")));

  ASSERT_EQ(::kill(first.Pid(), SIGSTOP), 0);
  HelperProcess b("launch", {server_.Url("/fast"), "accept", Target("b.flv"), "-", Target("b.rows")});
  HelperProcess c("launch", {server_.Url("/other"), "accept", Target("c.flv"), "-", Target("c.rows")});
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (ConnectionsAt(socket) < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(ConnectionsAt(socket), 2) << "both senders wait at the socket";
  std::this_thread::sleep_for(200ms);  // their first records are written
  ASSERT_EQ(::kill(first.Pid(), SIGCONT), 0);

  EXPECT_EQ(b.Wait(), kHandedOver);
  EXPECT_EQ(c.Wait(), kHandedOver);
  EXPECT_TRUE(WaitForSize(Target("b.flv"), kLength));
  EXPECT_TRUE(WaitForSize(Target("c.flv"), kOtherLength));
  released_ = true;
  EXPECT_EQ(first.Wait(), kRanManager);
  EXPECT_EQ(testsupport::ReadFileBytes(Target("first.rows")), "3") << "its own and exactly the two handed over";
  ExpectComplete(Target("one.flv"));
  ExpectComplete(Target("b.flv"));
  ExpectComplete(Target("c.flv"), kOtherLength);
}

// Browsers send cookies far beyond 64 KiB; one of 100,000 characters reaches
// the server whole through the hand-off.
TEST_F(LaunchProcessTest, HugeCookieIsHandedOverWhole) {
  testsupport::RawHttpServer raw(kLength);
  ASSERT_TRUE(raw.Start());
  HelperProcess first("launch", {server_.Url("/held"), "accept", Target("one.flv"), "-", Target("first.rows")});
  ASSERT_FALSE(WaitForListener().empty());

  HelperProcess second("launch",
                       {raw.Url("/big"), "accept", Target("big.flv"), "-", Target("second.rows"), "cookie=100000"});
  EXPECT_EQ(second.Wait(), kHandedOver);
  ASSERT_TRUE(WaitForSize(Target("big.flv"), kLength));
  released_ = true;
  EXPECT_EQ(first.Wait(), kRanManager);
  EXPECT_EQ(testsupport::ReadFileBytes(Target("first.rows")), "2");
  const std::vector<std::string> heads = raw.Heads();
  ASSERT_EQ(heads.size(), 1u);
  EXPECT_EQ(testsupport::RawHttpServer::HeaderValue(heads[0], "Cookie"), "c=" + std::string(99998, 'k'));
  ExpectComplete(Target("big.flv"));
}

// A download handed over while "Are you sure you want to exit?" is open was
// not asked about: a Yes to that question does not end it. The question is
// asked again, and stays in front of the window the new row brought forward.
TEST_F(LaunchProcessTest, RowHandedOverDuringTheCloseQuestionSurvivesAYes) {
  const std::string q = Target("question");
  HelperProcess first("launch", {server_.Url("/held"), "accept", Target("one.flv"), "-", Target("first.rows"),
                                 "question=" + q});
  ASSERT_FALSE(WaitForListener().empty());
  testsupport::WriteFileBytes(q + ".ask", "");
  ASSERT_TRUE(testsupport::WaitForFile(q + ".asked.1", 30000));
  EXPECT_EQ(testsupport::ReadFileBytes(q + ".asked.1"), "1");

  HelperProcess second("launch", {server_.Url("/fast"), "accept", Target("two.flv"), "-", Target("second.rows")});
  EXPECT_EQ(second.Wait(), kHandedOver);
  ASSERT_TRUE(testsupport::WaitForFile(q + ".front.1", 30000));
  EXPECT_EQ(testsupport::ReadFileBytes(q + ".front.1"), "1") << "the question stays in front";
  testsupport::WriteFileBytes(q + ".answer.1", "yes");

  ASSERT_TRUE(testsupport::WaitForFile(q + ".asked.2", 10000)) << "a Yes given before the row came ended it";
  EXPECT_EQ(testsupport::ReadFileBytes(q + ".asked.2"), "2");
  EXPECT_TRUE(WaitForSize(Target("two.flv"), kLength));
  testsupport::WriteFileBytes(q + ".answer.2", "no");
  released_ = true;
  EXPECT_EQ(first.Wait(), kRanManager);
  ExpectComplete(Target("one.flv"));
  ExpectComplete(Target("two.flv"));
}

// "Close when finished" and a first row that ends at once, with the UI
// thread busy for a moment after it starts: a download handed over while the
// first instance was in its Save-As dialog is a row before that end can close
// the dialog, and is fetched whole rather than stopped with the dialog. (A
// row that fails keeps the window open, so the first one succeeds here.)
TEST_F(LaunchProcessTest, DownloadsKeptBeforeTheDialogAreRowsBeforeAnyEndClosesIt) {
  HelperProcess first("launch", {server_.Url("/tiny"), "accept", Target("one.flv"), Target("go"),
                                 Target("first.rows"), "probe=20"});
  ASSERT_FALSE(WaitForListener().empty());
  HelperProcess second("launch", {server_.Url("/held"), "accept", Target("two.flv"), "-", Target("second.rows")});
  EXPECT_EQ(second.Wait(), kHandedOver);
  testsupport::WriteFileBytes(Target("go"), "");

  ASSERT_TRUE(WaitForDownloadUnderWay(Target("two.flv")));
  std::this_thread::sleep_for(500ms);  // long enough for a dialog that ends early to have stopped the row
  released_ = true;
  EXPECT_EQ(first.Wait(), kRanManager);
  EXPECT_EQ(testsupport::ReadFileBytes(Target("first.rows")), "2");
  ExpectComplete(Target("two.flv"));
}

// Temporary files of starts killed with SIGKILL: what a killed start's
// download still needs stays (its journal names it), and that download comes
// back as a paused row in the next start's window, where Resume completes
// it; a name that nothing needs any more (a start killed before its row
// existed) goes; nothing a running start uses goes. (The second killed start
// keeps to a runtime folder of its own, so that it is a first instance beside
// the running one, as a start of another session is.)
TEST_F(LaunchProcessTest, KilledStartsLeaveOnlyWhatTheirDownloadsNeed) {
  testsupport::UseScriptConverter(home_.Root().File("programs"), "printf converted > \"$last\"");
  const auto newDownload = [this](const std::set<std::string>& before) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
      // Its unfinished file: the download into the temporary file is under way.
      const std::string unfinished = ".flv.vxpart";
      for (const std::string& name : TemporaryFiles()) {
        if (before.count(name) == 0 && name.size() > unfinished.size() &&
            name.compare(name.size() - unfinished.size(), unfinished.size(), unfinished) == 0)
          return name.substr(0, name.size() - unfinished.size());
      }
      std::this_thread::sleep_for(10ms);
    }
    return std::string();
  };
  const auto stemFiles = [](const std::string& stem) {
    return std::set<std::string>{stem + ".flv.vxpart", stem + ".tmp"};
  };
  const auto with = [](std::set<std::string> a, const std::set<std::string>& b) {
    a.insert(b.begin(), b.end());
    return a;
  };

  HelperProcess killed("launch", {server_.Url("/held"), "accept", Target("a.flv"), "-", Target("a.rows"), "convert"});
  const std::string killedStem = newDownload({});
  ASSERT_FALSE(killedStem.empty()) << "the download into the temporary file began";
  killed.Kill();

  HelperProcess naming("named_temporary", {Target("named")});
  ASSERT_TRUE(testsupport::WaitForFile(Target("named"), 30000));
  const std::string namedStem = fs::path(testsupport::ReadFileBytes(Target("named"))).stem().string();
  naming.Kill();
  ASSERT_EQ(TemporaryFiles(), with(stemFiles(killedStem), {namedStem + ".flv", namedStem + ".tmp"}));

  // The next start: the nameless leftovers go, the killed download's files
  // stay and it is a row again.
  HelperProcess running("launch", {server_.Url("/held"), "accept", Target("b.flv"), "-", Target("b.rows"), "convert",
                                   "resume"});
  const std::string runningStem = newDownload(stemFiles(killedStem));
  ASSERT_FALSE(runningStem.empty());
  const std::set<std::string> kept = with(stemFiles(killedStem), stemFiles(runningStem));
  EXPECT_EQ(TemporaryFiles(), kept);

  const std::string otherRuntime = home_.Root().File("runtime2");
  fs::create_directory(otherRuntime);
  ::setenv("XDG_RUNTIME_DIR", otherRuntime.c_str(), 1);
  HelperProcess elsewhere("launch",
                          {server_.Url("/held"), "accept", Target("d.flv"), "-", Target("d.rows"), "convert"});
  ::setenv("XDG_RUNTIME_DIR", home_.Root().File("runtime").c_str(), 1);
  const std::string elsewhereStem = newDownload(kept);
  ASSERT_FALSE(elsewhereStem.empty());
  elsewhere.Kill();
  const std::set<std::string> all = with(kept, stemFiles(elsewhereStem));
  EXPECT_EQ(TemporaryFiles(), all);

  // A later start takes nothing away: every file is in use or in a journal.
  HelperProcess later("launch", {server_.Url("/fast"), "cancel", Target("c.flv"), "-", Target("c.rows")});
  EXPECT_EQ(later.Wait(), kCancelled);
  EXPECT_EQ(TemporaryFiles(), all);

  // A conversion handed over to the running start: its maker has ended, and
  // the row that uses it keeps it.
  HelperProcess handing("launch", {server_.Url("/held"), "accept", Target("e.flv"), "-", Target("e.rows"), "convert"});
  EXPECT_EQ(handing.Wait(), kHandedOver);
  const std::string handedStem = newDownload(all);
  ASSERT_FALSE(handedStem.empty());
  HelperProcess again("launch", {server_.Url("/fast"), "cancel", Target("f.flv"), "-", Target("f.rows")});
  EXPECT_EQ(again.Wait(), kCancelled);
  EXPECT_EQ(TemporaryFiles(), with(all, stemFiles(handedStem)));

  released_ = true;
  EXPECT_EQ(running.Wait(), kRanManager);
  EXPECT_EQ(testsupport::ReadFileBytes(Target("b.rows")), "3") << "its own, the killed start's and the handed-over";
  EXPECT_EQ(testsupport::ReadFileBytes(Target("a.mp3")), "converted") << "the killed start's download, resumed";
  EXPECT_EQ(testsupport::ReadFileBytes(Target("b.mp3")), "converted");
  EXPECT_EQ(testsupport::ReadFileBytes(Target("e.mp3")), "converted");
  // The start killed elsewhere: its download waits for the next start.
  EXPECT_EQ(TemporaryFiles(), stemFiles(elsewhereStem));
}

// Another local user makes names where a start of ours could look for its
// locks, its marker and its socket: in /dev/shm, in the temporary folder, a
// runtime folder of theirs in our XDG_RUNTIME_DIR (as after su), or our
// runtime folder's path is too long for a socket. Every start of ours still
// works: the first shows its manager and the next hands its download over,
// or, where no place can be shared, shows it in a window of its own.
struct ForeignNamesCase {
  const char* name;
  // XDG_RUNTIME_DIR of the first and the later start: "foreign", "unset",
  // "long" (ours, too long for a socket path), "ours".
  const char* firstRuntime;
  const char* laterRuntime;
  bool homeUsable;
  int laterOutcome;
};

class ForeignNamesTest : public LaunchProcessTest, public ::testing::WithParamInterface<ForeignNamesCase> {
 protected:
  void SetUp() override {
    LaunchProcessTest::SetUp();
    std::string why;
    if (!testsupport::EnsureTestAccount("vexaro-test", user_, why)) GTEST_SKIP() << why;
    // The test's folder: enterable by the user, its own folder inside.
    ::chmod(home_.Root().Path().c_str(), 0711);
    mine_ = home_.Root().File("user");
    for (const char* sub : {"", "/data", "/cache", "/home", "/out", "/run"}) {
      fs::create_directories(mine_ + sub);
      testsupport::GiveTo(user_, mine_ + sub);
    }
    ::chmod((mine_ + "/run").c_str(), 0700);
    longRun_ = mine_ + "/run/" + std::string(60, 'r') + "/" + std::string(60, 'u');
    fs::create_directories(longRun_);
    testsupport::GiveTo(user_, mine_ + "/run/" + std::string(60, 'r'));
    testsupport::GiveTo(user_, longRun_);
    program_ = testsupport::ProgramCopyFor(home_.Root().Path());
    ASSERT_FALSE(program_.empty());

    // What the other user (root here) made beforehand.
    foreignRun_ = home_.Root().File("foreign-run");
    fs::create_directory(foreignRun_);
    ::chmod(foreignRun_.c_str(), 0700);
    tmp_ = home_.Root().File("tmp");
    fs::create_directory(tmp_);
    ::chmod(tmp_.c_str(), 01777);
    const std::string uid = std::to_string(user_.uid);
    fs::create_directory(tmp_ + "/vexaro-" + uid);
    ::chmod((tmp_ + "/vexaro-" + uid).c_str(), 0700);
    const std::string scope = std::getenv("VEXARO_LOCK_SCOPE");
    for (const char* lock : {"ConfigFile", "DictionaryFile", "SettingsFile", "SettingsFileTab"}) {
      const std::string name = "/dev/shm/vexaro-" + uid + "-Global%5COmbrel" + lock + "%40" + scope;
      testsupport::WriteFileBytes(name, "");
      ::chmod(name.c_str(), 0600);
      squatted_.push_back(name);
    }
  }

  void TearDown() override {
    for (const std::string& name : squatted_) ::unlink(name.c_str());
  }

  std::map<std::string, std::string> Environment(const std::string& runtime, bool homeUsable) const {
    std::map<std::string, std::string> env{{"XDG_DATA_HOME", mine_ + "/data"},
                                           {"XDG_CACHE_HOME", mine_ + "/cache"},
                                           {"TMPDIR", tmp_},
                                           {"HOME", homeUsable ? mine_ + "/home" : foreignRun_},
                                           {"XDG_RUNTIME_DIR", ""}};
    if (runtime == "foreign") env["XDG_RUNTIME_DIR"] = foreignRun_;
    if (runtime == "long") env["XDG_RUNTIME_DIR"] = longRun_;
    if (runtime == "ours") env["XDG_RUNTIME_DIR"] = mine_ + "/run";
    return env;
  }

  std::unique_ptr<HelperProcess> Start(const std::string& runtime, bool homeUsable, const std::string& url,
                                       const std::string& name) const {
    return std::make_unique<HelperProcess>(
        "launch",
        std::vector<std::string>{url, "accept", mine_ + "/out/" + name + ".flv", "-", mine_ + "/out/" + name + ".rows"},
        testsupport::RunAs(user_, Environment(runtime, homeUsable)), program_);
  }

  testsupport::TestAccount user_;
  std::string mine_, longRun_, program_, foreignRun_, tmp_;
  std::vector<std::string> squatted_;
};

TEST_P(ForeignNamesTest, EveryStartKeepsWorking) {
  const ForeignNamesCase& c = GetParam();
  const std::unique_ptr<HelperProcess> first = Start(c.firstRuntime, c.homeUsable, server_.Url("/held"), "one");
  // Its marker is taken and it listens (or stands alone) once its row runs.
  ASSERT_TRUE(WaitForDownloadUnderWay(mine_ + "/out/one.flv")) << "the first start shows its download";

  const std::unique_ptr<HelperProcess> later = Start(c.laterRuntime, c.homeUsable, server_.Url("/fast"), "two");
  EXPECT_EQ(later->Wait(), c.laterOutcome);
  const std::string firstWhere = testsupport::ReadFileBytes(mine_ + "/out/one.rows.where");
  const std::string laterWhere = testsupport::ReadFileBytes(mine_ + "/out/two.rows.where");
  if (c.laterOutcome == kHandedOver) {
    EXPECT_EQ(firstWhere, laterWhere) << "they meet in one place";
  }
  for (const std::string& where : {firstWhere, laterWhere}) {
    EXPECT_EQ(where.rfind(mine_ + "/", 0) == 0 || where.rfind(tmp_ + "/vexaro-" + std::to_string(user_.uid) + "-", 0) == 0,
              true)
        << where;
  }
  EXPECT_TRUE(WaitForSize(mine_ + "/out/two.flv", kLength));
  released_ = true;
  EXPECT_EQ(first->Wait(), kRanManager);
  EXPECT_EQ(testsupport::ReadFileBytes(mine_ + "/out/one.rows"), c.laterOutcome == kHandedOver ? "2" : "1");
  ExpectComplete(mine_ + "/out/one.flv");
  ExpectComplete(mine_ + "/out/two.flv");
  EXPECT_TRUE(fs::exists(mine_ + "/data/Vexaro/config.ini")) << "the stores' locks were had";
  // Nothing of ours went where the other user could reach it.
  for (const std::string& place : {foreignRun_, tmp_ + "/vexaro-" + std::to_string(user_.uid)}) {
    EXPECT_TRUE(fs::is_empty(place)) << place;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ForeignNamesTest,
    ::testing::Values(ForeignNamesCase{"OwnRuntimeFolder", "ours", "ours", true, kHandedOver},
                      ForeignNamesCase{"ForeignRuntimeFolderAsAfterSu", "foreign", "foreign", true, kHandedOver},
                      ForeignNamesCase{"ForeignAndUnsetRuntimeFoldersMeet", "foreign", "unset", true, kHandedOver},
                      ForeignNamesCase{"RuntimePathTooLongForASocket", "long", "long", true, kHandedOver},
                      // Each start then keeps to a folder of its own and is a
                      // first instance there.
                      ForeignNamesCase{"NoPlaceToShareLeavesEachStartOnItsOwn", "unset", "unset", false,
                                       kRanManager}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
