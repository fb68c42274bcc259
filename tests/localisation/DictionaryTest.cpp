#include "localisation/Dictionary.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "localisation/DictionaryText.h"
#include "platform/Text.h"
#include "settings/IniFile.h"
#include "settings/Settings.h"
#include "support/ErrorRecord.h"
#include "support/StoreFile.h"
#include "support/TempFolder.h"

namespace {

using localisation::Dictionary;

class DictionaryTest : public ::testing::Test {
 protected:
  void SetUp() override { settings::Settings::GetInstance(); }
  void TearDown() override { Dictionary::Destroy(); }

  void WriteDictionary(const std::string& text) {
    testsupport::WriteStoreFile(home_.DataFile("dictionary.ini"), text);
  }
  // A fresh instance with the given language selected.
  Dictionary* Load(const std::u16string& language) {
    Dictionary::Destroy();
    Dictionary* dictionary = Dictionary::GetInstance();
    dictionary->SetLanguage(language);
    return dictionary;
  }

  testsupport::TempDataHome home_;
};

TEST_F(DictionaryTest, SelectsTheLanguageOrFallsBackToEnglish) {
  struct Case {
    const char* name;
    const char* file;
    std::u16string requested;
    std::u16string text;  // of MANAGER_STATUS_DONE
    std::u16string language;
  };
  const std::vector<Case> cases = {
      {"german present", "[de]\nMANAGER_STATUS_DONE=Fertig\n[en]\nMANAGER_STATUS_DONE=Done\n",
       u"de", u"Fertig", u"de"},
      {"german missing", "[en]\nMANAGER_STATUS_DONE=Done\n", u"de", u"Done", u"en"},
      {"codes are case-sensitive", "[de]\nMANAGER_STATUS_DONE=Fertig\n[en]\nMANAGER_STATUS_DONE=Done\n",
       u"DE", u"Done", u"en"},
      {"failed language query", "[de]\nMANAGER_STATUS_DONE=Fertig\n[en]\nMANAGER_STATUS_DONE=Done\n",
       u"", u"Done", u"en"},
      {"neither language nor english", "[fr]\nMANAGER_STATUS_DONE=Terminé\n", u"de",
       u"MANAGER_STATUS_DONE", u"en"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteDictionary(c.file);
    Dictionary* dictionary = Load(c.requested);
    EXPECT_EQ(dictionary->Lookup(u"MANAGER_STATUS_DONE"), c.text);
    EXPECT_EQ(dictionary->Language(), c.language);
  }
}

TEST_F(DictionaryTest, OldKeysOverwriteTheirCurrentKeys) {
  WriteDictionary(
      "[en]\nUPDATE=Check for updates\nMENU_UPDATE=Update now\nCANCEL=Stop\n"
      "DOWNLOAD_PROGRESS_TEXT=Please wait\nMENU_FAQ=Questions\n");
  Dictionary* dictionary = Load(u"en");
  EXPECT_EQ(dictionary->Lookup(u"MENU_UPDATE"), u"Check for updates");
  EXPECT_EQ(dictionary->Lookup(u"UPDATE"), u"Check for updates");
  EXPECT_EQ(dictionary->Lookup(u"GENERAL_CANCEL"), u"Stop");
  EXPECT_EQ(dictionary->Lookup(u"DOWNLOAD_PLEASE_WAIT"), u"Please wait");
  EXPECT_EQ(dictionary->Lookup(u"MENU_FAQ"), u"Questions");  // no old key: untouched
}

TEST_F(DictionaryTest, MissingKeyReturnsTheKeyAndRecordsLanguageAndKey) {
  WriteDictionary("[en]\nMANAGER_TITLE=Vexaro Download Manager\n");
  Dictionary* dictionary = Load(u"de");
  EXPECT_EQ(dictionary->Lookup(u"MANAGER_STATUS_DONE"), u"MANAGER_STATUS_DONE");
  // 'e' 'n' 'M' 'A' from the most significant byte down.
  EXPECT_EQ(testsupport::RecordedError(u"1105"), platform::Format("%u", 0x656E4D41u));
}

TEST(DictionaryCode, PacksTwoUnitsOfLanguageAndKey) {
  struct Case {
    const char* name;
    std::u16string language;
    std::u16string key;
    std::uint32_t code;
  };
  const std::vector<Case> cases = {
      {"ascii", u"de", u"MANAGER_TITLE", 0x64654D41u},
      {"one-character key", u"en", u"X", 0x656E5800u},
      {"empty language", u"", u"AB", 0x00004142u},
      // A unit above 255 is shifted and OR-ed as it is: it spills into the
      // byte above and its top byte falls off the 32 bits.
      {"wide unit", u"\u4E2D", u"AB", 0x2D004142u},
      {"wide unit overlaps", u"a\u0262", u"AB", 0x63624142u},  // 'a' | 0x02 reads 'c'
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Dictionary::MissingKeyCode(c.language, c.key), c.code);
  }
}

TEST_F(DictionaryTest, UnreadableFileKeepsWhatWasLoaded) {
  // No file at all: reported with the system's "not found".
  Dictionary* dictionary = Load(u"de");
  EXPECT_EQ(dictionary->Lookup(u"MANAGER_TITLE"), u"MANAGER_TITLE");
  EXPECT_EQ(testsupport::RecordedError(u"1104"), u"2");

  WriteDictionary("[de]\nMANAGER_TITLE=Vexaro Download-Manager\n");
  dictionary->SetLanguage(u"de");
  std::filesystem::remove(home_.DataFile("dictionary.ini"));
  dictionary->SetLanguage(u"fr");
  EXPECT_EQ(dictionary->Lookup(u"MANAGER_TITLE"), u"Vexaro Download-Manager");
  EXPECT_EQ(dictionary->Language(), u"de");
}

TEST_F(DictionaryTest, DestroyStartsOverWithoutTexts) {
  WriteDictionary("[de]\nMANAGER_TITLE=Vexaro Download-Manager\n");
  Load(u"de");
  Dictionary::Destroy();
  Dictionary* fresh = Dictionary::GetInstance();
  EXPECT_EQ(fresh->Language(), u"en");
  EXPECT_EQ(fresh->Lookup(u"MANAGER_TITLE"), u"MANAGER_TITLE");
}

// The texts the program ships: every key it looks up, in every language.
TEST(ShippedDictionary, EveryLanguageHasEveryKey) {
  settings::IniFile shipped(u"", false);
  shipped.Parse(platform::FromUtf8(localisation::ShippedDictionaryText()));
  const std::vector<std::u16string> programKeys = {
      u"DOWNLOAD_FILE_SAVE_TITLE",          u"MANAGER_TITLE",
      u"GENERAL_CANCEL",                    u"MANAGER_DOWNLOAD_FILE",
      u"MANAGER_DOWNLOAD_FILE_TEMP",        u"MANAGER_DOWNLOAD_PROGRESS_TEXT_OF",
      u"MANAGER_STATUS_DOWNLOADING",        u"MANAGER_ERROR_DOWNLOAD_CANCELED",
      u"MANAGER_STATUS_CONVERTING",         u"MANAGER_CONVERSION_CONVERTED_SIZE",
      u"MANAGER_CONVERSION_TIME_ELAPSED",   u"MANAGER_STATUS_DONE",
      u"DOWNLOAD_FILE_STATUS_ERROR_LAUNCH", u"MANAGER_STATUS_RETRYING",
  };
  const settings::SectionMap english = shipped.GetSection(u"en");
  for (const std::u16string& key : programKeys) EXPECT_EQ(english.count(key), 1u) << platform::ToUtf8(key);

  for (const char16_t* language : {u"en", u"de", u"fr", u"es", u"it", u"pt", u"pl", u"ru", u"nl", u"ja", u"zh"}) {
    SCOPED_TRACE(platform::ToUtf8(language));
    ASSERT_EQ(shipped.SectionNames().count(language), 1u);
    const settings::SectionMap section = shipped.GetSection(language);
    EXPECT_EQ(section.size(), english.size());
    for (const auto& [key, text] : english) {
      const auto found = section.find(key);
      ASSERT_NE(found, section.end()) << platform::ToUtf8(key);
      EXPECT_FALSE(found->second.empty()) << platform::ToUtf8(key);
      // The row appends ": " itself.
      EXPECT_NE(found->second.back(), u':') << platform::ToUtf8(key);
    }
  }
}

// The retry line gets its numbers through markers; a translation that lost
// one would hide the seconds, the try or the tries.
TEST(ShippedDictionary, RetryTextKeepsItsThreeMarkers) {
  settings::IniFile shipped(u"", false);
  shipped.Parse(platform::FromUtf8(localisation::ShippedDictionaryText()));
  for (const auto& name : shipped.SectionNames()) {
    const std::u16string text = shipped.GetSection(name)[u"MANAGER_STATUS_RETRYING"];
    for (const char16_t* marker : {u"%1", u"%2", u"%3"}) {
      EXPECT_NE(text.find(marker), std::u16string::npos) << platform::ToUtf8(name) << " lacks " << platform::ToUtf8(marker);
    }
  }
}

}  // namespace

