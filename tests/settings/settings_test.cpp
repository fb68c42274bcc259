// The settings store. Each test runs in a process of its own with its own
// data home, created before the store is first asked for.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/Text.h"
#include "settings/IniFile.h"
#include "settings/Mutex.h"
#include "settings/Settings.h"
#include "support/HelperProcess.h"
#include "support/StoreFile.h"
#include "support/TempFolder.h"

namespace {

using platform::FromUtf8;
using settings::IniFile;
using settings::ReportError;
using settings::SectionMap;
using settings::Settings;
using testsupport::HelperProcess;
using testsupport::TempDataHome;
using Sections = std::map<std::u16string, SectionMap>;

const SectionMap kDefaults = {{u"dictionaryversion", u"1"}, {u"language", u"en"}, {u"pluginversion", u"3.5"}};

void WriteStore(const std::string& path, const Sections& sections) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  IniFile file(FromUtf8(path), true);
  for (const auto& [name, map] : sections) file.SetSection(name, map);
  ASSERT_TRUE(file.Write());
}

// A section of a store file that must verify; empty when the file is missing.
SectionMap Stored(const TempDataHome& home, const std::string& file, const std::u16string& section) {
  IniFile store(FromUtf8(home.DataFile(file)), true);
  if (!store.Read()) return {};
  EXPECT_TRUE(store.IsValid()) << file;
  return store.GetSection(section);
}

std::u16string Counter(const TempDataHome& home, const std::u16string& key) {
  const SectionMap tab = Stored(home, "settings_tab.ini", u"Settings");
  const auto it = tab.find(key);
  return it == tab.end() ? u"(absent)" : it->second;
}

TEST(SettingsStore, FirstRunWritesDefaults) {
  TempDataHome home;
  Settings* store = Settings::GetInstance();
  EXPECT_EQ(Settings::GetDataPath(u"settings.ini"), FromUtf8(home.DataFile("settings.ini")));
  EXPECT_EQ(Settings::GetDataPath(u""), FromUtf8(home.DataFile("")));

  EXPECT_EQ(Stored(home, "settings.ini", u"Settings"), kDefaults);
  EXPECT_EQ(Stored(home, "settings_tab.ini", u"Settings"),
            (SectionMap{{u"pluginenabled", u"true"}, {u"settingsversion", u"1"}}));
  EXPECT_NE(testsupport::ReadStoreFile(home.DataFile("settings_tab.ini")).find("[Errors]\r\n\r\n"), std::string::npos);
  EXPECT_TRUE(store->GetErrors().empty());
}

TEST(SettingsStore, ValuesAndWhatCountsAsAWrite) {
  TempDataHome home;
  WriteStore(home.DataFile("settings.ini"), {{u"Settings", {{u"language", u"de"}, {u"empty", u""}}}});
  Settings* store = Settings::GetInstance();
  EXPECT_EQ(store->GetValue(u"language", u"en"), u"de");
  EXPECT_EQ(store->GetValue(u"empty", u"default"), u"");
  EXPECT_EQ(store->GetValue(u"absent", u"default"), u"default");
  EXPECT_EQ(store->GetValue(u"pluginversion", u"none"), u"none") << "defaults are not merged into a stored file";
  EXPECT_EQ(Counter(home, u"settingsversion"), u"(absent)") << "an intact file is not rewritten";

  store->SetValue(u"configversion", 5);
  EXPECT_TRUE(store->Write());
  EXPECT_EQ(Stored(home, "settings.ini", u"Settings"),
            (SectionMap{{u"configversion", u"5"}, {u"empty", u""}, {u"language", u"de"}}));
  EXPECT_EQ(Counter(home, u"settingsversion"), u"1");

  store->SetValue(u"configversion", 5);
  EXPECT_TRUE(store->Write());
  EXPECT_EQ(Counter(home, u"settingsversion"), u"1") << "the same value is no change";
}

struct StoredKeysCase {
  const char* name;
  SectionMap stored;
  SectionMap expected;
  bool rewritten;
};

class SettingsStoredKeys : public ::testing::TestWithParam<StoredKeysCase> {};

