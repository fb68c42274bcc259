#include "startup/LaunchSequence.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "config/Config.h"
#include "platform/File.h"
#include "platform/Text.h"
#include "settings/IniFile.h"
#include "settings/Settings.h"
#include "support/ErrorRecord.h"
#include "support/StoreFile.h"
#include "support/TempFolder.h"

namespace {

using startup::LaunchOutcome;
using startup::ManagedDownload;
namespace fs = std::filesystem;

// Answers the Save-As question from a script and keeps what it was shown.
class ScriptedSaveAs : public startup::SaveAsDialog {
 public:
  bool accept = false;
  std::u16string path;
  std::optional<std::int32_t> filterIndex;  // unset: leave the preselection
  bool replaceAgreed = false;
  std::vector<startup::SaveAsOptions> shown;

  bool Show(const startup::SaveAsOptions& options, startup::SaveAsAnswer& answer) override {
    shown.push_back(options);
    if (!accept) return false;
    answer.path = path;
    answer.filterIndex = filterIndex.value_or(options.filterIndex);
    answer.replaceAgreed = replaceAgreed;
    return true;
  }
};

class RecordingRunner : public startup::ManagerRunner {
 public:
  std::vector<ManagedDownload> runs;
  bool unfinished = false;  // what HasUnfinished answers
  bool HasUnfinished() override { return unfinished; }
  void Run(const ManagedDownload& first, startup::InstanceLink& link) override {
    runs.push_back(first);
    link.StopListening();
  }
};

class FakeLink : public startup::InstanceLink {
 public:
  std::uint32_t status = 0;
  std::u16string title;
  std::vector<std::vector<startup::HandoffRecord>> sent;
  startup::SendResult answer = startup::SendResult::Delivered;
  int refusalsBeforeFirst = -1;  // -1: never becomes first
  bool stopped = false;
  startup::HandoffInbox inbox;

  std::uint32_t Status() override { return status; }
  void Open(const std::u16string& managerTitle) override { title = managerTitle; }
  startup::SendResult Send(const std::vector<startup::HandoffRecord>& records) override {
    sent.push_back(records);
    return answer;
  }
  bool BecomeFirst() override {
    if (refusalsBeforeFirst < 0) return false;
    if (refusalsBeforeFirst-- > 0) return false;
    status = 0;
    return true;
  }
  startup::HandoffInbox& Inbox() override { return inbox; }
  void StopListening() override { stopped = true; }
};

class LaunchSequenceTest : public ::testing::Test {
 protected:
  void SetUp() override { settings::Settings::GetInstance(); }

  static startup::DownloadRequest FlvRequest(std::u16string format = u"") {
    startup::DownloadRequest r;
    r.url = u"http://127.0.0.1:1/clip.flv";
    r.file = u"clip";
    r.type = u"video/x-flv";
    r.size = 1234;
    r.cookie = u"c=1";
    r.referer = u"http://page/";
    r.format = std::move(format);
    r.autoclose = true;
    return r;
  }

  LaunchOutcome Run(const startup::DownloadRequest& request) {
    startup::LaunchParts parts{saveAs_, runner_, link_, 300};
    return startup::RunLaunchSequence(request, parts);
  }

  std::vector<std::string> TemporaryFiles() const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& e : fs::directory_iterator(home_.CacheFolder(), ignored)) names.push_back(e.path().filename());
    return names;
  }

  testsupport::TempDataHome home_;
  ScriptedSaveAs saveAs_;
  RecordingRunner runner_;
  FakeLink link_;
};

