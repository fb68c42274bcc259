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
  void SetUp() override { ::setenv("no_proxy", "*", 1); }

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

  // Starts vexaro-store with args, its output into a file of the test.
  pid_t Start(const std::vector<std::string>& args) {
    std::vector<std::string> argv{VEXARO_STORE_TOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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

  Outcome Run(const std::vector<std::string>& args) { return Finish(Start(args)); }

  testsupport::TempDataHome home_;
  testsupport::TempFolder folder_;
  std::string output_ = folder_.File("output.txt");
  std::string target_ = folder_.File("clip.flv");
};

TEST_F(StoreFetchTest, PrintsEachRowTextAndCompletesThroughARetry) {
  const ServedFile file{testsupport::VersionBytes(3 * kMiB, 1), "\"f\"", ""};
  const auto server = Serve(file, 0, kMiB);
  const Outcome outcome = Run({"fetch", server->Url("/clip.flv"), target_});

  EXPECT_EQ(outcome.exitCode, 0) << outcome.output;
  EXPECT_EQ(outcome.output.rfind("status: MANAGER_STATUS_DOWNLOADING: " + target_ + "\n", 0), 0u) << outcome.output;
  EXPECT_NE(outcome.output.find("status: MANAGER_STATUS_RETRYING 1 s (2/5): " + target_ + "\n"), std::string::npos)
      << outcome.output;
  EXPECT_NE(outcome.output.find("detail: 1.0 of 3.1 Mb\n"), std::string::npos);
  const std::string last = "status: Download completed: " + target_ + "\n";
  EXPECT_EQ(outcome.output.substr(outcome.output.size() - last.size()), last);
  EXPECT_EQ(testsupport::Digest(testsupport::ReadFileBytes(target_)), testsupport::Digest(*file.bytes));
  EXPECT_FALSE(fs::exists(target_ + ".vxpart"));
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
  const std::string last = "status: MANAGER_ERROR_DOWNLOAD_CANCELED: " + target_ + "\n";
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
