// The hand-off records: how a later start describes its download to the
// manager dialog of the first instance. The one definition of their kinds and
// of how a payload is read, shared by the sender and the socket (startup/) and
// the dialog (manager/).
//
// A download travels as eight records, in this order, each a kind (the
// dialog's record number) and a payload:
//   0 url, 1 target path, 2 converter arguments, 3 size (4 bytes, signed,
//   little-endian), 4 cookie, 5 temporary path (empty when not converting),
//   7 referer, 6 commit (its payload, the referer again, is ignored).
// Strings are UTF-16LE code units without terminator; an empty string is an
// empty payload. Whoever assembles a download keeps the last value of each
// kind, and a commit starts a download from what it holds.
//
// Qt-free; no state of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace transfer {

inline constexpr std::uint32_t kRecordUrl = 0;
inline constexpr std::uint32_t kRecordTargetPath = 1;
inline constexpr std::uint32_t kRecordConversionArgs = 2;
inline constexpr std::uint32_t kRecordSize = 3;
inline constexpr std::uint32_t kRecordCookie = 4;
inline constexpr std::uint32_t kRecordTempPath = 5;
inline constexpr std::uint32_t kRecordCommit = 6;
inline constexpr std::uint32_t kRecordReferer = 7;
// Flags (u32 LE): bit 0, the user agreed to replace an existing target. Sent
// before the commit only when a flag is set, so a download without one still
// travels as the eight records above; receivers that do not know the kind
// ignore it.
inline constexpr std::uint32_t kRecordFlags = 8;
inline constexpr std::uint32_t kFlagReplaceTarget = 1;

// Who sent a record: records of different senders never mix. The receiver
// numbers its connections; 0 stands for the one sender of the design.
using HandoffSender = std::uint64_t;

// One download as records describe it.
struct HandedDownload {
  std::u16string url;
  std::u16string tempPath;
  std::u16string targetPath;
  std::u16string conversionArgs;
  std::int64_t size = 0;
  std::u16string cookie;
  std::u16string referer;
  // The user agreed to replace an existing file at targetPath.
  bool replaceTarget = false;
};

struct HandoffRecord {
  std::uint32_t kind = 0;
  std::string payload;  // bytes
};

// The payload of a string record, and of a size record (the low 32 bits).
std::string TextPayload(const std::u16string& text);
std::string SizePayload(std::int32_t size);

// The eight records of a download, in sending order (with a flags record
// before the commit when a flag is set). The size record carries the low 32
// bits of size, as the dialog's size field is 32-bit.
std::vector<HandoffRecord> MakeHandoffRecords(const HandedDownload& download);

// Applies one record to a download being assembled: strings as payload / 2
// code units (an odd last byte dropped), the size from the first 4 bytes (a
// shorter payload changes nothing), the flags likewise from 4 bytes; commit
// and unknown kinds change nothing. Never fails on any byte string.
void ApplyRecord(HandedDownload& download, std::uint32_t kind, std::string_view payload);

}  // namespace transfer
