#include "startup/Handoff.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using startup::HandoffInbox;
using startup::HandoffRecord;
using startup::ManagedDownload;
using startup::RecordReader;

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
  const std::vector<HandoffRecord> records = startup::MakeHandoffRecords(Sample());
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
  const std::vector<HandoffRecord> records = startup::MakeHandoffRecords(agreed);
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
    for (const HandoffRecord& r : startup::MakeHandoffRecords(expected)) {
      startup::ApplyRecord(rebuilt, r.kind, r.payload);
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
  startup::ApplyRecord(d, 3, std::string("\x01\x02\x03", 3));
  EXPECT_EQ(d.size, -5) << "a size shorter than 4 bytes is ignored";
  startup::ApplyRecord(d, 0, std::string("a\0b", 3));
  EXPECT_EQ(d.url, u"a") << "the odd last byte is dropped";
  startup::ApplyRecord(d, 8, "xx");
  EXPECT_FALSE(d.replaceTarget) << "flags shorter than 4 bytes are ignored";
  startup::ApplyRecord(d, 9, "xxxx");
  startup::ApplyRecord(d, 6, "xx");
  EXPECT_EQ(d.url, u"a");
}

TEST(RecordReader, SplitsAStreamFedInAnyPiecesAndRefusesOversizedRecords) {
  std::string stream;
  for (const HandoffRecord& r : startup::MakeHandoffRecords(Sample())) stream += startup::EncodeRecord(r);
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

  RecordReader reader;
  HandoffRecord atLimit{0, std::string(startup::kMaxRecordPayload, 'x')};
  reader.Feed(startup::EncodeRecord(atLimit));
  HandoffRecord r;
  EXPECT_TRUE(reader.Next(r));
  // A header announcing 64 KiB + 1 is refused before any payload arrives.
  reader.Feed(std::string("\x00\x00\x00\x00\x01\x00\x01\x00", 8));
  EXPECT_FALSE(reader.Next(r));
  EXPECT_TRUE(reader.Failed());
  reader.Feed(startup::EncodeRecord({0, "ab"}));
  EXPECT_FALSE(reader.Next(r)) << "nothing comes out after a refused record";
}

TEST(HandoffInbox, KeepsRecordsUntilAttachedThenReplaysInOrder) {
  HandoffInbox inbox;
  inbox.Deliver(0, "a");
  inbox.Deliver(6, "");
  EXPECT_TRUE(inbox.HoldsCommit());
  std::vector<std::uint32_t> seen;
  inbox.Attach([&seen](std::uint32_t kind, const std::string&) { seen.push_back(kind); });
  inbox.Deliver(7, "b");
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{0, 6, 7}));
  EXPECT_FALSE(inbox.HoldsCommit());
  inbox.Detach();
  inbox.Deliver(1, "c");
  EXPECT_EQ(seen.size(), 3u);
}

TEST(HandoffInbox, TakesTheFirstHandedOverDownloadAndKeepsTheRest) {
  HandoffInbox inbox;
  ManagedDownload none;
  EXPECT_FALSE(inbox.TakeFirstDownload(none));
  ManagedDownload second = Sample();
  second.url = u"http://second";
  for (const HandoffRecord& r : startup::MakeHandoffRecords(Sample())) inbox.Deliver(r.kind, r.payload);
  for (const HandoffRecord& r : startup::MakeHandoffRecords(second)) inbox.Deliver(r.kind, r.payload);

  ManagedDownload first;
  ASSERT_TRUE(inbox.TakeFirstDownload(first));
  EXPECT_EQ(first.url, Sample().url);
  EXPECT_EQ(first.tempPath, Sample().tempPath);
  std::vector<std::uint32_t> rest;
  inbox.Attach([&rest](std::uint32_t kind, const std::string&) { rest.push_back(kind); });
  EXPECT_EQ(rest, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 7, 6}));
}

TEST(HandoffSocketName, DependsOnTheTitleAndFitsASocketPath) {
  const std::string name = startup::HandoffSocketName(u"Vexaro Download Manager");
  EXPECT_EQ(name.size(), 24u);
  EXPECT_EQ(name, startup::HandoffSocketName(u"Vexaro Download Manager"));
  EXPECT_NE(name, startup::HandoffSocketName(u"Vexaro Download-Manager"));
}

}  // namespace
