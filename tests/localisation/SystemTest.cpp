#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "localisation/Dictionary.h"
#include "settings/Settings.h"
#include "support/ErrorRecord.h"
#include "support/TempFolder.h"

namespace {

struct LocaleCase {
  const char* name;
  const char* lcAll;  // nullptr: unset
  const char* lcMessages;
  const char* lang;
  std::u16string language;
};

void SetOrUnset(const char* variable, const char* value) {
  if (value) ::setenv(variable, value, 1);
  else ::unsetenv(variable);
}

TEST(GetBrowserLang, TakesTheLanguageOfTheFirstLocaleVariableSet) {
  const std::vector<LocaleCase> cases = {
      {"LC_ALL wins", "de_DE.UTF-8", "fr_FR.UTF-8", "es_ES.UTF-8", u"de"},
      {"empty LC_ALL counts as unset", "", "fr_FR.UTF-8", "es_ES.UTF-8", u"fr"},
      {"LANG last", nullptr, nullptr, "pt_BR.UTF-8", u"pt"},
      {"C is English", "C", nullptr, "de_DE.UTF-8", u"en"},
      {"C.UTF-8 is English", nullptr, nullptr, "C.UTF-8", u"en"},
      {"POSIX is English", nullptr, "POSIX", "de_DE.UTF-8", u"en"},
      {"modifier", nullptr, nullptr, "sr_RS@latin", u"sr"},
      {"language only", nullptr, nullptr, "ru", u"ru"},
      {"no language part counts as unset", ".UTF-8", nullptr, "nl_NL", u"nl"},
  };
  for (const LocaleCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetOrUnset("LC_ALL", c.lcAll);
    SetOrUnset("LC_MESSAGES", c.lcMessages);
    SetOrUnset("LANG", c.lang);
    EXPECT_EQ(System::GetBrowserLang(), c.language);
  }
}

TEST(GetBrowserLang, NothingSetGivesEmptyAndIsRecorded) {
  testsupport::TempDataHome home;
  settings::Settings::GetInstance();
  ::unsetenv("LC_ALL");
  ::setenv("LC_MESSAGES", "", 1);
  ::unsetenv("LANG");
  EXPECT_EQ(System::GetBrowserLang(), u"");
  EXPECT_EQ(testsupport::RecordedError(u"0703"), u"2");
}

}  // namespace
