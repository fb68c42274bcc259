// Pictures of the manager window as a user sees it, written into the build
// folder (pictures/): rows in every state of their life, and a list scrolled
// part way. They are for people to look at; the test checks only that the
// states were reached and the files written. pictures_in_home.sh runs them
// with a home folder (VEXARO_PICTURE_HOME) where the files go, as a user's do.
#include <gtest/gtest.h>

#include <QDir>
#include <QPixmap>
#include <QPushButton>
#include <QTest>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "manager/DownloadFileDialog.h"
#include "manager/ManagerFixture.h"
#include "manager/ScrollWindow.h"
#include "platform/Text.h"
#include "support/Downloads.h"
#include "transfer/DownloadItem.h"

namespace {

class PicturesTest : public testsupport::ManagerFixture {
 protected:
  void SetUp() override {
    ManagerFixture::SetUp();
    const char* home = std::getenv("VEXARO_PICTURE_HOME");
    const std::string base = home && *home ? home : work_.Path();
    music_ = base + "/Music";
    videos_ = base + "/Videos";
    std::filesystem::create_directories(music_);
    std::filesystem::create_directories(videos_);
    QDir().mkpath(VEXARO_PICTURE_DIR);
  }

  void TearDown() override {
    // A failed wait must not leave the converter waiting for ever.
    testsupport::WriteFileBytes(release_, "");
    ManagerFixture::TearDown();
  }

  std::u16string Music(const std::string& name) const { return platform::FromUtf8(music_ + "/" + name); }
  std::u16string Videos(const std::string& name) const { return platform::FromUtf8(videos_ + "/" + name); }

  // A handed-over download, converted when it has a temporary file.
  void Add(const std::u16string& url, const std::u16string& target, const std::u16string& temp = u"") {
    Send(url, target, temp, temp.empty() ? u"" : u"-vn -acodec libmp3lame");
  }

  void Save(const char* name) {
    const QString path = QString(VEXARO_PICTURE_DIR) + "/" + name;
    ASSERT_TRUE(dialog_->grab().save(path)) << path.toStdString();
    std::cout << "picture: " << path.toStdString() << "\n";
  }

  // Two seconds into a conversion, the bar purple and on its way.
  bool ConvertingForTwoSeconds(int row) const {
    const QString detail = dialog_->Row(row)->DetailText();
    return detail.startsWith("Time elapsed: ") && !detail.endsWith("0:00") && !detail.endsWith("0:01");
  }

  std::string music_;
  std::string videos_;
  // The slow conversion ends once this file exists.
  std::string release_ = work_.File("release");
};

TEST_F(PicturesTest, RowsInEveryState) {
  // The slow conversion reports 42 of 100 seconds done and waits.
  testsupport::UseScriptConverter(
      work_.File("programs"),
      "case \"$last\" in *Interview*) echo '  Duration: 00:01:40.00, start: 0.000000' >&2; echo out_time_us=42000000;"
      " while [ ! -e '" + release_ + "' ]; do sleep 0.1; done;; esac; head -c 1536000 /dev/zero > \"$last\"");
  const std::string cancelledName =
      "Rehearsal take 3 - the one where everything went wrong, complete and unedited.flv";
  Open("/partial/5242880/2097152", Videos("Opening night - full concert.flv"));
  Add(Url("/bytes/3000000"), Videos("Backstage tour.mp4"));
  Add(Url("/bytes/200000"), Music("Interview with the band.mp3"), File("vx_1f3a.flv"));
  Add(Url("/bytes/300000"), Music("Encore.mp3"), File("vx_1f3b.flv"));
  Add(Url("/missing"), Videos("Lost recording.flv"));
  Add(Url("/hold"), Videos(cancelledName));
  ASSERT_EQ(dialog_->RowCount(), 6);
  dialog_->Row(5)->findChild<QPushButton*>("Cancel")->click();

  const auto status = [this](int row) { return dialog_->Row(row)->StatusText(); };
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return dialog_->Row(0)->BarPosition() == 40 && dialog_->Row(1)->IsFinished() &&
               ConvertingForTwoSeconds(2) && dialog_->Row(2)->BarPosition() == 42 && dialog_->Row(3)->IsFinished() &&
               dialog_->Row(4)->IsFinished() && dialog_->Row(5)->IsFinished();
      },
      30000));
  EXPECT_TRUE(status(0).startsWith("Downloading: "));
  EXPECT_TRUE(status(1).startsWith("Download completed: "));
  EXPECT_TRUE(status(2).startsWith("Converting: "));
  EXPECT_TRUE(dialog_->Row(2)->CancelShown());
  EXPECT_TRUE(status(3).startsWith("Done: "));
  EXPECT_TRUE(status(4).startsWith("Error: "));
  EXPECT_TRUE(status(5).startsWith("Download canceled: "));
  // The long name gives way, the status word does not.
  const QString shown = dialog_->Row(5)->StatusDisplayed();
  EXPECT_TRUE(shown.startsWith("Download canceled: ")) << shown.toStdString();
  EXPECT_TRUE(shown.endsWith("unedited.flv")) << shown.toStdString();
  EXPECT_NE(shown, status(5));
  Save("manager-top.png");

  dialog_->Host()->ScrollByCode(manager::kNoRequest | (manager::SB_BOTTOM << 8), true);
  Save("manager-bottom.png");
}

