#include "startup/StoreTool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "settings/IniFile.h"
#include "support/StoreFile.h"
#include "support/TempFolder.h"

namespace {

struct Outcome {
  int code;
  std::string out;
  std::string err;
};

using Command = int (*)(const std::vector<std::string>&, std::ostream&, std::ostream&);

Outcome Call(Command command, const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int code = command(args, out, err);
  return {code, out.str(), err.str()};
}

class StoreToolConfigTest : public ::testing::Test {
 protected:
  testsupport::TempDataHome home_;
};

TEST_F(StoreToolConfigTest, OfferListsThePairsWithNativeAndPreselectedFlags) {
  const std::string mp3 = "Audio - MP3 (*.mp3)\t.mp3\t-acodec libmp3lame -ab 160k -ac 2 -ar 44100\n";
  const std::string wav = "Audio - Waveform Audio (*.wav)\t.wav\t\n";
  const std::string asf = "Video - Advanced Systems Format (*.asf)\t.asf\t\n";
  const std::string avi = "Video - Audio Video Interleave (*.avi)\t.avi\t\n";
  const std::string flv = "Video - Flash Video (*.flv)\t.flv\t\n";
  const std::string mp4 = "Video - MPEG-4 Video (*.mp4)\t.mp4\t\n";
  const std::string mov = "Video - QuickTime (*.mov)\t.mov\t\n";
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"video/x-flv", "4"},
       "1\tp\t" + mp3 + "2\t-\t" + wav + "3\t-\t" + asf + "4\t-\t" + avi + "5\tn\t" + flv +
           "6\t-\t" + mp4 + "7\t-\t" + mov},
      {{"video/x-flv"},
       "1\t-\t" + mp3 + "2\t-\t" + wav + "3\tp\t" + asf + "4\t-\t" + avi + "5\tn\t" + flv +
           "6\t-\t" + mp4 + "7\t-\t" + mov},
      {{"video/x-flv", "-1"},
       "1\t-\t" + mp3 + "2\t-\t" + wav + "3\t-\t" + asf + "4\t-\t" + avi + "5\tnp\t" + flv +
           "6\t-\t" + mp4 + "7\t-\t" + mov},
      {{"video/x-ms-wmv"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.size() > 1 ? c.args[1] : c.args[0]);
    const Outcome run = Call(startup::StoreOffer, c.args);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, "");
  }
}

TEST_F(StoreToolConfigTest, OfferOfAnUnknownTypeFails) {
  const Outcome run = Call(startup::StoreOffer, {"Audio/MPEG"});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "vexaro-store: the configuration knows no MIME type Audio/MPEG\n");
  EXPECT_EQ(Call(startup::StoreOffer, {}).code, 2);
}

TEST_F(StoreToolConfigTest, InstalledTextsAreWhatTextShows) {
  const Outcome install = Call(startup::StoreInstallTexts, {});
  ASSERT_EQ(install.code, 0) << install.err;

  // Stored as the program reads it: UTF-16, no checksum trailer.
  settings::IniFile stored(platform::FromUtf8(home_.DataFile("dictionary.ini")), false);
  ASSERT_TRUE(stored.Read());
  EXPECT_EQ(stored.GetSection(u"de").at(u"MANAGER_STATUS_DONE"), u"Fertig");
  EXPECT_EQ(stored.SectionNames().count(u"Checksum"), 0u);

  const struct {
    std::vector<std::string> args;
    const char* lcAll;
    std::string out;
  } cases[] = {
      {{"MANAGER_STATUS_DONE", "de"}, "C", "Fertig\n"},
      {{"MANAGER_STATUS_DONE", "xx"}, "C", "Done\n"},
      {{"MANAGER_TITLE"}, "ja_JP.UTF-8", "Vexaro ダウンロード マネージャー\n"},
      {{"MANAGER_STATUS_DONE"}, "C", "Done\n"},
      {{"NO_SUCH_KEY", "fr"}, "C", "NO_SUCH_KEY\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.lcAll);
    ::setenv("LC_ALL", c.lcAll, 1);
    const Outcome run = Call(startup::StoreText, c.args);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, c.out);
  }
}

TEST_F(StoreToolConfigTest, InstallTextsNeverReplacesAnExistingDictionary) {
  testsupport::WriteStoreFile(home_.DataFile("dictionary.ini"), "[en]\nMANAGER_STATUS_DONE=Finished\n");
  const std::string before = testsupport::ReadFileBytes(home_.DataFile("dictionary.ini"));
  const Outcome run = Call(startup::StoreInstallTexts, {});
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(testsupport::ReadFileBytes(home_.DataFile("dictionary.ini")), before);
  EXPECT_EQ(Call(startup::StoreText, {"MANAGER_STATUS_DONE", "en"}).out, "Finished\n");
}

}  // namespace