TEST_F(LaunchSequenceTest, PreselectsThePairOfTheRequestedFormat) {
  // Default offer for video/x-flv: mp3 wav asf avi flv mp4 mov, native 5;
  // known extensions asf avi flv mov mp3 mp4 wav wmv.
  const struct {
    const char16_t* format;
    std::int32_t preselected;
  } cases[] = {
      {u"", 3},     // 0 reads asf
      {u"4", 1},    // mp3
      {u"2", 5},    // flv
      {u"7", 5},    // wmv is not offered: native
      {u"-1", 5},   // own format
      {u"8", 5},    // beyond the list: native
      {u"-3", 5},   // negative other than -1: native
      {u"abc", 3},  // not a number reads as 0
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(platform::ToUtf8(c.format));
    saveAs_.shown.clear();
    EXPECT_EQ(Run(FlvRequest(c.format)), LaunchOutcome::Cancelled);
    ASSERT_EQ(saveAs_.shown.size(), 1u);
    EXPECT_EQ(saveAs_.shown[0].filterIndex, c.preselected);
  }
  const startup::SaveAsOptions& shown = saveAs_.shown[0];
  ASSERT_EQ(shown.filters.size(), 7u);
  EXPECT_EQ(shown.filters[0].text, u"Audio - MP3 (*.mp3)");
  // The name typed gets the preselected format's extension (asf here).
  EXPECT_EQ(shown.defaultExtension, u"asf");
  EXPECT_EQ(shown.title, u"Save file as") << "the shipped texts were installed first";
  EXPECT_EQ(link_.title, u"Vexaro Download Manager");
}

TEST_F(LaunchSequenceTest, PatternMatchesTheExtensionIgnoringCase) {
  testsupport::WriteStoreFile(home_.DataFile("config.ini"),
                              "[categoryA]\ntype=Audio\nextension=mp3\ndescription=Lower\nffmpeg=exclude\n\n"
                              "[categoryB]\ntype=Audio\nextension=MP3\ndescription=Upper\nffmpeg=-ab 1\n\n"
                              "[categoryC]\ntype=Video\nextension=flv\ndescription=Flash\nffmpeg=\n\n"
                              "[formatFlv]\ntype=video/x-flv\ncategory=categoryC\nconversions=Audio;Video\n");
  Run(FlvRequest(u"0"));
  ASSERT_EQ(saveAs_.shown.size(), 1u);
  ASSERT_EQ(saveAs_.shown[0].filters.size(), 2u);
  EXPECT_EQ(saveAs_.shown[0].filters[0].pattern, u".MP3");
  EXPECT_EQ(saveAs_.shown[0].filterIndex, 1);
}

TEST_F(LaunchSequenceTest, InitialNameIsCleanedAndCut) {
  startup::DownloadRequest request = FlvRequest();
  request.file = u"a:b*c?";  // from /file:a:b*c?.txt
  Run(request);
  request.file = u"<>\"/\\|" + std::u16string(300, u'x');
  Run(request);
  request.file = std::u16string(258, u'x') + u"\U0001F600";
  Run(request);
  ASSERT_EQ(saveAs_.shown.size(), 3u);
  EXPECT_EQ(saveAs_.shown[0].fileName, u"abc");
  EXPECT_EQ(saveAs_.shown[1].fileName, std::u16string(259, u'x'));
  EXPECT_EQ(saveAs_.shown[2].fileName, std::u16string(258, u'x')) << "a surrogate pair is not split";
}

TEST_F(LaunchSequenceTest, ConversionTargetsTheNewExtensionThroughATemporaryFile) {
  saveAs_.accept = true;
  saveAs_.path = u"/d/clip.flv";
  saveAs_.filterIndex = 1;  // mp3
  EXPECT_EQ(Run(FlvRequest()), LaunchOutcome::RanManager);
  ASSERT_EQ(runner_.runs.size(), 1u);
  const ManagedDownload& first = runner_.runs[0];
  EXPECT_EQ(first.targetPath, u"/d/clip.mp3");
  EXPECT_EQ(first.conversionArgs, config::kDefaultMp3Arguments);
  const std::string temp = platform::ToUtf8(first.tempPath);
  EXPECT_EQ(fs::path(temp).parent_path(), fs::path(home_.CacheFolder()));
  EXPECT_EQ(fs::path(temp).filename().string().substr(0, 3), "vx_");
  EXPECT_EQ(fs::path(temp).extension(), ".flv");
  EXPECT_EQ(first.url, u"http://127.0.0.1:1/clip.flv");
  EXPECT_EQ(first.size, 1234);
  EXPECT_EQ(first.cookie, u"c=1");
  EXPECT_EQ(first.referer, u"http://page/");
  EXPECT_TRUE(first.autoclose);
}

