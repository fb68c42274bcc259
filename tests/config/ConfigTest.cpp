#include "config/Config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/File.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "settings/IniFile.h"
#include "settings/Settings.h"
#include "support/ErrorRecord.h"
#include "support/StoreFile.h"
#include "support/TempFolder.h"

namespace {

using config::Config;
using config::FormatEntry;
using config::TitleRule;

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { settings::Settings::GetInstance(); }

  void WriteConfig(const std::string& text) {
    testsupport::WriteStoreFile(home_.DataFile("config.ini"), text);
  }

  testsupport::TempDataHome home_;
};

TEST_F(ConfigTest, FirstStartWritesTheDefaults) {
  Config* configuration = Config::GetInstance(true);

  settings::IniFile written(platform::FromUtf8(home_.DataFile("config.ini")), false);
  ASSERT_TRUE(written.Read());
  int formats = 0, categories = 0, others = 0;
  for (const std::u16string& name : written.SectionNames()) {
    if (name.rfind(u"format", 0) == 0) ++formats;
    else if (name.rfind(u"category", 0) == 0) ++categories;
    else ++others;
  }
  EXPECT_EQ(formats, 9);
  EXPECT_EQ(categories, 9);
  EXPECT_EQ(others, 1);
  EXPECT_EQ(written.GetSection(u"titles").size(), 13u);
  // ffmpeg refuses the bit rate "160kb"; new files get "160k".
  EXPECT_EQ(written.GetSection(u"categoryMp3").at(u"ffmpeg"),
            u"-acodec libmp3lame -ab 160k -ac 2 -ar 44100");

  settings::IniFile settingsFile(platform::FromUtf8(home_.DataFile("settings.ini")), true);
  ASSERT_TRUE(settingsFile.Read());
  EXPECT_TRUE(settingsFile.IsValid());
  EXPECT_EQ(settingsFile.GetSection(u"Settings").at(u"configversion"), u"5");
  EXPECT_EQ(settings::Settings::GetInstance()->GetTabSettings().at(u"settingsversion"), u"2");

  FormatEntry wave;
  ASSERT_TRUE(configuration->FindFormat(u"audio/wave", wave));
  EXPECT_EQ(wave.mimeType, u"audio/wave");
  EXPECT_EQ(wave.category, u"categoryWav");
  EXPECT_EQ(wave.conversions, u"Audio");
  EXPECT_EQ(wave.name, u"categoryWav");
  EXPECT_EQ(wave.type, u"Audio");
  EXPECT_EQ(wave.extension, u"wav");
  EXPECT_EQ(wave.description, u"Waveform Audio");
  EXPECT_EQ(wave.ffmpeg, u"");

  const std::vector<std::u16string> extensions = {u"asf", u"avi", u"flv", u"mov",
                                                  u"mp3", u"mp4", u"wav", u"wmv"};
  EXPECT_EQ(configuration->GetExtensions(), extensions);

  TitleRule rule;
  ASSERT_TRUE(configuration->FindTitleRule(u"www.top-channel.tv", rule));
  EXPECT_EQ(rule.tag, u"span");
  ASSERT_EQ(rule.attributes.size(), 1u);
  EXPECT_EQ(rule.attributes[0].second, u"titullmadh");
}

TEST_F(ConfigTest, DefaultMp3ArgumentsConvertWithTheSystemsFfmpeg) {
  Config* configuration = Config::GetInstance(true);
  FormatEntry flv;
  ASSERT_TRUE(configuration->FindFormat(u"video/x-flv", flv));
  char16_t filter[config::kSaveFilterLength] = {};
  std::vector<config::SaveChoice> choices;
  configuration->BuildSaveFilter(filter, config::kSaveFilterLength, flv, choices);
  ASSERT_FALSE(choices.empty());
  ASSERT_EQ(choices[0].extension, u"mp3");

  // The converter command as the conversion runner builds it: input, -y, the
  // chosen arguments, output.
  const std::string output = home_.Root().File("tone.mp3");
  const std::u16string command =
      u"\"/usr/bin/ffmpeg\" -f lavfi -i \"sine=frequency=440:duration=1\" -y " + choices[0].ffmpeg +
      u" \"" + platform::FromUtf8(output) + u"\"";
  platform::Process converter;
  ASSERT_TRUE(converter.Start(command));
  std::uint32_t exitCode = 1;
  ASSERT_EQ(converter.Wait(60000, exitCode), platform::ProcessWait::Exited);
  EXPECT_EQ(exitCode, 0u);
  EXPECT_GT(platform::FileSize(platform::FromUtf8(output)), 0);
}

