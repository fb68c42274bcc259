// The second account of the cross-user tests: what it is started with must
// not depend on it being able to read the checkout or the build folder.
#include "support/TestAccount.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/HelperProcess.h"
#include "support/TempFolder.h"

namespace {

using testsupport::HelperProcess;
namespace fs = std::filesystem;

// The path after "suppressions=" in options (quotes removed), or empty.
std::string SuppressionsPath(const std::string& options) {
  const std::size_t at = options.find("suppressions=");
  if (at == std::string::npos) return {};
  std::size_t begin = at + 13;
  if (begin < options.size() && (options[begin] == '\'' || options[begin] == '"')) {
    const std::size_t close = options.find(options[begin], begin + 1);
    return options.substr(begin + 1, close - begin - 1);
  }
  return options.substr(begin, options.find_first_of(" :,", begin) - begin);
}

// Writes, for each variable named after the report file, its value and on
// the next line what the file it names holds, or "unreadable", as the
// account reads it. Args: report file, variable names.
VEXARO_TEST_HELPER(report_suppressions) {
  std::string report;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const char* value = std::getenv(args[i].c_str());
    const std::string options = value ? value : "";
    const std::string path = SuppressionsPath(options);
    report += args[i] + "=" + options + "\n";
    report += path.empty() || ::access(path.c_str(), R_OK) != 0 ? "unreadable" : testsupport::ReadFileBytes(path);
    report += "\n";
  }
  testsupport::PublishFile(args.at(0), report);
  return 0;
}

class TestAccountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // As a checkout in a folder of mktemp -d, or under a home of 0700.
    closed_ = folder_.File("checkout");
    fs::create_directories(closed_ + "/tests/support");
    ::chmod(closed_.c_str(), 0700);
  }

  // A suppressions file in the closed folder. Only comments: a sanitized
  // helper reads it as its own and must find nothing wrong in it.
  std::string Suppressions(const std::string& name) const {
    const std::string path = closed_ + "/tests/support/" + name;
    testsupport::WriteFileBytes(path, "# " + name + "\n");
    return path;
  }

  testsupport::TempFolder folder_;
  std::string closed_;
};

