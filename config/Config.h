// The formats the program knows, read from config.ini in the data folder (an
// IniFile without checksum, shared with the add-on).
//
// Sections: "category..." (one target format: "type", "extension",
// "description", "ffmpeg", where "exclude" keeps it out of the conversion
// offer), "format..." (a ";"-list of MIME types in "type", the "category"
// describing them and the ";"-list of category types in "conversions") and
// "titles" (host name = page-title rule). Other sections are ignored; names
// and keys compare exactly.
//
// Calling sequence: GetInstance(true) once from the launch sequence (it writes
// the default config.ini when there is none), then FindFormat,
// BuildSaveFilter and GetExtensions. The instance lives until the process ends
// and is never reloaded.
//
// Locking: the named lock "ConfigFile" guards the file, the config lock (a
// process-wide recursive mutex) guards the instance pointer and the maps.
// Create and Read take the named lock and then the config lock; GetInstance
// holds the config lock around both while it builds the instance, which is
// why that lock must be recursive. Lookups hand out copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "config/SaveFilter.h"

namespace settings {
class IniFile;
}

namespace config {

// One "category..." section.
struct CategoryEntry {
  std::u16string name;  // the section name
  std::u16string type;
  std::u16string extension;
  std::u16string ffmpeg;
  std::u16string description;
};

// What the configuration knows of one MIME type: its format section's values
// and a copy of the category it names (empty fields when there is none).
struct FormatEntry {
  std::u16string mimeType;
  std::u16string conversions;
  std::u16string category;
  std::u16string name;
  std::u16string type;
  std::u16string extension;
  std::u16string ffmpeg;
  std::u16string description;
};

// How the add-on finds a page's title on one site. No operation of this
// program queries it; it is read so that the file round-trips its meaning.
struct TitleRule {
  std::u16string tag;
  std::u16string search;
  std::u16string token;  // backslash-t, -n, -r already turned into TAB, LF, CR
  std::u16string prefix;
  std::u16string suffix;
  std::u16string attr;
  std::vector<std::pair<std::u16string, std::u16string>> attributes;
};

// Converter arguments of the default MP3 category. The bit rate is written
// "160k": ffmpeg refuses the older "160kb" spelling, which existing files may
// still hold and which is read as it stands.
inline constexpr char16_t kDefaultMp3Arguments[] = u"-acodec libmp3lame -ab 160k -ac 2 -ar 44100";

class Config {
 public:
  // The instance of the process, built on the first call: probes config.ini,
  // writes the defaults when it is missing and create is set, then reads it.
  // Later calls return that instance whatever their flag. Never null.
  static Config* GetInstance(bool create);

  // Writes the default config.ini (replacing any file there) and, once it is
  // written, sets "configversion" to 5 in settings.ini. Failures: 2203.
  void Create();
  // Replaces the maps with the content of config.ini. When the file or its
  // lock cannot be had (2204 / 1396..1399) the maps stay as they were; when
  // the lock cannot be had and they hold nothing yet, they get the defaults
  // Create() writes (in memory only), so a start is never left without them
  // by another process that holds the lock.
  void Read();

  // Copies the entry of mimeType (exact, case-sensitive) into entry; false,
  // entry untouched, when the type is unknown.
  bool FindFormat(const std::u16string& mimeType, FormatEntry& entry);
  // The distinct extensions of all categories, in category-name order, each
  // where its first category puts it.
  std::vector<std::u16string> GetExtensions();
  // The title rule stored for a site key; false when there is none.
  bool FindTitleRule(const std::u16string& site, TitleRule& rule);

  // Writes the Save-As filter for a download of format native into filter
  // (capacity code units, see SaveFilter.h) and appends one choice per pair
  // to choices. Offers every category whose type is in native.conversions or
  // equals native.extension, labelled "type - description" and sorted by that
  // label, except those whose converter arguments are "exclude" (the native
  // category itself is offered anyway). When the text does not fit, the list
  // ends after the last whole pair that does, still ended by its extra NUL and
  // still parallel to choices. Returns the 1-based index of the native pair,
  // 1 when no pair is native.
  std::int32_t BuildSaveFilter(char16_t* filter, std::size_t capacity, const FormatEntry& native,
                               std::vector<SaveChoice>& choices);

  // Parses "name=value;name=value" (see Config.cpp for the names it knows).
  static TitleRule ParseTitleRule(const std::u16string& rule);

 private:
  Config() = default;
  // True when config.ini exists, or when its lock cannot be had (then nothing
  // may be written either).
  bool Probe();
  // The sections Create() writes, into file.
  static void SetDefaults(settings::IniFile& file);
  // Replaces the maps with the sections of file.
  void Load(const settings::IniFile& file);

  std::map<std::u16string, FormatEntry> formats_;
  std::map<std::u16string, CategoryEntry> categories_;
  std::map<std::u16string, TitleRule> titles_;
};

}  // namespace config
