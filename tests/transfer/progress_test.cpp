#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/CommaDecimalLocale.h"
#include "transfer/RecordingRow.h"

namespace {

using testsupport::RecordingRow;
using transfer::kEAbort;
using transfer::kSOk;
using transfer::kStatusDownloadingData;
using transfer::kStatusEndDownloadData;

struct Case {
  const char* name;
  std::uint64_t progress;
  std::uint64_t total;
  std::uint32_t status;
  bool barExists;
  std::vector<std::u16string> details;
  std::vector<int> bars;
  std::vector<std::u16string> statuses;
  int cancelHidden;
};

const Case kCases[] = {
    {"MbExample", 1048576, 5242880, kStatusDownloadingData, true, {u"1.0 of 5.1 Mb"}, {20}, {}, 0},
    {"BytesExample", 800, 800, kStatusDownloadingData, true, {u"800 of 800 bytes"}, {100}, {}, 0},
    {"BytesUpTo1024", 512, 1024, kStatusDownloadingData, true, {u"512 of 1024 bytes"}, {50}, {}, 0},
    {"KbAbove1024", 1025, 1025, kStatusDownloadingData, true, {u"1.0 of 1.0 Kb"}, {100}, {}, 0},
    {"KbUpTo1024000", 1024000, 1024000, kStatusDownloadingData, true, {u"1000.0 of 1000.0 Kb"}, {100}, {}, 0},
    {"MbAbove1024000", 1024001, 1024001, kStatusDownloadingData, true, {u"1.0 of 1.0 Mb"}, {100}, {}, 0},
    {"UnknownTotalLeavesBar", 204800, 0, kStatusDownloadingData, true, {u"0.2 Mb"}, {}, {}, 0},
    {"PastTotalShowsFull", 3000, 1000, kStatusDownloadingData, true, {u"3000 of 1000 bytes"}, {100}, {}, 0},
    {"BeyondFourGiB", 5000000000, 10000000000, kStatusDownloadingData, true, {u"4882.8 of 9765.6 Mb"}, {50}, {}, 0},
    {"PercentWithoutOverflow", 1000000000000000000, 2000000000000000000, kStatusDownloadingData, true,
     {u"976562487296.0 of 1953124974592.0 Mb"}, {50}, {}, 0},
    // Around the largest count whose hundredfold still fits in 64 bits.
    {"PercentLargestPlainProduct", 184467440737095516, 737869762948382064, kStatusDownloadingData, true,
     {u"180143980544.0 of 720575922176.0 Mb"}, {25}, {}, 0},
    {"PercentProductPastSixtyFourBits", 3000000000000000000, 10000000000000000000u, kStatusDownloadingData, true,
     {u"2929687527424.0 of 9765625266176.0 Mb"}, {30}, {}, 0},
    {"PercentOfLargestTotal", 184467440737095517, UINT64_MAX, kStatusDownloadingData, true,
     {u"180143980544.0 of 18014399365120.0 Mb"}, {1}, {}, 0},
    {"Completion", 800, 800, kStatusEndDownloadData, true, {}, {100}, {u"Download completed: /d/clip.flv"}, 1},
    {"BarGoneShowsNothing", 800, 800, kStatusDownloadingData, false, {}, {}, {}, 0},
    {"BarGoneNoCompletion", 800, 800, kStatusEndDownloadData, false, {}, {}, {}, 0},
    {"OtherStatusShowsNothing", 800, 800, 4, true, {}, {}, {}, 0},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class ProgressTest : public ::testing::TestWithParam<Case> {};

TEST_P(ProgressTest, ShowsReport) {
  const Case& c = GetParam();
  RecordingRow row(u"/d/clip.flv");
  row.barExists = c.barExists;
  EXPECT_EQ(row.OnProgress(c.progress, c.total, c.status), kSOk);
  const RecordingRow::Record r = row.Snapshot();
  EXPECT_EQ(r.detailTexts, c.details);
  EXPECT_EQ(r.barPositions, c.bars);
  EXPECT_EQ(r.statusTexts, c.statuses);
  EXPECT_EQ(r.cancelHidden, c.cancelHidden);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgressTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Every row text of the table above, under the comma-decimal locale a Qt
// program on a German desktop runs with, byte for byte as under "C".
TEST(ProgressReport, RowTextsIgnoreACommaDecimalLocale) {
  testsupport::CommaDecimalLocale locale;
  if (!locale.Active()) GTEST_SKIP() << locale.Why();
  for (const Case& c : kCases) {
    RecordingRow row(u"/d/clip.flv");
    row.barExists = c.barExists;
    row.OnProgress(c.progress, c.total, c.status);
    const RecordingRow::Record r = row.Snapshot();
    EXPECT_EQ(r.detailTexts, c.details) << c.name;
    EXPECT_EQ(r.statusTexts, c.statuses) << c.name;
  }
}

TEST(ProgressReport, RewritesDetailOnlyWhenChangedButMovesBarEveryTime) {
  RecordingRow row;
  row.m_ofText = u"von";
  row.OnProgress(50000, 5242880, kStatusDownloadingData);
  row.OnProgress(60000, 5242880, kStatusDownloadingData);
  row.OnProgress(110000, 5242880, kStatusDownloadingData);
  const RecordingRow::Record r = row.Snapshot();
  EXPECT_EQ(r.detailTexts, (std::vector<std::u16string>{u"0.0 von 5.1 Mb", u"0.1 von 5.1 Mb"}));
  EXPECT_EQ(r.barPositions, (std::vector<int>{0, 1, 2}));
}

TEST(ProgressReport, TwoSignalsCancelOnce) {
  RecordingRow row;
  row.m_stopEvent.Set();
  row.m_stopEvent.Set();
  EXPECT_EQ(row.OnProgress(1, 10, kStatusDownloadingData), kEAbort);
  EXPECT_EQ(row.OnProgress(2, 10, kStatusDownloadingData), kSOk);
}

TEST(ProgressReport, SignalSeenAlsoWhenBarIsGoneOrReportIsFinal) {
  // A destroyed row still stops its worker; the final report takes a late
  // signal with it, leaving nothing pending.
  RecordingRow gone;
  gone.barExists = false;
  gone.m_stopEvent.Set();
  EXPECT_EQ(gone.OnProgress(1, 10, kStatusDownloadingData), kEAbort);

  RecordingRow row(u"/d/a.mp4");
  row.m_stopEvent.Set();
  EXPECT_EQ(row.OnProgress(10, 10, kStatusEndDownloadData), kEAbort);
  EXPECT_EQ(row.LastStatus(), u"Download completed: /d/a.mp4");
  EXPECT_FALSE(row.m_stopEvent.TryWait());
}

}  // namespace