// The dialog asks about the file that will be written; what the user agreed
// to goes with the download.
TEST_F(LaunchSequenceTest, DialogKnowsWhichFileEachChoiceWrites) {
  saveAs_.accept = true;
  saveAs_.path = u"/d/clip.flv";
  saveAs_.filterIndex = 1;  // mp3
  saveAs_.replaceAgreed = true;
  Run(FlvRequest(u"4"));
  ASSERT_EQ(saveAs_.shown.size(), 1u);
  const startup::SaveAsOptions& shown = saveAs_.shown[0];
  ASSERT_TRUE(shown.targetFor);
  EXPECT_EQ(shown.targetFor(u"/d/clip.flv", 1), u"/d/clip.mp3");
  EXPECT_EQ(shown.targetFor(u"/d/clip", 2), u"/d/clip.wav");
  EXPECT_EQ(shown.targetFor(u"/d/clip.flv", 5), u"/d/clip.flv") << "the file's own format writes the chosen file";
  EXPECT_EQ(shown.defaultExtension, u"mp3");
  EXPECT_EQ(shown.replaceQuestion, u"already exists. Do you want to replace it?");
  ASSERT_EQ(runner_.runs.size(), 1u);
  EXPECT_EQ(runner_.runs[0].targetPath, u"/d/clip.mp3");
  EXPECT_TRUE(runner_.runs[0].replaceTarget);
}

TEST_F(LaunchSequenceTest, NativePairKeepsThePathAndAsksForNoTemporaryFile) {
  saveAs_.accept = true;
  saveAs_.path = u"/d/clip.flv";
  saveAs_.filterIndex = 5;
  Run(FlvRequest());
  ASSERT_EQ(runner_.runs.size(), 1u);
  EXPECT_EQ(runner_.runs[0].targetPath, u"/d/clip.flv");
  EXPECT_EQ(runner_.runs[0].tempPath, u"");
  EXPECT_EQ(runner_.runs[0].conversionArgs, u"");
  EXPECT_TRUE(TemporaryFiles().empty());
}

TEST_F(LaunchSequenceTest, EmptyOfferKeepsTheDownloadUnconverted) {
  // The default video/x-ms-wmv entry offers no pair at all.
  saveAs_.accept = true;
  saveAs_.path = u"/d/clip.wmv";
  startup::DownloadRequest request = FlvRequest();
  request.type = u"video/x-ms-wmv";
  Run(request);
  ASSERT_EQ(saveAs_.shown.size(), 1u);
  EXPECT_TRUE(saveAs_.shown[0].filters.empty());
  ASSERT_EQ(runner_.runs.size(), 1u);
  EXPECT_EQ(runner_.runs[0].targetPath, u"/d/clip.wmv");
  EXPECT_EQ(runner_.runs[0].tempPath, u"");
}

TEST_F(LaunchSequenceTest, ConversionTargetNames) {
  const struct {
    const char16_t* chosen;
    const char16_t* target;
  } cases[] = {
      {u"/d/clip.flv", u"/d/clip.mp3"},
      {u"/d/clip.tar.flv", u"/d/clip.tar.mp3"},
      {u"/d/clip", u"/d/clip.mp3"},        // no extension: "." + extension
      {u"/d/clip.", u"/d/clip.mp3"},       // ends in '.'
      {u"/d.x/clip", u"/d.x/clip.mp3"},    // a dot in a folder is no extension
  };
  for (const auto& c : cases) {
    EXPECT_EQ(startup::ConversionTargetPath(c.chosen, u"mp3"), c.target) << platform::ToUtf8(c.chosen);
  }
  EXPECT_EQ(startup::ExtensionOffset(u"/d/clip.flv"), 8u);
  EXPECT_EQ(startup::ExtensionOffset(u"/d/clip."), 0u);
  EXPECT_EQ(startup::ExtensionOffset(u"/d/clip"), 7u);
}

