// The Qt download row, offscreen, with the real worker, the loopback server
// and the real converter.
#include <gtest/gtest.h>

#include <QFontInfo>
#include <QIcon>
#include <QImage>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QWidget>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "localisation/Dictionary.h"
#include "platform/Text.h"
#include "settings/Settings.h"
#include "support/Downloads.h"
#include "support/ErrorRecord.h"
#include "support/ShippedTexts.h"
#include "support/TempFolder.h"
#include "transfer/Download.h"
#include "transfer/DownloadItem.h"

namespace {

using testsupport::LoopbackServer;
using transfer::CDownloadItem;
using transfer::ToQString;
namespace fs = std::filesystem;

bool RefuseThread(transfer::DownloadThreadParams* params) {
  delete params;
  return false;
}

class DownloadItemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("no_proxy", "*", 1);
    settings::Settings::GetInstance();
    testsupport::AddDownloadRoutes(server_);
    ASSERT_TRUE(server_.Start());
    window_.resize(420, 100);
    window_.show();
  }

  void TearDown() override {
    // Rows outlive their workers: stop them all and wait before anything goes.
    for (CDownloadItem* row : rows_) row->m_stopEvent.Set();
    for (CDownloadItem* row : rows_) {
      EXPECT_TRUE(QTest::qWaitFor([row] { return !row->WorkerRunning(); }, 60000));
    }
    for (CDownloadItem* row : rows_) delete row;
    CDownloadItem::SetWorkerStarter(nullptr);
    ::unsetenv("VEXARO_PROGRAM_FILES_COMMON");
  }

  CDownloadItem* MakeRow(const std::string& path, const std::u16string& target, const std::u16string& temp = u"",
                         const std::u16string& arguments = u"", std::int64_t size = 0, int index = 0) {
    auto* row = new CDownloadItem(platform::FromUtf8(server_.Url(path)), temp, target, arguments, size, u"", index,
                                  u"");
    QObject::connect(row, &CDownloadItem::finished, row, [this] { ++finishedNotices_; });
    rows_.push_back(row);
    row->Create(&window_, QRect(5, 10, 395, CDownloadItem::GetItemHeight()), 1600);
    return row;
  }

  // The finished notice of the fixture's one row.
  bool WaitFinished(int timeoutMs = 60000) {
    return QTest::qWaitFor([this] { return finishedNotices_ > 0; }, timeoutMs);
  }

  std::u16string Target(const std::string& name) const { return work_.File16(name); }

  testsupport::TempDataHome home_;
  testsupport::TempFolder work_;
  LoopbackServer server_;
  QWidget window_;
  std::vector<CDownloadItem*> rows_;
  int finishedNotices_ = 0;
};

TEST_F(DownloadItemTest, LaysOutItsControlsInPixels) {
  CDownloadItem::SetWorkerStarter(&RefuseThread);
  CDownloadItem* row = MakeRow("/hold", Target("a.bin"));

  EXPECT_EQ(row->objectName(), "dlitem");
  EXPECT_EQ(row->property("id").toInt(), 1600);
  EXPECT_EQ(row->height(), 70);
  auto* bar = row->findChild<QProgressBar*>("progress");
  auto* cancel = row->findChild<QPushButton*>("Cancel");
  auto* status = row->findChild<QWidget*>("statusLine");
  auto* detail = row->findChild<QWidget*>("detailLine");
  ASSERT_TRUE(bar && cancel && status && detail);
  EXPECT_EQ(bar->geometry(), QRect(QPoint(0, 25), QPoint(339, 36)));  // 0..340 across, 25..37 down
  EXPECT_EQ(cancel->geometry(), QRect(QPoint(370, 20), QPoint(389, 49)));
  EXPECT_EQ(status->geometry(), QRect(0, 0, 395, 20));
  EXPECT_EQ(detail->geometry(), QRect(0, 40, 395, 20));
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 100);
  EXPECT_EQ(cancel->property("id").toInt(), 404);

  // 9-point Arial, or the sans font that stands in for it.
  const QFontInfo font(status->font());
  EXPECT_EQ(font.pointSize(), 9);
  EXPECT_TRUE(font.family() == "Arial" || font.family() == "Liberation Sans") << font.family().toStdString();

  // The cancel image: 16 x 16, a white cross on a red disc.
  const QImage image = cancel->icon().pixmap(16, 16).toImage();
  ASSERT_EQ(image.size(), QSize(16, 16));
  const QColor middle = image.pixelColor(8, 8);
  const QColor disc = image.pixelColor(8, 2);
  const QColor corner = image.pixelColor(0, 0);
  EXPECT_GT(middle.lightness(), 200);
  EXPECT_GT(disc.red(), 150);
  EXPECT_LT(disc.green(), 80);
  EXPECT_EQ(corner.alpha(), 0);
}

