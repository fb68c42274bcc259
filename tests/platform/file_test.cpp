#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/Folders.h"
#include "platform/TempFiles.h"
#include "platform/Text.h"
#include "support/HelperProcess.h"
#include "support/TempFolder.h"

namespace {

using testsupport::ReadFileBytes;
using testsupport::TempFolder;
namespace fs = std::filesystem;

TEST(AtomicReplace, ReplacesContentAndKeepsPermissions) {
  TempFolder dir;
  const std::string path = dir.File("store.ini");
  testsupport::WriteFileBytes(path, "old");
  ::chmod(path.c_str(), 0640);
  ASSERT_TRUE(platform::AtomicReplace(platform::FromUtf8(path), "new content"));
  EXPECT_EQ(ReadFileBytes(path), "new content");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(AtomicReplace, FailureLeavesTheOldFileAndNoLitter) {
  TempFolder dir;
  const std::string path = dir.File("store.ini");
  testsupport::WriteFileBytes(path, "old");
  ::chmod(dir.Path().c_str(), 0500);  // no new entries in the folder
  if (::geteuid() == 0) {
    // root ignores folder permissions; a full device shows the same path.
    ::chmod(dir.Path().c_str(), 0700);
    EXPECT_FALSE(platform::AtomicReplace(u"/dev/full/x", "new"));
    return;
  }
  EXPECT_FALSE(platform::AtomicReplace(platform::FromUtf8(path), "new"));
  EXPECT_EQ(platform::LastError(), static_cast<std::uint32_t>(EACCES));
  EXPECT_EQ(ReadFileBytes(path), "old");
}

TEST(AtomicReplace, RefusesAFolder) {
  TempFolder dir;
  EXPECT_FALSE(platform::AtomicReplace(platform::FromUtf8(dir.Path()), "x"));
}

// As a second unshared open would, the replace fails while one is held, and
// the holder's file stays as it was.
TEST(AtomicReplace, UnsharedOpenKeepsTheReplaceOut) {
  TempFolder dir;
  const std::string path = dir.File("store.ini");
  testsupport::WriteFileBytes(path, "old");
  platform::InputFile reader;
  ASSERT_TRUE(reader.Open(platform::FromUtf8(path), platform::Share::None));
  EXPECT_FALSE(platform::AtomicReplace(platform::FromUtf8(path), "new"));
  EXPECT_EQ(platform::LastError(), platform::kErrSharingViolation);
  EXPECT_EQ(ReadFileBytes(path), "old");
  reader.Close();
  EXPECT_TRUE(platform::AtomicReplace(platform::FromUtf8(path), "new"));
  EXPECT_EQ(ReadFileBytes(path), "new");
}

// Links are followed to the end, relative ones from their own folder; the
// links stay links, and a dangling one gets its target made.
TEST(AtomicReplace, WritesThroughSymbolicLinks) {
  namespace fs = std::filesystem;
  TempFolder dir;
  fs::create_directories(dir.File("real"));
  fs::create_directories(dir.File("data"));
  testsupport::WriteFileBytes(dir.File("real/store.ini"), "old");
  fs::create_symlink(dir.File("data/hop"), dir.File("data/store.ini"));  // absolute
  fs::create_symlink("../real/store.ini", dir.File("data/hop"));          // relative
  fs::create_symlink("../real/new.ini", dir.File("data/dangling.ini"));

  ASSERT_TRUE(platform::AtomicReplace(dir.File16("data/store.ini"), "new"));
  ASSERT_TRUE(platform::AtomicReplace(dir.File16("data/dangling.ini"), "made"));
  EXPECT_TRUE(fs::is_symlink(dir.File("data/store.ini")));
  EXPECT_TRUE(fs::is_symlink(dir.File("data/hop")));
  EXPECT_TRUE(fs::is_symlink(dir.File("data/dangling.ini")));
  EXPECT_EQ(ReadFileBytes(dir.File("real/store.ini")), "new");
  EXPECT_EQ(ReadFileBytes(dir.File("real/new.ini")), "made");

  fs::create_symlink("loop.ini", dir.File("data/loop.ini"));
  EXPECT_FALSE(platform::AtomicReplace(dir.File16("data/loop.ini"), "x"));
  EXPECT_EQ(platform::LastError(), static_cast<std::uint32_t>(ELOOP));
}

TEST(InputFile, UnsharedOpensExcludeEachOther) {
  TempFolder dir;
  const std::u16string path = dir.File16("a");
  testsupport::WriteFileBytes(dir.File("a"), "abc");
  platform::InputFile first;
  ASSERT_TRUE(first.Open(path, platform::Share::None));
  platform::InputFile second;
  EXPECT_FALSE(second.Open(path, platform::Share::None));
  EXPECT_EQ(platform::LastError(), platform::kErrSharingViolation);
  EXPECT_TRUE(platform::CanOpen(path, platform::Share::Read));
  first.Close();
  EXPECT_TRUE(second.Open(path, platform::Share::None));
  char buffer[8];
  EXPECT_EQ(second.Read(buffer, sizeof buffer), 3);
  EXPECT_EQ(second.Read(buffer, sizeof buffer), 0);
}

TEST(InputFile, MissingFileIsErrorTwo) {
  TempFolder dir;
  platform::InputFile file;
  EXPECT_FALSE(file.Open(dir.File16("missing"), platform::Share::None));
  EXPECT_EQ(platform::LastError(), 2u);
  EXPECT_EQ(platform::kErrFileNotFound, 2u);
}

TEST(OutputFile, FullDiskIsReported) {
  platform::OutputFile file;
  ASSERT_TRUE(file.Open(u"/dev/full"));
  const char data[10] = {};
  EXPECT_FALSE(file.Write(data, sizeof data));
  EXPECT_EQ(platform::LastError(), platform::kErrDiskFull);
}

TEST(UniqueTempFile, NamesLikeGetTempFileName) {
  TempFolder dir;
  std::u16string first, second;
  const std::u16string folder = platform::FromUtf8(dir.Path() + "/");
  platform::FileLease lease1, lease2;
  ASSERT_TRUE(platform::CreateUniqueTempFile(folder, u"vx_long", first, lease1));
  ASSERT_TRUE(platform::CreateUniqueTempFile(folder, u"vx_", second, lease2));
  EXPECT_TRUE(lease1.Held());
  EXPECT_NE(first, second);
  const std::string name = platform::ToUtf8(first).substr(dir.Path().size() + 1);
  EXPECT_TRUE(name.starts_with("vx_")) << name;
  EXPECT_TRUE(name.ends_with(".tmp")) << name;
  EXPECT_EQ(name.find_first_not_of("0123456789ABCDEF", 3), name.size() - 4) << name;
  EXPECT_TRUE(platform::FileExists(first));
  platform::FileLease lease3;
  EXPECT_FALSE(platform::CreateUniqueTempFile(folder + u"missing/", u"vx_", first, lease3));
  EXPECT_FALSE(lease3.Held());
}

// Holds a temporary name of folder until killed. Args: folder, file naming
// the reserve it made.
VEXARO_TEST_HELPER(hold_temp_name) {
  platform::FileLease lease;
  std::u16string reserve;
  if (!platform::CreateUniqueTempFile(platform::FromUtf8(args.at(0)), u"vx_", reserve, lease)) return 2;
  testsupport::PublishFile(args.at(1), platform::ToUtf8(reserve));
  testsupport::WaitForFile(args.at(1) + ".never", 120000);
  return 0;
}

// What a cleaning start removes: the stems nobody holds, whole, reserve last,
// and nothing held by a live process, spared, or not a temporary name.
TEST(AbandonedTempFiles, OnlyStemsThatNoRunningProcessHoldsGo) {
  TempFolder dir;
  const std::string folder = dir.Path() + "/";
  const auto make = [&](const std::string& name, const std::string& bytes = "") {
    testsupport::WriteFileBytes(folder + name, bytes);
  };
  // A killed start's download and reserve, one whose reserve went first, one
  // that only reserved.
  make("vx_A1.tmp");
  make("vx_A1.flv", "half a download");
  make("vx_B2.flv", "orphan");
  make("vx_C3.tmp");
  // Not temporary names of ours.
  for (const char* name : {"vx_.flv", "vx_12345.flv", "vx_G1.flv", "vx_a1.flv", "other.tmp", "vx_D4"}) make(name, "x");
  // Spared by the caller.
  make("vx_E5.tmp");
  make("vx_E5.mp4", "journalled");
  // Held by this process and by another one that is alive.
  platform::FileLease mine;
  std::u16string held;
  ASSERT_TRUE(platform::CreateUniqueTempFile(platform::FromUtf8(folder), u"vx_", held, mine));
  const std::string mineData = platform::ToUtf8(held).substr(0, platform::ToUtf8(held).size() - 3) + "flv";
  testsupport::WriteFileBytes(mineData, "in use");
  testsupport::HelperProcess other("hold_temp_name", {folder, dir.File("other-name")});
  ASSERT_TRUE(testsupport::WaitForFile(dir.File("other-name"), 10000));
  const std::string otherReserve = ReadFileBytes(dir.File("other-name"));

  std::vector<std::u16string> removed = platform::RemoveAbandonedTempFiles(
      platform::FromUtf8(folder), u"vx_", {platform::FromUtf8(folder + "vx_E5.mp4")});
  std::set<std::string> gone;
  for (const std::u16string& path : removed) gone.insert(platform::ToUtf8(path).substr(folder.size()));
  EXPECT_EQ(gone, (std::set<std::string>{"vx_A1.flv", "vx_A1.tmp", "vx_B2.flv", "vx_C3.tmp"}));
  for (const char* name : {"vx_A1.tmp", "vx_A1.flv", "vx_B2.flv", "vx_B2.tmp", "vx_C3.tmp"})
    EXPECT_FALSE(fs::exists(folder + name)) << name;
  for (const char* name : {"vx_.flv", "vx_12345.flv", "vx_G1.flv", "vx_a1.flv", "other.tmp", "vx_D4", "vx_E5.tmp",
                           "vx_E5.mp4"})
    EXPECT_TRUE(fs::exists(folder + name)) << name;
  EXPECT_TRUE(fs::exists(platform::ToUtf8(held)));
  EXPECT_TRUE(fs::exists(mineData));
  EXPECT_TRUE(fs::exists(otherReserve));

  // Once its holder is killed, the other name goes too.
  other.Kill();
  removed = platform::RemoveAbandonedTempFiles(platform::FromUtf8(folder), u"vx_", {});
  ASSERT_EQ(removed.size(), 3u);  // the other reserve, and E5 no longer spared
  EXPECT_FALSE(fs::exists(otherReserve));
  EXPECT_TRUE(fs::exists(mineData));
}

// A name being made while a cleaner runs is never lost: either the cleaner
// sees it held, or the maker finds it gone and makes another.
TEST(AbandonedTempFiles, MakingAndCleaningAtOnceLosesNoName) {
  TempFolder dir;
  const std::u16string folder = platform::FromUtf8(dir.Path() + "/");
  std::atomic<bool> stop{false};
  std::thread cleaner([&] {
    while (!stop) platform::RemoveAbandonedTempFiles(folder, u"vx_", {});
  });
  std::vector<platform::FileLease> leases(300);
  std::vector<std::u16string> names(leases.size());
  for (std::size_t i = 0; i < leases.size(); ++i) {
    ASSERT_TRUE(platform::CreateUniqueTempFile(folder, u"vx_", names[i], leases[i]));
  }
  stop = true;
  cleaner.join();
  for (const std::u16string& name : names) EXPECT_TRUE(platform::FileExists(name)) << platform::ToUtf8(name);
}

TEST(Folders, FollowTheXdgRules) {
  ::setenv("XDG_DATA_HOME", "/x/data", 1);
  ::setenv("XDG_CACHE_HOME", "relative", 1);  // relative values are ignored
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(platform::DataHome(), u"/x/data/");
  EXPECT_EQ(platform::CacheHome(), u"/home/u/.cache/");
  ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(platform::DataHome(), u"/home/u/.local/share/");
  ::unsetenv("HOME");
  EXPECT_EQ(platform::DataHome(), u"");
}

TEST(Folders, CreateFolderTreeMakesParents) {
  TempFolder dir;
  EXPECT_TRUE(platform::CreateFolderTree(platform::FromUtf8(dir.File("a/b/c/"))));
  EXPECT_TRUE(platform::CreateFolderTree(platform::FromUtf8(dir.File("a/b/c"))));
  testsupport::WriteFileBytes(dir.File("f"), "");
  EXPECT_FALSE(platform::CreateFolderTree(platform::FromUtf8(dir.File("f"))));
}

}  // namespace
