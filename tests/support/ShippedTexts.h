// Puts the shipped texts (resources/dictionary.ini) into the data folder and
// selects a language, so window tests and pictures show words, not keys.
// Header-only: include it from tests that link vexaro_localisation, after a
// TempDataHome exists.
#pragma once

#include <string>

#include "localisation/Dictionary.h"
#include "localisation/DictionaryText.h"
#include "platform/Text.h"
#include "settings/IniFile.h"
#include "settings/Settings.h"

namespace testsupport {

inline bool InstallShippedTexts(const std::u16string& language = u"en") {
  settings::IniFile shipped(u"", false);
  shipped.Parse(platform::FromUtf8(localisation::ShippedDictionaryText()));
  settings::IniFile file(settings::Settings::GetDataPath(u"dictionary.ini"), false);
  for (const auto& [name, section] : shipped.Sections()) file.SetSection(name, section);
  if (!file.Write()) return false;
  localisation::Dictionary::GetInstance()->SetLanguage(language);
  return true;
}

}  // namespace testsupport
