#include "config/Config.h"

#include "config/ConfigInternal.h"
#include "platform/Errors.h"
#include "platform/File.h"
#include "settings/IniFile.h"
#include "settings/Mutex.h"
#include "settings/Settings.h"

namespace config {

namespace {

Config* instance = nullptr;

constexpr char16_t kConfigFileName[] = u"config.ini";
constexpr char16_t kCategoryPrefix[] = u"category";
constexpr char16_t kFormatPrefix[] = u"format";
constexpr char16_t kTitlesSection[] = u"titles";
constexpr char16_t kTitleMarker[] = u"[TITLE]";
// Written with every new config.ini so the add-on knows which defaults it has.
constexpr std::int32_t kConfigVersion = 5;

struct DefaultFormat {
  const char16_t* section;
  const char16_t* type;
  const char16_t* category;
  const char16_t* conversions;
};

constexpr DefaultFormat kDefaultFormats[] = {
    {u"formatAsf", u"video/x-ms-asf", u"categoryAsf", u"Video;Audio"},
    {u"formatAvi", u"video/avi;video/msvideo;video/x-msvideo", u"categoryAvi", u"Video;Audio"},
    {u"formatFlv", u"video/flv;flv-application/octet-stream;video/x-flv", u"categoryFlv",
     u"Video;Audio"},
    {u"formatMov", u"video/quicktime", u"categoryMov", u"Video;Audio"},
    {u"formatMp3", u"audio/mpeg", u"categoryMp3", u"Audio"},
    {u"formatMp4Audio", u"audio/mp4", u"categoryMp4Audio", u"Audio"},
    {u"formatMp4Video", u"video/mp4", u"categoryMp4Video", u"Video;Audio"},
    {u"formatWav", u"audio/x-wav;audio/wav;audio/wave", u"categoryWav", u"Audio"},
    {u"formatWmv", u"video/x-ms-wmv", u"categoryWmv", u""},
};

struct DefaultCategory {
  const char16_t* section;
  const char16_t* type;
  const char16_t* extension;
  const char16_t* description;
  const char16_t* ffmpeg;
};

constexpr DefaultCategory kDefaultCategories[] = {
    {u"categoryAsf", u"Video", u"asf", u"Advanced Systems Format", u""},
    {u"categoryAvi", u"Video", u"avi", u"Audio Video Interleave", u""},
    {u"categoryFlv", u"Video", u"flv", u"Flash Video", u""},
    {u"categoryMov", u"Video", u"mov", u"QuickTime", u""},
    {u"categoryMp3", u"Audio", u"mp3", u"MP3", kDefaultMp3Arguments},
    {u"categoryMp4Audio", u"Audio", u"mp4", u"MPEG-4 Audio", u"exclude"},
    {u"categoryMp4Video", u"Video", u"mp4", u"MPEG-4 Video", u""},
    {u"categoryWav", u"Audio", u"wav", u"Waveform Audio", u""},
    {u"categoryWmv", u"Video", u"wmv", u"Windows Media Video", u"exclude"},
};

// Page-title rules the add-on applies per video site.
constexpr const char16_t* kDefaultTitles[][2] = {
    {u"www.dailymotion.com", u"tag=title;format=[TITLE]Video"},
    {u"vimeo.com", u"tag=h1"},
    {u"www.metacafe.com", u"tag=h1"},
    {u"www.veoh.com", u"tag=h1"},
    {u"www.mtv.com", u"tag=title;format=[TITLE]MTV"},
    {u"www.ted.com", u"tag=title;format=WWW.TED.COM[TITLE]"},
    {u"www.top-channel.tv", u"tag=span;attr.class=titullmadh"},
    {u"rutube.ru", u"tag=h1;attr.class=video-title;search=<h1;token=\\n"},
    {u"www.youtube.com", u"tag=title;format=YouTube[TITLE]"},
    {u"www.facebook.com", u"tag=title"},
    {u"video.nationalgeographic.com", u"tag=title;format=[TITLE]National Geographic"},
    {u"www.twitch.tv", u"tag=title"},
    {u"www.vevo.com", u"tag=title"},
};

std::u16string ValueOf(const settings::SectionMap& section, const char16_t* key) {
  const auto found = section.find(key);
  return found == section.end() ? std::u16string() : found->second;
}

bool StartsWith(const std::u16string& text, std::u16string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

void ReplaceAll(std::u16string& text, std::u16string_view from, char16_t to) {
  for (std::size_t at = text.find(from); at != std::u16string::npos; at = text.find(from, at + 1)) {
    text.replace(at, from.size(), 1, to);
  }
}

// Lookups hand out copies, taken under the config lock; out stays untouched
// when the key is unknown.
template <typename Value>
bool CopyFound(const std::map<std::u16string, Value>& map, const std::u16string& key, Value& out) {
  std::lock_guard<std::recursive_mutex> guard(ConfigLock());
  const auto found = map.find(key);
  if (found == map.end()) return false;
  out = found->second;
  return true;
}

void CopyCategory(const CategoryEntry& category, FormatEntry& entry) {
  entry.name = category.name;
  entry.type = category.type;
  entry.extension = category.extension;
  entry.ffmpeg = category.ffmpeg;
  entry.description = category.description;
}

}  // namespace

std::recursive_mutex& ConfigLock() {
  static std::recursive_mutex lock;
  return lock;
}

std::vector<std::u16string> SplitList(const std::u16string& text, char16_t separator) {
  std::vector<std::u16string> pieces;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == std::u16string::npos) end = text.size();
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

Config* Config::GetInstance(bool create) {
  std::lock_guard<std::recursive_mutex> guard(ConfigLock());
  if (!instance) {
    Config* config = new Config();
    if (!config->Probe() && create) config->Create();
    config->Read();
    instance = config;
  }
  return instance;
}

bool Config::Probe() {
  settings::Mutex fileLock(settings::kConfigFileLock, settings::kConfigFileErrorBase);
  if (!fileLock.IsLocked()) return true;
  const std::u16string path = settings::Settings::GetDataPath(kConfigFileName);
  if (platform::CanOpen(path, platform::Share::Read)) return true;
  // Only a file that is not there is missing: one we may not read right now
  // (permissions, a folder in its place) must not be replaced by the defaults.
  return platform::LastError() != platform::kErrFileNotFound;
}

void Config::Create() {
  settings::Mutex fileLock(settings::kConfigFileLock, settings::kConfigFileErrorBase);
  if (!fileLock.IsLocked()) return;

  settings::IniFile file(settings::Settings::GetDataPath(kConfigFileName), false);
  {
    std::lock_guard<std::recursive_mutex> guard(ConfigLock());
    SetDefaults(file);
  }

  if (file.Write()) {
    settings::Settings* store = settings::Settings::GetInstance();
    store->SetValue(u"configversion", kConfigVersion);
    store->Write();
  } else {
    settings::ReportError(file.LastError(), settings::errors::kConfigWrite);
  }
}

void Config::SetDefaults(settings::IniFile& file) {
  for (const DefaultFormat& format : kDefaultFormats) {
    file.SetSection(format.section,
                    {{u"type", format.type}, {u"category", format.category}, {u"conversions", format.conversions}});
  }
  for (const DefaultCategory& category : kDefaultCategories) {
    file.SetSection(category.section, {{u"type", category.type},
                                       {u"extension", category.extension},
                                       {u"description", category.description},
                                       {u"ffmpeg", category.ffmpeg}});
  }
  settings::SectionMap titles;
  for (const auto& title : kDefaultTitles) titles[title[0]] = title[1];
  file.SetSection(kTitlesSection, titles);
}

void Config::Read() {
  settings::Mutex fileLock(settings::kConfigFileLock, settings::kConfigFileErrorBase);
  settings::IniFile file(settings::Settings::GetDataPath(kConfigFileName), false);
  if (!fileLock.IsLocked()) {
    std::lock_guard<std::recursive_mutex> guard(ConfigLock());
    // Another process holds config.ini longer than a start waits (a stopped
    // Vexaro, say): knowing no type, the start would drop the user's
    // download without a word, so it offers the shipped formats instead.
    // What was read before stays.
    if (formats_.empty()) {
      SetDefaults(file);
      Load(file);
    }
    return;
  }
  if (!file.Read()) {
    settings::ReportError(file.LastError(), settings::errors::kConfigRead);
    return;
  }
  Load(file);
}

void Config::Load(const settings::IniFile& file) {
  std::lock_guard<std::recursive_mutex> guard(ConfigLock());
  formats_.clear();
  categories_.clear();
  titles_.clear();
  // Names come in ordinal order, and "category" sorts before "format", so
  // every category exists by the time a format section names it.
  for (const std::u16string& name : file.SectionNames()) {
    const settings::SectionMap section = file.GetSection(name);
    if (StartsWith(name, kCategoryPrefix)) {
      categories_[name] = CategoryEntry{name, ValueOf(section, u"type"),
                                        ValueOf(section, u"extension"),
                                        ValueOf(section, u"ffmpeg"),
                                        ValueOf(section, u"description")};
    } else if (StartsWith(name, kFormatPrefix)) {
      FormatEntry entry;
      entry.conversions = ValueOf(section, u"conversions");
      entry.category = ValueOf(section, u"category");
      const auto category = categories_.find(entry.category);
      if (category != categories_.end()) CopyCategory(category->second, entry);
      for (const std::u16string& mimeType : SplitList(ValueOf(section, u"type"), u';')) {
        entry.mimeType = mimeType;
        formats_[mimeType] = entry;
      }
    } else if (name == kTitlesSection) {
      for (const auto& [site, rule] : section) titles_[site] = ParseTitleRule(rule);
    }
  }
}

bool Config::FindFormat(const std::u16string& mimeType, FormatEntry& entry) {
  return CopyFound(formats_, mimeType, entry);
}

std::vector<std::u16string> Config::GetExtensions() {
  std::lock_guard<std::recursive_mutex> guard(ConfigLock());
  std::vector<std::u16string> extensions;
  for (const auto& [name, category] : categories_) {
    bool known = false;
    for (const std::u16string& extension : extensions) known = known || extension == category.extension;
    if (!known) extensions.push_back(category.extension);
  }
  return extensions;
}

bool Config::FindTitleRule(const std::u16string& site, TitleRule& rule) {
  return CopyFound(titles_, site, rule);
}

// Names: "tag", "attr", "search", "format" (text around the marker "[TITLE]"
// gives prefix and suffix), "token" (with \t, \n, \r escapes) and "attr.NAME"
// (one more attribute pair). A later piece overwrites an earlier one of the
// same name; attribute pairs accumulate; unknown names are ignored.
TitleRule Config::ParseTitleRule(const std::u16string& rule) {
  TitleRule parsed;
  for (const std::u16string& piece : SplitList(rule, u';')) {
    const std::size_t start = piece.find_first_not_of(u'=');
    if (start == std::u16string::npos) continue;
    const std::size_t equals = piece.find(u'=', start);
    const bool hasValue = equals != std::u16string::npos;
    const std::u16string name = piece.substr(start, hasValue ? equals - start : std::u16string::npos);
    const std::u16string value = hasValue ? piece.substr(equals + 1) : std::u16string();

    if (name == u"tag") {
      parsed.tag = value;
    } else if (name == u"attr") {
      parsed.attr = value;
    } else if (name == u"search") {
      parsed.search = value;
    } else if (name == u"format") {
      const std::size_t marker = value.find(kTitleMarker);
      if (marker != std::u16string::npos) {
        if (marker >= 1) parsed.prefix = value.substr(0, marker);
        parsed.suffix = value.substr(marker + std::char_traits<char16_t>::length(kTitleMarker));
      }
    } else if (name == u"token") {
      parsed.token = value;
      ReplaceAll(parsed.token, u"\\t", u'\t');
      ReplaceAll(parsed.token, u"\\n", u'\n');
      ReplaceAll(parsed.token, u"\\r", u'\r');
    } else if (StartsWith(name, u"attr.")) {
      parsed.attributes.emplace_back(name.substr(5), value);
    }
  }
  return parsed;
}

}  // namespace config
