// vexaro-store fetch as a support person runs it: the real program, started
// as a process, against loopback servers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/HelperProcess.h"
#include "support/ScriptedServer.h"
#include "support/TempFolder.h"

extern char** environ;

namespace {

using testsupport::ScriptedReply;
using testsupport::ScriptedRequest;
using testsupport::ScriptedServer;
using testsupport::ServedFile;
namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1u << 20;

struct Outcome {
  int exitCode = -1;
  std::string output;
};

class StoreFetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("no_proxy", "*", 1);
    // The user's language, as the program finds it; English unless a test
    // says otherwise.
    ::setenv("LC_ALL", "C", 1);
  }

  std::unique_ptr<ScriptedServer> Serve(const ServedFile& file, std::uint64_t bytesPerSecond,
                                        std::uint64_t firstCut = UINT64_MAX) {
    auto server = std::make_unique<ScriptedServer>([file, bytesPerSecond, firstCut](const ScriptedRequest& r) {
      ScriptedReply reply = ScriptedServer::ServeFile(r, file);
      reply.bytesPerSecond = bytesPerSecond;
      if (r.index == 0) reply.cutAfter = firstCut;
      return reply;
    });
    EXPECT_TRUE(server->Start());
    return server;
  }

  // Starts vexaro-store with args, its output into a file of the test, and
  // its complaints too where errors names one.
  pid_t Start(const std::vector<std::string>& args, const std::string& errors = "") {
    std::vector<std::string> argv{VEXARO_STORE_TOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!errors.empty()) {
      posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, pointers.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }

  Outcome Finish(pid_t pid) {
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), testsupport::ReadFileBytes(output_)};
  }

  Outcome Run(const std::vector<std::string>& args, const std::string& errors = "") {
    return Finish(Start(args, errors));
  }

  testsupport::TempDataHome home_;
  testsupport::TempFolder folder_;
  std::string output_ = folder_.File("output.txt");
  std::string target_ = folder_.File("clip.flv");
};

// A support person's first command on a fresh data folder speaks as the
// program's row does: words in the user's language, never the dictionary's
// keys. The shipped texts are installed for it, as the program's first start
// does.
TEST_F(StoreFetchTest, PrintsEachRowTextAndCompletesThroughARetry) {
  const struct {
    const char* name;
    const char* locale;
    std::string downloading, retrying, progress, completed;
  } cases[] = {
      {"English", "C", "Downloading", "Retrying in 1 s (attempt 2 of 5)", "1.0 of 3.1 Mb", "Download completed"},
      {"German", "de_DE.UTF-8", "Wird heruntergeladen", "Neuer Versuch in 1 s (Versuch 2 von 5)", "1.0 von 3.1 Mb",
       "Download abgeschlossen"},
  };
  const std::string dictionary = home_.DataFile("dictionary.ini");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(dictionary);
    fs::remove(target_);
    ::setenv("LC_ALL", c.locale, 1);
    const ServedFile file{testsupport::VersionBytes(3 * kMiB, 1), "\"f\"", ""};
    const auto server = Serve(file, 0, kMiB);
    const std::string errorsFile = folder_.File("errors.txt");
    const Outcome outcome = Run({"fetch", server->Url("/clip.flv"), target_}, errorsFile);
    const std::string errors = testsupport::ReadFileBytes(errorsFile);

    EXPECT_EQ(outcome.exitCode, 0) << outcome.output << errors;
    EXPECT_EQ(outcome.output.find("MANAGER_"), std::string::npos) << outcome.output;
    EXPECT_EQ(errors.find("MANAGER_"), std::string::npos) << errors;
    EXPECT_EQ(outcome.output.rfind("status: " + c.downloading + ": " + target_ + "\n", 0), 0u) << outcome.output;
    EXPECT_NE(outcome.output.find("status: " + c.retrying + ": " + target_ + "\n"), std::string::npos)
        << outcome.output;
    EXPECT_NE(outcome.output.find("detail: " + c.progress + "\n"), std::string::npos) << outcome.output;
    const std::string last = "status: " + c.completed + ": " + target_ + "\n";
    ASSERT_GE(outcome.output.size(), last.size());
    EXPECT_EQ(outcome.output.substr(outcome.output.size() - last.size()), last);
    EXPECT_EQ(testsupport::Digest(testsupport::ReadFileBytes(target_)), testsupport::Digest(*file.bytes));
    EXPECT_FALSE(fs::exists(target_ + ".vxpart"));
    EXPECT_TRUE(fs::exists(dictionary)) << "installed as on the program's first start";
  }
}