TEST_F(DownloadItemTest, StopEventCarriesTheRowIndex) {
  CDownloadItem::SetWorkerStarter(&RefuseThread);
  const struct {
    int index;
    const char16_t* name;
  } cases[] = {{0, u"stopevent0"}, {2, u"stopevent2"}, {11, u"stopevent11"}};
  for (const auto& c : cases) {
    EXPECT_EQ(MakeRow("/hold", Target("a.bin"), u"", u"", 0, c.index)->StopEventName(), c.name) << c.index;
  }
}

// Without a thread the row keeps its first texts and never finishes, so the
// dialog counts it as running; nothing runs on it, so it may be deleted.
TEST_F(DownloadItemTest, RowWithoutThreadKeepsItsFirstTextsAndNeverFinishes) {
  ASSERT_TRUE(testsupport::InstallShippedTexts());
  CDownloadItem::SetWorkerStarter(&RefuseThread);
  const struct {
    const char16_t* temp;
    std::u16string status;
  } cases[] = {
      {u"", u"File: " + Target("song.flv")},
      {u"/cache/vx_1.flv", u"Temporary file: /cache/vx_1.flv"},
  };
  for (const auto& c : cases) {
    CDownloadItem* row = MakeRow("/bytes/1000", Target("song.flv"), c.temp);
    QTest::qWait(100);
    EXPECT_EQ(row->StatusText(), ToQString(c.status));
    EXPECT_EQ(row->DetailText(), "");
    EXPECT_EQ(row->BarPosition(), 0);
    EXPECT_TRUE(row->CancelShown());
    EXPECT_FALSE(row->IsFinished());
    EXPECT_FALSE(row->WorkerRunning());
    EXPECT_EQ(row->m_ofText, u"of");
  }
}

TEST_F(DownloadItemTest, PathLineGivesWayInTheMiddle) {
  const QFont font("Liberation Sans", 9);
  const QFontMetrics metrics(font);
  const QString name = "my favourite song.mp3";
  const QString longPath = "Downloading: /home/someone/a/rather/deep/folder/of/music/that/goes/on/" + name;
  const int width = metrics.horizontalAdvance("Downloading: /home/someone/...") + metrics.horizontalAdvance("/" + name);

  const QString fits = transfer::PathLine::ElidePath("Done: /m/a.mp3", metrics, 395);
  EXPECT_EQ(fits, "Done: /m/a.mp3");

  const QString cut = transfer::PathLine::ElidePath(longPath, metrics, width);
  EXPECT_TRUE(cut.endsWith("/" + name)) << cut.toStdString();
  EXPECT_TRUE(cut.startsWith("Downloading: /home/")) << cut.toStdString();
  EXPECT_TRUE(cut.contains("...")) << cut.toStdString();
  EXPECT_LE(metrics.horizontalAdvance(cut), width);

  // A very long folder part is cut just as well.
  const QString deep = "Done: /" + QString("folder/").repeated(600) + name;
  const QString deepCut = transfer::PathLine::ElidePath(deep, metrics, 395);
  EXPECT_TRUE(deepCut.startsWith("Done: /folder/")) << deepCut.toStdString();
  EXPECT_TRUE(deepCut.endsWith(".../" + name)) << deepCut.toStdString();
  EXPECT_LE(metrics.horizontalAdvance(deepCut), 395);
  EXPECT_GT(metrics.horizontalAdvance(deepCut + "xxxxxxxx"), 395);  // no room wasted

  // A file name wider than the room the status leaves keeps its end.
  const int narrowWidth = metrics.horizontalAdvance("Downloading: ...song.mp3") + 4;
  const QString narrow = transfer::PathLine::ElidePath(longPath, metrics, narrowWidth);
  EXPECT_TRUE(narrow.startsWith("Downloading: ")) << narrow.toStdString();
  EXPECT_TRUE(narrow.endsWith("song.mp3")) << narrow.toStdString();

  // Shown as it stands: no markup, no mnemonic.
  transfer::PathLine line(nullptr);
  line.resize(395, 20);
  line.SetText("Done: /m/<b>&Tom</b>.mp3");
  EXPECT_EQ(line.DisplayedText(), "Done: /m/<b>&Tom</b>.mp3");
}

