#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "platform/Text.h"
#include "settings/IniFile.h"
#include "settings/Mutex.h"
#include "settings/Settings.h"
#include "startup/StoreTool.h"
#include "support/HelperProcess.h"
#include "support/TempFolder.h"

// Takes a store's lock and holds it until killed. Args: lock name, ready file.
VEXARO_TEST_HELPER(hold_store_lock) {
  settings::Mutex lock(platform::FromUtf8(args.at(0)), settings::kSettingsFileErrorBase);
  if (!lock.IsLocked()) return 2;
  testsupport::WriteFileBytes(args.at(1), "");
  testsupport::WaitForFile(args.at(1) + ".never", 120000);
  return 0;
}

namespace {

using testsupport::ReadFileBytes;
using testsupport::TempDataHome;

struct ToolRun {
  int code;
  std::string out;
  std::string err;
};

ToolRun Store(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int code = startup::RunStoreTool(args, out, err);
  return {code, out.str(), err.str()};
}

TEST(StoreTool, DumpsWhatTheStoresWrote) {
  TempDataHome home;
  settings::Settings::GetInstance();
  settings::ReportError(5, 7, 4, u"Settings::GetTempPath failed");

  const ToolRun tab = Store({"dump", home.DataFile("settings_tab.ini")});
  EXPECT_EQ(tab.code, 0) << tab.err;
  EXPECT_EQ(tab.out,
            "[Errors]\n0704=5\n[Settings]\npluginenabled=true\nsettingsversion=1\nchecksum: ok\n");

  const ToolRun plain = Store({"dump", home.DataFile("settings_tab.ini"), "--no-checksum"});
  EXPECT_NE(plain.out.find("[Checksum]\n"), std::string::npos);
  EXPECT_TRUE(plain.out.ends_with("checksum: off\n"));
}

TEST(StoreTool, SetWritesAFreshChecksumAndDumpSeesTampering) {
  TempDataHome home;
  settings::Settings::GetInstance();
  const std::string path = home.DataFile("settings.ini");

  ASSERT_EQ(Store({"set", path, "Settings", "language", "de"}).code, 0);
  ToolRun dump = Store({"dump", path});
  EXPECT_NE(dump.out.find("language=de\n"), std::string::npos);
  EXPECT_TRUE(dump.out.ends_with("checksum: ok\n"));

  // What a text editor does: change one character, leave the trailer.
  std::string bytes = ReadFileBytes(path);
  const auto at = bytes.find(std::string("d\0e\0", 4));
  ASSERT_NE(at, std::string::npos);
  bytes[at] = 'f';
  testsupport::WriteFileBytes(path, bytes);
  dump = Store({"dump", path});
  EXPECT_TRUE(dump.out.ends_with("checksum: mismatch\n"));

  // The program itself agrees with the tool about a file the tool wrote.
  ASSERT_EQ(Store({"set", path, "Settings", "language", "fr"}).code, 0);
  settings::IniFile file(platform::FromUtf8(path), true);
  ASSERT_TRUE(file.Read());
  EXPECT_TRUE(file.IsValid());
  EXPECT_EQ(file.GetSection(u"Settings")[u"language"], u"fr");
}

TEST(StoreTool, SetCreatesAMissingFileAndRefusesTextThatWouldNotReadBack) {
  testsupport::TempFolder dir;
  const std::string path = dir.File("new.ini");
  ASSERT_EQ(Store({"set", path, "Formats", "mp3", "-ab 160k", "--no-checksum"}).code, 0);
  EXPECT_EQ(Store({"dump", path, "--no-checksum"}).out, "[Formats]\nmp3=-ab 160k\nchecksum: off\n");
  EXPECT_EQ(Store({"set", path, "S", "a=b", "v"}).code, 2);
  EXPECT_EQ(Store({"set", path, "S", "k", "two\nlines"}).code, 2);
  EXPECT_EQ(Store({"set", path, "S", "k", " padded"}).code, 2);
  // A comment line, and a line that reads back as a header (which also broke
  // the checksum of the file it went into).
  EXPECT_EQ(Store({"set", path, "S", "#note", "1"}).code, 2);
  EXPECT_EQ(Store({"set", path, "S", "[a", "b]"}).code, 2);
  EXPECT_EQ(Store({"dump", path, "--no-checksum"}).out, "[Formats]\nmp3=-ab 160k\nchecksum: off\n");
}

TEST(StoreTool, TakesTheStoresLockOnlyForTheStoresOfTheDataFolder) {
  TempDataHome home;
  settings::Settings::GetInstance();
  const std::string copy = home.Root().File("settings.ini");
  std::filesystem::copy_file(home.DataFile("settings.ini"), copy);

  std::atomic<int> held{-1};
  std::atomic<bool> done{false};
  std::thread holder([&] {
    settings::Mutex lock(settings::kSettingsFileLock, settings::kSettingsFileErrorBase);
    held = lock.IsLocked() ? 1 : 0;
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  while (held < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (held == 0) {
    done = true;
    holder.join();
    FAIL() << "the other thread could not take the lock";
  }

  const ToolRun store = Store({"dump", home.DataFile("../Vexaro/./settings.ini")});
  EXPECT_EQ(store.code, 1);
  EXPECT_EQ(store.err, "vexaro-store: the lock \"SettingsFile\" is held by another process; try again\n");
  EXPECT_EQ(Store({"dump", copy}).code, 0);
  done = true;
  holder.join();
  EXPECT_EQ(Store({"dump", home.DataFile("settings.ini")}).code, 0);
}

TEST(StoreTool, UnreadableFileIsOneLineOnStderr) {
  testsupport::TempFolder dir;
  const ToolRun missing = Store({"dump", dir.File("missing.ini")});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "vexaro-store: cannot read " + dir.File("missing.ini") + ": No such file or directory\n");
  EXPECT_EQ(Store({"dump", dir.Path()}).code, 1);
  EXPECT_EQ(Store({"bogus"}).code, 2);
}

TEST(StoreTool, ErrorsNameTheirSite) {
  TempDataHome home;
  settings::Settings::GetInstance();
  settings::ReportError(2, settings::errors::kSettingsRead);
  settings::ReportError(110, 13, 44, u"Mutex::CreateMutex - Timeout");
  settings::ReportError(0x80190194u, settings::errors::kTransferFailed);
  settings::ReportError(1, 42, 1, u"elsewhere");
  const ToolRun errors = Store({"errors"});
  EXPECT_EQ(errors.code, 0) << errors.err;
  EXPECT_EQ(errors.out,
            "0804\t2 (0x00000002)\tSettings::Read (settings.ini read)\n"
            "1344\t110 (0x0000006e)\tMutex::CreateMutex - Timeout (lock SettingsFile)\n"
            "2303\t2149122452 (0x80190194)\tDownload::DownloadToFile failed (transfer failed)\n"
            "4201\t1 (0x00000001)\tunknown code\n");
}

// Every code of the one table decodes to its own site, and no two sites (nor
// a site and a lock's code) share a code.
TEST(StoreTool, EveryReportSiteHasItsOwnCode) {
  std::set<std::string> codes;
  for (const settings::ErrorSite& site : settings::errors::kAll) {
    const std::string code = platform::ToUtf8(platform::Format("%2.2d%2.2d", site.group, site.point));
    EXPECT_TRUE(codes.insert(code).second) << code;
    EXPECT_TRUE(startup::ErrorSite(code).starts_with(platform::ToUtf8(site.text))) << code;
  }
  for (const settings::LockName& lock : settings::kLocks) {
    for (const auto& kind : settings::errors::kLockKinds) {
      const int point = static_cast<int>(lock.errorBase + kind.offset);
      EXPECT_TRUE(codes.insert(platform::ToUtf8(platform::Format("13%2.2d", point))).second) << point;
    }
  }
}

TEST(StoreTool, LockOfACrashedHolderIsTakenAfterSayingSo) {
  TempDataHome home;
  settings::Settings::GetInstance();
  const std::string ready = home.Root().File("ready");
  testsupport::HelperProcess holder("hold_store_lock", {"SettingsFile", ready});
  ASSERT_TRUE(testsupport::WaitForFile(ready, 10000));
  holder.Kill();

  const ToolRun dump = Store({"dump", home.DataFile("settings.ini")});
  EXPECT_EQ(dump.code, 0);
  EXPECT_EQ(dump.err,
            "vexaro-store: the previous holder of the lock \"SettingsFile\" ended without releasing it; "
            "taking it again\n");
  EXPECT_TRUE(dump.out.ends_with("checksum: ok\n")) << dump.out;
  EXPECT_EQ(Store({"dump", home.DataFile("settings.ini")}).err, "") << "the lock is free again";
}

}  // namespace
