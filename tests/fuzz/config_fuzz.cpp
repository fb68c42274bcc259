// Any bytes as config.ini, read through the Config store from a real file.
// Every MIME type of a format section must be found with the values of the
// last section that lists it; every offer built for such a type must keep the
// filter's invariants, in a buffer of the launch sequence's size and in a
// small one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "config/Config.h"
#include "settings/IniFile.h"

namespace {

std::string configPath;

bool StartsWith(const std::u16string& text, std::u16string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::u16string> Pieces(const std::u16string& list) {
  std::vector<std::u16string> pieces;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(u';', start);
    if (end == std::u16string::npos) end = list.size();
    if (end > start) pieces.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

std::u16string ValueOf(const settings::SectionMap& section, const std::u16string& key) {
  const auto found = section.find(key);
  return found == section.end() ? std::u16string() : found->second;
}

void CheckOffer(config::Config& store, const config::FormatEntry& entry, std::size_t capacity) {
  // Exactly capacity units, so a write past them is an AddressSanitizer report.
  const std::unique_ptr<char16_t[]> filter(new char16_t[capacity]());
  std::vector<config::SaveChoice> choices;
  const std::int32_t native = store.BuildSaveFilter(filter.get(), capacity, entry, choices);
  fuzzsupport::CheckSaveFilter(filter.get(), capacity, choices, 0, native);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::UsePrivateDataHome();
  configPath = fuzzsupport::DataFile("config.ini");
  config::Config::GetInstance(false);  // no file yet: nothing is created
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::WriteBytes(configPath, data, size);
  config::Config& store = *config::Config::GetInstance(false);
  store.Read();

  // What the file says, read on its own.
  settings::IniFile file(fuzzsupport::DataFile16("config.ini"), false);
  FUZZ_CHECK(file.Read());
  std::map<std::u16string, settings::SectionMap> lastSectionOf;
  for (const std::u16string& name : file.SectionNames()) {
    if (StartsWith(name, u"category") || !StartsWith(name, u"format")) continue;
    const settings::SectionMap section = file.GetSection(name);
    for (const std::u16string& type : Pieces(ValueOf(section, u"type"))) lastSectionOf[type] = section;
  }

  std::size_t offers = 0;
  for (const auto& [type, section] : lastSectionOf) {
    config::FormatEntry entry;
    FUZZ_CHECK(store.FindFormat(type, entry));
    FUZZ_CHECK(entry.mimeType == type);
    FUZZ_CHECK(entry.category == ValueOf(section, u"category"));
    FUZZ_CHECK(entry.conversions == ValueOf(section, u"conversions"));
    const std::u16string& category = entry.category;
    if (StartsWith(category, u"category") && file.SectionNames().count(category) != 0) {
      FUZZ_CHECK(entry.name == category);
      FUZZ_CHECK(entry.extension == ValueOf(file.GetSection(category), u"extension"));
    } else {
      FUZZ_CHECK(entry.name.empty() && entry.extension.empty() && entry.ffmpeg.empty());
    }
    if (offers++ < 4) {
      CheckOffer(store, entry, config::kSaveFilterLength);
      CheckOffer(store, entry, 1 + (size + offers * 7) % 64);
    }
  }

  const std::vector<std::u16string> extensions = store.GetExtensions();
  for (std::size_t i = 0; i < extensions.size(); ++i) {
    FUZZ_CHECK(std::find(extensions.begin() + i + 1, extensions.end(), extensions[i]) == extensions.end());
  }
  for (const auto& [site, text] : file.GetSection(u"titles")) {
    config::TitleRule rule;
    FUZZ_CHECK(store.FindTitleRule(site, rule));
  }
  return 0;
}
