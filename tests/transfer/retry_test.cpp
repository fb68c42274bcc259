// The rules behind retries and resumes, on their own: pauses, the header
// values they read, the bytes-on-disk bookkeeping and the settings.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "transfer/HttpAnswer.h"
#include "transfer/ResumeState.h"
#include "transfer/Retry.h"
#include "transfer/TransferOptions.h"

namespace {

using namespace std::chrono_literals;
using transfer::ByteRange;
using transfer::ContentRange;
using transfer::RangeSet;

TEST(RetryPause, DoublesFromOneSecondUpToAMinute) {
  std::vector<long long> pauses;
  for (std::uint32_t failures = 1; failures <= 9; ++failures) {
    pauses.push_back(std::chrono::duration_cast<std::chrono::seconds>(transfer::RetryPause(failures, {})).count());
  }
  EXPECT_EQ(pauses, (std::vector<long long>{1, 2, 4, 8, 16, 32, 60, 60, 60}));
  EXPECT_EQ(transfer::RetryPause(3, 2u), 2s);
  EXPECT_EQ(transfer::RetryPause(1, 0u), 0s);
  EXPECT_EQ(transfer::RetryPause(1, 3600u), 60s);
  EXPECT_EQ(transfer::RetryPause(1000000, {}), 60s);
}

TEST(TransientStatus, OnlyTheNotNowOnes) {
  for (const long status : {408, 429, 500, 502, 503, 504}) EXPECT_TRUE(transfer::IsTransientStatus(status)) << status;
  for (const long status : {200, 206, 301, 400, 401, 403, 404, 410, 416, 501, 505}) {
    EXPECT_FALSE(transfer::IsTransientStatus(status)) << status;
  }
}

struct RetryAfterCase {
  const char* value;
  std::optional<std::uint32_t> seconds;
};

TEST(RetryAfter, SecondsOrADateFromNow) {
  // Wed, 21 Oct 2015 07:28:00 GMT
  const std::time_t date = 1445412480;
  const RetryAfterCase cases[] = {
      {"120", 120u},
      {" 5 ", 5u},
      {"0", 0u},
      {"99999999999", UINT32_MAX},
      {"Wed, 21 Oct 2015 07:28:00 GMT", 30u},
      {"Wed, 21 Oct 2015 07:27:00 GMT", 0u},  // already past
      {"soon", std::nullopt},
      {"", std::nullopt},
      {"-5", std::nullopt},
      {"12abc", std::nullopt},
  };
  for (const RetryAfterCase& c : cases) EXPECT_EQ(transfer::ParseRetryAfter(c.value, date - 30), c.seconds) << c.value;
}

struct ContentRangeCase {
  const char* value;
  std::optional<ContentRange> expected;
};

TEST(ContentRangeHeader, ParsesOneRangeOf64BitCounts) {
  const ContentRangeCase cases[] = {
      {"bytes 0-499/1234", ContentRange{0, 499, 1234u}},
      {"bytes 500-999/*", ContentRange{500, 999, std::nullopt}},
      {"bytes 5000000000-5000000999/6000000000", ContentRange{5000000000u, 5000000999u, 6000000000u}},
      {"  bytes 1-1/2\r\n", ContentRange{1, 1, 2u}},
      {"bytes */1234", std::nullopt},
      {"bytes 10-5/100", std::nullopt},
      {"bytes 0-100/100", std::nullopt},
      {"items 0-1/2", std::nullopt},
      {"bytes 0-1", std::nullopt},
      {"bytes a-1/2", std::nullopt},
      {"bytes 0-99999999999999999999999/*", std::nullopt},
  };
  for (const ContentRangeCase& c : cases) {
    const auto parsed = transfer::ParseContentRange(c.value);
    ASSERT_EQ(parsed.has_value(), c.expected.has_value()) << c.value;
    if (!parsed) continue;
    EXPECT_EQ(parsed->first, c.expected->first) << c.value;
    EXPECT_EQ(parsed->last, c.expected->last) << c.value;
    EXPECT_EQ(parsed->total, c.expected->total) << c.value;
  }
}

// An answer's header lines as libcurl hands them over, one by one.
TEST(HttpAnswerLines, KeepWhatTheTransferDecidesBy) {
  const std::time_t now = 1700000000;
  transfer::HttpAnswer a;
  for (const char* line : {"HTTP/1.1 206 Partial Content\r\n", "content-RANGE:  bytes 10-19/100 \r\n",
                           "Content-Length: 10\r\n", "ACCEPT-RANGES: Bytes\r\n", "ETag: \"v1\"\r\n",
                           "Last-Modified:\tMon, 01 Jan 2024 10:00:00 GMT\r\n", "Retry-After: 7\r\n",
                           "X-Other: a:b\r\n", "no colon here\r\n", "\r\n"}) {
    a.Read(line, now);
  }
  ASSERT_TRUE(a.contentRange);
  EXPECT_EQ(a.contentRange->first, 10u);
  EXPECT_EQ(a.contentRange->last, 19u);
  EXPECT_EQ(a.contentRange->total, 100u);
  EXPECT_EQ(a.contentLength, 10u);
  EXPECT_TRUE(a.acceptRanges);
  EXPECT_EQ(a.etag, "\"v1\"");
  EXPECT_EQ(a.lastModified, "Mon, 01 Jan 2024 10:00:00 GMT");
  EXPECT_EQ(a.retryAfter, 7u);
  EXPECT_FALSE(a.location);
  EXPECT_EQ(a.status, 0) << "the status is the caller's, from libcurl";

  // A later line of a name replaces an earlier one; what cannot be read
  // leaves the field empty rather than guessed.
  struct Case {
    const char* line;
    std::optional<std::uint64_t> length;
    bool ranges;
    bool location;
  };
  const Case cases[] = {
      {"Content-Length: 5000000000", 5000000000u, true, false},
      {"Content-Length: +5", std::nullopt, true, false},
      {"Content-Length: -1", std::nullopt, true, false},
      {"Content-Length: 12345678901234567890", std::nullopt, true, false},
      {"Content-Length:", std::nullopt, true, false},
      {"Content-Length: 1 2", std::nullopt, true, false},
      {"Accept-Ranges: none", std::nullopt, false, false},
      {"Location: /elsewhere", std::nullopt, false, true},
      {"Location:   ", std::nullopt, false, false},
  };
  for (const Case& c : cases) {
    a.Read(c.line, now);
    EXPECT_EQ(a.contentLength, c.length) << c.line;
    EXPECT_EQ(a.acceptRanges, c.ranges) << c.line;
    EXPECT_EQ(a.location, c.location) << c.line;
  }
  a.Read("Content-Range: bytes 5-1/10", now);
  EXPECT_FALSE(a.contentRange);
  a.Read("Retry-After: soon", now);
  EXPECT_FALSE(a.retryAfter);
}

TEST(Etag, OnlyAStrongOneIsKept) {
  EXPECT_EQ(transfer::StrongEtag("\"abc\""), "\"abc\"");
  EXPECT_EQ(transfer::StrongEtag(" \"x\" "), "\"x\"");
  EXPECT_EQ(transfer::StrongEtag("W/\"abc\""), "");
  EXPECT_EQ(transfer::StrongEtag("abc"), "");
  EXPECT_EQ(transfer::StrongEtag("\""), "");
}

TEST(RetryText, FillsTheMarkersOrKeepsTheNumbersBesideAKey) {
  EXPECT_EQ(transfer::RetryText(u"Retrying in %1 s (attempt %2 of %3)", 4, 2, 5), u"Retrying in 4 s (attempt 2 of 5)");
  EXPECT_EQ(transfer::RetryText(u"%1 \u79D2\u5F8C (%3 \u56DE\u4E2D %2)", 10, 3, 7), u"10 \u79D2\u5F8C (7 \u56DE\u4E2D 3)");
  // A number is never read as a marker; an unknown marker stays as written.
  EXPECT_EQ(transfer::RetryText(u"%1 %2 %4", 12, 3, 5), u"12 3 %4");
  EXPECT_EQ(transfer::RetryText(u"MANAGER_STATUS_RETRYING", 4, 2, 5), u"MANAGER_STATUS_RETRYING 4 s (2/5)");
}

struct RangeCase {
  const char* name;
  std::vector<ByteRange> added;
  std::vector<ByteRange> held;
};

TEST(RangeSetTest, KeepsSortedDisjointRanges) {
  const RangeCase cases[] = {
      {"Apart", {{10, 20}, {0, 5}}, {{0, 5}, {10, 20}}},
      {"Touching", {{0, 5}, {5, 10}}, {{0, 10}}},
      {"Overlapping", {{0, 6}, {4, 10}}, {{0, 10}}},
      {"Bridging", {{0, 2}, {4, 6}, {8, 10}, {1, 9}}, {{0, 10}}},
      {"Inside", {{0, 10}, {3, 4}}, {{0, 10}}},
      {"Empty", {{5, 5}}, {}},
  };
  for (const RangeCase& c : cases) {
    RangeSet set;
    for (const ByteRange& r : c.added) set.Add(r.begin, r.end);
    EXPECT_EQ(set.Ranges(), c.held) << c.name;
  }

  RangeSet set;
  set.Add(2, 4);
  set.Add(6, 8);
  EXPECT_EQ(set.Total(), 4u);
  EXPECT_EQ(set.Gaps(10), (std::vector<ByteRange>{{0, 2}, {4, 6}, {8, 10}}));
  EXPECT_EQ(set.Gaps(7), (std::vector<ByteRange>{{0, 2}, {4, 6}}));
  EXPECT_TRUE(set.Covers(6, 8));
  EXPECT_TRUE(set.Covers(3, 3));
  EXPECT_FALSE(set.Covers(3, 7));
  EXPECT_FALSE(set.Covers(0, 1));
  EXPECT_EQ(set.PrefixEnd(), 0u);
  set.Add(0, 2);
  EXPECT_EQ(set.PrefixEnd(), 4u);
}

struct OptionsCase {
  const char* name;
  settings::SectionMap section;
  std::uint32_t connections;
  std::uint32_t tries;
  std::uint32_t stallMs;
};

TEST(TransferOptionsTest, DefaultsBoundsAndWhatIsNoNumber) {
  const OptionsCase cases[] = {
      {"Absent", {}, 4, 5, 60000},
      {"Given", {{u"connections", u"8"}, {u"tries", u"3"}, {u"stalltime", u"20"}}, 8, 3, 20000},
      {"Blanks", {{u"connections", u" 2 "}}, 2, 5, 60000},
      {"BelowTheBounds", {{u"connections", u"0"}, {u"tries", u"0"}, {u"stalltime", u"0"}}, 1, 1, 1000},
      {"AboveTheBounds", {{u"connections", u"17"}, {u"tries", u"1000"}, {u"stalltime", u"99999999999"}}, 16, 100,
       3600000},
      {"NotNumbers", {{u"connections", u"four"}, {u"tries", u"-1"}, {u"stalltime", u"1.5"}}, 4, 5, 60000},
  };
  for (const OptionsCase& c : cases) {
    const transfer::TransferOptions options = transfer::ParseTransferOptions(c.section);
    EXPECT_EQ(options.connections, c.connections) << c.name;
    EXPECT_EQ(options.tries, c.tries) << c.name;
    EXPECT_EQ(options.stallMs, c.stallMs) << c.name;
  }
}

TEST(PartPath, BesideTheFileItBecomes) {
  EXPECT_EQ(transfer::PartPathFor(u"/home/u/Music/clip.flv"), u"/home/u/Music/clip.flv.vxpart");
  const transfer::ResumeState state = transfer::FreshState(u"http://h/a", u"/c/vx_1A.flv");
  EXPECT_EQ(state.partPath, u"/c/vx_1A.flv.vxpart");
  EXPECT_FALSE(state.partOnDisk);
  EXPECT_FALSE(state.CanContinue());
}

}  // namespace
