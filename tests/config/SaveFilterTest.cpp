#include "config/SaveFilter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/Config.h"
#include "platform/Text.h"
#include "settings/Settings.h"
#include "support/StoreFile.h"
#include "support/TempFolder.h"

namespace {

using config::Config;
using config::FormatEntry;
using config::SaveChoice;

struct Offered {
  std::u16string text;
  std::u16string pattern;
  std::u16string ffmpeg;
};

// The default offer for a video/x-flv download.
const std::vector<Offered> kFlvOffer = {
    {u"Audio - MP3 (*.mp3)", u".mp3", config::kDefaultMp3Arguments},
    {u"Audio - Waveform Audio (*.wav)", u".wav", u""},
    {u"Video - Advanced Systems Format (*.asf)", u".asf", u""},
    {u"Video - Audio Video Interleave (*.avi)", u".avi", u""},
    {u"Video - Flash Video (*.flv)", u".flv", u""},
    {u"Video - MPEG-4 Video (*.mp4)", u".mp4", u""},
    {u"Video - QuickTime (*.mov)", u".mov", u""},
};

// Code units the first count pairs of an offer take in the filter text.
std::size_t TextSize(const std::vector<Offered>& offer, std::size_t count) {
  std::size_t size = 0;
  for (std::size_t i = 0; i < count; ++i) size += offer[i].text.size() + 1 + offer[i].pattern.size() + 1;
  return size;
}

class SaveFilterTest : public ::testing::Test {
 protected:
  void SetUp() override { settings::Settings::GetInstance(); }

  // The configuration: the defaults, or the given file.
  Config* Load(const std::string& file = "") {
    if (!file.empty()) testsupport::WriteStoreFile(home_.DataFile("config.ini"), file);
    return Config::GetInstance(true);
  }
  FormatEntry Find(const std::u16string& mimeType) {
    FormatEntry entry;
    EXPECT_TRUE(Config::GetInstance(true)->FindFormat(mimeType, entry)) << platform::ToUtf8(mimeType);
    return entry;
  }

  // Builds into a buffer with a guard area behind capacity, and checks what
  // every offer must hold: the pairs parallel to the choices, the list's own
  // NUL right after the last pair, nothing written past capacity.
  std::int32_t Build(const FormatEntry& native, std::size_t capacity) {
    buffer_.assign(capacity + kGuard, u'#');
    choices_.clear();
    const std::int32_t nativeIndex =
        Config::GetInstance(true)->BuildSaveFilter(buffer_.data(), capacity, native, choices_);
    pairs_ = config::SplitSaveFilter(buffer_.data(), capacity);
    EXPECT_EQ(pairs_.size(), choices_.size());
    std::size_t used = 0;
    for (const config::FilterPair& pair : pairs_) used += pair.text.size() + 1 + pair.pattern.size() + 1;
    if (capacity > 0) {
      EXPECT_LT(used, capacity);
      EXPECT_EQ(buffer_[used], u'\0');
    }
    for (std::size_t i = capacity; i < buffer_.size(); ++i) EXPECT_EQ(buffer_[i], u'#') << i;
    return nativeIndex;
  }
  void ExpectOffer(const std::vector<Offered>& offer, std::size_t nativeIndex) {
    ASSERT_EQ(pairs_.size(), offer.size());
    for (std::size_t i = 0; i < offer.size(); ++i) {
      SCOPED_TRACE(platform::ToUtf8(offer[i].text));
      EXPECT_EQ(pairs_[i].text, offer[i].text);
      EXPECT_EQ(pairs_[i].pattern, offer[i].pattern);
      EXPECT_EQ(choices_[i].extension, offer[i].pattern.substr(1));
      EXPECT_EQ(choices_[i].ffmpeg, offer[i].ffmpeg);
      EXPECT_EQ(choices_[i].native, i + 1 == nativeIndex);
    }
  }
  std::int32_t Preselect(const std::u16string& format, std::int32_t nativeIndex) {
    return config::PreselectFilterIndex(buffer_.data(), buffer_.size() - kGuard,
                                        Config::GetInstance(true)->GetExtensions(), format,
                                        nativeIndex);
  }

  static constexpr std::size_t kGuard = 64;
  testsupport::TempDataHome home_;
  std::vector<char16_t> buffer_;
  std::vector<SaveChoice> choices_;
  std::vector<config::FilterPair> pairs_;
};

TEST_F(SaveFilterTest, FlashVideoOffersSevenPairsAndPreselectsByFormatNumber) {
  Load();
  const std::int32_t nativeIndex = Build(Find(u"video/x-flv"), config::kSaveFilterLength);
  EXPECT_EQ(nativeIndex, 5);
  ExpectOffer(kFlvOffer, 5);

  // Extensions: asf avi flv mov mp3 mp4 wav wmv.
  const struct {
    std::u16string format;
    std::int32_t pair;
  } cases[] = {
      {u"", 3},     // reads as 0: asf
      {u"abc", 3},  // non-numeric reads as 0 too
      {u"4", 1},    // mp3
      {u" +4", 1},
      {u"2", 5},    // flv, the native pair
      {u"7", 5},    // wmv is not offered
      {u"-1", 5},
      {u"8", 5},    // past the extension list
      {u"-2", 5},
      {u"99999999999", 5},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Preselect(c.format, nativeIndex), c.pair) << "format \"" << platform::ToUtf8(c.format) << "\"";
  }
}

