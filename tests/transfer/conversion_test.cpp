// The conversion runner with the real ffmpeg, and with small shell scripts in
// its place where a converter has to fail, take its time or show what it got.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "RecordingRow.h"
#include "localisation/Dictionary.h"
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
  EXPECT_EQ(record.barPositions.back(), 100);
  EXPECT_EQ(record.cancelHidden, 1);
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
  InstallScript("printf '%s\\0' \"$0\" \"$@\" > '" + argvFile + "'");

  transfer::RunConversion(params_);

  std::vector<std::string> expected{Converter(), "-i", work_.File(c.temporaryName), "-y"};
  expected.insert(expected.end(), c.options.begin(), c.options.end());
  expected.push_back(work_.File(c.targetName));
  std::vector<std::string> argv;
  const std::string bytes = testsupport::ReadFileBytes(argvFile);
  for (std::size_t start = 0, end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1) {
    argv.push_back(bytes.substr(start, end - start));
  }
  EXPECT_EQ(argv, expected);
  // It wrote nothing: done, without a size.
  EXPECT_EQ(row_.LastStatus(), u"MANAGER_STATUS_DONE: " + Target());
  EXPECT_EQ(row_.LastDetail(), u"");
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
  InstallScript("exit 0");

  transfer::RunConversion(params_);

  const auto record = row_.Snapshot();
  EXPECT_EQ(record.statusTexts,
            (std::vector<std::u16string>{u"MANAGER_STATUS_CONVERTING: " + Target(), u"MANAGER_STATUS_DONE: " + Target()}));
  EXPECT_EQ(record.detailTexts, (std::vector<std::u16string>{kElapsed + u": 0:00", u""}));
  EXPECT_EQ(record.barPositions, std::vector<int>{100});
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
  InstallScript("sleep 3.5; : > \"$last\"");

  transfer::RunConversion(params_);

  // At least four passes (the converter takes 3.5 s); a slow machine may add
  // one, so only the beginning is fixed.
  const auto record = row_.Snapshot();
  ASSERT_GE(record.detailTexts.size(), 6u);
  const std::vector<std::u16string> firstTexts(record.detailTexts.begin(), record.detailTexts.begin() + 4);
  EXPECT_EQ(firstTexts, (std::vector<std::u16string>{kElapsed + u": 0:00", kElapsed + u": 0:01",
                                                     kElapsed + u": 0:02", kElapsed + u": 0:03"}));
  ASSERT_GE(record.barPositions.size(), 4u);
  EXPECT_EQ(std::vector<int>(record.barPositions.begin(), record.barPositions.begin() + 3),
            (std::vector<int>{5, 10, 15}));
  EXPECT_EQ(record.barPositions.back(), 100);
  // The closing steps: detail cleared, then the size of the (empty) result.
  EXPECT_EQ(record.detailTexts[record.detailTexts.size() - 2], u"");
  EXPECT_EQ(record.detailTexts.back(), kConvertedSize + u": 0 bytes");
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

  EXPECT_EQ(row_.LastStatus(), u"Error: 3 (0x00000003): " + Target());
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
  EXPECT_EQ(row_.LastDetail(), FromUtf8(kept));
  EXPECT_EQ(testsupport::ReadFileBytes(kept), kDownloaded);
  EXPECT_FALSE(fs::exists(ToUtf8(params_.temporaryPath)));
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
  const std::string kept = work_.File("music/song.flv");
  EXPECT_EQ(row_.LastDetail(), FromUtf8(kept));
  EXPECT_EQ(testsupport::ReadFileBytes(kept), kDownloaded);
  EXPECT_FALSE(fs::exists(ToUtf8(params_.temporaryPath)));
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ConverterFailureTest,
    ::testing::Values(FailureCase{"ExitCode3", "exit 3", u"Error: 3 (0x00000003)", "3"},
                      FailureCase{"PartialOutputThenFailure", "echo partial > \"$last\"; exit 1",
                                  u"Error: 1 (0x00000001)", "1"},
                      FailureCase{"Killed", "kill -KILL $$", u"Error: 137 (0x00000089)", "137"}),
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
  EXPECT_EQ(row_.LastDetail(), FromUtf8(kept));
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
  EXPECT_EQ(row_.LastDetail(), FromUtf8(kept));
  EXPECT_EQ(testsupport::ReadFileBytes(kept), kDownloaded);
  EXPECT_FALSE(fs::exists(ToUtf8(params_.temporaryPath)));
}

}  // namespace
