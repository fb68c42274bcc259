#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

#include "platform/Text.h"
#include "support/CommaDecimalLocale.h"

namespace {

using platform::FromUtf8;
using platform::ToUtf8;

TEST(Utf, RoundTripsEveryPlane) {
  const std::u16string text = u"a\u00e9\u4e2d\U0001F600z";
  EXPECT_EQ(ToUtf8(text), "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z");
  EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
}

TEST(Utf, BadInputBecomesReplacementCharacters) {
  EXPECT_EQ(ToUtf8(u"x\xD800y"), "x\xEF\xBF\xBDy");
  EXPECT_EQ(FromUtf8("a\xFF" "b"), u"a\uFFFDb");
  EXPECT_EQ(FromUtf8("\xE4\xB8"), u"\uFFFD\uFFFD");  // truncated sequence
  EXPECT_EQ(FromUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong '/'
}

TEST(Format, PrintfFormsOfTheStores) {
  EXPECT_EQ(platform::Format("%2.2d%2.2d", 7, 4), u"0704");
  EXPECT_EQ(platform::Format("%u", 2147500036u), u"2147500036");
  EXPECT_EQ(platform::Format("Error: %u (0x%8.8x)", 1u, 1u), u"Error: 1 (0x00000001)");
  EXPECT_EQ(platform::Format("%.1f %s %.1f Mb", 1.0f, "\xC3\xA9", 5.12f), u"1.0 \u00e9 5.1 Mb");
  const std::string longText(1000, 'x');
  EXPECT_EQ(platform::Format("%s", longText.c_str()).size(), 1000u);
}

// The process locale (here with "," as its decimal point) changes nothing,
// including in long texts, and is still in force afterwards.
TEST(Format, IgnoresTheProcessLocale) {
  testsupport::CommaDecimalLocale locale;
  if (!locale.Active()) GTEST_SKIP() << locale.Why();
  EXPECT_EQ(platform::Format("%.1f of %.1f Mb", 1.0, 5.12), u"1.0 of 5.1 Mb");
  EXPECT_EQ(platform::Format("%s %.1f", std::string(300, 'x').c_str(), 2.25).substr(300), u" 2.2");
  EXPECT_EQ(platform::Format("%lu", 4294967295ul), u"4294967295");
  char check[8];
  std::snprintf(check, sizeof check, "%.1f", 1.5);
  EXPECT_STREQ(check, "1,5");
}

TEST(Trim, UsesTheCLibrarysWhiteSpace) {
  EXPECT_EQ(platform::Trim(u" \t\r\n\v\fkey = v \u3000"), u"key = v");
  EXPECT_EQ(platform::Trim(u"\u00a0x\u00a0"), u"\u00a0x\u00a0");  // no-break space stays
  EXPECT_EQ(platform::Trim(u"   "), u"");
}

struct NumberCase {
  const char* name;
  std::u16string text;
  std::int32_t asLong;
  std::uint32_t asULong;
};

class Numbers : public ::testing::TestWithParam<NumberCase> {};

TEST_P(Numbers, ReadLikeWcstolAndWcstoul) {
  EXPECT_EQ(platform::ParseLong(GetParam().text), GetParam().asLong);
  EXPECT_EQ(platform::ParseULong(GetParam().text), GetParam().asULong);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Numbers,
    ::testing::Values(NumberCase{"Plain", u"1234", 1234, 1234u},
                      NumberCase{"LeadingBlanksAndPlus", u" \t+42", 42, 42u},
                      NumberCase{"Negative", u"-5", -5, 4294967291u},
                      NumberCase{"StopsAtFirstNonDigit", u"12abc", 12, 12u},
                      NumberCase{"NoDigits", u"abc", 0, 0u},
                      NumberCase{"Empty", u"", 0, 0u},
                      NumberCase{"SignOnly", u"-", 0, 0u},
                      NumberCase{"BlankBetweenSignAndDigits", u"- 5", 0, 0u},
                      NumberCase{"Int32Max", u"2147483647", INT32_MAX, 2147483647u},
                      NumberCase{"AboveInt32", u"2147483648", INT32_MAX, 2147483648u},
                      NumberCase{"Int32Min", u"-2147483648", INT32_MIN, 2147483648u},
                      NumberCase{"BelowInt32", u"-2147483649", INT32_MIN, 2147483647u},
                      NumberCase{"Uint32Max", u"4294967295", INT32_MAX, UINT32_MAX},
                      NumberCase{"AboveUint32", u"4294967296", INT32_MAX, UINT32_MAX},
                      NumberCase{"HugeNegative", u"-99999999999999999999", INT32_MIN, UINT32_MAX},
                      NumberCase{"FullWidthDigitsAreNotDigits", u"\uff11", 0, 0u}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
