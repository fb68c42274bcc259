// The conversion runner with the real ffmpeg, and with small shell scripts in
// its place where a converter has to fail, take its time or show what it got.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "RecordingRow.h"
#include "localisation/Dictionary.h"
#include "platform/Process.h"
#include "platform/ProgramFolders.h"
#include "platform/Text.h"
#include "settings/Settings.h"
#include "support/CommaDecimalLocale.h"
#include "support/TempFolder.h"
#include "transfer/Conversion.h"
#include "transfer/Download.h"

namespace {

namespace fs = std::filesystem;
using platform::FromUtf8;
using platform::ToUtf8;

constexpr std::uint32_t kConversionColour = 0x641E64;  // RGB(100, 30, 100)
const std::u16string kElapsed = u"MANAGER_CONVERSION_TIME_ELAPSED";
const std::u16string kConvertedSize = u"MANAGER_CONVERSION_CONVERTED_SIZE";
// Newer texts fall back to English, not to their keys.
const std::u16string kKept = u"Original kept: ";

// The converter's unfinished output for a target: ".vxpart" before the
// extension of the file name.
std::string Unfinished(const std::string& target) {
  const fs::path path(target);
  return (path.parent_path() / (path.stem().string() + ".vxpart" + path.extension().string())).string();
}

// Every file of a folder whose name says it is unfinished.
std::vector<std::string> UnfinishedFiles(const std::string& folder) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().find(".vxpart") != std::string::npos) found.push_back(entry.path());
  }
  return found;
}

bool NonDecreasing(const std::vector<int>& values) {
  return std::is_sorted(values.begin(), values.end());
}

// With no dictionary.ini every text shows as its key, which keeps the
// expectations readable.
class ConversionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The build tree's converter link (made when configuring).
    systemConverter_ = VEXARO_BUILD_CONVERTER;
    settings::Settings::GetInstance();
    programs_ = work_.File("programs");
    fs::create_directories(programs_ + "/Vexaro");
    ::setenv("VEXARO_PROGRAM_FILES_COMMON", programs_.c_str(), 1);

    fs::create_directories(work_.File("cache"));
    fs::create_directories(work_.File("music"));
    SetTemporaryFile(work_.File("cache/vx_1a.flv"));
    params_.row = &row_;
    params_.targetPath = work_.File16("music/song.mp3");
    params_.conversionArguments = u"-acodec libmp3lame -ab 160k -ac 2 -ar 44100";
    params_.nativeExtension = u"flv";
    params_.dictionary = localisation::Dictionary::GetInstance();
  }
  void TearDown() override { ::unsetenv("VEXARO_PROGRAM_FILES_COMMON"); }

  void SetTemporaryFile(const std::string& path) {
    testsupport::WriteFileBytes(path, kDownloaded);
    params_.temporaryPath = FromUtf8(path);
  }

  // A converter made of a shell script; "$last" holds its output path.
  void InstallScript(const std::string& body) {
    const std::string path = Converter();
    testsupport::WriteFileBytes(path, "#!/bin/sh\nfor last; do :; done\n" + body + "\n");
    fs::permissions(path, fs::perms::owner_all);
  }
  std::string Converter() const { return programs_ + "/Vexaro/ffmpeg"; }

  std::u16string Target() const { return params_.targetPath; }
  std::string Error(const char* key) {
    const settings::SectionMap errors = settings::Settings::GetInstance()->GetErrors();
    const auto it = errors.find(FromUtf8(key));
    return it == errors.end() ? "(none)" : ToUtf8(it->second);
  }

  static constexpr const char* kDownloaded = "the downloaded bytes";
  testsupport::TempDataHome home_;
  testsupport::TempFolder work_;
  std::string programs_;
  std::string systemConverter_;
  testsupport::RecordingRow row_;
  transfer::DownloadThreadParams params_;
};

