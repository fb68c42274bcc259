#include "startup/Handoff.h"

#include <algorithm>
#include <cstdio>

#include "platform/RuntimeFolder.h"

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
  return platform::ScopedRuntimeName(name);
}

std::string EncodeRecord(const HandoffRecord& record) {
  std::string bytes;
  bytes.reserve(kRecordHeaderSize + record.payload.size());
  PutU32(bytes, record.kind);
  PutU32(bytes, static_cast<std::uint32_t>(record.payload.size()));
  bytes += record.payload;
  return bytes;
}

std::string EncodeAnswer(std::uint32_t answer) {
  std::string bytes;
  PutU32(bytes, answer);
  return bytes;
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
    buffer_.shrink_to_fit();
    return false;
  }
  if (buffer_.size() < kRecordHeaderSize + length) return false;
  record.kind = GetU32(buffer_);
  record.payload = buffer_.substr(kRecordHeaderSize, length);
  buffer_.erase(0, kRecordHeaderSize + length);
  return true;
}

void HandoffInbox::Deliver(HandoffSender sender, std::uint32_t kind, std::string payload) {
  if (sink_) sink_->Record(sender, kind, payload);
  else kept_.push_back({sender, false, {kind, std::move(payload)}});
}

void HandoffInbox::End(HandoffSender sender) {
  if (sink_) sink_->SenderEnded(sender);
  else kept_.push_back({sender, true, {}});
}

void HandoffInbox::Attach(HandoffSink* sink) {
  // Take the records out first, so that a replay never sees a half-consumed
  // queue.
  std::deque<Kept> replay;
  replay.swap(kept_);
  for (const Kept& kept : replay) {
    if (kept.ended) sink->SenderEnded(kept.sender);
    else sink->Record(kept.sender, kept.record.kind, kept.record.payload);
  }
  sink_ = sink;
}

void HandoffInbox::Detach() { sink_ = nullptr; }

bool HandoffInbox::HoldsCommit() const {
  return std::any_of(kept_.begin(), kept_.end(),
                     [](const Kept& kept) { return !kept.ended && kept.record.kind == transfer::kRecordCommit; });
}

bool HandoffInbox::TakeFirstDownload(ManagedDownload& download) {
  const auto commit = std::find_if(kept_.begin(), kept_.end(), [](const Kept& kept) {
    return !kept.ended && kept.record.kind == transfer::kRecordCommit;
  });
  if (commit == kept_.end()) return false;
  const HandoffSender sender = commit->sender;
  const auto end = commit + 1;
  ManagedDownload assembled;
  for (auto it = kept_.begin(); it != end; ++it) {
    if (it->sender == sender && !it->ended) transfer::ApplyRecord(assembled, it->record.kind, it->record.payload);
  }
  std::deque<Kept> rest;
  for (auto it = kept_.begin(); it != kept_.end(); ++it) {
    if (it >= end || it->sender != sender) rest.push_back(std::move(*it));
  }
  kept_.swap(rest);
  download = std::move(assembled);
  return true;
}

}  // namespace startup
