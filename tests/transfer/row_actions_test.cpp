// What a user does with a row, offscreen, with the real worker against
// scripted loopback servers: pause and resume, cancel a paused row, retry a
// failed one, open the result or its folder.
#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QPushButton>
#include <QTest>
#include <QUrl>
#include <QWidget>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/PartFile.h"
#include "platform/Text.h"
#include "settings/IniFile.h"
#include "settings/Settings.h"
#include "support/Downloads.h"
#include "support/ScriptedServer.h"
#include "support/ShippedTexts.h"
#include "support/TempFolder.h"
#include "transfer/DownloadItem.h"

namespace {

using testsupport::ScriptedReply;
using testsupport::ScriptedRequest;
using testsupport::ScriptedServer;
using transfer::CDownloadItem;
using transfer::ToQString;
namespace fs = std::filesystem;

constexpr std::uint64_t kSize = 3 * 1024 * 1024;

// Catches what the row hands to the desktop (the real handler would start
// an application).
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  std::vector<QUrl> urls;
 public slots:
  void Open(const QUrl& url) { urls.push_back(url); }
};

class RowActionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("no_proxy", "*", 1);
    settings::Settings::GetInstance();
    ASSERT_TRUE(testsupport::InstallShippedTexts());
    // One connection, one try: each request of a test is one the test made.
    settings::IniFile file(settings::Settings::GetDataPath(u"settings.ini"), true);
    file.Read();
    file.SetSection(u"Transfer", {{u"connections", u"1"}, {u"tries", u"1"}});
    ASSERT_TRUE(file.Write());
    window_.resize(420, 100);
    window_.show();
  }

  void TearDown() override {
    for (auto& row : rows_) row->m_stopEvent.Set();
    for (auto& row : rows_) EXPECT_TRUE(QTest::qWaitFor([&] { return !row->WorkerRunning(); }, 60000));
    rows_.clear();
    server_.reset();
  }

  void Serve(ScriptedServer::Handler handler) {
    server_ = std::make_unique<ScriptedServer>(std::move(handler));
    ASSERT_TRUE(server_->Start());
  }

  CDownloadItem* MakeRow() {
    rows_.push_back(std::make_unique<CDownloadItem>(platform::FromUtf8(server_->Url("/clip.flv")), u"", Target16(),
                                                    u"", 0, u"", 0, u""));
    CDownloadItem* row = rows_.back().get();
    row->Create(&window_, QRect(5, 10, 395, CDownloadItem::GetItemHeight()), 1600);
    return row;
  }

  // Waits until the row is paused (its worker gone, its state kept).
  static bool WaitPaused(CDownloadItem* row) {
    return QTest::qWaitFor([row] { return row->IsPaused() && !row->WorkerRunning(); }, 30000);
  }
  static bool WaitFinished(CDownloadItem* row) { return QTest::qWaitFor([row] { return row->IsFinished(); }, 60000); }
  // Bytes have arrived and been reported.
  static bool WaitForBytes(CDownloadItem* row) {
    return QTest::qWaitFor([row] { return row->DetailText().contains(" of "); }, 30000);
  }

  std::string Target() const { return work_.File("clip.flv"); }
  std::u16string Target16() const { return work_.File16("clip.flv"); }
  std::string Unfinished() const { return Target() + ".vxpart"; }
  static bool Shown(const CDownloadItem* row, const QString& status) {
    const std::vector<QString>& shown = row->AppliedStatusTexts();
    return std::find(shown.begin(), shown.end(), status) != shown.end();
  }

  testsupport::TempDataHome home_;
  testsupport::TempFolder work_;
  std::unique_ptr<ScriptedServer> server_;
  QWidget window_;
  std::vector<std::unique_ptr<CDownloadItem>> rows_;
};

