// Links planted where a download is saved: by another local account in a
// folder it may write (a sticky one such as /tmp, a group-writable one), or
// by the user. The user's own links may lead the download elsewhere; nothing
// another account planted ever does, not at the target, not at the
// unfinished file, not when it appears after the Save-As decision.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "localisation/Dictionary.h"
#include "platform/File.h"
#include "platform/Text.h"
#include "settings/Settings.h"
#include "support/LoopbackServer.h"
#include "support/TempFolder.h"
#include "support/TestAccount.h"
#include "transfer/Download.h"
#include "transfer/RecordingRow.h"
#include "transfer/WorkerRun.h"

namespace {

namespace fs = std::filesystem;
using testsupport::LoopbackServer;
using testsupport::RecordingRow;

constexpr std::uint64_t kSize = 200000;
const std::string kPrecious = "the user's own file, never to be touched";

enum class Folder { Sticky, GroupWritable };
enum class Owner { OtherAccount, User };
enum class Where { Target, Unfinished };
enum class When { BeforeSaveAs, AfterSaveAs };

struct LinkCase {
  const char* name;
  Folder folder;
  Owner owner;
  Where where;
  When when;
  bool pointsAtExistingFile;
  // The download may go where the link leads (only a link of the user's own
  // at the target).
  bool followed;
};

void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.name; }

// Makes a symbolic link as the given account, in a process of its own.
bool LinkAs(uid_t uid, gid_t gid, const std::string& to, const std::string& at) {
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    const bool ok = ::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 && ::setresuid(uid, uid, uid) == 0 &&
                    ::symlink(to.c_str(), at.c_str()) == 0;
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Pattern(std::uint64_t length) {
  std::string bytes(length, '\0');
  for (std::uint64_t i = 0; i < length; ++i) bytes[i] = LoopbackServer::PatternByte(i);
  return bytes;
}

class LinkTest : public ::testing::TestWithParam<LinkCase> {
 protected:
  void SetUp() override {
    ::setenv("no_proxy", "*", 1);
    settings::Settings::GetInstance();
    server_.Http().Get("/clip.flv", [](const httplib::Request&, httplib::Response& res) {
      LoopbackServer::ServePattern(res, kSize);
    });
    ASSERT_TRUE(server_.Start());
  }

  testsupport::TempDataHome home_;
  testsupport::TempFolder base_;
  LoopbackServer server_;
};

TEST_P(LinkTest, NothingOutsideTheFolderIsWrittenButThroughTheUsersOwnLink) {
  const LinkCase& c = GetParam();
  testsupport::TestAccount other;
  std::string why;
  if (!testsupport::EnsureTestAccount("vexaro-test", other, why)) GTEST_SKIP() << why;
  const uid_t linker = c.owner == Owner::User ? ::geteuid() : other.uid;
  const gid_t linkerGroup = c.owner == Owner::User ? ::getegid() : other.gid;

  ASSERT_EQ(::chmod(base_.Path().c_str(), 0711), 0);
  const std::string outside = base_.File("home");
  fs::create_directory(outside);
  const std::string precious = outside + "/precious";
  if (c.pointsAtExistingFile) testsupport::WriteFileBytes(precious, kPrecious);
  const std::string shared = base_.File("shared");
  fs::create_directory(shared);
  if (c.folder == Folder::Sticky) {
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  } else {
    ASSERT_EQ(::chown(shared.c_str(), ::geteuid(), other.gid), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 0770), 0);
  }
  const std::string chosen = shared + "/clip.flv";
  const std::string linkAt = c.where == Where::Target ? chosen : chosen + ".vxpart";
  const auto plant = [&] { ASSERT_TRUE(LinkAs(linker, linkerGroup, precious, linkAt)) << linkAt; };

  if (c.when == When::BeforeSaveAs) plant();
  // What the Save-As offer decides: the file written, and (the worst a user
  // can do) Yes to replacing whatever is in the way.
  const std::u16string target = platform::WrittenPath(platform::FromUtf8(chosen));
  const bool replace = platform::EntryExists(target);
  if (c.when == When::AfterSaveAs) plant();

  RecordingRow row(target);
  auto* params = new transfer::DownloadThreadParams;
  params->url = platform::FromUtf8(server_.Url("/clip.flv"));
  params->targetPath = target;
  params->replaceTarget = replace;
  params->dictionary = localisation::Dictionary::GetInstance();
  params->tries = 1;
  testsupport::RunWorker(row, params);

  const std::string download = Pattern(kSize);
  const bool completed = row.LastStatus().rfind(u"Download completed: ", 0) == 0;
  if (c.followed) {
    EXPECT_TRUE(completed) << platform::ToUtf8(row.LastStatus());
    EXPECT_EQ(testsupport::ReadFileBytes(precious), download);
    EXPECT_TRUE(fs::is_symlink(chosen)) << "the user's link was replaced";
    return;
  }
  if (c.pointsAtExistingFile) {
    EXPECT_EQ(testsupport::ReadFileBytes(precious), kPrecious) << "written through a link";
  } else {
    EXPECT_FALSE(fs::exists(fs::symlink_status(precious))) << "a file was made where the link leads";
  }
  // Outside the folder only what was there before.
  EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), c.pointsAtExistingFile ? 1 : 0);
  // Either a plain file in the chosen folder holds the download and the row
  // names it, or the row failed: never a completion that is elsewhere.
  std::vector<std::string> holders;
  for (const fs::directory_entry& entry : fs::directory_iterator(shared)) {
    if (entry.symlink_status().type() == fs::file_type::regular &&
        testsupport::ReadFileBytes(entry.path().string()) == download) {
      holders.push_back(entry.path().string());
    }
  }
  if (completed) {
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_EQ(row.LastStatus(), u"Download completed: " + platform::FromUtf8(holders[0]));
  } else {
    EXPECT_TRUE(holders.empty());
    EXPECT_EQ(row.LastStatus().rfind(u"Error: ", 0), 0u) << platform::ToUtf8(row.LastStatus());
  }
}

