#include "startup/Handoff.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using startup::HandoffInbox;
using startup::HandoffRecord;
using startup::HandoffSender;
using startup::ManagedDownload;
using startup::RecordReader;
using transfer::MakeHandoffRecords;

// Keeps what an inbox passes on, as "sender:kind" and "sender:end".
class RecordingSink : public startup::HandoffSink {
 public:
  std::vector<std::string> seen;
  std::vector<std::string> payloads;
  void Record(HandoffSender sender, std::uint32_t kind, const std::string& payload) override {
    seen.push_back(std::to_string(sender) + ":" + std::to_string(kind));
    payloads.push_back(payload);
  }
  void SenderEnded(HandoffSender sender) override { seen.push_back(std::to_string(sender) + ":end"); }
};

std::string Le16(const std::u16string& text) {
  std::string bytes;
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

ManagedDownload Sample() {
  ManagedDownload d;
  d.url = u"http://127.0.0.1/clip.flv";
  d.targetPath = u"/d/clip.mp3";
  d.conversionArgs = u"-ab 160k";
  d.size = -5;
  d.cookie = u"";
  d.tempPath = u"/c/vx_1A.flv";
  d.referer = u"http://page/\u00e9";
  return d;
}

TEST(HandoffRecords, EightRecordsInSendingOrderWithFourByteSize) {
  const std::vector<HandoffRecord> records = MakeHandoffRecords(Sample());
  std::vector<std::uint32_t> kinds;
  for (const HandoffRecord& r : records) kinds.push_back(r.kind);
  EXPECT_EQ(kinds, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 7, 6}));
  EXPECT_EQ(records[0].payload, Le16(u"http://127.0.0.1/clip.flv"));
  EXPECT_EQ(records[3].payload, std::string("\xFB\xFF\xFF\xFF", 4));
  EXPECT_EQ(records[4].payload, "") << "an empty string travels as an empty payload";
  EXPECT_EQ(records[6].payload, Le16(u"http://page/\u00e9"));
  EXPECT_EQ(records[7].payload, records[6].payload) << "the commit repeats the referer";
}

// The agreement to replace an existing target travels in a flags record
// before the commit, only when given: otherwise the eight records stand.
TEST(HandoffRecords, AgreementToReplaceTravelsBeforeTheCommit) {
  ManagedDownload agreed = Sample();
  agreed.replaceTarget = true;
  const std::vector<HandoffRecord> records = MakeHandoffRecords(agreed);
  std::vector<std::uint32_t> kinds;
  for (const HandoffRecord& r : records) kinds.push_back(r.kind);
  EXPECT_EQ(kinds, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 7, 8, 6}));
  EXPECT_EQ(records[7].payload, std::string("\x01\x00\x00\x00", 4));
}

TEST(HandoffRecords, ApplyingTheRecordsGivesTheDownloadBack) {
  for (const bool replace : {false, true}) {
    SCOPED_TRACE(replace ? "replace agreed" : "no agreement");
    ManagedDownload expected = Sample();
    expected.replaceTarget = replace;
    ManagedDownload rebuilt;
    for (const HandoffRecord& r : MakeHandoffRecords(expected)) {
      transfer::ApplyRecord(rebuilt, r.kind, r.payload);
    }
    EXPECT_EQ(rebuilt.url, expected.url);
    EXPECT_EQ(rebuilt.targetPath, expected.targetPath);
    EXPECT_EQ(rebuilt.conversionArgs, expected.conversionArgs);
    EXPECT_EQ(rebuilt.size, -5);
    EXPECT_EQ(rebuilt.tempPath, expected.tempPath);
    EXPECT_EQ(rebuilt.referer, expected.referer);
    EXPECT_EQ(rebuilt.replaceTarget, replace);
  }
}

TEST(HandoffRecords, MalformedPayloadsChangeNothingOrDropTheOddByte) {
  ManagedDownload d = Sample();
  transfer::ApplyRecord(d, 3, std::string("\x01\x02\x03", 3));
  EXPECT_EQ(d.size, -5) << "a size shorter than 4 bytes is ignored";
  transfer::ApplyRecord(d, 0, std::string("a\0b", 3));
  EXPECT_EQ(d.url, u"a") << "the odd last byte is dropped";
  transfer::ApplyRecord(d, 8, "xx");
  EXPECT_FALSE(d.replaceTarget) << "flags shorter than 4 bytes are ignored";
  transfer::ApplyRecord(d, 9, "xxxx");
  transfer::ApplyRecord(d, 6, "xx");
  EXPECT_EQ(d.url, u"a");
}