TEST_P(SettingsStoredKeys, ReadRenamesAndDrops) {
  const StoredKeysCase& c = GetParam();
  TempDataHome home;
  WriteStore(home.DataFile("settings.ini"), {{u"Settings", c.stored}});
  Settings::GetInstance();
  EXPECT_EQ(Stored(home, "settings.ini", u"Settings"), c.expected);
  EXPECT_EQ(Counter(home, u"settingsversion"), c.rewritten ? u"1" : u"(absent)");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsStoredKeys,
    ::testing::Values(
        StoredKeysCase{"PluginIdBecomesUserId",
                       {{u"language", u"de"}, {u"pluginid", u"abc"}},
                       {{u"language", u"de"}, {u"userid", u"abc"}},
                       true},
        StoredKeysCase{"UserIdPresentBothKept",
                       {{u"pluginid", u"a"}, {u"userid", u"b"}, {u"custom", u"x"}},
                       {{u"pluginid", u"a"}, {u"userid", u"b"}, {u"custom", u"x"}},
                       false},
        StoredKeysCase{"ObsoleteKeysDropped",
                       {{u"pluginupdate", u"1"},
                        {u"pluginerrors", u"2"},
                        {u"pluginerrorcodes", u"3"},
                        {u"pluginenabled", u"true"},
                        {u"keep", u"k"}},
                       {{u"keep", u"k"}},
                       true}),
    [](const ::testing::TestParamInfo<StoredKeysCase>& info) { return std::string(info.param.name); });

// A file whose stored checksum is wrong (1), with content that must not survive.
void WriteDamaged(const std::string& path, const std::string& body) {
  testsupport::WriteStoreFile(path, "# Please do not edit this file!\n\n" + body + "[Checksum]\n1\n");
}

// Sections beside [Settings] (the worker's [Transfer], written by
// vexaro-store) are not the store's: its writes keep them as the file holds
// them at that moment, also when they were set after the store read it.
TEST(SettingsStore, OtherSectionsSurviveTheStoresWrites) {
  TempDataHome home;
  const std::string path = home.DataFile("settings.ini");
  WriteStore(path, {{u"Settings", {{u"language", u"de"}}}, {u"Transfer", {{u"connections", u"8"}}}});
  Settings* store = Settings::GetInstance();
  EXPECT_EQ(store->ReadFileSection(u"Transfer"), (SectionMap{{u"connections", u"8"}}));

  // Changed by another process after the store was read.
  WriteStore(path, {{u"Settings", {{u"language", u"de"}}}, {u"Transfer", {{u"tries", u"9"}}}});
  EXPECT_EQ(store->ReadFileSection(u"Transfer"), (SectionMap{{u"tries", u"9"}}));
  store->SetValue(u"configversion", 5);
  ASSERT_TRUE(store->Write());
  EXPECT_EQ(Stored(home, "settings.ini", u"Transfer"), (SectionMap{{u"tries", u"9"}}));
  EXPECT_EQ(Stored(home, "settings.ini", u"Settings"), (SectionMap{{u"configversion", u"5"}, {u"language", u"de"}}));

  // A damaged file has no trustworthy sections.
  std::string text = std::regex_replace(testsupport::ReadStoreFile(path), std::regex("\r\n"), "\n");
  text.replace(text.find("tries=9"), 7, "tries=7");
  testsupport::WriteStoreFile(path, text);
  EXPECT_TRUE(store->ReadFileSection(u"Transfer").empty());
}

TEST(SettingsStoreDamaged, SettingsIniBackToDefaultsAndRecorded) {
  TempDataHome home;
  WriteDamaged(home.DataFile("settings.ini"), "[Settings]\nlanguage=de\ncustom=x\n\n");
  WriteStore(home.DataFile("settings_tab.ini"),
             {{u"Settings", {{u"pluginenabled", u"true"}, {u"settingsversion", u"7"}}}, {u"Errors", {{u"0101", u"1"}}}});
  Settings::GetInstance();
  EXPECT_EQ(Stored(home, "settings.ini", u"Settings"), kDefaults);
  EXPECT_EQ(Stored(home, "settings_tab.ini", u"Errors"), (SectionMap{{u"0101", u"1"}, {u"0806", u"0"}}));
  EXPECT_EQ(Counter(home, u"settingsversion"), u"8");
}