// Whatever the path, the status before it stays readable: a cancelled row
// must not look like a running one.
TEST_F(DownloadItemTest, PathLineNeverCutsTheStatus) {
  const QFontMetrics metrics(QFont("Liberation Sans", 9));
  const QString path = "/home/alex/Music/Track 1 - " + QString("A Very Long Title Indeed ").repeated(8) + ".flv";
  const struct {
    const char* status;
  } cases[] = {{"Downloading: "}, {"Download canceled: "}, {"Done: "},
               {"Error: 2149122452 (0x80190194), HTTP 404 Not Found: "}};
  for (const auto& c : cases) {
    const QString status = QString::fromUtf8(c.status);
    const QString shown = transfer::PathLine::ElidePath(status + path, metrics, 395);
    EXPECT_TRUE(shown.startsWith(status)) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(".flv")) << shown.toStdString();
    EXPECT_LE(metrics.horizontalAdvance(shown), 395) << shown.toStdString();
  }
  // Only a status wider than the line itself gives way, at its end.
  const QString cramped = transfer::PathLine::ElidePath("Download canceled: " + path, metrics, 60);
  EXPECT_TRUE(cramped.startsWith("Do")) << cramped.toStdString();
  EXPECT_FALSE(cramped.contains('/')) << cramped.toStdString();
  EXPECT_LE(metrics.horizontalAdvance(cramped), 60);
}

TEST_F(DownloadItemTest, RunsToCompletion) {
  const std::u16string target = Target("a.bin");
  CDownloadItem* row = MakeRow("/bytes/3000000", target);
  ASSERT_TRUE(WaitFinished());

  EXPECT_EQ(finishedNotices_, 1);
  EXPECT_EQ(row->StatusText(), ToQString(u"Download completed: " + target));
  EXPECT_EQ(row->DetailText(), "2.9 MANAGER_DOWNLOAD_PROGRESS_TEXT_OF 2.9 Mb");
  EXPECT_EQ(row->BarPosition(), 100);
  EXPECT_FALSE(row->CancelShown());
  EXPECT_EQ(fs::file_size(platform::ToUtf8(target)), 3000000u);
  EXPECT_EQ(row->AppliedStatusTexts().front(), ToQString(u"MANAGER_STATUS_DOWNLOADING: " + target));
  EXPECT_TRUE(QTest::qWaitFor([row] { return !row->WorkerRunning(); }, 5000));
}

TEST_F(DownloadItemTest, TwoCancelClicksBeforeTheWorkerLooksCancelOnce) {
  const std::u16string target = Target("held.bin");
  CDownloadItem* row = MakeRow("/hold", target);
  auto* cancel = row->findChild<QPushButton*>("Cancel");
  cancel->click();
  cancel->click();
  ASSERT_TRUE(WaitFinished());
  ASSERT_TRUE(QTest::qWaitFor([row] { return !row->WorkerRunning(); }, 5000));

  EXPECT_EQ(finishedNotices_, 1);
  EXPECT_EQ(row->StatusText(), ToQString(u"MANAGER_ERROR_DOWNLOAD_CANCELED: " + target));
  EXPECT_FALSE(row->CancelShown());
  EXPECT_EQ(testsupport::RecordedError(u"2303"), u"2147500036");
  // The second click left no signal behind.
  EXPECT_FALSE(row->m_stopEvent.TryWait());
}

TEST_F(DownloadItemTest, NotFoundEndsWithItsErrorStatus) {
  const std::u16string target = Target("missing.html");
  CDownloadItem* row = MakeRow("/missing", target);
  ASSERT_TRUE(WaitFinished());

  EXPECT_EQ(row->StatusText(), ToQString(u"Error: 2149122452 (0x80190194), HTTP 404 Not Found: " + target));
  EXPECT_FALSE(row->CancelShown());
  EXPECT_FALSE(fs::exists(platform::ToUtf8(target)));
}

TEST_F(DownloadItemTest, NegativeSizeMeansUnknown) {
  const std::u16string target = Target("sized.bin");
  CDownloadItem* row = MakeRow("/bytes/800", target, u"", u"", -5);
  ASSERT_TRUE(WaitFinished());
  // The response's length counts, not a total of about four billion.
  EXPECT_EQ(row->DetailText(), "800 MANAGER_DOWNLOAD_PROGRESS_TEXT_OF 800 bytes");
}