// Pause stops at once and keeps what arrived; Resume asks only for the rest
// of the same version and the file comes out whole.
TEST_F(RowActionsTest, PauseThenResumeGivesTheWholeFileAskingOnlyTheRest) {
  const testsupport::ServedFile file{testsupport::VersionBytes(kSize, 1), "\"v1\"", ""};
  Serve([&file](const ScriptedRequest& request) {
    ScriptedReply reply = ScriptedServer::ServeFile(request, file);
    if (request.index == 0) reply.bytesPerSecond = 400 * 1024;
    return reply;
  });
  CDownloadItem* row = MakeRow();
  ASSERT_TRUE(WaitForBytes(row));
  EXPECT_EQ(row->VisibleButtons(), (QStringList{"Pause", "Cancel"}));

  row->findChild<QPushButton*>("Pause")->click();
  ASSERT_TRUE(WaitPaused(row));
  EXPECT_EQ(row->StatusText(), ToQString(u"Paused: " + Target16()));
  EXPECT_TRUE(row->DetailText().contains(" of 3.1 Mb")) << row->DetailText().toStdString();
  EXPECT_FALSE(row->IsFinished());
  EXPECT_EQ(row->VisibleButtons(), (QStringList{"Resume", "Cancel"}));
  ASSERT_TRUE(row->LastResumeState());
  const std::uint64_t kept = row->LastResumeState()->onDisk.Total();
  EXPECT_GT(kept, 0u);
  EXPECT_LT(kept, kSize);
  EXPECT_TRUE(fs::exists(Unfinished()));
  EXPECT_FALSE(fs::exists(Target()));

  row->findChild<QPushButton*>("Resume")->click();
  ASSERT_TRUE(WaitFinished(row));
  EXPECT_EQ(row->CurrentState(), CDownloadItem::State::Done);
  EXPECT_EQ(testsupport::Digest(testsupport::ReadFileBytes(Target())), testsupport::Digest(*file.bytes));
  EXPECT_FALSE(fs::exists(Unfinished()));
  const std::vector<ScriptedRequest> requests = server_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].Header("range"), "bytes=" + std::to_string(kept) + "-");
  EXPECT_EQ(requests[1].Header("if-range"), "\"v1\"");
  EXPECT_EQ(row->VisibleButtons(), (QStringList{"Open", "ShowInFolder"}));
}

// A server that cannot continue (no ranges, no validator): Resume fetches the
// file again from its start and says so.
TEST_F(RowActionsTest, ResumeFromAServerWithoutRangesStartsOverAndSaysSo) {
  const testsupport::ServedFile file{testsupport::VersionBytes(kSize, 2), "", ""};
  Serve([&file](const ScriptedRequest& request) {
    ScriptedReply reply = ScriptedServer::ServeFile(request, file, testsupport::FileBehaviour{false, false, true});
    if (request.index == 0) reply.bytesPerSecond = 400 * 1024;
    return reply;
  });
  CDownloadItem* row = MakeRow();
  ASSERT_TRUE(WaitForBytes(row));
  row->Pause();
  ASSERT_TRUE(WaitPaused(row));
  EXPECT_TRUE(row->Resume());
  ASSERT_TRUE(WaitFinished(row));
  EXPECT_TRUE(Shown(row, ToQString(u"Starting over, the server cannot resume: " + Target16())));
  EXPECT_EQ(testsupport::Digest(testsupport::ReadFileBytes(Target())), testsupport::Digest(*file.bytes));
  const std::vector<ScriptedRequest> requests = server_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  // From its start (a fresh download probes for ranges with bytes=0-).
  const std::string range = requests[1].Header("range");
  EXPECT_TRUE(range.empty() || range == "bytes=0-") << range;
}