TEST(SettingsStoreDamaged, SettingsTabIniLosesCountersAndRecordsIt) {
  TempDataHome home;
  WriteStore(home.DataFile("settings.ini"), {{u"Settings", {{u"language", u"de"}}}});
  WriteDamaged(home.DataFile("settings_tab.ini"),
               "[Errors]\n0101=1\n\n[Settings]\npluginenabled=false\nsettingsversion=7\nvisits=3\n\n");
  Settings* store = Settings::GetInstance();
  store->IncrementCounter(u"visits");
  EXPECT_EQ(Stored(home, "settings_tab.ini", u"Settings"),
            (SectionMap{{u"pluginenabled", u"true"}, {u"visits", u"1"}}));
  EXPECT_EQ(Stored(home, "settings_tab.ini", u"Errors"), (SectionMap{{u"1906", u"0"}}));
  EXPECT_EQ(Stored(home, "settings.ini", u"Settings"), (SectionMap{{u"language", u"de"}}));
}

TEST(SettingsErrorRecord, KeysValuesAndFirstValueKept) {
  TempDataHome home;
  Settings* store = Settings::GetInstance();
  ReportError(5, 7, 4, u"Settings::GetTempPath failed");
  ReportError(6, 7, 4, u"Settings::GetTempPath failed");
  ReportError(1, 13, 41, u"Mutex::CreateMutex");
  HelperProcess other("report", {"9", "23", "3"});
  ASSERT_EQ(other.Wait(), 0);
  ReportError(10, 23, 3, u"Download failed");  // already recorded by the other process

  const SectionMap expected = {{u"0704", u"5"}, {u"1341", u"1"}, {u"2303", u"9"}};
  EXPECT_EQ(Stored(home, "settings_tab.ini", u"Errors"), expected);
  EXPECT_EQ(store->GetErrors(), expected);
}

TEST(SettingsErrorRecord, BrokenTabFileDoesNotRecurseAndIsWrittenLater) {
  TempDataHome home;
  Settings* store = Settings::GetInstance();
  const std::string tab = home.DataFile("settings_tab.ini");
  std::filesystem::remove(tab);
  std::filesystem::create_directory(tab);  // can be neither read nor replaced

  // Its own read and write failures are not recorded again while recording;
  // the record waits for a file it can read.
  ReportError(1, 2, 3, u"test");
  EXPECT_TRUE(store->GetErrors().empty());

  std::filesystem::remove(tab);
  store->IncrementCounter(u"visits");
  EXPECT_EQ(Stored(home, "settings_tab.ini", u"Errors"), (SectionMap{{u"0203", u"1"}}));
  EXPECT_EQ(Counter(home, u"visits"), u"1");
}

TEST(SettingsStoreLocked, UnreadFileIsNotReplacedByDefaults) {
  TempDataHome home;
  const std::string path = home.DataFile("settings.ini");
  WriteStore(path, {{u"Settings", {{u"language", u"de"}, {u"custom", u"keep"}}}});
  const std::string before = testsupport::ReadFileBytes(path);
  const std::string ready = home.Root().File("ready");
  const std::string release = home.Root().File("release");

  HelperProcess holder("hold_lock", {"SettingsFile", ready, release});
  ASSERT_TRUE(testsupport::WaitForFile(ready, 10000));
  Settings* store = Settings::GetInstance();  // cannot take "SettingsFile"
  EXPECT_EQ(testsupport::ReadFileBytes(path), before);
  testsupport::WriteFileBytes(release, "");
  ASSERT_EQ(holder.Wait(), 0);

  store->SetValue(u"configversion", 5);
  EXPECT_TRUE(store->Write());
  EXPECT_EQ(Stored(home, "settings.ini", u"Settings"),
            (SectionMap{{u"configversion", u"5"}, {u"custom", u"keep"}, {u"language", u"de"}}));
  EXPECT_EQ(store->GetValue(u"custom", u""), u"keep");
  EXPECT_EQ(Stored(home, "settings_tab.ini", u"Errors"),
            (SectionMap{{u"1344", platform::Format("%u", platform::kErrTimedOut)}}))
      << "the timeout during construction is recorded once the store exists";
}