TEST_F(ConfigTest, ExistingFileIsReadAsItStands) {
  const std::string text =
      "[categoryMp3]\ntype=Audio\nextension=mp3\ndescription=MP3\n"
      "ffmpeg=-acodec libmp3lame -ab 160kb -ac 2 -ar 44100\n\n"
      "[formatMp3]\ntype=audio/mpeg\ncategory=categoryMp3\nconversions=Audio\n";
  WriteConfig(text);
  const std::string before = testsupport::ReadFileBytes(home_.DataFile("config.ini"));
  Config* configuration = Config::GetInstance(true);

  FormatEntry mp3;
  ASSERT_TRUE(configuration->FindFormat(u"audio/mpeg", mp3));
  EXPECT_EQ(mp3.ffmpeg, u"-acodec libmp3lame -ab 160kb -ac 2 -ar 44100");
  FormatEntry wave;
  EXPECT_FALSE(configuration->FindFormat(u"audio/wave", wave));
  EXPECT_EQ(testsupport::ReadFileBytes(home_.DataFile("config.ini")), before);
  settings::IniFile settingsFile(platform::FromUtf8(home_.DataFile("settings.ini")), true);
  ASSERT_TRUE(settingsFile.Read());
  EXPECT_EQ(settingsFile.GetSection(u"Settings").count(u"configversion"), 0u);
}

TEST_F(ConfigTest, WithoutCreateAMissingFileStaysMissing) {
  Config* configuration = Config::GetInstance(false);
  FormatEntry entry;
  EXPECT_FALSE(configuration->FindFormat(u"audio/mpeg", entry));
  EXPECT_FALSE(platform::FileExists(platform::FromUtf8(home_.DataFile("config.ini"))));
  EXPECT_EQ(testsupport::RecordedError(u"2204"), u"2");
  // Later calls return the same instance whatever their flag.
  EXPECT_EQ(Config::GetInstance(true), configuration);
  EXPECT_FALSE(platform::FileExists(platform::FromUtf8(home_.DataFile("config.ini"))));
}

TEST_F(ConfigTest, FileThatCannotBeOpenedIsNotReplacedByTheDefaults) {
  // A link to itself cannot be opened (and root may open anything else): the
  // file is there, so it must be reported rather than overwritten.
  const std::string path = home_.DataFile("config.ini");
  std::filesystem::create_symlink("config.ini", path);
  Config* configuration = Config::GetInstance(true);
  FormatEntry entry;
  EXPECT_FALSE(configuration->FindFormat(u"audio/mpeg", entry));
  EXPECT_TRUE(std::filesystem::is_symlink(path));
  EXPECT_NE(testsupport::RecordedError(u"2204"), u"(none)");
  EXPECT_EQ(testsupport::RecordedError(u"2203"), u"(none)");
}

