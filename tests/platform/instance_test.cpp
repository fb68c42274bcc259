#include "platform/Instance.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/RuntimeFolder.h"
#include "platform/Text.h"
#include "support/HelperProcess.h"
#include "support/TestAccount.h"
#include "support/TempFolder.h"

namespace {

using platform::InstanceMarker;
using testsupport::HelperProcess;
namespace fs = std::filesystem;

// Takes the marker and holds it until the release file appears (or until
// killed). Args: ready file, release file.
VEXARO_TEST_HELPER(hold_marker) {
  InstanceMarker marker;
  if (marker.Take() != 0) return 2;
  testsupport::WriteFileBytes(args.at(0), "");
  testsupport::WaitForFile(args.at(1), 120000);
  return 0;
}

class InstanceMarkerTest : public ::testing::Test {
 protected:
  testsupport::TempDataHome home_;
  const std::string ready_ = home_.Root().File("ready");
  const std::string release_ = home_.Root().File("release");
};

TEST_F(InstanceMarkerTest, HeldByAnotherProcessGives183UntilItEnds) {
  {
    HelperProcess holder("hold_marker", {ready_, release_});
    ASSERT_TRUE(testsupport::WaitForFile(ready_, 10000));
    InstanceMarker marker;
    EXPECT_EQ(marker.Take(), platform::kInstanceExists);
    EXPECT_FALSE(marker.IsHeld());
    holder.Kill();  // the kernel lets go of a killed holder's lock
    EXPECT_EQ(marker.Take(), 0u);
    EXPECT_EQ(marker.Take(), 0u) << "taking it again while held is no conflict";
  }
  // Released explicitly: another process can take it at once.
  InstanceMarker marker;
  ASSERT_EQ(marker.Take(), 0u);
  marker.Release();
  HelperProcess next("hold_marker", {ready_ + "2", release_});
  EXPECT_TRUE(testsupport::WaitForFile(ready_ + "2", 10000));
  testsupport::WriteFileBytes(release_, "");
  EXPECT_EQ(next.Wait(), 0);
}

TEST_F(InstanceMarkerTest, RuntimeFolderIsPrivateAndAnotherIsUsedWhenItIsNot) {
  const std::string folder = platform::ToUtf8(platform::RuntimeFolder());
  EXPECT_EQ(folder, home_.Root().File("runtime/Vexaro/"));
  EXPECT_EQ(platform::CurrentRuntimePlace(), platform::RuntimePlace::RuntimeDir);
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(platform::TakeRuntimeFolderProblems().empty());

  // Others may enter it: no marker there, another private place instead, and
  // the refusal is there to report, once.
  ::setenv("HOME", home_.Root().File("home").c_str(), 1);
  fs::create_directory(home_.Root().File("home"));
  ::chmod(folder.c_str(), 0755);
  const std::string other = platform::ToUtf8(platform::RuntimeFolder());
  EXPECT_NE(other, folder);
  EXPECT_FALSE(other.empty());
  InstanceMarker marker;
  EXPECT_EQ(marker.Take(), 0u);
  EXPECT_TRUE(fs::exists(other + "instance@" + std::string(std::getenv("VEXARO_LOCK_SCOPE"))));
  const std::vector<platform::RuntimePlaceProblem> problems = platform::TakeRuntimeFolderProblems();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].place, platform::RuntimePlace::RuntimeDir);
  EXPECT_EQ(problems[0].error, static_cast<std::uint32_t>(EACCES));
  platform::RuntimeFolder();
  EXPECT_TRUE(platform::TakeRuntimeFolderProblems().empty()) << "each problem is handed out once";
  marker.Release();

  // A link planted in its place is not followed.
  fs::remove_all(folder);
  fs::create_directory_symlink(home_.Root().Path(), home_.Root().File("runtime/Vexaro"));
  EXPECT_EQ(platform::ToUtf8(platform::RuntimeFolder()), other);
}