TEST_F(LaunchSequenceTest, CancelCreatesAndSendsNothing) {
  EXPECT_EQ(Run(FlvRequest(u"4")), LaunchOutcome::Cancelled);
  link_.status = 183;
  EXPECT_EQ(Run(FlvRequest(u"4")), LaunchOutcome::Cancelled);
  EXPECT_TRUE(runner_.runs.empty());
  EXPECT_TRUE(link_.sent.empty());
  EXPECT_TRUE(TemporaryFiles().empty());
}

TEST_F(LaunchSequenceTest, UnknownTypeShowsNothing) {
  startup::DownloadRequest request = FlvRequest();
  request.type = u"application/x-unknown";
  EXPECT_EQ(Run(request), LaunchOutcome::UnknownType);
  EXPECT_TRUE(saveAs_.shown.empty());
  EXPECT_TRUE(runner_.runs.empty());
  EXPECT_TRUE(link_.stopped) << "a first instance with nothing to do stops listening";
}

// `vexaro` with no arguments: the window with what earlier runs left, when
// this is the first instance and something was left; else it says why not.
TEST_F(LaunchSequenceTest, NoRequestShowsWhatEarlierRunsLeft) {
  struct Case {
    const char* name;
    std::uint32_t status;
    bool unfinished;
    LaunchOutcome outcome;
    std::size_t runs;
  };
  const Case cases[] = {
      {"first, something left", 0, true, LaunchOutcome::RanManager, 1},
      {"first, nothing left", 0, false, LaunchOutcome::NothingToShow, 0},
      {"an instance runs", 183, true, LaunchOutcome::AlreadyShown, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    runner_.runs.clear();
    runner_.unfinished = c.unfinished;
    link_.status = c.status;
    EXPECT_EQ(Run(startup::DownloadRequest{}), c.outcome);
    ASSERT_EQ(runner_.runs.size(), c.runs);
    if (c.runs) {
      EXPECT_TRUE(runner_.runs[0].url.empty()) << "no first download of its own";
    }
    EXPECT_TRUE(saveAs_.shown.empty());
    EXPECT_TRUE(link_.sent.empty());
  }
}

TEST_F(LaunchSequenceTest, CancelledFirstInstanceOpensTheDownloadsHandedToIt) {
  ManagedDownload handed;
  handed.url = u"http://127.0.0.1:1/other.flv";
  handed.targetPath = u"/d/other.flv";
  handed.size = 77;
  for (const auto& r : transfer::MakeHandoffRecords(handed)) link_.inbox.Deliver(1, r.kind, r.payload);
  EXPECT_EQ(Run(FlvRequest()), LaunchOutcome::RanManager);
  ASSERT_EQ(runner_.runs.size(), 1u);
  EXPECT_EQ(runner_.runs[0].url, handed.url);
  EXPECT_EQ(runner_.runs[0].targetPath, handed.targetPath);
  EXPECT_EQ(runner_.runs[0].size, 77);
  EXPECT_TRUE(runner_.runs[0].autoclose) << "the first instance's own choice";
}

TEST_F(LaunchSequenceTest, LaterStartHandsOverOrBecomesFirstWhenNobodyAnswers) {
  saveAs_.accept = true;
  saveAs_.path = u"/d/clip.flv";
  saveAs_.filterIndex = 5;
  link_.status = 183;
  EXPECT_EQ(Run(FlvRequest()), LaunchOutcome::HandedOver);
  ASSERT_EQ(link_.sent.size(), 1u);
  EXPECT_EQ(link_.sent[0].size(), 8u);
  EXPECT_TRUE(runner_.runs.empty());

  link_.sent.clear();
  link_.answer = startup::SendResult::NotReached;
  link_.refusalsBeforeFirst = 2;  // the first instance is still letting go
  EXPECT_EQ(Run(FlvRequest()), LaunchOutcome::RanManager);
  EXPECT_EQ(link_.sent.size(), 3u);
  ASSERT_EQ(runner_.runs.size(), 1u);
  EXPECT_EQ(runner_.runs[0].targetPath, u"/d/clip.flv");
}

// A download the user saved is never dropped: when no instance takes it, the
// start shows it in a manager window of its own, and the error record says
// why.
TEST_F(LaunchSequenceTest, DownloadNobodyTakesOpensItsOwnWindow) {
  saveAs_.accept = true;
  saveAs_.path = u"/d/clip.flv";
  saveAs_.filterIndex = 5;
  const struct {
    const char* name;
    std::uint32_t status;
    startup::SendResult answer;
    std::size_t sends;  // 0: as many as the retry time allows
  } cases[] = {
      {"NobodyListensWithinTheRetryTime", 183, startup::SendResult::NotReached, 0},
      {"RecordsRefusedAtOnce", 183, startup::SendResult::Refused, 1},
      {"NoMarkerToBeHadAtAll", 5, startup::SendResult::NotReached, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    link_ = FakeLink();
    link_.status = c.status;
    link_.answer = c.answer;
    runner_.runs.clear();
    EXPECT_EQ(Run(FlvRequest()), LaunchOutcome::OwnWindow);
    ASSERT_EQ(runner_.runs.size(), 1u);
    EXPECT_EQ(runner_.runs[0].targetPath, u"/d/clip.flv");
    EXPECT_EQ(runner_.runs[0].url, u"http://127.0.0.1:1/clip.flv");
    if (c.status == 5) EXPECT_TRUE(link_.sent.empty()) << "no marker, nobody to send to";
    else if (c.sends != 0) EXPECT_EQ(link_.sent.size(), c.sends) << "a refusal is not retried";
    else EXPECT_GT(link_.sent.size(), 1u);
  }
  EXPECT_NE(testsupport::RecordedError(u"1204"), u"(none)");
}

TEST_F(LaunchSequenceTest, NoTemporaryFolderFailsTheRowInsteadOfFetchingIntoTheTarget) {
  // Every place a temporary name could come from is a plain file.
  testsupport::WriteFileBytes(home_.Root().File("notafolder"), "x");
  ::setenv("XDG_CACHE_HOME", home_.Root().File("notafolder").c_str(), 1);
  ::setenv("TMPDIR", home_.Root().File("notafolder").c_str(), 1);
  saveAs_.accept = true;
  saveAs_.path = u"/d/clip.flv";
  saveAs_.filterIndex = 3;  // asf: a conversion without converter arguments
  Run(FlvRequest());
  ::unsetenv("TMPDIR");
  ASSERT_EQ(runner_.runs.size(), 1u);
  EXPECT_EQ(runner_.runs[0].targetPath, u"/d/clip.asf");
  ASSERT_FALSE(runner_.runs[0].tempPath.empty());
  EXPECT_EQ(runner_.runs[0].tempPath.back(), u'/') << platform::ToUtf8(runner_.runs[0].tempPath);
}

TEST_F(LaunchSequenceTest, ShippedTextsAreInstalledOnceAndNeverReplaced) {
  Run(FlvRequest());
  const std::string path = home_.DataFile("dictionary.ini");
  ASSERT_TRUE(fs::exists(path));
  testsupport::WriteStoreFile(path, "[en]\nMANAGER_TITLE=Mine\n");
  Run(FlvRequest());
  EXPECT_EQ(link_.title, u"Mine");
}

}  // namespace