TEST_F(ConfigTest, ReadsFormatsAndCategoriesBySectionName) {
  struct Lookup {
    std::u16string mimeType;
    bool found;
    std::u16string category;  // expected "category" value
    std::u16string extension;
  };
  struct Case {
    const char* name;
    const char* file;
    std::vector<Lookup> lookups;
  };
  const std::vector<Case> cases = {
      {"category that does not exist",
       "[formatOgg]\ntype=audio/ogg\ncategory=categoryOgg\nconversions=Audio\n",
       {{u"audio/ogg", true, u"categoryOgg", u""}, {u"audio/mpeg", false, u"", u""}}},
      {"empty piece between two types",
       "[categoryA]\ntype=Audio\nextension=a\n[formatA]\ntype=x/one;;x/two\ncategory=categoryA\n",
       {{u"x/one", true, u"categoryA", u"a"}, {u"x/two", true, u"categoryA", u"a"}, {u"", false, u"", u""}}},
      {"MIME types compare case-sensitively",
       "[categoryMp3]\nextension=mp3\n[formatMp3]\ntype=audio/mpeg\ncategory=categoryMp3\n",
       {{u"audio/mpeg", true, u"categoryMp3", u"mp3"}, {u"Audio/MPEG", false, u"", u""}}},
      {"capitalised section names are ignored",
       "[Categoryx]\nextension=x\n[Formatx]\ntype=x/x\ncategory=Categoryx\n"
       "[formaty]\ntype=y/y\ncategory=Categoryx\n",
       {{u"x/x", false, u"", u""}, {u"y/y", true, u"Categoryx", u""}}},
      {"a later format section takes over a MIME type",
       "[categoryA]\nextension=a\n[categoryB]\nextension=b\n"
       "[formatA]\ntype=x/x\ncategory=categoryA\n[formatB]\ntype=x/x\ncategory=categoryB\n",
       {{u"x/x", true, u"categoryB", u"b"}}},
  };
  Config* configuration = Config::GetInstance(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteConfig(c.file);
    configuration->Read();
    for (const Lookup& lookup : c.lookups) {
      SCOPED_TRACE(platform::ToUtf8(lookup.mimeType));
      FormatEntry entry;
      entry.extension = u"untouched";
      ASSERT_EQ(configuration->FindFormat(lookup.mimeType, entry), lookup.found);
      if (!lookup.found) {
        EXPECT_EQ(entry.extension, u"untouched");
        continue;
      }
      EXPECT_EQ(entry.mimeType, lookup.mimeType);
      EXPECT_EQ(entry.category, lookup.category);
      EXPECT_EQ(entry.extension, lookup.extension);
      EXPECT_EQ(entry.ffmpeg, u"");
    }
  }
}

TEST(TitleRule, ParsesNamesAndValues) {
  using Pairs = std::vector<std::pair<std::u16string, std::u16string>>;
  struct Case {
    const char* name;
    std::u16string rule;
    TitleRule expected;
  };
  const std::vector<Case> cases = {
      {"tag and attribute", u"tag=span;attr.class=titullmadh",
       {u"span", u"", u"", u"", u"", u"", Pairs{{u"class", u"titullmadh"}}}},
      {"marker first", u"tag=title;format=[TITLE]MTV", {u"title", u"", u"", u"", u"MTV", u"", {}}},
      {"marker last", u"tag=title;format=YouTube[TITLE]", {u"title", u"", u"", u"YouTube", u"", u"", {}}},
      {"second marker belongs to the suffix", u"format=A[TITLE]B[TITLE]C",
       {u"", u"", u"", u"A", u"B[TITLE]C", u"", {}}},
      {"format without marker", u"format=Title", {}},
      {"name without value empties it", u"tag=h1;tag", {}},
      {"leading = skipped, later = kept", u"==tag=a=b", {u"a=b", u"", u"", u"", u"", u"", {}}},
      {"pieces of = only or empty are ignored", u";;tag=p;===;;", {u"p", u"", u"", u"", u"", u"", {}}},
      {"token escapes", u"token=a\\tb\\nc\\rd\\x", {u"", u"", u"a\tb\nc\rd\\x", u"", u"", u"", {}}},
      {"attributes accumulate", u"attr.id=;attr=v;search=<h1;attr.id=2;bogus=1",
       {u"", u"<h1", u"", u"", u"", u"v", Pairs{{u"id", u""}, {u"id", u"2"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TitleRule rule = Config::ParseTitleRule(c.rule);
    EXPECT_EQ(rule.tag, c.expected.tag);
    EXPECT_EQ(rule.search, c.expected.search);
    EXPECT_EQ(rule.token, c.expected.token);
    EXPECT_EQ(rule.prefix, c.expected.prefix);
    EXPECT_EQ(rule.suffix, c.expected.suffix);
    EXPECT_EQ(rule.attr, c.expected.attr);
    EXPECT_EQ(rule.attributes, c.expected.attributes);
  }
}

}  // namespace
