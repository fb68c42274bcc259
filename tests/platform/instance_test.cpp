#include "platform/Instance.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/Text.h"
#include "support/HelperProcess.h"
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

TEST_F(InstanceMarkerTest, RuntimeFolderIsPrivateAndRefusedWhenItIsNot) {
  const std::string folder = platform::ToUtf8(platform::RuntimeFolder());
  EXPECT_EQ(folder, home_.Root().File("runtime/Vexaro/"));
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  ::chmod(folder.c_str(), 0755);
  EXPECT_EQ(platform::RuntimeFolder(), u"");
  InstanceMarker marker;
  EXPECT_EQ(marker.Take(), platform::kInstanceDenied);
  ::chmod(folder.c_str(), 0700);

  // A link planted in its place is not followed.
  fs::remove_all(folder);
  fs::create_directory_symlink(home_.Root().Path(), home_.Root().File("runtime/Vexaro"));
  EXPECT_EQ(platform::RuntimeFolder(), u"");
}

TEST_F(InstanceMarkerTest, WithoutRuntimeDirThePrivateTemporaryFolderServes) {
  ::unsetenv("XDG_RUNTIME_DIR");
  ::setenv("TMPDIR", home_.Root().Path().c_str(), 1);
  const std::string folder = platform::ToUtf8(platform::RuntimeFolder());
  ::unsetenv("TMPDIR");
  EXPECT_EQ(folder, home_.Root().File("vexaro-" + std::to_string(::geteuid()) + "/"));
}

}  // namespace
