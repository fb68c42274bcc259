#include <string>

#include "localisation/Dictionary.h"
#include "platform/Errors.h"
#include "platform/Folders.h"
#include "settings/Settings.h"

namespace System {

namespace {

// "de_DE.UTF-8@euro" -> "de"; the portable locales carry no language and mean
// the untranslated texts.
std::u16string LanguagePart(const std::u16string& locale) {
  const std::u16string language = locale.substr(0, locale.find_first_of(u"_.@"));
  if (language == u"C" || language == u"POSIX") return u"en";
  return language;
}

}  // namespace

std::u16string GetBrowserLang() {
  // The order in which the C library itself decides the language of messages.
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const std::u16string language = LanguagePart(platform::GetEnv(variable));
    if (!language.empty()) return language;
  }
  settings::ReportError(platform::kErrFileNotFound, settings::errors::kLanguageQuery);
  return {};
}

}  // namespace System