namespace {

// Texts newer than many installed dictionary files: the file's own wording
// first, then the shipped text of the user's language, then English; a miss
// is expected there and not recorded.
TEST_F(DictionaryTest, NewerKeysFallBackToTheShippedTextsThenEnglish) {
  struct Case {
    const char* name;
    const char* file;  // nullptr: no dictionary.ini at all
    std::u16string requested;
    std::u16string text;
  };
  const std::vector<Case> cases = {
      {"the file's own wording", "[de]\nMANAGER_MINIMIZE=Klein machen\n", u"de", u"Klein machen"},
      {"older file, shipped language", "[de]\nMANAGER_STATUS_DONE=Fertig\n", u"de", u"Minimieren"},
      {"no file, shipped language", nullptr, u"ru", u"Свернуть"},
      {"language nobody ships", "[xx]\nMANAGER_STATUS_DONE=x\n", u"xx", u"Minimize"},
      {"failed language query", nullptr, u"", u"Minimize"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(home_.DataFile("dictionary.ini"));
    if (c.file) WriteDictionary(c.file);
    EXPECT_EQ(Load(c.requested)->Lookup(u"MANAGER_MINIMIZE", u"Minimize"), c.text);
  }
  EXPECT_EQ(testsupport::RecordedError(u"1105"), u"(none)");
}

}  // namespace
