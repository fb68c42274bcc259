// The process-wide settings store, the program's folders and the error record.
//
// Files: settings.ini (section "Settings": general settings shared with the
// add-on) and settings_tab.ini (section "Settings": counters and flags;
// section "Errors": the error record), both IniFiles with the checksum on, in
// the data folder.
//
// Locking: the settings lock (a process-wide recursive mutex) guards the
// instance pointer and the three maps and is held only for copies and lookups
// (and during construction). The named locks guard the files: "SettingsFile"
// around settings.ini, "SettingsFileTab" around every read-change-write of
// settings_tab.ini, always in that order.
//
// Folders (Linux): data folder $XDG_DATA_HOME/Vexaro/, temporary folder
// $XDG_CACHE_HOME/Vexaro/ (see platform/Folders.h). Paths use '/'.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "settings/ErrorSites.h"
#include "settings/IniFile.h"

namespace settings {

// The prefix of the program's temporary download files.
inline constexpr char16_t kTempPrefix[] = u"vx_";

class Settings {
 public:
  // Constructs the store on first call: reads settings.ini (defaults when it
  // is missing or damaged) and writes it back. Never returns null.
  static Settings* GetInstance();
  static bool IsCreated();

  // Data folder + name; creates the data folder on first use (the folder is
  // found once per process). With an empty name, the data folder itself,
  // ending in '/'. Empty for every name when the user has no data home at
  // all, so that the stores then live in memory only.
  static std::u16string GetDataPath(const std::u16string& name);
  // Temporary folder + name. The folder is created when missing; when it
  // cannot be had, a private folder in the system's temporary folder stands
  // in (0704; 0710 and an empty folder when that one cannot be had either).
  static std::u16string GetTempPath(const std::u16string& name);
  // A unique name in the temporary folder: prefix (first three characters) +
  // hexadecimal number, with the given extension instead of "tmp". The empty
  // ".tmp" file that reserved the number stays; the returned name does not
  // exist yet (unless extension is empty, when it is that very file).
  // When no name can be reserved there (0705), one is reserved in the
  // private folder in the system's temporary folder; failing that, the result
  // is empty. This process holds the name (see HoldTempFile) until
  // DeleteTempFile or its end.
  static std::u16string GetTempFileName(const std::u16string& prefix,
                                        const std::u16string& extension);
  // Marks a temporary file that another process named as used by this one
  // too (a hand-off), so that no start removes it while this process lives or
  // until DeleteTempFile. False when its reserve is not there.
  static bool HoldTempFile(const std::u16string& path);
  // Deletes a file that GetTempFileName named once nothing uses it any more,
  // and the empty ".tmp" file that reserved its number, so that finished
  // downloads leave nothing in the temporary folder, and lets the name go. A
  // ".tmp" file that holds data is not ours to delete and stays. False when
  // path could not be deleted (it may already be gone).
  static bool DeleteTempFile(const std::u16string& path);
  // Removes the temporary files (kTempPrefix) of the temporary folders that
  // no running process of this user holds any more: those a killed or
  // crashed Vexaro left. The files of a path in spare (a download or its
  // reserve) stay. Returns the paths removed. Any thread.
  static std::vector<std::u16string> RemoveAbandonedTempFiles(const std::vector<std::u16string>& spare = {});

  std::u16string GetValue(const std::u16string& key, const std::u16string& defaultValue);
  // A section of settings.ini other than "Settings" (such as "Transfer"), as
  // the file holds it now: read under "SettingsFile" each time, so that a
  // change made meanwhile (vexaro-store set) counts. Empty when the file is
  // missing, cannot be read or its checksum is wrong (Read reports those).
  SectionMap ReadFileSection(const std::u16string& name);
  // Marks the store modified only when the text changes; does not write.
  void SetValue(const std::u16string& key, std::int32_t value);

  // Reads settings.ini under "SettingsFile" (defaults when it is damaged) and
  // writes back what the read changed. True when the file was read intact.
  bool Read();
  // Writes settings.ini when modified, then counts the write in
  // "settingsversion". Sections other than "Settings" are this program's
  // only to read: they are written back as the file holds them at that
  // moment. False when "SettingsFile" could not be taken (the
  // change stays pending), when the file was never read and still cannot be
  // (it is not written over), or when the write failed (not retried).
  bool Write();
  void SetDefaults();
  // Adds one to a decimal counter of settings_tab.ini and saves it.
  void IncrementCounter(const std::u16string& key);
  // Stores key=value in the error record unless the key is already there.
  void RecordError(const std::u16string& key, const std::u16string& value);

  // Copies, for tools and tests.
  SectionMap GetErrors();
  SectionMap GetTabSettings();

  // The settings_tab.ini half; callers hold "SettingsFileTab". TabWrite()
  // writes nothing (false) unless the last TabRead() read the file or found
  // it missing: a file that could not be read is never written over.
  bool TabRead();   // SettingsTab::Read
  bool TabWrite();  // SettingsTab::Write
  void TabSetDefaults();  // SettingsTab::SetDefaults

 private:
  Settings();
  // Reads settings.ini into the store (defaults when damaged, obsolete keys
  // dropped, "pluginid" renamed), for a caller holding "SettingsFile". True
  // when the file was read intact, so that what the read changed is written.
  bool LoadSettingsFile();

  SectionMap settingsMap_;
  std::atomic<bool> settingsModified_{false};
  IniFile settingsFile_;
  std::atomic<bool> tabModified_{false};
  SectionMap tabSettingsMap_;
  SectionMap errorsMap_;
  IniFile tabFile_;
  // settings.ini was read (intact or damaged) or is known to be missing.
  // Until then Write() reads it first instead of writing over a file whose
  // content this process never saw; unsavedValues_ holds what SetValue()
  // stored meanwhile, to be applied over what that read finds.
  bool settingsLoaded_ = false;
  SectionMap unsavedValues_;
  // settings_tab.ini: the maps hold what the last read found (or the file is
  // missing). After a read that failed otherwise nothing is written; error
  // records and counts made meanwhile wait here and are applied over what
  // the next good read finds.
  bool tabReadable_ = false;
  SectionMap unsavedErrors_;
  std::map<std::u16string, std::uint32_t> unsavedCounts_;

  void AddToCounter(const std::u16string& key, std::uint32_t count);
};

// Names in the design's Class::Method form.
namespace SettingsTab {
inline bool Read() { return Settings::GetInstance()->TabRead(); }
inline bool Write() { return Settings::GetInstance()->TabWrite(); }
inline void SetDefaults() { Settings::GetInstance()->TabSetDefaults(); }
}  // namespace SettingsTab

// The one failure report of the program: records the number as "%u" under the
// key "%2.2d%2.2d" of group and point, keeping the first number per key. The
// text names the failure site and is not stored. Reports made by the thread
// that constructs the store are recorded as soon as it exists; other reports
// before that are dropped, and so are reports raised while the same thread is
// already recording one (so a broken settings_tab.ini cannot recurse). A
// failed or timed-out wait for "SettingsFileTab" (1383, 1384) is not recorded:
// recording it would wait for that same lock again.
void ReportError(std::uint32_t error, int group, int point, const char16_t* text);
// Reports each place the runtime folder could not use (platform/
// RuntimeFolder.h) once per process, as soon as reports are recorded.
void ReportRuntimeFolderProblems();
// The same for one entry of the table in ErrorSites.h.
inline void ReportError(std::uint32_t error, const ErrorSite& site) {
  ReportError(error, site.group, site.point, site.text);
}

}  // namespace settings