TEST_F(SaveFilterTest, ExcludedNativeCategoryIsStillOffered) {
  Load();
  EXPECT_EQ(Build(Find(u"audio/mp4"), config::kSaveFilterLength), 2);
  ExpectOffer({{u"Audio - MP3 (*.mp3)", u".mp3", config::kDefaultMp3Arguments},
               {u"Audio - MPEG-4 Audio (*.mp4)", u".mp4", u""},
               {u"Audio - Waveform Audio (*.wav)", u".wav", u""}},
              2);
}

TEST_F(SaveFilterTest, WindowsMediaVideoOffersNothing) {
  Load();
  EXPECT_EQ(Build(Find(u"video/x-ms-wmv"), config::kSaveFilterLength), 1);
  EXPECT_TRUE(choices_.empty());
  EXPECT_EQ(buffer_[0], u'\0');
  EXPECT_EQ(Preselect(u"7", 1), 1);
  EXPECT_EQ(Preselect(u"", 1), 1);
}

TEST_F(SaveFilterTest, FullBufferEndsTheListAfterTheLastWholePair) {
  Load();
  const FormatEntry flv = Find(u"video/x-flv");
  const struct {
    const char* name;
    std::size_t capacity;
    std::size_t pairs;
    std::int32_t nativeIndex;
  } cases[] = {
      {"everything fits exactly", TextSize(kFlvOffer, 7) + 1, 7, 5},
      {"one unit short of the last pair", TextSize(kFlvOffer, 7), 6, 5},
      {"native pair cut off", TextSize(kFlvOffer, 3) + 1, 3, 1},
      {"first pair does not fit", TextSize(kFlvOffer, 1), 0, 1},
      {"room for the end only", 1, 0, 1},
      {"no room at all", 0, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Build(flv, c.capacity), c.nativeIndex);
    ExpectOffer(std::vector<Offered>(kFlvOffer.begin(), kFlvOffer.begin() + c.pairs),
                c.pairs >= 5 ? 5 : 0);
  }
}

TEST_F(SaveFilterTest, ManyCategoriesStayWithinTheLaunchBuffer) {
  std::string file = "[formatBig]\ntype=video/big\ncategory=category00\nconversions=Video\n";
  for (int i = 0; i < 60; ++i) {
    const std::string n = (i < 10 ? "0" : "") + std::to_string(i);
    file += "[category" + n + "]\ntype=Video\nextension=e" + n +
            "\ndescription=Format " + n + " with a description long enough to fill the list\n";
  }
  Load(file);
  EXPECT_EQ(Build(Find(u"video/big"), config::kSaveFilterLength), 1);
  EXPECT_GT(pairs_.size(), 20u);
  EXPECT_LT(pairs_.size(), 60u);
  EXPECT_TRUE(choices_[0].native);
}

TEST_F(SaveFilterTest, OfferFollowsLabelsNotSectionNames) {
  Load(
      "[categoryA]\ntype=Audio\nextension=a1\ndescription=Same\nffmpeg=-first\n"
      "[categoryB]\ntype=Audio\nextension=a2\ndescription=Same\nffmpeg=-second\n"
      "[categoryC]\ntype=Video\nextension=v\ndescription=Clip\n"
      "[formatV]\ntype=x/v\ncategory=categoryC\nconversions=Audio\n");
  // Two categories share a label: the later one is offered. The native
  // category's type is not among the pieces, so no pair is native and the
  // index says 1 all the same; the choice tells the truth.
  EXPECT_EQ(Build(Find(u"x/v"), config::kSaveFilterLength), 1);
  ExpectOffer({{u"Audio - Same (*.a2)", u".a2", u"-second"}}, 0);
}

TEST(PreselectFilterIndex, ComparesPatternsWithoutDotsIgnoringAsciiCase) {
  const char16_t filter[] = u"A (*.MP3)\0.MP3\0B (*.wav)\0..wav\0C (*.\u00C9x)\0.\u00C9X\0";
  const std::vector<std::u16string> extensions = {u"mp3", u"WAV", u"\u00E9x", u"ogg"};
  const struct {
    std::u16string format;
    std::int32_t pair;
  } cases[] = {{u"0", 1}, {u"1", 2}, {u"2", 7}, {u"3", 7}};
  for (const auto& c : cases) {
    EXPECT_EQ(config::PreselectFilterIndex(filter, std::size(filter), extensions, c.format, 7), c.pair)
        << platform::ToUtf8(c.format);
  }
}

TEST(SplitSaveFilter, StopsAtAPairCutOffByTheBufferEnd) {
  // No room for the last pattern's NUL.
  const char16_t filter[] = u"A (*.a)\0.a\0B (*.b)\0.b";
  const std::vector<config::FilterPair> pairs = config::SplitSaveFilter(filter, std::size(filter) - 1);
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(pairs[0].text, u"A (*.a)");
  EXPECT_EQ(pairs[0].pattern, u".a");
}

}  // namespace