// Only the path of suppressions= changes, whatever separates the flags and
// however the value is written; what cannot be copied stays as it was.
TEST_F(TestAccountTest, OnlyTheSuppressionsPathIsReplaced) {
  const std::string file = Suppressions("tsan.supp");
  const std::string missing = closed_ + "/tests/support/missing.supp";
  const struct {
    const char* name;
    std::string options;
    std::string before, after;  // around the path in the result
    bool copied;
  } cases[] = {
      {"BlankSeparated", "second_deadlock_stack=1 suppressions=" + file, "second_deadlock_stack=1 suppressions=", "",
       true},
      {"ColonSeparated", "suppressions=" + file + ":detect_leaks=1", "suppressions=", ":detect_leaks=1", true},
      {"CommaSeparated", "halt_on_error=1,suppressions=" + file + ",print_stacktrace=1",
       "halt_on_error=1,suppressions=", ",print_stacktrace=1", true},
      {"SingleQuoted", "suppressions='" + file + "' verbosity=0", "suppressions=", " verbosity=0", true},
      {"DoubleQuoted", "verbosity=0:suppressions=\"" + file + "\"", "verbosity=0:suppressions=", "", true},
      {"FlagWithoutValue", "help suppressions=" + file, "help suppressions=", "", true},
      {"LookalikeFlagKept", "external_suppressions=" + file, "external_suppressions=" + file, "", false},
      {"UnreadablePathKept", "suppressions=" + missing + " verbosity=0", "suppressions=" + missing + " verbosity=0",
       "", false},
      {"NoSuppressions", "detect_leaks=1:halt_on_error=1", "detect_leaks=1:halt_on_error=1", "", false},
      {"Empty", "", "", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string got = testsupport::ReadableSuppressions(c.options);
    if (!c.copied) {
      EXPECT_EQ(got, c.before);
      continue;
    }
    ASSERT_EQ(got.rfind(c.before, 0), 0u) << got;
    ASSERT_GE(got.size(), c.before.size() + c.after.size()) << got;
    ASSERT_EQ(got.substr(got.size() - c.after.size()), c.after) << got;
    const std::string copy = got.substr(c.before.size(), got.size() - c.before.size() - c.after.size());
    EXPECT_EQ(copy.rfind("/tmp/", 0), 0u) << copy;
    EXPECT_EQ(copy.find_first_of(" \t,:'\""), std::string::npos) << "the copy's path needs no quotes: " << copy;
    EXPECT_EQ(testsupport::ReadFileBytes(copy), testsupport::ReadFileBytes(file));
    struct stat info {};
    ASSERT_EQ(::stat(copy.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
  }
}

// Copies are named by what they hold: the same file again gives the same
// copy (parallel tests share it), other contents another one.
TEST_F(TestAccountTest, CopiesAreNamedByTheirContent) {
  const std::string first = testsupport::ReadableSuppressions("suppressions=" + Suppressions("a.supp"));
  EXPECT_EQ(testsupport::ReadableSuppressions("suppressions=" + closed_ + "/tests/support/a.supp"), first);
  const std::string other = testsupport::ReadableSuppressions("suppressions=" + Suppressions("b.supp"));
  EXPECT_NE(other, first);
  EXPECT_NE(testsupport::ReadFileBytes(SuppressionsPath(other)), testsupport::ReadFileBytes(SuppressionsPath(first)));
}

// The second account reads every sanitizer's suppressions, inherited or set
// for it, though it cannot enter the folder they lie in; its other options
// and the variables it is told to drop arrive as given.
TEST_F(TestAccountTest, TheAccountReadsSuppressionsItCannotReachInTheCheckout) {
  testsupport::TestAccount user;
  std::string why;
  if (!testsupport::EnsureTestAccount("vexaro-test", user, why)) GTEST_SKIP() << why;
  ::chmod(folder_.Path().c_str(), 0711);
  const std::string program = testsupport::ProgramCopyFor(folder_.Path());
  ASSERT_FALSE(program.empty());
  const std::string out = folder_.File("out");
  fs::create_directory(out);
  testsupport::GiveTo(user, out);

  const std::vector<std::string> names{"ASAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"};
  std::map<std::string, std::string> files;
  for (const std::string& name : names) files[name] = Suppressions(name + ".supp");
  const auto options = [&](const std::string& name) {
    return "print_summary=1 suppressions=" + files[name] + ":verbosity=0";
  };
  // The variables the test program was started with come back afterwards.
  std::map<std::string, std::string> saved;
  for (const std::string& name : names) {
    if (const char* value = std::getenv(name.c_str())) saved[name] = value;
  }

  const struct {
    const char* name;
    bool inherited;  // else set through RunAs
  } cases[] = {{"Inherited", true}, {"SetForTheAccount", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::map<std::string, std::string> environment{{"XDG_RUNTIME_DIR", ""}};
    for (const std::string& name : names) {
      if (c.inherited) ::setenv(name.c_str(), options(name).c_str(), 1);
      else environment[name] = options(name);
    }
    const std::string report = out + "/" + c.name;
    std::vector<std::string> args{report};
    args.insert(args.end(), names.begin(), names.end());
    HelperProcess helper("report_suppressions", args, testsupport::RunAs(user, environment), program);
    for (const std::string& name : names) {
      if (const auto it = saved.find(name); it != saved.end()) ::setenv(name.c_str(), it->second.c_str(), 1);
      else ::unsetenv(name.c_str());
    }
    ASSERT_EQ(helper.Wait(), 0);
    const std::string got = testsupport::ReadFileBytes(report);
    for (const std::string& name : names) {
      SCOPED_TRACE(name);
      const std::size_t line = got.find(name + "=");
      ASSERT_NE(line, std::string::npos) << got;
      const std::size_t eol = got.find('\n', line);
      const std::string value = got.substr(line + name.size() + 1, eol - line - name.size() - 1);
      EXPECT_EQ(value.rfind("print_summary=1 suppressions=", 0), 0u) << value;
      EXPECT_EQ(value.substr(value.size() - 12), ":verbosity=0") << value;
      EXPECT_NE(SuppressionsPath(value), files[name]) << "the account cannot enter " << closed_;
      const std::string content = got.substr(eol + 1, got.find('\n', eol + 1) + 1 - eol - 1);
      EXPECT_EQ(content, testsupport::ReadFileBytes(files[name])) << "as the account read it";
    }
  }
}

}  // namespace