// Writes where the runtime folder is, and the place's number, into a file.
// Args: file.
VEXARO_TEST_HELPER(report_runtime_folder) {
  const std::string folder = platform::ToUtf8(platform::RuntimeFolder());
  testsupport::PublishFile(args.at(0),
                           folder + " " + std::to_string(static_cast<int>(platform::CurrentRuntimePlace())));
  return 0;
}

// Where a start looks when the runtime folder is not its own or not there:
// the system's runtime folder of the user when there is one, else a private
// folder in the home ($HOME, else the password database's), else in the
// temporary folder, else one of its own. The deeper places are reached as a
// second account, whose home in the password database is not there.
TEST_F(InstanceMarkerTest, FallbackPlacesAreTriedInOrder) {
  const std::string home = home_.Root().File("home");
  fs::create_directory(home);
  ::unsetenv("XDG_RUNTIME_DIR");
  ::setenv("HOME", home.c_str(), 1);
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  const std::string system = "/run/user/" + std::to_string(::geteuid());
  if (fs::exists(system)) {
    EXPECT_EQ(platform::ToUtf8(platform::RuntimeFolder()), system + "/Vexaro/");
    EXPECT_EQ(platform::CurrentRuntimePlace(), platform::RuntimePlace::SystemRuntimeDir);
  } else {
    EXPECT_EQ(platform::ToUtf8(platform::RuntimeFolder()), home + "/.cache/Vexaro/runtime-" + host + "/");
    EXPECT_EQ(platform::CurrentRuntimePlace(), platform::RuntimePlace::Home);
  }

  testsupport::TestAccount user;
  std::string why;
  if (!testsupport::EnsureTestAccount("vexaro-test", user, why)) GTEST_SKIP() << why;
  if (fs::exists("/run/user/" + std::to_string(user.uid))) GTEST_SKIP() << "the account has a runtime folder";
  ::chmod(home_.Root().Path().c_str(), 0711);
  const std::string program = testsupport::ProgramCopyFor(home_.Root().Path());
  const std::string out = home_.Root().File("out");
  fs::create_directory(out);
  testsupport::GiveTo(user, out);
  const std::string userHome = home_.Root().File("user-home");
  fs::create_directory(userHome);
  testsupport::GiveTo(user, userHome);
  const std::string temp = home_.Root().File("temp");
  fs::create_directory(temp);
  ::chmod(temp.c_str(), 01777);
  const std::string squatted = home_.Root().File("squatted");
  fs::create_directory(squatted);
  ::chmod(squatted.c_str(), 01777);
  fs::create_directory(squatted + "/vexaro-" + std::to_string(user.uid));  // root's, not the account's
  const std::string uid = std::to_string(user.uid);

  const struct {
    const char* name;
    std::string home, tmpdir;
    std::string folder;  // a prefix when it ends in '-'
    platform::RuntimePlace place;
  } cases[] = {
      {"OwnHome", userHome, temp, userHome + "/.cache/Vexaro/runtime-" + host + "/", platform::RuntimePlace::Home},
      {"ForeignHome", home, temp, temp + "/vexaro-" + uid + "/", platform::RuntimePlace::Temporary},
      {"ForeignHomeAndTemporaryName", home, squatted, squatted + "/vexaro-" + uid + "-",
       platform::RuntimePlace::ProcessOwn},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string report = out + "/" + c.name;
    HelperProcess helper("report_runtime_folder", {report},
                         testsupport::RunAs(user, {{"HOME", c.home}, {"TMPDIR", c.tmpdir}, {"XDG_RUNTIME_DIR", ""}}),
                         program);
    EXPECT_EQ(helper.Wait(), 0);
    const std::string got = testsupport::ReadFileBytes(report);
    const std::size_t blank = got.rfind(' ');
    ASSERT_NE(blank, std::string::npos) << got;
    if (c.folder.back() == '-') EXPECT_EQ(got.rfind(c.folder, 0), 0u) << got;
    else EXPECT_EQ(got.substr(0, blank), c.folder);
    EXPECT_EQ(got.substr(blank + 1), std::to_string(static_cast<int>(c.place)));
  }
  EXPECT_TRUE(fs::is_empty(squatted + "/vexaro-" + uid));
}

}  // namespace