TEST_F(DownloadItemTest, ConversionWithTheRealConverterEndsDone) {
  const std::string clip = work_.File("clip.flv");
  ASSERT_TRUE(testsupport::MakeClip(clip, 2));
  testsupport::UseSystemConverter();
  testsupport::ServedFilePath() = clip;
  const std::u16string target = Target("song.mp3");
  const std::u16string temp = Target("vx_1.flv");
  CDownloadItem* row = MakeRow("/file", target, temp, u"-acodec libmp3lame -ab 160k -ac 2 -ar 44100");
  ASSERT_TRUE(WaitFinished());

  const std::vector<QString>& statuses = row->AppliedStatusTexts();
  EXPECT_EQ(statuses, (std::vector<QString>{ToQString(u"MANAGER_STATUS_DOWNLOADING: " + target),
                                            ToQString(u"Download completed: " + target),
                                            ToQString(u"MANAGER_STATUS_CONVERTING: " + target),
                                            ToQString(u"MANAGER_STATUS_DONE: " + target)}));
  EXPECT_TRUE(row->DetailText().startsWith("MANAGER_CONVERSION_CONVERTED_SIZE: ")) << row->DetailText().toStdString();
  EXPECT_TRUE(row->DetailText().endsWith(" Kb")) << row->DetailText().toStdString();
  EXPECT_EQ(row->BarPosition(), 100);
  EXPECT_EQ(row->BarColour(), QColor(100, 30, 100));
  EXPECT_FALSE(row->CancelShown());
  EXPECT_GT(fs::file_size(platform::ToUtf8(target)), 10000u);
}

// The launch sequence destroys the Dictionary when the dialog closes while a
// converter may still run: the worker shows the texts it copied at its start.
TEST_F(DownloadItemTest, WorkerOutlivesTheDictionary) {
  ASSERT_TRUE(testsupport::InstallShippedTexts());
  testsupport::UseScriptConverter(work_.File("programs"), "sleep 1; printf 'converted' > \"$last\"");
  const std::u16string target = Target("song.mp3");
  CDownloadItem* row = MakeRow("/bytes/5000", target, Target("vx_2.flv"), u"-vn");
  ASSERT_TRUE(QTest::qWaitFor([row] { return row->StatusText().startsWith("Converting: "); }, 10000));
  localisation::Dictionary::Destroy();
  ASSERT_TRUE(WaitFinished());

  EXPECT_EQ(row->StatusText(), ToQString(u"Done: " + target));
  EXPECT_EQ(row->DetailText(), "Converted size: 9 bytes");
}

// Status texts, the colour, the hidden Cancel and the notice arrive in order
// however fast the reports come, and the row ends with the last word of each.
// The calls come from a thread of the test, which can interleave them at will.
TEST_F(DownloadItemTest, FastReportsAreCoalescedButNothingOrderedIsLost) {
  CDownloadItem::SetWorkerStarter(&RefuseThread);
  CDownloadItem* row = MakeRow("/hold", Target("a.bin"));
  int flushes = 0;
  struct Counter : QObject {
    int* count;
    explicit Counter(int* c) : count(c) {}
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::MetaCall) ++*count;
      return false;
    }
  } counter(&flushes);
  row->installEventFilter(&counter);

  constexpr int kReports = 200000;
  std::thread worker([row] {
    for (int i = 0; i < kReports; ++i) {
      row->SetDetailText(platform::Format("%d", i));
      row->SetBarPosition(i % 101);
      if (i % 20000 == 0) row->SetStatusText(platform::Format("status %d", i / 20000));
    }
    row->SetBarColour(0x641E64);
    row->SetBarPosition(100);
    row->SetStatusText(u"last");
    row->HideCancel();
    row->m_finished = true;
    row->NotifyFinished();
  });
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(QTest::qWaitFor([this] { return finishedNotices_ == 1; }, 30000));
  worker.join();
  const auto elapsedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();

  std::vector<QString> expected;
  for (int i = 0; i < kReports / 20000; ++i) expected.push_back(QString("status %1").arg(i));
  expected.push_back("last");
  EXPECT_EQ(row->AppliedStatusTexts(), expected);
  EXPECT_EQ(row->DetailText(), QString::number(kReports - 1));
  EXPECT_EQ(row->BarPosition(), 100);
  EXPECT_EQ(row->BarColour(), QColor(100, 30, 100));
  EXPECT_FALSE(row->CancelShown());
  // About one flush a frame, not one per report.
  EXPECT_LE(flushes, elapsedMs / 16 + 10) << elapsedMs << " ms";
}

}  // namespace