// A data folder's own dictionary (an add-on's words) is what the program
// shows, so fetch shows it too, the shipped texts standing in only for keys
// it lacks; the file stays as it was.
TEST_F(StoreFetchTest, TheInstalledDictionaryWinsAndStays) {
  ::setenv("LC_ALL", "de_DE.UTF-8", 1);
  const std::string dictionary = home_.DataFile("dictionary.ini");
  ASSERT_EQ(Run({"set", dictionary, "de", "MANAGER_STATUS_DOWNLOADING", "Holt", "--no-checksum"}).exitCode, 0);
  const std::string before = testsupport::ReadFileBytes(dictionary);
  const ServedFile file{testsupport::VersionBytes(kMiB, 1), "\"f\"", ""};
  const auto server = Serve(file, 0);
  const Outcome outcome = Run({"fetch", server->Url("/clip.flv"), target_});

  EXPECT_EQ(outcome.exitCode, 0) << outcome.output;
  EXPECT_EQ(outcome.output.rfind("status: Holt: " + target_ + "\n", 0), 0u) << outcome.output;
  const std::string last = "status: Download abgeschlossen: " + target_ + "\n";
  ASSERT_GE(outcome.output.size(), last.size());
  EXPECT_EQ(outcome.output.substr(outcome.output.size() - last.size()), last);
  EXPECT_EQ(testsupport::ReadFileBytes(dictionary), before);
}

// The connections come from settings.ini (as vexaro-store set leaves them),
// or from --connections, which wins.
TEST_F(StoreFetchTest, ConnectionsFromSettingsOrTheOption) {
  const ServedFile file{testsupport::VersionBytes(16 * kMiB, 1), "\"f\"", ""};
  ASSERT_EQ(Run({"set", home_.DataFile("settings.ini"), "Transfer", "connections", "2"}).exitCode, 0);

  const auto fromSettings = Serve(file, 8 * kMiB);
  EXPECT_EQ(Run({"fetch", fromSettings->Url("/a"), target_}).exitCode, 0);
  EXPECT_EQ(fromSettings->MostBodiesAtOnce(), 2);

  const auto fromOption = Serve(file, 8 * kMiB);
  EXPECT_EQ(Run({"fetch", fromOption->Url("/a"), target_, "--connections", "3"}).exitCode, 0);
  EXPECT_EQ(fromOption->MostBodiesAtOnce(), 3);
  EXPECT_EQ(testsupport::Digest(testsupport::ReadFileBytes(target_)), testsupport::Digest(*file.bytes));
}

TEST_F(StoreFetchTest, InterruptCancelsAndLeavesNothing) {
  const ServedFile file{testsupport::VersionBytes(16 * kMiB, 1), "\"f\"", ""};
  const auto server = Serve(file, kMiB);
  const pid_t pid = Start({"fetch", server->Url("/clip.flv"), target_});
  ASSERT_TRUE(testsupport::WaitForFile(target_ + ".vxpart", 30000));
  ASSERT_EQ(::kill(pid, SIGINT), 0);
  const Outcome outcome = Finish(pid);

  EXPECT_EQ(outcome.exitCode, 1) << outcome.output;
  const std::string last = "status: Download canceled: " + target_ + "\n";
  ASSERT_GE(outcome.output.size(), last.size());
  EXPECT_EQ(outcome.output.substr(outcome.output.size() - last.size()), last);
  EXPECT_FALSE(fs::exists(target_ + ".vxpart"));
  EXPECT_FALSE(fs::exists(target_));
}

TEST_F(StoreFetchTest, UsageErrorsExitWith2) {
  const std::vector<std::vector<std::string>> cases = {
      {"fetch"},
      {"fetch", "http://127.0.0.1:1/a"},
      {"fetch", "http://127.0.0.1:1/a", "b", "c"},
      {"fetch", "http://127.0.0.1:1/a", "b", "--connections"},
      {"fetch", "http://127.0.0.1:1/a", "b", "--connections", "0"},
      {"fetch", "http://127.0.0.1:1/a", "b", "--connections", "17"},
      {"fetch", "http://127.0.0.1:1/a", "b", "--connections", "four"},
  };
  for (const auto& args : cases) {
    EXPECT_EQ(Run(args).exitCode, 2) << args.size();
    EXPECT_FALSE(fs::exists(folder_.File("b")));
  }
}

}  // namespace