// Started together on a fresh data home, the helpers also race to create the
// lock objects and the stores.
TEST(SettingsStoreLocked, ManyProcessesLoseNoIncrement) {
  constexpr int kProcesses = 6;
  constexpr int kTimes = 100;
  TempDataHome home;
  const std::string start = home.Root().File("start");
  std::vector<std::unique_ptr<HelperProcess>> helpers;
  for (int i = 0; i < kProcesses; ++i) {
    helpers.push_back(std::make_unique<HelperProcess>(
        "count", std::vector<std::string>{"downloads", std::to_string(kTimes), start}));
  }
  testsupport::WriteFileBytes(start, "");
  for (auto& helper : helpers) EXPECT_EQ(helper->Wait(), 0);
  EXPECT_EQ(Counter(home, u"downloads"), platform::Format("%d", kProcesses * kTimes));
  EXPECT_TRUE(Stored(home, "settings_tab.ini", u"Errors").empty());
}

// Another process (the add-on, say) holds settings_tab.ini open unshared, so
// this process cannot read it. What this process still has in memory is no
// picture of the file and must not be written over it.
TEST(SettingsErrorRecord, UnreadableTabFileKeepsTheOtherWritersRecords) {
  TempDataHome home;
  Settings* store = Settings::GetInstance();
  HelperProcess other("report", {"9", "23", "3"});
  ASSERT_EQ(other.Wait(), 0);
  const std::string tab = home.DataFile("settings_tab.ini");
  const std::string before = testsupport::ReadFileBytes(tab);

  {
    platform::InputFile reader;
    ASSERT_TRUE(reader.Open(FromUtf8(tab), platform::Share::None));
    ReportError(5, 7, 4, u"Settings::GetTempPath failed");
    store->IncrementCounter(u"visits");
    EXPECT_EQ(testsupport::ReadFileBytes(tab), before);
  }

  // The next good read takes the file as it is and adds what waited.
  store->IncrementCounter(u"visits");
  EXPECT_EQ(Stored(home, "settings_tab.ini", u"Errors"),
            (SectionMap{{u"0704", u"5"}, {u"1904", platform::Format("%u", platform::kErrSharingViolation)},
                        {u"2303", u"9"}}));
  EXPECT_EQ(Counter(home, u"visits"), u"2");
}

// Writers killed between creating their temporary file and renaming it leave
// it behind; the next writer holding the lock clears what they left of that
// same file, and nothing else.
TEST(SettingsStoreLocked, LeftoverTemporariesGoWithTheNextWrite) {
  namespace fs = std::filesystem;
  TempDataHome home;
  Settings* store = Settings::GetInstance();
  const std::string path = home.DataFile("settings.ini");
  const std::string ready = home.Root().File("ready");
  for (int i = 0; i < 20; ++i) {
    HelperProcess writer("write_forever", {path, ready});
    ASSERT_TRUE(testsupport::WaitForFile(ready, 10000)) << "writer " << i;
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + 3 * i));
    writer.Kill();
    fs::remove(ready);
  }
  // As a killed writer leaves one, so the test never depends on timing.
  testsupport::WriteFileBytes(path + ".vexaro-tmp-Ab3xY9", std::string(100000, 'x'));
  const std::vector<std::string> others = {path + ".backup", path + ".vexaro-tmp-short",
                                           home.DataFile("config.ini.vexaro-tmp-Ab3xY9")};
  for (const std::string& other : others) testsupport::WriteFileBytes(other, "keep");

  { settings::Mutex absorb(settings::kSettingsFileLock, settings::kSettingsFileErrorBase); }  // a killed holder's
  store->SetValue(u"configversion", 5);
  EXPECT_TRUE(store->Write());

  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(home.DataFile(""))) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("settings.ini.vexaro-tmp-") && name.size() == std::string("settings.ini.vexaro-tmp-").size() + 6) {
      left.push_back(name);
    }
  }
  EXPECT_TRUE(left.empty()) << left.size() << " left, e.g. " << left.front();
  for (const std::string& other : others) EXPECT_EQ(testsupport::ReadFileBytes(other), "keep") << other;
  EXPECT_EQ(Stored(home, "settings.ini", u"Settings").at(u"configversion"), u"5");
}