TEST_F(ConversionTest, RealConverterTurnsFlvIntoMp3) {
  ASSERT_TRUE(fs::exists(systemConverter_)) << "configuring found no ffmpeg to link";
  fs::create_symlink(systemConverter_, Converter());
  const std::string clip = work_.File("cache/vx_1a.flv");
  const std::string make = "'" + systemConverter_ +
                           "' -hide_banner -loglevel error -y -f lavfi -i sine=frequency=440:duration=2"
                           " -f lavfi -i color=size=64x64:duration=2 '" + clip + "'";
  ASSERT_EQ(std::system(make.c_str()), 0);
  params_.targetPath = work_.File16("music/my song.mp3");

  transfer::RunConversion(params_);

  const auto record = row_.Snapshot();
  EXPECT_EQ(record.statusTexts.front(), u"MANAGER_STATUS_CONVERTING: " + Target());
  EXPECT_EQ(record.statusTexts.back(), u"MANAGER_STATUS_DONE: " + Target());
  EXPECT_EQ(record.detailTexts.front(), kElapsed + u": 0:00");
  EXPECT_EQ(record.barColours, std::vector<std::uint32_t>{kConversionColour});
  // It starts over from empty and only moves forward.
  EXPECT_EQ(record.barPositions.front(), 0);
  EXPECT_EQ(record.barPositions.back(), 100);
  EXPECT_TRUE(NonDecreasing(record.barPositions));
  EXPECT_EQ(record.cancelShown, 1);
  EXPECT_EQ(record.cancelHidden, 1);
  EXPECT_FALSE(row_.m_failed);
  EXPECT_TRUE(UnfinishedFiles(work_.File("music")).empty());
  EXPECT_TRUE(std::regex_match(ToUtf8(row_.LastDetail()),
                               std::regex(ToUtf8(kConvertedSize) + R"(: \d+\.\d Kb)")))
      << ToUtf8(row_.LastDetail());
  EXPECT_EQ(testsupport::ReadFileBytes(ToUtf8(Target())).substr(0, 3), "ID3");
  // The manager deletes the temporary file, not the runner.
  EXPECT_TRUE(fs::exists(clip));
  EXPECT_EQ(Error("2304"), "(none)");
  EXPECT_EQ(Error("2305"), "(none)");
}

struct CommandLineCase {
  const char* name;
  const char16_t* input;
  const char16_t* arguments;
  const char16_t* output;
  const char16_t* line;
};

class ConversionCommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(ConversionCommandLineTest, IsJoinedPieceByPiece) {
  const CommandLineCase& c = GetParam();
  EXPECT_EQ(transfer::BuildConversionCommandLine(u"/usr/lib", c.input, c.arguments, c.output), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConversionCommandLineTest,
    ::testing::Values(
        CommandLineCase{"WithArguments", u"/c/vx_1.flv", u"-acodec libmp3lame -ab 160k", u"/m/a.mp3",
                        u"\"/usr/lib/Vexaro/ffmpeg\" -i \"/c/vx_1.flv\" -y -acodec libmp3lame -ab 160k \"/m/a.mp3\""},
        CommandLineCase{"EmptyArgumentsLeaveTwoBlanks", u"/c/vx_1.flv", u"", u"/m/a.mp3",
                        u"\"/usr/lib/Vexaro/ffmpeg\" -i \"/c/vx_1.flv\" -y  \"/m/a.mp3\""},
        CommandLineCase{"BlanksAreOnlyQuoted", u"/c c/vx 1.flv", u"-vn", u"/m m/a b.mp3",
                        u"\"/usr/lib/Vexaro/ffmpeg\" -i \"/c c/vx 1.flv\" -y -vn \"/m m/a b.mp3\""},
        CommandLineCase{"QuotesInNamesAreEscaped", u"/c/vx_1.flv", u"-vn", u"/m/say \"hi\".mp3",
                        u"\"/usr/lib/Vexaro/ffmpeg\" -i \"/c/vx_1.flv\" -y -vn \"/m/say \\\"hi\\\".mp3\""}),
    [](const auto& info) { return std::string(info.param.name); });

struct ArgvCase {
  const char* name;
  const char* temporaryName;  // below the work folder
  const char* targetName;
  const char16_t* arguments;
  std::vector<std::string> options;  // what the converter gets between -y and the output
};

class ConversionArgvTest : public ConversionTest, public ::testing::WithParamInterface<ArgvCase> {};

// What the converter receives, not only the line that was built: a name must
// reach it whole, whatever blanks, quotes or backslashes it holds.
TEST_P(ConversionArgvTest, ConverterGetsThePathsWhole) {
  const ArgvCase& c = GetParam();
  fs::create_directories(fs::path(work_.File(c.temporaryName)).parent_path());
  fs::create_directories(fs::path(work_.File(c.targetName)).parent_path());
  SetTemporaryFile(work_.File(c.temporaryName));
  params_.targetPath = work_.File16(c.targetName);
  params_.conversionArguments = c.arguments;
  const std::string argvFile = work_.File("argv");
  InstallScript("printf '%s\\0' \"$0\" \"$@\" > '" + argvFile + "'; printf converted > \"$last\"");

  transfer::RunConversion(params_);

  // Its progress report comes first; the output is the unfinished file
  // beside the target.
  std::vector<std::string> expected{Converter(), "-i", work_.File(c.temporaryName), "-y", "-nostats", "-progress",
                                    "pipe:1"};
  expected.insert(expected.end(), c.options.begin(), c.options.end());
  expected.push_back(Unfinished(work_.File(c.targetName)));
  std::vector<std::string> argv;
  const std::string bytes = testsupport::ReadFileBytes(argvFile);
  for (std::size_t start = 0, end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1) {
    argv.push_back(bytes.substr(start, end - start));
  }
  EXPECT_EQ(argv, expected);
  EXPECT_EQ(row_.LastStatus(), u"MANAGER_STATUS_DONE: " + Target());
  EXPECT_EQ(testsupport::ReadFileBytes(work_.File(c.targetName)), "converted");
  EXPECT_FALSE(fs::exists(Unfinished(work_.File(c.targetName))));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConversionArgvTest,
    ::testing::Values(
        ArgvCase{"Mp3Options", "cache/vx_1a.flv", "music/song.mp3", u"-acodec libmp3lame -ab 160k -ac 2 -ar 44100",
                 {"-acodec", "libmp3lame", "-ab", "160k", "-ac", "2", "-ar", "44100"}},
        ArgvCase{"EmptyOptions", "cache/vx_1a.flv", "music/song.mp3", u"", {}},
        ArgvCase{"BlanksAndQuotes", "my cache/vx_1a.flv", "my music/say \"hi\" to \"them\".mp3", u"-vn", {"-vn"}},
        ArgvCase{"BackslashesBeforeQuotes", "cache\\\"/vx_1a.flv", "music\\/a\\\\\"b.mp3", u"-vn", {"-vn"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConversionTest, ConverterThatEndsAtOnceGetsOnePass) {
  InstallScript("printf x > \"$last\"");

  transfer::RunConversion(params_);

  const auto record = row_.Snapshot();
  EXPECT_EQ(record.statusTexts,
            (std::vector<std::u16string>{u"MANAGER_STATUS_CONVERTING: " + Target(), u"MANAGER_STATUS_DONE: " + Target()}));
  EXPECT_EQ(record.detailTexts,
            (std::vector<std::u16string>{kElapsed + u": 0:00", u"", kConvertedSize + u": 1 bytes"}));
  EXPECT_EQ(record.barPositions, (std::vector<int>{0, 100}));
  EXPECT_EQ(record.barColours, std::vector<std::uint32_t>{kConversionColour});
  EXPECT_EQ(record.cancelHidden, 1);
}

// Without a dictionary every text shows its key, as for a text the
// dictionary lacks.
TEST_F(ConversionTest, WithoutDictionaryShowsTheKeys) {
  params_.dictionary = nullptr;
  InstallScript("truncate -s 2048 \"$last\"");

  transfer::RunConversion(params_);

  const auto record = row_.Snapshot();
  EXPECT_EQ(record.statusTexts,
            (std::vector<std::u16string>{u"MANAGER_STATUS_CONVERTING: " + Target(), u"MANAGER_STATUS_DONE: " + Target()}));
  EXPECT_EQ(record.detailTexts, (std::vector<std::u16string>{kElapsed + u": 0:00", u"", kConvertedSize + u": 2.0 Kb"}));
}

TEST_F(ConversionTest, LongerConversionShowsElapsedTimeAndGrowingBar) {
  InstallScript("sleep 3.5; printf x > \"$last\"");

  transfer::RunConversion(params_);

  // At least four passes (the converter takes 3.5 s); a slow machine may add
  // one, so only the beginning is fixed.
  const auto record = row_.Snapshot();
  ASSERT_GE(record.detailTexts.size(), 6u);
  const std::vector<std::u16string> firstTexts(record.detailTexts.begin(), record.detailTexts.begin() + 4);
  EXPECT_EQ(firstTexts, (std::vector<std::u16string>{kElapsed + u": 0:00", kElapsed + u": 0:01",
                                                     kElapsed + u": 0:02", kElapsed + u": 0:03"}));
  ASSERT_GE(record.barPositions.size(), 4u);
  // Without a duration from the converter the bar follows the elapsed time,
  // from empty.
  EXPECT_EQ(std::vector<int>(record.barPositions.begin(), record.barPositions.begin() + 4),
            (std::vector<int>{0, 5, 10, 15}));
  EXPECT_EQ(record.barPositions.back(), 100);
  // The closing steps: detail cleared, then the size of the result.
  EXPECT_EQ(record.detailTexts[record.detailTexts.size() - 2], u"");
  EXPECT_EQ(record.detailTexts.back(), kConvertedSize + u": 1 bytes");
  EXPECT_EQ(row_.LastStatus(), u"MANAGER_STATUS_DONE: " + Target());
}

TEST(ConversionProgressTest, BarPositionsFollowTheLogarithmOfTheElapsedTime) {
  const std::vector<std::pair<std::uint32_t, int>> positions{
      {1, 5},   {2, 10},   {3, 15},   {5, 23},   {10, 33},  {30, 49},   {60, 59},
      {74, 62}, {100, 66}, {300, 82}, {600, 92}, {999, 99}, {1000, 100}, {2000, 110}};
  for (const auto& [passes, position] : positions) {
    EXPECT_EQ(transfer::ConversionBarPosition(passes), position) << passes << " passes";
  }
}

TEST(ConversionProgressTest, ElapsedTimeShowsMinutesAndTwoDigitSeconds) {
  const std::vector<std::pair<std::uint32_t, std::u16string>> texts{
      {0, u"E: 0:00"}, {59, u"E: 0:59"}, {65, u"E: 1:05"}, {74, u"E: 1:14"}, {3700, u"E: 61:40"}};
  for (const auto& [passes, text] : texts) {
    EXPECT_EQ(transfer::ConversionElapsedText(u"E", passes), text) << passes << " passes";
  }
}

struct SizeCase {
  const char* name;
  std::uint64_t size;
  const char16_t* text;
};

class ConvertedSizeTest : public ConversionTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ConvertedSizeTest, ShowsTheSizeOfTheResult) {
  // Sparse files, so that the large case costs no disk space.
  InstallScript("truncate -s " + std::to_string(GetParam().size) + " \"$last\"");

  transfer::RunConversion(params_);

  EXPECT_EQ(row_.LastDetail(), kConvertedSize + GetParam().text);
  EXPECT_EQ(row_.LastStatus(), u"MANAGER_STATUS_DONE: " + Target());
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, ConvertedSizeTest,
    ::testing::Values(SizeCase{"Bytes", 1024, u": 1024 bytes"}, SizeCase{"SmallestKb", 1025, u": 1.0 Kb"},
                      SizeCase{"LargestKb", 1024000, u": 1000.0 Kb"}, SizeCase{"SmallestMb", 1024001, u": 1.0 Mb"},
                      // Its low 32 bits alone would read 1024 bytes.
                      SizeCase{"Beyond4GiB", 4294968320ull, u": 4194.3 Mb"}),
    [](const auto& info) { return std::string(info.param.name); });

// A Qt program sets the process locale from the desktop; the size texts
// stay byte for byte what they are under "C".
TEST_F(ConversionTest, ConvertedSizesIgnoreACommaDecimalLocale) {
  testsupport::CommaDecimalLocale locale;
  if (!locale.Active()) GTEST_SKIP() << locale.Why();
  const SizeCase cases[] = {{"Bytes", 1024, u": 1024 bytes"}, {"SmallestKb", 1025, u": 1.0 Kb"},
                            {"LargestKb", 1024000, u": 1000.0 Kb"}, {"SmallestMb", 1024001, u": 1.0 Mb"}};
  for (const SizeCase& c : cases) {
    InstallScript("truncate -s " + std::to_string(c.size) + " \"$last\"");
    testsupport::RecordingRow row;
    transfer::DownloadThreadParams params = params_;
    params.row = &row;
    transfer::RunConversion(params);
    EXPECT_EQ(row.LastDetail(), kConvertedSize + c.text) << c.name;
  }
}

// A browser may start Vexaro with SIGCHLD ignored, which lets the kernel reap
// the converter; its failure must still show, not "done".
TEST_F(ConversionTest, ExitCodeSurvivesAnInheritedIgnoredSigchld) {
  ASSERT_NE(::signal(SIGCHLD, SIG_IGN), SIG_ERR);
  InstallScript("exit 3");

  transfer::RunConversion(params_);

  EXPECT_EQ(row_.LastStatus(), u"Error: 3 (0x00000003), converter failed (exit 3): " + Target());
  EXPECT_EQ(Error("2305"), "3");
  ::signal(SIGCHLD, SIG_DFL);
}

TEST_F(ConversionTest, MissingConverterIsALaunchError) {
  transfer::RunConversion(params_);

  const auto record = row_.Snapshot();
  EXPECT_EQ(record.statusTexts, (std::vector<std::u16string>{u"MANAGER_STATUS_CONVERTING: " + Target(),
                                                            u"DOWNLOAD_FILE_STATUS_ERROR_LAUNCH: " + Target()}));
  EXPECT_TRUE(record.barColours.empty());
  EXPECT_EQ(record.barPositions, std::vector<int>{100});
  EXPECT_EQ(record.cancelHidden, 1);
  EXPECT_EQ(Error("2304"), "2");
  // The download is kept beside the target rather than left to the clean-up.
  const std::string kept = work_.File("music/song.flv");
  EXPECT_EQ(row_.LastDetail(), kKept + FromUtf8(kept));
  EXPECT_EQ(testsupport::ReadFileBytes(kept), kDownloaded);
  EXPECT_FALSE(fs::exists(ToUtf8(params_.temporaryPath)));
  EXPECT_TRUE(row_.m_failed);
  EXPECT_FALSE(fs::exists(ToUtf8(Target())));
  EXPECT_TRUE(UnfinishedFiles(work_.File("music")).empty());
}

struct FailureCase {
  const char* name;
  const char* script;
  const char16_t* status;
  const char* recorded;
};

class ConverterFailureTest : public ConversionTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ConverterFailureTest, ShowsTheExitCodeAndKeepsTheDownload) {
  InstallScript(GetParam().script);

  transfer::RunConversion(params_);

  EXPECT_EQ(row_.LastStatus(), GetParam().status + (u": " + Target()));
  EXPECT_EQ(Error("2305"), GetParam().recorded);
  EXPECT_EQ(row_.Snapshot().cancelHidden, 1);
  EXPECT_TRUE(row_.m_failed);
  const std::string kept = work_.File("music/song.flv");
  EXPECT_EQ(row_.LastDetail(), kKept + FromUtf8(kept));
  EXPECT_EQ(testsupport::ReadFileBytes(kept), kDownloaded);
  EXPECT_FALSE(fs::exists(ToUtf8(params_.temporaryPath)));
  // Whatever the converter wrote is gone: nothing looks like a result.
  EXPECT_FALSE(fs::exists(ToUtf8(Target())));
  EXPECT_TRUE(UnfinishedFiles(work_.File("music")).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ConverterFailureTest,
    ::testing::Values(FailureCase{"ExitCode3", "exit 3", u"Error: 3 (0x00000003), converter failed (exit 3)", "3"},
                      FailureCase{"PartialOutputThenFailure", "echo partial > \"$last\"; exit 1",
                                  u"Error: 1 (0x00000001), converter failed (exit 1)", "1"},
                      FailureCase{"Killed", "kill -KILL $$", u"Error: 137 (0x00000089), converter failed (exit 137)",
                                  "137"},
                      FailureCase{"NothingWrittenIsNoSuccess", "exit 0",
                                  u"Error: 2147500037 (0x80004005), the converter wrote nothing",
                                  "2147500037"}),
    [](const auto& info) { return std::string(info.param.name); });

struct KeepCase {
  const char* name;
  std::vector<const char*> existing;  // files already in music/
  const char16_t* nativeExtension;
  const char* temporaryName;          // below the work folder
  const char* kept;                   // below music/
};

class KeptDownloadTest : public ConversionTest, public ::testing::WithParamInterface<KeepCase> {};

TEST_P(KeptDownloadTest, TakesAFreeNameBesideTheTarget) {
  const KeepCase& c = GetParam();
  for (const char* name : c.existing) testsupport::WriteFileBytes(work_.File("music/") + name, name);
  params_.nativeExtension = c.nativeExtension;
  SetTemporaryFile(work_.File(c.temporaryName));
  InstallScript("exit 3");

  transfer::RunConversion(params_);

  const std::string kept = work_.File("music/") + c.kept;
  EXPECT_EQ(row_.LastDetail(), kKept + FromUtf8(kept));
  EXPECT_EQ(testsupport::ReadFileBytes(kept), kDownloaded);
  for (const char* name : c.existing) EXPECT_EQ(testsupport::ReadFileBytes(work_.File("music/") + name), name);
  EXPECT_FALSE(fs::exists(ToUtf8(params_.temporaryPath)));
}

INSTANTIATE_TEST_SUITE_P(
    Names, KeptDownloadTest,
    ::testing::Values(KeepCase{"OwnExtension", {}, u"flv", "cache/vx_1a.flv", "song.flv"},
                      KeepCase{"NativeExtensionWins", {}, u"f4v", "cache/vx_1a.flv", "song.f4v"},
                      KeepCase{"UnknownNativeExtension", {}, u"", "cache/vx_1a.dat", "song.dat"},
                      KeepCase{"NoExtensionAnywhere", {}, u"", "cache/vx_1a", "song"},
                      KeepCase{"NameTaken", {"song.flv"}, u"flv", "cache/vx_1a.flv", "song (2).flv"},
                      KeepCase{"TwoNamesTaken", {"song.flv", "song (2).flv"}, u"flv", "cache/vx_1a.flv",
                               "song (3).flv"}),
    [](const auto& info) { return std::string(info.param.name); });

// The temporary folder and the target's folder often lie on different file
// systems, where a rename cannot move the file.
TEST_F(ConversionTest, KeepsTheDownloadAcrossFileSystems) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  const char* oldTmp = std::getenv("TMPDIR");
  const std::string savedTmp = oldTmp ? oldTmp : "";
  ::setenv("TMPDIR", "/dev/shm", 1);
  testsupport::TempFolder otherFileSystem;
  oldTmp ? ::setenv("TMPDIR", savedTmp.c_str(), 1) : ::unsetenv("TMPDIR");
  SetTemporaryFile(otherFileSystem.File("vx_1a.flv"));
  InstallScript("exit 3");

  transfer::RunConversion(params_);

  const std::string kept = work_.File("music/song.flv");
  EXPECT_EQ(row_.LastDetail(), kKept + FromUtf8(kept));
  EXPECT_EQ(testsupport::ReadFileBytes(kept), kDownloaded);
  EXPECT_FALSE(fs::exists(ToUtf8(params_.temporaryPath)));
}

// A file already at the target is replaced only when the user agreed to it,
// and only by a finished result.
struct ExistingTargetCase {
  const char* name;
  bool replaceAgreed;
  const char* script;
  const char* song;        // what music/song.mp3 holds afterwards
  const char* songCopy;    // music/song (2).mp3, or nullptr when absent
  bool done;
};

class ExistingTargetTest : public ConversionTest, public ::testing::WithParamInterface<ExistingTargetCase> {};

TEST_P(ExistingTargetTest, IsReplacedOnlyWhenAgreedAndOnlyByAResult) {
  const ExistingTargetCase& c = GetParam();
  testsupport::WriteFileBytes(ToUtf8(Target()), "the user's old file");
  params_.replaceTarget = c.replaceAgreed;
  InstallScript(c.script);

  transfer::RunConversion(params_);

  EXPECT_EQ(testsupport::ReadFileBytes(ToUtf8(Target())), c.song);
  const std::string copy = work_.File("music/song (2).mp3");
  EXPECT_EQ(fs::exists(copy), c.songCopy != nullptr);
  if (c.songCopy) {
    EXPECT_EQ(testsupport::ReadFileBytes(copy), c.songCopy);
  }
  if (c.done) {
    // The row names the file that holds the result.
    const std::u16string result = c.songCopy ? FromUtf8(copy) : Target();
    EXPECT_EQ(row_.LastStatus(), u"MANAGER_STATUS_DONE: " + result);
  }
  EXPECT_EQ(row_.m_failed, !c.done);
  EXPECT_TRUE(UnfinishedFiles(work_.File("music")).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExistingTargetTest,
    ::testing::Values(
        ExistingTargetCase{"NotAgreedTakesAFreeName", false, "printf new > \"$last\"", "the user's old file", "new",
                           true},
        ExistingTargetCase{"AgreedIsReplaced", true, "printf new > \"$last\"", "new", nullptr, true},
        ExistingTargetCase{"AgreedButFailedKeepsTheOldFile", true, "printf half > \"$last\"; exit 1",
                           "the user's old file", nullptr, false},
        ExistingTargetCase{"NotAgreedAndFailed", false, "printf half > \"$last\"; exit 1", "the user's old file",
                           nullptr, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Cancel (or the row's dialog going away) ends a running converter: its
// partial output goes, the download is kept as after a failure, and the row
// says it was cancelled, which counts as no failure.
struct StopCase {
  const char* name;
  const char* script;
  int atLeastMs;  // how long ending it takes at least
};

class ConversionStopTest : public ConversionTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(ConversionStopTest, EndsTheConverterAndKeepsTheDownload) {
  const std::string pidFile = work_.File("converter.pid");
  InstallScript("echo $$ > '" + pidFile + "'; printf half > \"$last\"; " + GetParam().script +
                "; printf whole > \"$last\"");
  std::thread cancel([this, &pidFile] {
    for (int i = 0; i < 500 && !fs::exists(pidFile); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    row_.m_stopEvent.Set();
  });
  const auto start = std::chrono::steady_clock::now();

  transfer::RunConversion(params_);

  const auto took = std::chrono::steady_clock::now() - start;
  cancel.join();
  EXPECT_GE(took, std::chrono::milliseconds(300 + GetParam().atLeastMs));
  EXPECT_LT(took, std::chrono::milliseconds(300 + GetParam().atLeastMs + 4000));
  const auto record = row_.Snapshot();
  EXPECT_EQ(record.statusTexts.back(), u"Conversion canceled: " + Target());
  EXPECT_EQ(record.cancelShown, 1);
  EXPECT_EQ(record.cancelHidden, 1);
  EXPECT_FALSE(row_.m_failed);
  const std::string kept = work_.File("music/song.flv");
  EXPECT_EQ(row_.LastDetail(), kKept + FromUtf8(kept));
  EXPECT_EQ(testsupport::ReadFileBytes(kept), kDownloaded);
  EXPECT_FALSE(fs::exists(ToUtf8(Target())));
  EXPECT_TRUE(UnfinishedFiles(work_.File("music")).empty());
  // The converter is gone, not left running unseen.
  const std::string pid = testsupport::ReadFileBytes(pidFile);
  EXPECT_FALSE(fs::exists("/proc/" + pid.substr(0, pid.find('\n')))) << "converter " << pid << " still runs";
  EXPECT_EQ(Error("2305"), "(none)");
}

INSTANTIATE_TEST_SUITE_P(
    Converters, ConversionStopTest,
    ::testing::Values(StopCase{"EndsWhenAsked", "sleep 30", 0},
                      // One that ignores the request is killed after its grace time.
                      StopCase{"IgnoresTheRequest", "trap '' TERM; sleep 30", 3000}),
    [](const auto& info) { return std::string(info.param.name); });

// The bar follows what the converter reports against the input's duration,
// not the elapsed time, when it can.
TEST_F(ConversionTest, BarShowsTheConvertersProgress) {
  InstallScript(
      "echo '  Duration: 00:00:10.00, start: 0.000000, bitrate: 128 kb/s' >&2\n"
      "for t in 2500000 5000000 7500000; do echo out_time_us=$t; echo progress=continue; sleep 1; done\n"
      "printf x > \"$last\"");

  transfer::RunConversion(params_);

  const std::vector<int> bar = row_.Snapshot().barPositions;
  ASSERT_GE(bar.size(), 3u);
  EXPECT_EQ(bar.front(), 0);
  EXPECT_EQ(bar.back(), 100);
  EXPECT_TRUE(NonDecreasing(bar));
  for (std::size_t i = 1; i + 1 < bar.size(); ++i) {
    EXPECT_TRUE(bar[i] == 25 || bar[i] == 50 || bar[i] == 75) << "position " << bar[i];
  }
}

struct ProgressCase {
  const char* name;
  std::vector<std::string> pieces;  // the output as it arrives
  int percent;
};

class ConverterProgressTest : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(ConverterProgressTest, ReadsDurationAndPosition) {
  transfer::ConverterProgress progress;
  for (const std::string& piece : GetParam().pieces) progress.Feed(piece);
  EXPECT_EQ(progress.Percent(), GetParam().percent);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, ConverterProgressTest,
    ::testing::Values(
        ProgressCase{"Nothing", {}, -1},
        ProgressCase{"DurationOnly", {"  Duration: 00:01:40.00, start: 0.0\n"}, -1},
        ProgressCase{"PositionOnly", {"out_time_us=5000000\n"}, -1},
        ProgressCase{"Half", {"  Duration: 00:01:40.00, start: 0.0\n", "out_time_us=50000000\nprogress=continue\n"}, 50},
        ProgressCase{"LinesSplitAnywhere", {"  Dura", "tion: 00:00:", "10.00, st", "art\nout_ti", "me_us=2500", "000\n"}, 25},
        ProgressCase{"OlderMillisecondKeyInMicroseconds", {"Duration: 00:00:10.00\nout_time_ms=7500000\n"}, 75},
        ProgressCase{"CarriageReturns", {"Duration: 00:00:10.00,\rout_time_us=1000000\r"}, 10},
        ProgressCase{"HoursAndFraction", {"Duration: 01:00:00.50\nout_time_us=1800250000\n"}, 50},
        ProgressCase{"PastTheEndIsFull", {"Duration: 00:00:01.00\nout_time_us=1500000\n"}, 100},
        ProgressCase{"UnknownValuesAreSkipped",
                     {"Duration: N/A, bitrate: N/A\nDuration: 00:00:10.00\nout_time_us=N/A\nout_time_us=-5\n"}, -1},
        ProgressCase{"FirstDurationCounts", {"Duration: 00:00:10.00\nDuration: 00:00:20.00\nout_time_us=5000000\n"}, 50},
        ProgressCase{"ZeroDuration", {"Duration: 00:00:00.00\nout_time_us=0\n"}, -1},
        ProgressCase{"ItsOwnLatestPosition", {"Duration: 00:00:10.00\nout_time_us=2000000\nout_time_us=3000000\n"}, 30}),
    [](const auto& info) { return std::string(info.param.name); });

// The real converter's own output gives the duration and its position, up to
// the whole input, through the process's collected output.
TEST_F(ConversionTest, RealConverterReportsItsProgress) {
  ASSERT_TRUE(fs::exists(systemConverter_));
  const std::string clip = work_.File("cache/long.wav");
  const std::string make = "'" + systemConverter_ +
                           "' -hide_banner -loglevel error -y -f lavfi -i sine=frequency=440:duration=20 '" + clip + "'";
  ASSERT_EQ(std::system(make.c_str()), 0);
  platform::Process converter;
  ASSERT_TRUE(converter.Start(transfer::BuildConversionCommandLine(
                                  FromUtf8(fs::path(systemConverter_).parent_path().parent_path().string()),
                                  FromUtf8(clip), transfer::kConverterProgressOptions + std::u16string(u"-vn"),
                                  work_.File16("music/long.mp3")),
                              platform::ProcessOutput::Collect));
  transfer::ConverterProgress progress;
  std::uint32_t exitCode = 1;
  platform::ProcessWait waited;
  do {
    waited = converter.Wait(1000, exitCode);
    progress.Feed(converter.TakeOutput());
  } while (waited == platform::ProcessWait::TimedOut);
  ASSERT_EQ(waited, platform::ProcessWait::Exited);
  EXPECT_EQ(exitCode, 0u);
  EXPECT_EQ(progress.Percent(), 100);
}

}  // namespace
