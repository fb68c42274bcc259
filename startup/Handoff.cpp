#include "startup/Handoff.h"

#include <algorithm>
#include <cstdio>

#include "platform/Text.h"

namespace startup {

namespace {

void PutU32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFFu));
}

std::uint32_t GetU32(std::string_view bytes) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

}  // namespace

std::string HandoffSocketName(const std::u16string& managerTitle) {
  // FNV-1a over the UTF-16LE bytes: stable across builds and machines.
  std::uint64_t hash = 0xCBF29CE484222325ull;
  for (const char16_t unit : managerTitle) {
    for (const unsigned byte : {unit & 0xFFu, static_cast<unsigned>(unit >> 8)}) {
      hash ^= byte;
      hash *= 0x100000001B3ull;
    }
  }
  char name[40];
  std::snprintf(name, sizeof name, "handoff-%016llx", static_cast<unsigned long long>(hash));
  return name;
}

std::vector<HandoffRecord> MakeHandoffRecords(const ManagedDownload& download) {
  std::string size;
  PutU32(size, static_cast<std::uint32_t>(download.size));
  std::vector<HandoffRecord> records{
      {kRecordUrl, platform::ToUtf16LeBytes(download.url)},
      {kRecordTargetPath, platform::ToUtf16LeBytes(download.targetPath)},
      {kRecordConversionArgs, platform::ToUtf16LeBytes(download.conversionArgs)},
      {kRecordSize, size},
      {kRecordCookie, platform::ToUtf16LeBytes(download.cookie)},
      {kRecordTempPath, platform::ToUtf16LeBytes(download.tempPath)},
      {kRecordReferer, platform::ToUtf16LeBytes(download.referer)},
  };
  if (download.replaceTarget) {
    std::string flags;
    PutU32(flags, kFlagReplaceTarget);
    records.push_back({kRecordFlags, flags});
  }
  records.push_back({kRecordCommit, platform::ToUtf16LeBytes(download.referer)});
  return records;
}

std::string EncodeRecord(const HandoffRecord& record) {
  std::string bytes;
  bytes.reserve(kRecordHeaderSize + record.payload.size());
  PutU32(bytes, record.kind);
  PutU32(bytes, static_cast<std::uint32_t>(record.payload.size()));
  bytes += record.payload;
  return bytes;
}

std::string EncodeAnswer() {
  std::string bytes;
  PutU32(bytes, kAnswerHandled);
  return bytes;
}

void ApplyRecord(ManagedDownload& download, std::uint32_t kind, std::string_view payload) {
  switch (kind) {
    case kRecordUrl: download.url = platform::FromUtf16LeBytes(payload); break;
    case kRecordTargetPath: download.targetPath = platform::FromUtf16LeBytes(payload); break;
    case kRecordConversionArgs: download.conversionArgs = platform::FromUtf16LeBytes(payload); break;
    case kRecordSize:
      if (payload.size() >= 4) download.size = static_cast<std::int32_t>(GetU32(payload));
      break;
    case kRecordCookie: download.cookie = platform::FromUtf16LeBytes(payload); break;
    case kRecordTempPath: download.tempPath = platform::FromUtf16LeBytes(payload); break;
    case kRecordReferer: download.referer = platform::FromUtf16LeBytes(payload); break;
    case kRecordFlags:
      if (payload.size() >= 4) download.replaceTarget = (GetU32(payload) & kFlagReplaceTarget) != 0;
      break;
    default: break;
  }
}

void RecordReader::Feed(std::string_view bytes) {
  if (!failed_) buffer_.append(bytes);
}

bool RecordReader::Next(HandoffRecord& record) {
  if (failed_ || buffer_.size() < kRecordHeaderSize) return false;
  const std::uint32_t length = GetU32(std::string_view(buffer_).substr(4, 4));
  if (length > kMaxRecordPayload) {
    failed_ = true;
    buffer_.clear();
    return false;
  }
  if (buffer_.size() < kRecordHeaderSize + length) return false;
  record.kind = GetU32(buffer_);
  record.payload = buffer_.substr(kRecordHeaderSize, length);
  buffer_.erase(0, kRecordHeaderSize + length);
  return true;
}

void HandoffInbox::Deliver(std::uint32_t kind, std::string payload) {
  if (sink_) sink_(kind, payload);
  else kept_.push_back({kind, std::move(payload)});
}

void HandoffInbox::Attach(Sink sink) {
  // The sink may deliver nothing back here, but take the records out first
  // anyway so that a replay never sees a half-consumed queue.
  std::deque<HandoffRecord> replay;
  replay.swap(kept_);
  for (const HandoffRecord& record : replay) sink(record.kind, record.payload);
  sink_ = std::move(sink);
}

void HandoffInbox::Detach() { sink_ = nullptr; }

bool HandoffInbox::HoldsCommit() const {
  return std::any_of(kept_.begin(), kept_.end(),
                     [](const HandoffRecord& record) { return record.kind == kRecordCommit; });
}

bool HandoffInbox::TakeFirstDownload(ManagedDownload& download) {
  if (!HoldsCommit()) return false;
  ManagedDownload assembled;
  while (!kept_.empty()) {
    const HandoffRecord record = std::move(kept_.front());
    kept_.pop_front();
    if (record.kind == kRecordCommit) break;
    ApplyRecord(assembled, record.kind, record.payload);
  }
  download = std::move(assembled);
  return true;
}

}  // namespace startup