// A store that is a symbolic link (dotfiles kept elsewhere) is written
// through the link: the link stays and its target gets the new content.
TEST(SettingsStore, SymlinkedStoreIsWrittenThroughToItsTarget) {
  namespace fs = std::filesystem;
  TempDataHome home;
  const std::string real = home.Root().File("dotfiles/settings.ini");
  WriteStore(real, {{u"Settings", {{u"language", u"de"}}}});
  fs::create_directories(home.DataFile(""));
  fs::create_symlink("../../dotfiles/settings.ini", home.DataFile("settings.ini"));

  Settings* store = Settings::GetInstance();
  store->SetValue(u"configversion", 5);
  EXPECT_TRUE(store->Write());

  EXPECT_TRUE(fs::is_symlink(home.DataFile("settings.ini")));
  IniFile target(FromUtf8(real), true);
  ASSERT_TRUE(target.Read());
  EXPECT_TRUE(target.IsValid());
  EXPECT_EQ(target.GetSection(u"Settings"), (SectionMap{{u"configversion", u"5"}, {u"language", u"de"}}));
}

TEST(SettingsTempFiles, NameReservedInCacheFolder) {
  TempDataHome home;
  Settings::GetInstance();
  const std::string folder = home.CacheFolder() + "/";

  const std::string mp3 = platform::ToUtf8(Settings::GetTempFileName(u"vx_", u"mp3"));
  ASSERT_EQ(mp3.rfind(folder, 0), 0u) << mp3;
  EXPECT_TRUE(std::regex_match(mp3.substr(folder.size()), std::regex("vx_[0-9A-F]+\\.mp3"))) << mp3;
  EXPECT_FALSE(std::filesystem::exists(mp3));
  EXPECT_TRUE(std::filesystem::exists(mp3.substr(0, mp3.size() - 3) + "tmp"));

  const std::string tmp = platform::ToUtf8(Settings::GetTempFileName(u"vx_", u""));
  EXPECT_TRUE(std::regex_match(tmp.substr(folder.size()), std::regex("vx_[0-9A-F]+\\.tmp"))) << tmp;
  EXPECT_TRUE(std::filesystem::exists(tmp));
  EXPECT_NE(tmp.substr(0, tmp.size() - 3), mp3.substr(0, mp3.size() - 3));
}

TEST(SettingsTempFiles, DeletingADownloadsFileAlsoDeletesItsReserve) {
  TempDataHome home;
  Settings::GetInstance();

  const std::u16string flv = Settings::GetTempFileName(u"vx_", u"flv");
  const std::string reserve = platform::ToUtf8(flv.substr(0, flv.size() - 3)) + "tmp";
  testsupport::WriteFileBytes(platform::ToUtf8(flv), "downloaded");
  EXPECT_TRUE(Settings::DeleteTempFile(flv));
  EXPECT_FALSE(std::filesystem::exists(platform::ToUtf8(flv)));
  EXPECT_FALSE(std::filesystem::exists(reserve));

  // A ".tmp" beside it that holds data is somebody's file, not a reserve.
  const std::u16string mp4 = Settings::GetTempFileName(u"vx_", u"mp4");
  const std::string other = platform::ToUtf8(mp4.substr(0, mp4.size() - 3)) + "tmp";
  testsupport::WriteFileBytes(other, "data");
  EXPECT_FALSE(Settings::DeleteTempFile(mp4));  // never created
  EXPECT_TRUE(std::filesystem::exists(other));

  // A name without a new extension is the reserve itself.
  const std::u16string tmp = Settings::GetTempFileName(u"vx_", u"");
  EXPECT_TRUE(Settings::DeleteTempFile(tmp));
  EXPECT_FALSE(std::filesystem::exists(platform::ToUtf8(tmp)));
}