// Cancel on a paused row: nothing of the download is left, and the row is
// finished as cancelled.
TEST_F(RowActionsTest, CancelWhilePausedLeavesNothing) {
  const testsupport::ServedFile file{testsupport::VersionBytes(kSize, 3), "\"v3\"", ""};
  Serve([&file](const ScriptedRequest& request) {
    ScriptedReply reply = ScriptedServer::ServeFile(request, file);
    reply.bytesPerSecond = 400 * 1024;
    return reply;
  });
  CDownloadItem* row = MakeRow();
  ASSERT_TRUE(WaitForBytes(row));
  row->Pause();
  ASSERT_TRUE(WaitPaused(row));
  ASSERT_TRUE(fs::exists(Unfinished()));
  row->findChild<QPushButton*>("Cancel")->click();
  EXPECT_TRUE(row->IsFinished());
  EXPECT_EQ(row->CurrentState(), CDownloadItem::State::Cancelled);
  EXPECT_EQ(row->StatusText(), ToQString(u"Download canceled: " + Target16()));
  EXPECT_FALSE(fs::exists(Unfinished()));
  EXPECT_FALSE(fs::exists(Target()));
  EXPECT_TRUE(row->VisibleButtons().isEmpty());
  EXPECT_EQ(server_->Requests().size(), 1u);
}

// A failed transfer keeps its bytes while the row is there: Retry continues
// from them. So it does after a Pause that landed as the last connection
// failed for good and left its signal behind: the new worker must not take it
// for a Cancel and remove the bytes.
class RetryTest : public RowActionsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RetryTest, ContinuesFromWhatIsOnDisk) {
  const bool pauseCameTooLate = GetParam();
  const testsupport::ServedFile file{testsupport::VersionBytes(kSize, 4), "\"v4\"", ""};
  Serve([&file](const ScriptedRequest& request) {
    ScriptedReply reply = ScriptedServer::ServeFile(request, file);
    if (request.index == 0) reply.cutAfter = 1024 * 1024;
    return reply;
  });
  CDownloadItem* row = MakeRow();
  ASSERT_TRUE(WaitFinished(row));
  EXPECT_EQ(row->CurrentState(), CDownloadItem::State::Failed);
  EXPECT_TRUE(row->StatusText().contains("connection lost")) << row->StatusText().toStdString();
  EXPECT_EQ(row->VisibleButtons(), (QStringList{"Retry"}));
  EXPECT_TRUE(fs::exists(Unfinished()));
  if (pauseCameTooLate) {
    // What Pause() does, had the worker still been looking.
    row->m_pauseRequested = true;
    row->m_stopEvent.Set();
  }

  row->findChild<QPushButton*>("Retry")->click();
  EXPECT_FALSE(row->IsFinished());
  ASSERT_TRUE(WaitFinished(row));
  EXPECT_EQ(row->CurrentState(), CDownloadItem::State::Done) << row->StatusText().toStdString();
  EXPECT_EQ(testsupport::Digest(testsupport::ReadFileBytes(Target())), testsupport::Digest(*file.bytes));
  const std::vector<ScriptedRequest> requests = server_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].Header("range"), "bytes=1048576-");
}

INSTANTIATE_TEST_SUITE_P(Rows, RetryTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "AfterAPauseThatCameTooLate" : "Plain"; });

// A row that came back without a state (its program ended before the first
// report): Cancel removes the unfinished file it may have left, unless a
// download that runs holds it.
TEST_F(RowActionsTest, CancelOfARowBackWithoutStateRemovesItsUnfinishedFile) {
  Serve([](const ScriptedRequest&) { return ScriptedServer::Status(404); });
  for (const bool held : {false, true}) {
    SCOPED_TRACE(held ? "held" : "left behind");
    testsupport::WriteFileBytes(Unfinished(), "left by the ended run");
    platform::PartFile other;
    if (held) {
      ASSERT_TRUE(other.Open(platform::FromUtf8(Unfinished()), false));
    }
    rows_.push_back(std::make_unique<CDownloadItem>(platform::FromUtf8(server_->Url("/clip.flv")), u"", Target16(),
                                                    u"", 0, u"", 0, u""));
    CDownloadItem* row = rows_.back().get();
    row->CreatePaused(&window_, QRect(5, 10, 395, CDownloadItem::GetItemHeight()), 1600, transfer::ResumeState());
    row->findChild<QPushButton*>("Cancel")->click();
    EXPECT_EQ(row->CurrentState(), CDownloadItem::State::Cancelled);
    EXPECT_EQ(fs::exists(Unfinished()), held);
    other.Close();
    fs::remove(Unfinished());
  }
  EXPECT_TRUE(server_->Requests().empty());
}

