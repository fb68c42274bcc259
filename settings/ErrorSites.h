// Every (group, point) pair that the program records through ReportError, in
// one table: the reporting code passes these entries, and vexaro-store's
// "errors" command reads the same table to say where a recorded code comes
// from, so the two cannot drift apart. A new report site gets its entry here.
#pragma once

#include <cstdint>

namespace settings {

struct ErrorSite {
  int group;
  int point;
  const char16_t* text;  // passed along with the report, names the failing call
  const char* meaning;   // what failed, for people reading the record
};

namespace errors {

inline constexpr ErrorSite kLanguageQuery{7, 3, u"System::GetBrowserLang", "language query"};
inline constexpr ErrorSite kTempFolder{7, 4, u"Settings::GetTempPath failed", "temporary folder"};
inline constexpr ErrorSite kTempFile{7, 5, u"Settings::GetTempFileName failed", "temporary file"};
inline constexpr ErrorSite kDataRoot{7, 6, u"Settings::GetDataPath failed", "data folder"};
// Recorded by the add-on's older systems only; kept to read their records.
inline constexpr ErrorSite kDataRootOlderSystem{7, 7, u"Settings::GetDataPath failed", "data folder"};
inline constexpr ErrorSite kTempFolderFallback{7, 10, u"Settings::GetTempPath failed",
                                               "fallback temporary folder"};
// The runtime folder (platform/RuntimeFolder.h): a place found unusable, and
// the last resort of a folder of the start's own, in which it meets no other.
inline constexpr ErrorSite kRuntimeDirUnusable{7, 11, u"RuntimeFolder - XDG_RUNTIME_DIR",
                                               "runtime folder of XDG_RUNTIME_DIR not ours"};
inline constexpr ErrorSite kSystemRuntimeDirUnusable{7, 12, u"RuntimeFolder - /run/user",
                                                     "system runtime folder not ours"};
inline constexpr ErrorSite kHomeRuntimeUnusable{7, 13, u"RuntimeFolder - home",
                                                "private folder in the home not usable"};
inline constexpr ErrorSite kTempRuntimeUnusable{7, 14, u"RuntimeFolder - temporary folder",
                                                "private temporary folder not usable"};
inline constexpr ErrorSite kRuntimeFolderOwn{7, 15, u"RuntimeFolder - own folder",
                                             "no shared runtime folder, start on its own"};
inline constexpr ErrorSite kDataFolderCreate{8, 3, u"Settings::CreateDirectory failed", "data folder"};
inline constexpr ErrorSite kSettingsRead{8, 4, u"Settings::Read", "settings.ini read"};
inline constexpr ErrorSite kSettingsWrite{8, 5, u"Settings::Write", "settings.ini write"};
inline constexpr ErrorSite kSettingsChecksum{8, 6, u"Settings::Read - Checksum", "settings.ini checksum"};
// The hand-off between starts.
inline constexpr ErrorSite kHandoffListen{12, 3, u"LocalHandoffLink::Listen", "hand-off socket cannot listen"};
inline constexpr ErrorSite kHandoffNotTaken{12, 4, u"LaunchSequence::HandOver",
                                            "download not taken by the open window, shown in its own"};
inline constexpr ErrorSite kDictionaryRead{11, 4, u"Dictionary::SetLanguage", "dictionary.ini read"};
inline constexpr ErrorSite kDictionaryMissingText{11, 5, u"Dictionary::Lookup", "missing text"};
inline constexpr ErrorSite kTabRead{19, 4, u"SettingsTab::Read", "settings_tab.ini read"};
inline constexpr ErrorSite kTabWrite{19, 5, u"SettingsTab::Write", "settings_tab.ini write"};
inline constexpr ErrorSite kTabChecksum{19, 6, u"SettingsTab::Read - Checksum", "settings_tab.ini checksum"};
inline constexpr ErrorSite kConfigWrite{22, 3, u"Config::Create", "config.ini write"};
inline constexpr ErrorSite kConfigRead{22, 4, u"Config::Read", "config.ini read"};
inline constexpr ErrorSite kTransferFailed{23, 3, u"Download::DownloadToFile failed", "transfer failed"};
inline constexpr ErrorSite kConverterLaunch{23, 4, u"Download::RunConversion - CreateProcess failed",
                                            "converter launch failed"};
inline constexpr ErrorSite kConverterFailed{23, 5, u"Download::RunConversion - converter failed",
                                            "converter failed"};

// The download journal: a file that cannot be read (kept aside) records 13
// (ERROR_INVALID_DATA), one of a newer version records its version, a write
// that failed the error number.
inline constexpr ErrorSite kJournalDamaged{24, 3, u"DownloadJournal::Read", "download journal unreadable"};
inline constexpr ErrorSite kJournalNewer{24, 4, u"DownloadJournal::Read - Version", "download journal of a newer version"};
inline constexpr ErrorSite kJournalWrite{24, 5, u"DownloadJournal::Write", "download journal write"};

inline constexpr ErrorSite kAll[] = {
    kLanguageQuery,       kTempFolder,          kTempFile,
    kDataRoot,            kDataRootOlderSystem, kTempFolderFallback,
    kRuntimeDirUnusable,  kSystemRuntimeDirUnusable, kHomeRuntimeUnusable,
    kTempRuntimeUnusable, kRuntimeFolderOwn,    kDataFolderCreate,
    kSettingsRead,        kSettingsWrite,       kSettingsChecksum,
    kDictionaryRead,      kDictionaryMissingText, kHandoffListen,
    kHandoffNotTaken,     kTabRead,             kTabWrite,
    kTabChecksum,         kConfigWrite,         kConfigRead,
    kTransferFailed,      kConverterLaunch,     kConverterFailed,
    kJournalDamaged,      kJournalNewer,        kJournalWrite,
};

// Group 13 belongs to the named locks: the point is the lock's error base
// (see Mutex.h) plus the offset of what went wrong.
inline constexpr int kLockGroup = 13;

struct LockErrorKind {
  std::uint32_t offset;
  const char16_t* text;
};

inline constexpr LockErrorKind kLockCreate{1, u"Mutex::CreateMutex"};
inline constexpr LockErrorKind kLockRelease{2, u"Mutex::ReleaseMutex"};
inline constexpr LockErrorKind kLockWait{3, u"Mutex::CreateMutex - Wait error"};
inline constexpr LockErrorKind kLockTimeout{4, u"Mutex::CreateMutex - Timeout"};
inline constexpr LockErrorKind kLockKinds[] = {kLockCreate, kLockRelease, kLockWait, kLockTimeout};

}  // namespace errors
}  // namespace settings
