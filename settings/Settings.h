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

#include <cstdint>
#include <string>

#include "settings/IniFile.h"

namespace settings {

class Settings {
 public:
  // Constructs the store on first call: reads settings.ini (defaults when it
  // is missing or damaged) and writes it back. Never returns null.
  static Settings* GetInstance();
  static bool IsCreated();

  // Data folder + name; creates the data folder on first use. With an empty
  // name, the data folder itself, ending in '/'.
  static std::u16string GetDataPath(const std::u16string& name);
  // Temporary folder + name. The folder is created when missing.
  static std::u16string GetTempPath(const std::u16string& name);
  // A unique name in the temporary folder: prefix (first three characters) +
  // hexadecimal number, with the given extension instead of "tmp". The empty
  // ".tmp" file that reserved the number stays; the returned name does not
  // exist yet (unless extension is empty, when it is that very file).
  static std::u16string GetTempFileName(const std::u16string& prefix,
                                        const std::u16string& extension);

  std::u16string GetValue(const std::u16string& key, const std::u16string& defaultValue);
  // Marks the store modified only when the text changes; does not write.
  void SetValue(const std::u16string& key, std::int32_t value);

  bool Read();
  bool Write();
  void SetDefaults();
  // Adds one to a decimal counter of settings_tab.ini and saves it.
  void IncrementCounter(const std::u16string& key);
  // Stores key=value in the error record unless the key is already there.
  void RecordError(const std::u16string& key, const std::u16string& value);

  // Copies, for tools and tests.
  SectionMap GetErrors();
  SectionMap GetTabSettings();

  // The settings_tab.ini half; callers hold "SettingsFileTab".
  bool TabRead();   // SettingsTab::Read
  bool TabWrite();  // SettingsTab::Write
  void TabSetDefaults();  // SettingsTab::SetDefaults

 private:
  Settings();

  SectionMap settingsMap_;
  bool settingsModified_ = false;
  IniFile settingsFile_;
  bool tabModified_ = false;
  SectionMap tabSettingsMap_;
  SectionMap errorsMap_;
  IniFile tabFile_;
};

// Names in the design's Class::Method form.
namespace SettingsTab {
inline bool Read() { return Settings::GetInstance()->TabRead(); }
inline bool Write() { return Settings::GetInstance()->TabWrite(); }
inline void SetDefaults() { Settings::GetInstance()->TabSetDefaults(); }
}  // namespace SettingsTab

// The one failure report of the program: records the number as "%u" under the
// key "%2.2d%2.2d" of group and point, keeping the first number per key. The
// text names the failure site and is not stored. Does nothing before the
// store exists, and nothing for reports raised while the same thread is
// already recording one (so a broken settings_tab.ini cannot recurse).
void ReportError(std::uint32_t error, int group, int point, const char16_t* text);

}  // namespace settings