// A program ended while the converter ran: the restored row converts the
// download it already has and fetches nothing.
TEST_F(RowActionsTest, ARowBackFromADuringConversionKillConvertsWithoutFetching) {
  Serve([](const ScriptedRequest&) { return ScriptedServer::Status(500); });
  const std::string temp = work_.File("vx_1.flv");
  ASSERT_TRUE(testsupport::MakeClip(temp, 2));
  testsupport::UseSystemConverter();
  const std::u16string target = work_.File16("song.mp3");
  transfer::ResumeState placed = transfer::FreshState(platform::FromUtf8(server_->Url("/clip.flv")),
                                                      platform::FromUtf8(temp));
  placed.size = fs::file_size(temp);
  placed.etag = "\"v1\"";
  placed.rangesWork = true;
  placed.partOnDisk = false;
  rows_.push_back(std::make_unique<CDownloadItem>(platform::FromUtf8(server_->Url("/clip.flv")), platform::FromUtf8(temp),
                                                  target, u"-acodec libmp3lame -ab 160k -ac 2 -ar 44100", 0, u"", 0,
                                                  u""));
  CDownloadItem* row = rows_.back().get();
  row->CreatePaused(&window_, QRect(5, 10, 395, CDownloadItem::GetItemHeight()), 1600, placed);
  ASSERT_TRUE(row->Resume());
  ASSERT_TRUE(WaitFinished(row));
  EXPECT_EQ(row->CurrentState(), CDownloadItem::State::Done) << row->StatusText().toStdString();
  EXPECT_GT(fs::file_size(platform::ToUtf8(target)), 10000u);
  EXPECT_TRUE(server_->Requests().empty());

  // Without the download there, or not whole, it is fetched again.
  const std::u16string second = work_.File16("song2.mp3");
  testsupport::WriteFileBytes(temp, "cut short");
  rows_.push_back(std::make_unique<CDownloadItem>(platform::FromUtf8(server_->Url("/clip.flv")), platform::FromUtf8(temp),
                                                  second, u"-acodec libmp3lame", 0, u"", 0, u""));
  row = rows_.back().get();
  row->CreatePaused(&window_, QRect(5, 10, 395, CDownloadItem::GetItemHeight()), 1601, placed);
  ASSERT_TRUE(row->Resume());
  ASSERT_TRUE(WaitFinished(row));
  EXPECT_EQ(row->CurrentState(), CDownloadItem::State::Failed);
  EXPECT_FALSE(server_->Requests().empty());
}

// Open hands the file, Show in folder its folder, to the desktop.
TEST_F(RowActionsTest, OpenAndShowInFolderHandTheResultToTheDesktop) {
  const testsupport::ServedFile file{testsupport::VersionBytes(1000, 5), "", ""};
  Serve([&file](const ScriptedRequest& request) { return ScriptedServer::ServeFile(request, file); });
  // No file manager answers on this bus: Show in folder opens the folder.
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
  UrlCatcher catcher;
  QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "Open");
  CDownloadItem* row = MakeRow();
  ASSERT_TRUE(WaitFinished(row));
  EXPECT_EQ(row->ResultPath(), Target16());
  row->findChild<QPushButton*>("Open")->click();
  row->findChild<QPushButton*>("ShowInFolder")->click();
  QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
  ASSERT_EQ(catcher.urls.size(), 2u);
  EXPECT_EQ(catcher.urls[0], QUrl::fromLocalFile(QString::fromStdString(Target())));
  EXPECT_EQ(catcher.urls[1], QUrl::fromLocalFile(QString::fromStdString(work_.Path())));
}

}  // namespace

#include "row_actions_test.moc"
