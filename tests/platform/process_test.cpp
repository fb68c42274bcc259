// Splitting Windows-style command lines and running child processes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "support/HelperProcess.h"
#include "support/TempFolder.h"

namespace {

using platform::FromUtf8;
using platform::Process;
using platform::ProcessWait;
using Args = std::vector<std::string>;

struct SplitCase {
  const char* name;
  const char* line;
  Args args;
};

class SplitCommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, GivesTheArgumentsWindowsWouldGive) {
  EXPECT_EQ(platform::SplitCommandLine(FromUtf8(GetParam().line)), GetParam().args);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SplitCommandLineTest,
    ::testing::Values(
        SplitCase{"Blanks", "p a  b", {"p", "a", "b"}},
        SplitCase{"TabsAndTrailingBlanks", "p\ta \t b \t", {"p", "a", "b"}},
        SplitCase{"QuotedProgramWithBlank", R"("/opt/my tools/ff" -i)", {"/opt/my tools/ff", "-i"}},
        SplitCase{"ProgramKnowsNoEscapes", R"("/a\b\" c)", {R"(/a\b\)", "c"}},
        SplitCase{"LeadingBlankGivesEmptyProgram", " p a", {"", "p", "a"}},
        SplitCase{"QuotesGroupInsideArgument", R"(p a"b c"d e)", {"p", "ab cd", "e"}},
        SplitCase{"EmptyQuotedArgument", R"(p "" x)", {"p", "", "x"}},
        SplitCase{"BackslashesNotBeforeQuoteAreLiteral", R"(p a\\b c\d)", {"p", R"(a\\b)", R"(c\d)"}},
        SplitCase{"EvenBackslashesBeforeQuote", R"(p "a\\" b)", {"p", R"(a\)", "b"}},
        SplitCase{"OddBackslashesBeforeQuote", R"(p a\"b c\\\"d)", {"p", R"(a"b)", R"(c\"d)"}},
        SplitCase{"DoubledQuoteInsideQuotes", R"(p "a""b c")", {"p", R"(a"b c)"}},
        SplitCase{"UnterminatedQuoteRunsToTheEnd", R"(p "a  b)", {"p", "a  b"}},
        SplitCase{"NonAscii", "p \"M\xC3\xBCsik \xE2\x99\xAA\"", {"p", "M\xC3\xBCsik \xE2\x99\xAA"}},
        SplitCase{"OptionsAsTheyStand", "p -acodec libmp3lame -ab 160k",
                  {"p", "-acodec", "libmp3lame", "-ab", "160k"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QuoteArgumentTest, OnlyWrapsTextThatNeedsNoEscapes) {
  EXPECT_EQ(platform::QuoteArgument(u"/music/my song.mp3"), u"\"/music/my song.mp3\"");
  EXPECT_EQ(platform::QuoteArgument(u""), u"\"\"");
}

TEST(QuoteArgumentTest, SplittingGivesTheTextBack) {
  for (const char* text : {"plain", "with blank", "a\"b", "\"", "ends in \\", "a\\\\\"b",
                           "\\\\server\\share", "tab\there", "", "\"\""}) {
    SCOPED_TRACE(text);
    const std::u16string line = u"p " + platform::QuoteArgument(FromUtf8(text)) + u" next";
    EXPECT_EQ(platform::SplitCommandLine(line), (Args{"p", text, "next"}));
  }
}

struct ExitCase {
  const char* name;
  const char* script;
  std::uint32_t exitCode;
};

class ProcessExitTest : public ::testing::TestWithParam<ExitCase> {};

TEST_P(ProcessExitTest, ReportsTheExitCode) {
  Process process;
  ASSERT_TRUE(process.Start(u"/bin/sh -c \"" + FromUtf8(GetParam().script) + u"\""));
  std::uint32_t exitCode = 12345;
  ASSERT_EQ(process.Wait(10000, exitCode), ProcessWait::Exited);
  EXPECT_EQ(exitCode, GetParam().exitCode);
  // Asking again after the end gives the same answer.
  exitCode = 12345;
  EXPECT_EQ(process.Wait(0, exitCode), ProcessWait::Exited);
  EXPECT_EQ(exitCode, GetParam().exitCode);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ProcessExitTest,
    ::testing::Values(ExitCase{"Success", "exit 0", 0}, ExitCase{"Failure", "exit 3", 3},
                      ExitCase{"Terminated", "kill -TERM $$", 128 + 15},
                      ExitCase{"Killed", "kill -KILL $$", 128 + 9}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProcessTest, WaitTimesOutWhileTheChildRuns) {
  Process process;
  ASSERT_TRUE(process.Start(u"/bin/sleep 1"));
  std::uint32_t exitCode = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(process.Wait(100, exitCode), ProcessWait::TimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(process.Wait(10000, exitCode), ProcessWait::Exited);
  EXPECT_EQ(exitCode, 0u);
}

struct LaunchFailureCase {
  const char* name;
  const char* program;  // below the test's folder
  std::uint32_t error;
};

class ProcessLaunchFailureTest : public ::testing::TestWithParam<LaunchFailureCase> {};

TEST_P(ProcessLaunchFailureTest, FailsWithTheErrorNumber) {
  testsupport::TempFolder folder;
  testsupport::WriteFileBytes(folder.File("not-executable"), "#!/bin/sh\n");
  Process process;
  platform::SetLastError(0);
  EXPECT_FALSE(process.Start(u"\"" + folder.File16(GetParam().program) + u"\" -i x"));
  EXPECT_EQ(platform::LastError(), GetParam().error);
  std::uint32_t exitCode = 0;
  EXPECT_EQ(process.Wait(0, exitCode), ProcessWait::Failed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProcessLaunchFailureTest,
    ::testing::Values(LaunchFailureCase{"MissingProgram", "ffmpeg", platform::kErrFileNotFound},
                      LaunchFailureCase{"MissingFolder", "Vexaro/ffmpeg", platform::kErrFileNotFound},
                      LaunchFailureCase{"NotExecutable", "not-executable", 13 /* EACCES */}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProcessTest, EmptyCommandLineFails) {
  Process process;
  EXPECT_FALSE(process.Start(u""));
  EXPECT_EQ(platform::LastError(), platform::kErrFileNotFound);
}

// Describes the process it runs in: its session and process ids (from
// /proc/self/stat) and where each open descriptor leads.
VEXARO_TEST_HELPER(describe_self) {
  std::ifstream statFile("/proc/self/stat");
  std::string pid, field, session;
  statFile >> pid;
  for (int i = 2; i <= 6; ++i) statFile >> field;  // comm, state, ppid, pgrp, session
  session = field;
  std::string text = "pid " + pid + " session " + session + "\n";
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    text += entry.path().filename().string() + " -> " +
            std::filesystem::read_symlink(entry.path(), ignored).string() + "\n";
  }
  testsupport::PublishFile(args.at(0), text);
  return 0;
}

// The child must survive the manager and keep none of its files open: its own
// session, /dev/null for the standard descriptors, nothing else inherited.
TEST(ProcessTest, ChildIsDetached) {
  testsupport::TempFolder folder;
  // Opened without close-on-exec, as a careless library might.
  std::FILE* leaked = std::fopen(folder.File("leak").c_str(), "w");
  ASSERT_NE(leaked, nullptr);

  const std::string report = folder.File("report");
  Process process;
  ASSERT_TRUE(process.Start(u"\"" + FromUtf8(testsupport::SelfExe()) +
                            u"\" --vexaro-helper=describe_self \"" + FromUtf8(report) + u"\""));
  std::uint32_t exitCode = 1;
  ASSERT_EQ(process.Wait(10000, exitCode), ProcessWait::Exited);
  std::fclose(leaked);
  ASSERT_EQ(exitCode, 0u);

  std::istringstream lines(testsupport::ReadFileBytes(report));
  std::string word, pid, session;
  lines >> word >> pid >> word >> session;
  EXPECT_EQ(session, pid);
  std::map<int, std::string> descriptors;
  for (std::string fd, arrow, target; lines >> fd >> arrow >> target;) descriptors[std::stoi(fd)] = target;
  EXPECT_EQ(descriptors[0], "/dev/null");
  EXPECT_EQ(descriptors[1], "/dev/null");
  EXPECT_EQ(descriptors[2], "/dev/null");
  // Beyond those, only the listing's own directory handle.
  for (const auto& [fd, target] : descriptors) {
    if (fd > 2) {
      EXPECT_EQ(target.rfind("/proc/", 0), 0u) << fd << " -> " << target;
    }
  }
}

// Collected output: the child never blocks on a full pipe, whatever it
// writes, both of its output streams arrive, and only the newest bytes are
// kept when nobody takes them.
TEST(ProcessTest, CollectedOutputNeverStallsTheChild) {
  struct Case {
    const char* name;
    const char* script;
    std::size_t size;
    const char* ending;
  };
  const Case cases[] = {
      {"both streams", "echo out; echo err >&2", 8, "err\n"},
      {"more than a pipe holds", "head -c 3000000 /dev/zero | tr '\\0' a; printf end", Process::kMaxKeptOutput, "aend"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Process child;
    ASSERT_TRUE(child.Start(u"/bin/sh -c " + platform::QuoteArgument(FromUtf8(c.script)),
                            platform::ProcessOutput::Collect));
    std::uint32_t code = 1;
    const auto start = std::chrono::steady_clock::now();
    ProcessWait waited;
    do {
      waited = child.Wait(200, code);
    } while (waited == ProcessWait::TimedOut && std::chrono::steady_clock::now() - start < std::chrono::seconds(30));
    ASSERT_EQ(waited, ProcessWait::Exited);
    EXPECT_EQ(code, 0u);
    const std::string output = child.TakeOutput();
    EXPECT_EQ(output.size(), c.size);
    EXPECT_TRUE(output.ends_with(c.ending)) << output.substr(output.size() > 20 ? output.size() - 20 : 0);
    EXPECT_EQ(child.TakeOutput(), "");
  }
}

// Terminate ends the child's whole group, asking first and killing a child
// that does not listen once its grace time is over.
TEST(ProcessTest, TerminateEndsTheChildAndWhatItStarted) {
  struct Case {
    const char* name;
    const char* script;
    std::uint32_t code;
    int atLeastMs;
  };
  const Case cases[] = {
      {"listens", "sleep 30", 128 + 15, 0},
      {"does not listen", "trap '' TERM; sleep 30; sleep 30", 128 + 9, 500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Process child;
    ASSERT_TRUE(child.Start(u"/bin/sh -c " + platform::QuoteArgument(FromUtf8(c.script))));
    std::uint32_t code = 0;
    ASSERT_EQ(child.Wait(200, code), ProcessWait::TimedOut);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(child.Terminate(500, code), ProcessWait::Exited);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(code, c.code);
    EXPECT_GE(took, std::chrono::milliseconds(c.atLeastMs));
    EXPECT_LT(took, std::chrono::seconds(5));
  }
}

}  // namespace
