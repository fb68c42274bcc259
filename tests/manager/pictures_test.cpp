// Pictures of the manager window as a user sees it, written into the build
// folder (pictures/): rows in every state of their life, and a list scrolled
// part way. They are for people to look at; the test checks only that the
// states were reached and the files written.
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
    std::filesystem::create_directories(music_);
    QDir().mkpath(VEXARO_PICTURE_DIR);
  }

  std::u16string Music(const std::string& name) const { return platform::FromUtf8(music_ + "/" + name); }

  // A handed-over download, converted when it has a temporary file.
  void Add(const std::u16string& url, const std::u16string& target, const std::u16string& temp = u"") {
    Send(url, target, temp, temp.empty() ? u"" : u"-vn -acodec libmp3lame");
  }

  void Save(const char* name) {
    const QString path = QString(VEXARO_PICTURE_DIR) + "/" + name;
    ASSERT_TRUE(dialog_->grab().save(path)) << path.toStdString();
    std::cout << "picture: " << path.toStdString() << "\n";
  }

  std::string music_ = work_.File("Music/Summer festival recordings 2026");
};

TEST_F(PicturesTest, RowsInEveryState) {
  testsupport::UseScriptConverter(work_.File("programs"),
                                  "case \"$last\" in *Interview*) sleep 4;; esac; head -c 1536000 /dev/zero > \"$last\"");
  Open("/partial/5242880/2097152", Music("Opening night - full concert.flv"));
  Add(Url("/bytes/3000000"), Music("Backstage tour.mp4"));
  Add(Url("/bytes/200000"), Music("Interview with the band.mp3"), File("vx_1f3a.flv"));
  Add(Url("/bytes/300000"), Music("Encore.mp3"), File("vx_1f3b.flv"));
  Add(Url("/missing"), Music("Lost recording.flv"));
  Add(Url("/hold"), Music("Rehearsal (cancelled).flv"));
  ASSERT_EQ(dialog_->RowCount(), 6);
  dialog_->Row(5)->findChild<QPushButton*>("Cancel")->click();

  const auto status = [this](int row) { return dialog_->Row(row)->StatusText(); };
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return dialog_->Row(0)->BarPosition() == 40 && dialog_->Row(1)->IsFinished() &&
               dialog_->Row(2)->DetailText().endsWith("0:02") && dialog_->Row(3)->IsFinished() &&
               dialog_->Row(4)->IsFinished() && dialog_->Row(5)->IsFinished();
      },
      30000));
  EXPECT_TRUE(status(0).startsWith("Downloading: "));
  EXPECT_TRUE(status(1).startsWith("Download completed: "));
  EXPECT_TRUE(status(2).startsWith("Converting: "));
  EXPECT_TRUE(status(3).startsWith("Done: "));
  EXPECT_TRUE(status(4).startsWith("Error: "));
  EXPECT_TRUE(status(5).startsWith("Download canceled: "));
  Save("manager-top.png");

  dialog_->Host()->ScrollByCode(manager::kNoRequest | (manager::SB_BOTTOM << 8), true);
  Save("manager-bottom.png");
}

TEST_F(PicturesTest, FiveRowsScrolledPartWay) {
  Open("/bytes/1024", Music("Track 1.flv"));
  for (int i = 2; i <= 5; ++i) Add(Url("/bytes/" + std::to_string(1024 * 400 * i)), Music("Track " + std::to_string(i) + ".flv"));
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
}

}  // namespace
