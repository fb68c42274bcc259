#include "settings/Settings.h"

#include <initializer_list>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/Folders.h"
#include "platform/Instance.h"
#include "platform/RuntimeFolder.h"
#include "platform/TempFiles.h"
#include "platform/Text.h"
#include "settings/Mutex.h"

namespace settings {

namespace {

constexpr char16_t kSettingsSection[] = u"Settings";
constexpr char16_t kErrorsSection[] = u"Errors";

struct Report {
  std::uint32_t error;
  int group;
  int point;
  std::u16string text;  // kept only to pass on; reports store no text

  static Report Of(std::uint32_t error, const ErrorSite& site) {
    return {error, site.group, site.point, site.text};
  }
};

// Guards the instance pointer and the three maps. Held only for copies and
// lookups, and while the instance is constructed.
std::recursive_mutex& SettingsLock() {
  static std::recursive_mutex lock;
  return lock;
}

Settings* instance = nullptr;

// Set while this thread records a report: whatever goes wrong inside the
// recording (the lock of settings_tab.ini, a damaged or unwritable file) is
// not recorded again, or recording would recurse without end.
thread_local bool recording = false;

// While this thread constructs the store, its reports are kept here and
// recorded once the store exists.
thread_local std::vector<Report>* constructionReports = nullptr;

// The data folder, or empty when the user has no data home at all: then no
// store touches a file (all are kept in memory for the run) rather than
// writing relative to whatever the working folder happens to be.
std::u16string ComputeDataFolder(std::vector<Report>& reports) {
  const std::u16string home = platform::DataHome();
  if (home.empty()) {
    reports.push_back(Report::Of(platform::LastError(), errors::kDataRoot));
    return {};
  }
  // A missing data home is created like the special folder would be; if that
  // fails, creating our own folder below fails too and says why.
  platform::CreateFolderTree(home);
  std::u16string folder = home + u"Vexaro/";
  if (!platform::CreateFolder(folder)) {
    const std::uint32_t error = platform::LastError();
    if (error != platform::kErrAlreadyExists) {
      reports.push_back(Report::Of(error, errors::kDataFolderCreate));
    }
  }
  return folder;
}

const std::u16string& DataFolder() {
  static std::once_flag once;
  static std::u16string folder;
  // Reported after call_once, so that no other thread waiting for the folder
  // waits on the settings lock as well.
  std::vector<Report> reports;
  std::call_once(once, [&reports] { folder = ComputeDataFolder(reports); });
  for (const Report& report : reports) {
    ReportError(report.error, report.group, report.point, report.text.c_str());
  }
  return folder;
}

// Every temporary file this process uses, by its reserve: held until the
// file is deleted or the process ends (see platform/TempFiles.h).
std::mutex& TempLeasesLock() {
  static std::mutex lock;
  return lock;
}

std::map<std::u16string, platform::FileLease>& TempLeases() {
  static auto* leases = new std::map<std::u16string, platform::FileLease>;  // held until the very end
  return *leases;
}

std::u16string TempFolder() {
  const std::u16string cache = platform::CacheHome();
  if (!cache.empty()) {
    const std::u16string folder = cache + u"Vexaro/";
    if (platform::CreateFolderTree(folder)) return folder;
  }
  ReportError(platform::LastError(), errors::kTempFolder);
  const std::u16string fallback = platform::PrivateTempDir();
  if (fallback.empty()) ReportError(platform::LastError(), errors::kTempFolderFallback);
  return fallback;
}

// The sections of the stored file other than "Settings" and the checksum
// trailer, for a caller holding "SettingsFile"; none when the file cannot be
// read whole (a damaged file's sections cannot be told from its damage).
std::map<std::u16string, SectionMap> OtherSections(const std::u16string& path) {
  IniFile file(path, true);
  std::map<std::u16string, SectionMap> sections;
  if (!file.Read() || !file.IsValid()) return sections;
  sections = file.Sections();
  sections.erase(kSettingsSection);
  sections.erase(u"Checksum");
  return sections;
}

// The sections become the file's whole new content.
bool WriteSections(IniFile& file,
                   std::initializer_list<std::pair<const char16_t*, const SectionMap&>> sections) {
  file.Clear();
  for (const auto& [name, map] : sections) file.SetSection(name, map);
  return file.Write();
}

}  // namespace

Settings* Settings::GetInstance() {
  std::vector<Report> reports;
  Settings* created = nullptr;
  {
    std::lock_guard<std::recursive_mutex> guard(SettingsLock());
    if (instance != nullptr) return instance;
    constructionReports = &reports;
    created = new Settings();  // lives until the process ends
    constructionReports = nullptr;
    instance = created;
  }
  for (const Report& report : reports) {
    ReportError(report.error, report.group, report.point, report.text.c_str());
  }
  return created;
}

bool Settings::IsCreated() {
  std::lock_guard<std::recursive_mutex> guard(SettingsLock());
  return instance != nullptr;
}

std::u16string Settings::GetDataPath(const std::u16string& name) {
  const std::u16string& folder = DataFolder();
  if (folder.empty()) return {};
  return folder + name;
}

std::u16string Settings::GetTempPath(const std::u16string& name) {
  return TempFolder() + name;
}

std::u16string Settings::GetTempFileName(const std::u16string& prefix,
                                         const std::u16string& extension) {
  const std::u16string folder = GetTempPath(u"");
  std::u16string path;
  platform::FileLease lease;
  // An empty folder would make the name relative to the working folder.
  if (folder.empty() || !platform::CreateUniqueTempFile(folder, prefix, path, lease)) {
    ReportError(platform::LastError(), errors::kTempFile);
    // Our private temporary folder is the one other place where a name can
    // be reserved safely. Without one, an empty name makes the caller's open
    // fail instead of downloading over some folder.
    const std::u16string fallback = platform::PrivateTempDir();
    if (fallback.empty() || fallback == folder ||
        !platform::CreateUniqueTempFile(fallback, prefix, path, lease)) {
      return {};
    }
  }
  {
    std::lock_guard<std::mutex> guard(TempLeasesLock());
    TempLeases()[path] = std::move(lease);
  }
  if (!extension.empty()) {
    const std::size_t dot = path.rfind(u'.');
    if (dot != std::u16string::npos) path = path.substr(0, dot + 1) + extension;
  }
  return path;
}

bool Settings::HoldTempFile(const std::u16string& path) {
  const std::u16string reserve = platform::TempFileReserve(path);
  if (reserve.empty()) return false;
  std::lock_guard<std::mutex> guard(TempLeasesLock());
  auto& leases = TempLeases();
  if (leases.count(reserve) != 0) return true;
  platform::FileLease lease;
  if (!lease.Take(reserve)) return false;
  leases.emplace(reserve, std::move(lease));
  return true;
}

bool Settings::DeleteTempFile(const std::u16string& path) {
  const bool deleted = platform::RemoveFile(path);
  const std::u16string reserve = platform::TempFileReserve(path);
  if (!reserve.empty() && reserve != path && platform::FileSize(reserve) == 0) platform::RemoveFile(reserve);
  // Only now may a cleaner of another start take what is left.
  if (!reserve.empty()) {
    std::lock_guard<std::mutex> guard(TempLeasesLock());
    TempLeases().erase(reserve);
  }
  return deleted;
}

std::vector<std::u16string> Settings::RemoveAbandonedTempFiles(const std::vector<std::u16string>& spare) {
  std::vector<std::u16string> removed;
  std::vector<std::u16string> folders{GetTempPath(u"")};
  // The private folder in the system's temporary folder serves when the cache
  // cannot; look there only when it is already there.
  const std::u16string fallback =
      platform::TempDir() + u"vexaro-" + platform::Format("%u", platform::CurrentUserId()) + u"/";
  if (platform::FileExists(fallback)) folders.push_back(platform::PrivateTempDir());
  for (const std::u16string& folder : folders) {
    if (folder.empty()) continue;
    for (std::u16string& path : platform::RemoveAbandonedTempFiles(folder, kTempPrefix, spare)) {
      removed.push_back(std::move(path));
    }
  }
  return removed;
}

Settings::Settings()
    : settingsFile_(GetDataPath(u"settings.ini"), true),
      tabFile_(GetDataPath(u"settings_tab.ini"), true) {
  SetDefaults();
  TabSetDefaults();
  bool canRead = false;
  {
    Mutex lock(kSettingsFileLock, kSettingsFileErrorBase);
    if (lock.IsLocked()) {
      canRead = platform::CanOpen(settingsFile_.Path(), platform::Share::Read);
      // Only a file that is not there is replaced by the defaults. One that
      // could not be looked at stays unread until a write needs it, and is
      // read then (see Write).
      if (!canRead && platform::LastError() == platform::kErrFileNotFound) {
        settingsModified_ = true;
        settingsLoaded_ = true;
      }
    }
  }
  if (canRead) Read();
  Write();
}

std::u16string Settings::GetValue(const std::u16string& key, const std::u16string& defaultValue) {
  std::lock_guard<std::recursive_mutex> guard(SettingsLock());
  const auto it = settingsMap_.find(key);
  return it == settingsMap_.end() ? defaultValue : it->second;
}

SectionMap Settings::ReadFileSection(const std::u16string& name) {
  Mutex lock(kSettingsFileLock, kSettingsFileErrorBase);
  if (!lock.IsLocked()) return {};
  IniFile file(settingsFile_.Path(), true);
  if (!file.Read() || !file.IsValid()) return {};
  return file.GetSection(name);
}

void Settings::SetValue(const std::u16string& key, std::int32_t value) {
  const std::u16string text = platform::Format("%d", value);
  std::lock_guard<std::recursive_mutex> guard(SettingsLock());
  const auto it = settingsMap_.find(key);
  if (it == settingsMap_.end() || it->second != text) {
    settingsMap_[key] = text;
    settingsModified_ = true;
  }
  if (!settingsLoaded_) unsavedValues_[key] = text;
}

bool Settings::LoadSettingsFile() {
  settingsFile_.Clear();  // no section of an earlier read may survive this one
  const bool read = settingsFile_.Read();
  const std::uint32_t error = settingsFile_.LastError();
  bool intact = false;
  if (read && !settingsFile_.IsValid()) {
    SetDefaults();
    ReportError(0, errors::kSettingsChecksum);
    settingsModified_ = true;
  } else if (read) {
    const SectionMap stored = settingsFile_.GetSection(kSettingsSection);
    std::lock_guard<std::recursive_mutex> guard(SettingsLock());
    settingsMap_ = stored;
    for (const char16_t* obsolete : {u"pluginupdate", u"pluginerrors", u"pluginerrorcodes", u"pluginenabled"}) {
      if (settingsMap_.erase(obsolete) != 0) settingsModified_ = true;
    }
    const auto pluginId = settingsMap_.find(u"pluginid");
    if (settingsMap_.count(u"userid") == 0 && pluginId != settingsMap_.end()) {
      settingsMap_[u"userid"] = pluginId->second;
      settingsMap_.erase(u"pluginid");
      settingsModified_ = true;
    }
    intact = true;
  } else {
    ReportError(error, errors::kSettingsRead);
    if (error == platform::kErrFileNotFound) settingsModified_ = true;
  }

  std::lock_guard<std::recursive_mutex> guard(SettingsLock());
  if (read || error == platform::kErrFileNotFound) {
    settingsLoaded_ = true;
    for (const auto& [key, value] : unsavedValues_) {
      std::u16string& slot = settingsMap_[key];
      if (slot != value) {
        slot = value;
        settingsModified_ = true;
      }
    }
    unsavedValues_.clear();
  }
  return intact;
}

bool Settings::Read() {
  bool intact = false;
  {
    Mutex lock(kSettingsFileLock, kSettingsFileErrorBase);
    if (!lock.IsLocked()) return false;
    intact = LoadSettingsFile();
  }
  if (intact) Write();  // writes only what the read changed
  return intact;
}

bool Settings::Write() {
  if (!settingsModified_) return true;
  Mutex lock(kSettingsFileLock, kSettingsFileErrorBase);
  if (!lock.IsLocked()) return false;

  bool loaded = false;
  {
    std::lock_guard<std::recursive_mutex> guard(SettingsLock());
    loaded = settingsLoaded_;
  }
  if (!loaded) {
    // The file was never seen; what it holds decides what is still to write.
    settingsModified_ = false;
    LoadSettingsFile();
    {
      std::lock_guard<std::recursive_mutex> guard(SettingsLock());
      loaded = settingsLoaded_;
    }
    if (!loaded) {
      settingsModified_ = true;
      return false;
    }
    if (!settingsModified_) return true;
  }

  SectionMap copy;
  {
    std::lock_guard<std::recursive_mutex> guard(SettingsLock());
    copy = settingsMap_;
    // Cleared with the copy taken, so a SetValue from another thread after
    // this point is written next time. A failed write is not retried.
    settingsModified_ = false;
  }
  // The other sections belong to whoever set them (vexaro-store, the
  // add-on); they are taken from the file as it is now, under the lock.
  std::map<std::u16string, SectionMap> others = OtherSections(settingsFile_.Path());
  settingsFile_.Clear();
  settingsFile_.SetSection(kSettingsSection, copy);
  for (const auto& [name, section] : others) settingsFile_.SetSection(name, section);
  const bool written = settingsFile_.Write();
  if (!written) ReportError(settingsFile_.LastError(), errors::kSettingsWrite);
  IncrementCounter(u"settingsversion");
  return written;
}

void Settings::SetDefaults() {
  std::lock_guard<std::recursive_mutex> guard(SettingsLock());
  settingsMap_.clear();
  settingsMap_[u"pluginversion"] = u"3.5";
  settingsMap_[u"language"] = u"en";
  settingsMap_[u"dictionaryversion"] = u"1";
}

void Settings::TabSetDefaults() {
  std::lock_guard<std::recursive_mutex> guard(SettingsLock());
  errorsMap_.clear();
  tabSettingsMap_.clear();
  tabSettingsMap_[u"pluginenabled"] = u"true";
}

bool Settings::TabRead() {
  tabFile_.Clear();  // no section of an earlier read may survive this one
  const bool read = tabFile_.Read();
  const std::uint32_t error = tabFile_.LastError();
  if (!read && error != platform::kErrFileNotFound) {
    // What the file holds now is unknown, so the maps are no picture of it:
    // writing them would erase what other processes recorded meanwhile.
    {
      std::lock_guard<std::recursive_mutex> guard(SettingsLock());
      tabReadable_ = false;
    }
    ReportError(error, errors::kTabRead);
    return false;
  }
  bool intact = false;
  if (read) {
    TabSetDefaults();
    if (tabFile_.IsValid()) {
      const SectionMap settings = tabFile_.GetSection(kSettingsSection);
      const SectionMap errors = tabFile_.GetSection(kErrorsSection);
      std::lock_guard<std::recursive_mutex> guard(SettingsLock());
      tabSettingsMap_ = settings;
      errorsMap_ = errors;
      intact = true;
    } else {
      ReportError(0, errors::kTabChecksum);
    }
  }
  if (!intact) tabModified_ = true;  // missing or damaged: rewritten at once
  {
    std::lock_guard<std::recursive_mutex> guard(SettingsLock());
    tabReadable_ = true;
    // What could not be stored while the file was unreadable goes on top of
    // what the file holds now.
    for (const auto& [key, value] : unsavedErrors_) {
      if (errorsMap_.emplace(key, value).second) tabModified_ = true;
    }
    for (const auto& [key, count] : unsavedCounts_) {
      AddToCounter(key, count);
      tabModified_ = true;
    }
    unsavedErrors_.clear();
    unsavedCounts_.clear();
  }
  TabWrite();
  return intact;
}

void Settings::AddToCounter(const std::u16string& key, std::uint32_t count) {
  std::lock_guard<std::recursive_mutex> guard(SettingsLock());
  const auto it = tabSettingsMap_.find(key);
  // 32-bit arithmetic: INT32_MAX + 1 wraps to INT32_MIN, without the
  // undefined signed overflow.
  const std::uint32_t current =
      it == tabSettingsMap_.end() ? 0u : static_cast<std::uint32_t>(platform::ParseLong(it->second));
  tabSettingsMap_[key] = platform::Format("%d", static_cast<std::int32_t>(current + count));
}

bool Settings::TabWrite() {
  if (!tabModified_) return true;
  SectionMap settings;
  SectionMap errors;
  {
    std::lock_guard<std::recursive_mutex> guard(SettingsLock());
    if (!tabReadable_) return false;  // never over a file this state was not read from
    settings = tabSettingsMap_;
    errors = errorsMap_;
  }
  // Both sections are always written, also when empty.
  const bool written = WriteSections(tabFile_, {{kSettingsSection, settings}, {kErrorsSection, errors}});
  tabModified_ = !written;
  if (!written) ReportError(tabFile_.LastError(), errors::kTabWrite);
  return written;
}

void Settings::IncrementCounter(const std::u16string& key) {
  Mutex lock(kSettingsFileTabLock, kSettingsFileTabErrorBase);
  if (!lock.IsLocked()) return;
  TabRead();
  {
    std::lock_guard<std::recursive_mutex> guard(SettingsLock());
    if (!tabReadable_) {
      ++unsavedCounts_[key];
      return;
    }
    AddToCounter(key, 1);
    tabModified_ = true;
  }
  TabWrite();
}

void Settings::RecordError(const std::u16string& key, const std::u16string& value) {
  Mutex lock(kSettingsFileTabLock, kSettingsFileTabErrorBase);
  if (!lock.IsLocked()) return;
  TabRead();
  {
    std::lock_guard<std::recursive_mutex> guard(SettingsLock());
    if (!tabReadable_) {
      unsavedErrors_.emplace(key, value);
      return;
    }
    if (errorsMap_.emplace(key, value).second) tabModified_ = true;
  }
  TabWrite();
}

SectionMap Settings::GetErrors() {
  std::lock_guard<std::recursive_mutex> guard(SettingsLock());
  return errorsMap_;
}

SectionMap Settings::GetTabSettings() {
  std::lock_guard<std::recursive_mutex> guard(SettingsLock());
  return tabSettingsMap_;
}

void ReportError(std::uint32_t error, int group, int point, const char16_t* text) {
  if (recording) return;
  // A wait for "SettingsFileTab" that just failed or timed out would only be
  // waited for again by the recording, freezing the caller for another 3 s
  // to store nothing.
  if (group == errors::kLockGroup &&
      (point == static_cast<int>(kSettingsFileTabErrorBase + errors::kLockWait.offset) ||
       point == static_cast<int>(kSettingsFileTabErrorBase + errors::kLockTimeout.offset))) {
    return;
  }
  if (constructionReports != nullptr) {
    constructionReports->push_back({error, group, point, text});
    return;
  }
  if (!Settings::IsCreated()) return;
  recording = true;
  Settings::GetInstance()->RecordError(platform::Format("%2.2d%2.2d", group, point),
                                       platform::Format("%u", error));
  recording = false;
}

void ReportRuntimeFolderProblems() {
  // Taken problems are never handed out again, so take them only where they
  // will be recorded: not inside a recording (which drops reports), not
  // before the store exists (unless it is being constructed, which keeps them).
  if (recording) return;
  if (constructionReports == nullptr && !Settings::IsCreated()) return;
  platform::RuntimeFolder();
  for (const platform::RuntimePlaceProblem& problem : platform::TakeRuntimeFolderProblems()) {
    const ErrorSite* site = &errors::kRuntimeFolderOwn;
    switch (problem.place) {
      case platform::RuntimePlace::RuntimeDir: site = &errors::kRuntimeDirUnusable; break;
      case platform::RuntimePlace::SystemRuntimeDir: site = &errors::kSystemRuntimeDirUnusable; break;
      case platform::RuntimePlace::Home: site = &errors::kHomeRuntimeUnusable; break;
      case platform::RuntimePlace::Temporary: site = &errors::kTempRuntimeUnusable; break;
      case platform::RuntimePlace::ProcessOwn: break;
    }
    ReportError(problem.error, *site);
  }
}

}  // namespace settings