TEST(SettingsTempFiles, UnusableCacheFallsBackToAPrivateFolderInSystemTemp) {
  TempDataHome home;
  Settings* store = Settings::GetInstance();
  testsupport::WriteFileBytes(home.Root().File("cache-is-a-file"), "");
  ::setenv("XDG_CACHE_HOME", home.Root().File("cache-is-a-file").c_str(), 1);
  std::filesystem::create_directory(home.Root().File("tmp"));
  ::setenv("TMPDIR", home.Root().File("tmp").c_str(), 1);

  const std::string privateFolder = home.Root().File("tmp/vexaro-" + std::to_string(::geteuid()));
  const std::string mp3 = platform::ToUtf8(Settings::GetTempFileName(u"vx_", u"mp3"));
  EXPECT_EQ(mp3.rfind(privateFolder + "/vx_", 0), 0u) << mp3;
  EXPECT_EQ(std::filesystem::status(privateFolder).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  EXPECT_EQ(store->GetErrors().count(u"0704"), 1u);

  // A name planted in the shared folder is not used, even when it points to
  // a folder of ours.
  std::filesystem::remove_all(privateFolder);
  std::filesystem::create_directory_symlink(home.Root().File("tmp"), privateFolder);
  EXPECT_EQ(Settings::GetTempFileName(u"vx_", u"mp3"), u"");
  EXPECT_EQ(store->GetErrors().count(u"0710"), 1u);
}

// A start that makes a temporary name: reports it and stays until killed.
// Args: report file.
VEXARO_TEST_HELPER(make_temp_name) {
  Settings::GetInstance();
  const std::u16string path = Settings::GetTempFileName(u"vx_", u"flv");
  testsupport::WriteFileBytes(platform::ToUtf8(path), "downloaded");
  testsupport::PublishFile(args.at(0), platform::ToUtf8(path));
  testsupport::WaitForFile(args.at(0) + ".never", 120000);
  return 0;
}

// A start that cleans up: the number of files it removed is its exit code.
VEXARO_TEST_HELPER(clean_temp_files) {
  Settings::GetInstance();
  return static_cast<int>(Settings::RemoveAbandonedTempFiles().size());
}

// A name stays while any process holds it: the one that made it, or the one
// it was handed to (HoldTempFile) after its maker ended; once nobody does, the
// next cleaning start removes it, and nothing of its own.
TEST(SettingsTempFiles, NamesLiveAsLongAsSomeProcessHoldsThem) {
  TempDataHome home;
  Settings::GetInstance();
  const std::string report = home.Root().File("name");
  const auto clean = [] {
    HelperProcess cleaner("clean_temp_files", {});
    return cleaner.Wait();
  };

  HelperProcess maker("make_temp_name", {report});
  ASSERT_TRUE(testsupport::WaitForFile(report, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::string handed = testsupport::ReadFileBytes(report);
  EXPECT_EQ(clean(), 0) << "its maker still runs";
  ASSERT_TRUE(Settings::HoldTempFile(FromUtf8(handed)));
  maker.Kill();
  EXPECT_EQ(clean(), 0) << "handed to this process";
  EXPECT_TRUE(std::filesystem::exists(handed));

  const std::u16string mine = Settings::GetTempFileName(u"vx_", u"mp3");
  testsupport::WriteFileBytes(platform::ToUtf8(mine), "converted soon");
  std::filesystem::remove(report);
  HelperProcess killed("make_temp_name", {report});
  ASSERT_TRUE(testsupport::WaitForFile(report, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::string lost = testsupport::ReadFileBytes(report);
  killed.Kill();
  EXPECT_EQ(clean(), 2) << "the killed start's download and reserve";
  EXPECT_FALSE(std::filesystem::exists(lost));
  EXPECT_TRUE(std::filesystem::exists(handed));
  EXPECT_TRUE(std::filesystem::exists(platform::ToUtf8(mine)));

  // Deleting lets the name go for good; a name spared by the caller stays.
  EXPECT_TRUE(Settings::DeleteTempFile(FromUtf8(handed)));
  EXPECT_EQ(Settings::RemoveAbandonedTempFiles({mine}).size(), 0u);
}

}  // namespace