// The rows a user acts on: paused (Resume, Cancel), finished (Open, Show in
// folder), failed (Retry).
TEST_F(PicturesTest, RowsToActOn) {
  Open("/partial/5242880/2097152", Videos("Opening night - full concert.flv"));
  Add(Url("/bytes/3000000"), Videos("Soundcheck.mp4"));
  Add(Url("/missing"), Videos("Missing interview.flv"));
  ASSERT_EQ(dialog_->RowCount(), 3);
  transfer::CDownloadItem* paused = dialog_->Row(0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return paused->BarPosition() == 40; }, 30000));
  paused->findChild<QPushButton*>("Pause")->click();
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return paused->IsPaused() && dialog_->Row(1)->IsFinished() && dialog_->Row(2)->IsFinished(); }, 30000));
  EXPECT_TRUE(paused->StatusText().startsWith("Paused: "));
  EXPECT_EQ(paused->DetailText(), "2.0 of 5.1 Mb");
  EXPECT_EQ(paused->VisibleButtons(), (QStringList{"Resume", "Cancel"}));
  EXPECT_EQ(dialog_->Row(1)->VisibleButtons(), (QStringList{"Open", "ShowInFolder"}));
  EXPECT_EQ(dialog_->Row(2)->VisibleButtons(), (QStringList{"Retry"}));
  Save("manager-actions.png");
}

TEST_F(PicturesTest, FiveRowsScrolledPartWay) {
  Open("/bytes/1024", Music("Track 1.mp3"));
  for (int i = 2; i <= 5; ++i) Add(Url("/bytes/" + std::to_string(1024 * 400 * i)), Music("Track " + std::to_string(i) + ".mp3"));
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        for (int i = 0; i < dialog_->RowCount(); ++i) {
          if (!dialog_->Row(i)->IsFinished()) return false;
        }
        return dialog_->CloseButton()->text() == "Close";
      },
      30000));
  ASSERT_TRUE(dialog_->Host()->OnMouseWheel(Qt::NoModifier, -120));
  EXPECT_EQ(dialog_->Host()->GetScrollPosition().y(), 63);
  Save("manager-scrolled.png");

  // The window's icon as the desktop shows it, small and large.
  for (const int side : {16, 64}) {
    const QString path = QString(VEXARO_PICTURE_DIR) + QString("/icon-%1.png").arg(side);
    ASSERT_TRUE(dialog_->windowIcon().pixmap(side, side).save(path)) << path.toStdString();
  }
}

}  // namespace
