// Any bytes as dictionary.ini, read through the Dictionary store from a real
// file, for a language the file has, one it may have and one it lacks. The
// selected language is the one asked for when its section exists, else "en";
// every key of that section looks up one of the section's texts (an old key's
// text may stand in for its current key); a key nobody stores comes back as
// itself.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "localisation/Dictionary.h"
#include "settings/IniFile.h"

namespace {

std::string dictionaryPath;

bool IsTextOf(const settings::SectionMap& section, const std::u16string& text) {
  for (const auto& [key, value] : section) {
    if (value == text) return true;
  }
  return false;
}

void CheckLanguage(const settings::IniFile& file, const std::u16string& code) {
  localisation::Dictionary& dictionary = *localisation::Dictionary::GetInstance();
  dictionary.SetLanguage(code);
  const bool present = file.SectionNames().count(code) != 0;
  const std::u16string expected = present ? code : std::u16string(u"en");
  FUZZ_CHECK(dictionary.Language() == expected);

  const settings::SectionMap section = file.GetSection(expected);
  std::size_t looked = 0;
  for (const auto& [key, value] : section) {
    if (looked++ == 16) break;
    FUZZ_CHECK(IsTextOf(section, dictionary.Lookup(key)));
  }
  const std::u16string absent = u"VEXARO_FUZZ_ABSENT_KEY";
  if (section.count(absent) == 0) FUZZ_CHECK(dictionary.Lookup(absent) == absent);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::UsePrivateDataHome();
  dictionaryPath = fuzzsupport::DataFile("dictionary.ini");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::WriteBytes(dictionaryPath, data, size);
  settings::IniFile file(fuzzsupport::DataFile16("dictionary.ini"), false);
  FUZZ_CHECK(file.Read());

  if (!file.SectionNames().empty()) CheckLanguage(file, *file.SectionNames().rbegin());
  CheckLanguage(file, u"de");
  CheckLanguage(file, u"xx-no-such-language");
  localisation::Dictionary::Destroy();
  return 0;
}