// Links of another account everywhere a download writes; the user's own at
// the target (followed) and at the unfinished file (never: that file is
// always made by the download itself).
INSTANTIATE_TEST_SUITE_P(
    Links, LinkTest,
    ::testing::Values(
        LinkCase{"OtherDanglingTargetInSticky", Folder::Sticky, Owner::OtherAccount, Where::Target, When::BeforeSaveAs,
                 false, false},
        LinkCase{"OtherExistingTargetInSticky", Folder::Sticky, Owner::OtherAccount, Where::Target, When::BeforeSaveAs,
                 true, false},
        LinkCase{"OtherDanglingTargetInGroupFolder", Folder::GroupWritable, Owner::OtherAccount, Where::Target,
                 When::BeforeSaveAs, false, false},
        LinkCase{"OtherExistingTargetInGroupFolder", Folder::GroupWritable, Owner::OtherAccount, Where::Target,
                 When::BeforeSaveAs, true, false},
        LinkCase{"OtherTargetAfterSaveAs", Folder::Sticky, Owner::OtherAccount, Where::Target, When::AfterSaveAs,
                 false, false},
        LinkCase{"OtherExistingTargetAfterSaveAs", Folder::GroupWritable, Owner::OtherAccount, Where::Target,
                 When::AfterSaveAs, true, false},
        LinkCase{"OtherDanglingUnfinishedInSticky", Folder::Sticky, Owner::OtherAccount, Where::Unfinished,
                 When::BeforeSaveAs, false, false},
        LinkCase{"OtherExistingUnfinishedInSticky", Folder::Sticky, Owner::OtherAccount, Where::Unfinished,
                 When::BeforeSaveAs, true, false},
        LinkCase{"OtherExistingUnfinishedInGroupFolder", Folder::GroupWritable, Owner::OtherAccount,
                 Where::Unfinished, When::AfterSaveAs, true, false},
        LinkCase{"UsersOwnExistingTarget", Folder::Sticky, Owner::User, Where::Target, When::BeforeSaveAs, true,
                 true},
        LinkCase{"UsersOwnDanglingTarget", Folder::GroupWritable, Owner::User, Where::Target, When::BeforeSaveAs,
                 false, true},
        LinkCase{"UsersOwnUnfinished", Folder::Sticky, Owner::User, Where::Unfinished, When::BeforeSaveAs, true,
                 false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