TEST(RecordReader, SplitsAStreamFedInAnyPiecesAndRefusesOversizedRecords) {
  std::string stream;
  for (const HandoffRecord& r : MakeHandoffRecords(Sample())) stream += startup::EncodeRecord(r);
  for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{7}, stream.size()}) {
    SCOPED_TRACE(piece);
    RecordReader reader;
    std::vector<HandoffRecord> out;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      reader.Feed(std::string_view(stream).substr(at, piece));
      HandoffRecord r;
      while (reader.Next(r)) out.push_back(r);
    }
    ASSERT_EQ(out.size(), 8u);
    EXPECT_EQ(out[3].payload.size(), 4u);
    EXPECT_EQ(out[7].kind, 6u);
  }

  // Browsers send cookies far beyond 64 KiB: a record of the bound passes.
  EXPECT_GE(startup::kMaxRecordPayload, 1024u * 1024u);
  RecordReader reader;
  HandoffRecord atLimit{0, std::string(startup::kMaxRecordPayload, 'x')};
  reader.Feed(startup::EncodeRecord(atLimit));
  HandoffRecord r;
  EXPECT_TRUE(reader.Next(r));
  EXPECT_EQ(r.payload.size(), startup::kMaxRecordPayload);
  // A header announcing one byte more is refused before any payload arrives.
  std::string header = startup::EncodeRecord({0, ""});
  const std::uint32_t over = startup::kMaxRecordPayload + 1;
  for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<char>((over >> (8 * i)) & 0xFF);
  reader.Feed(header);
  EXPECT_FALSE(reader.Next(r));
  EXPECT_TRUE(reader.Failed());
  reader.Feed(startup::EncodeRecord({0, "ab"}));
  EXPECT_FALSE(reader.Next(r)) << "nothing comes out after a refused record";
}

TEST(HandoffInbox, KeepsRecordsAndEndsUntilAttachedThenReplaysInOrder) {
  HandoffInbox inbox;
  inbox.Deliver(1, 0, "a");
  inbox.Deliver(2, 0, "b");
  inbox.Deliver(1, 6, "");
  inbox.End(2);
  EXPECT_TRUE(inbox.HoldsCommit());
  RecordingSink sink;
  inbox.Attach(&sink);
  inbox.Deliver(1, 7, "c");
  EXPECT_EQ(sink.seen, (std::vector<std::string>{"1:0", "2:0", "1:6", "2:end", "1:7"}));
  EXPECT_EQ(sink.payloads, (std::vector<std::string>{"a", "b", "", "c"}));
  EXPECT_FALSE(inbox.HoldsCommit());
  inbox.Detach();
  inbox.Deliver(1, 1, "c");
  EXPECT_EQ(sink.seen.size(), 5u);
}

// Two senders whose records interleave: the first committed download is the
// committing sender's alone, and everything else stays for the dialog.
TEST(HandoffInbox, TakesTheFirstCommittedDownloadOfItsOwnSender) {
  HandoffInbox inbox;
  ManagedDownload none;
  EXPECT_FALSE(inbox.TakeFirstDownload(none));
  ManagedDownload second = Sample();
  second.url = u"http://second";
  second.targetPath = u"/d/second.flv";
  const std::vector<HandoffRecord> a = MakeHandoffRecords(Sample());
  const std::vector<HandoffRecord> b = MakeHandoffRecords(second);
  for (std::size_t i = 0; i < a.size(); ++i) {
    inbox.Deliver(7, b[i].kind, b[i].payload);
    if (i + 1 < b.size()) inbox.Deliver(3, a[i].kind, a[i].payload);  // 3's commit comes last
  }
  inbox.Deliver(3, a.back().kind, a.back().payload);

  ManagedDownload first;
  ASSERT_TRUE(inbox.TakeFirstDownload(first));
  EXPECT_EQ(first.url, u"http://second") << "sender 7 committed first";
  EXPECT_EQ(first.targetPath, u"/d/second.flv");
  EXPECT_EQ(first.tempPath, Sample().tempPath);
  RecordingSink sink;
  inbox.Attach(&sink);
  std::vector<std::string> expected;
  for (const HandoffRecord& r : a) expected.push_back("3:" + std::to_string(r.kind));
  EXPECT_EQ(sink.seen, expected) << "sender 3's records, untouched";
}

TEST(HandoffSocketName, DependsOnTheTitleAndFitsASocketPath) {
  ::unsetenv("VEXARO_LOCK_SCOPE");
  const std::string name = startup::HandoffSocketName(u"Vexaro Download Manager");
  EXPECT_EQ(name.size(), 24u) << "without a test scope";
  EXPECT_EQ(name, startup::HandoffSocketName(u"Vexaro Download Manager"));
  EXPECT_NE(name, startup::HandoffSocketName(u"Vexaro Download-Manager"));
}

}  // namespace
