// The hand-off: how a later start passes its download to the manager dialog of
// the first instance.
//
// Records. A download travels as eight records, in this order, each a kind
// (the dialog's record number) and a payload:
//   0 url, 1 target path, 2 converter arguments, 3 size (4 bytes, signed,
//   little-endian), 4 cookie, 5 temporary path (empty when not converting),
//   7 referer, 6 commit (its payload, the referer again, is ignored).
// Strings are UTF-16LE code units without terminator; an empty string is an
// empty payload. The receiver keeps the last value of each kind and a commit
// starts a download from what it holds.
//
// Wire form on the local socket: kind (u32 LE), payload length (u32 LE), the
// payload; the receiver answers every record with 4 bytes (u32 LE 1) before
// the sender sends the next one, as a synchronous window message waits. A
// record longer than kMaxRecordPayload ends the connection unanswered.
//
// Everything here is free of Qt and of the OS, and single-threaded: the
// program uses it on its user-interface thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace startup {

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

// No string the add-on passes comes near this; a length beyond it can only be
// a broken or hostile sender, which must not make the receiver allocate.
inline constexpr std::uint32_t kMaxRecordPayload = 64 * 1024;
inline constexpr std::size_t kRecordHeaderSize = 8;
inline constexpr std::size_t kAnswerSize = 4;
inline constexpr std::uint32_t kAnswerHandled = 1;

// The file name of the hand-off socket in the runtime folder. A later start
// finds the running manager by its window title, as the design finds the
// window; the title is hashed because it is localised text of any length and
// a socket path may hold only 107 bytes.
std::string HandoffSocketName(const std::u16string& managerTitle);

// One download as the manager dialog takes it: the first from its
// constructor, later ones from records.
struct ManagedDownload {
  std::u16string url;
  std::u16string tempPath;
  std::u16string targetPath;
  std::u16string conversionArgs;
  std::int64_t size = 0;
  std::u16string cookie;
  bool autoclose = false;
  std::u16string referer;
  // The user agreed to replace an existing file at targetPath.
  bool replaceTarget = false;
};

struct HandoffRecord {
  std::uint32_t kind = 0;
  std::string payload;  // bytes
};

// The eight records of a download, in sending order (with a flags record
// before the commit when a flag is set). The size record carries the low 32
// bits of size, as the dialog's size field is 32-bit.
std::vector<HandoffRecord> MakeHandoffRecords(const ManagedDownload& download);

// Header + payload of one record.
std::string EncodeRecord(const HandoffRecord& record);
std::string EncodeAnswer();

// Applies one record to a download being assembled the way the dialog applies
// it to its pending download: strings as payload / 2 code units (an odd last
// byte dropped), the size from the first 4 bytes (a shorter payload changes
// nothing); commit and unknown kinds change nothing.
void ApplyRecord(ManagedDownload& download, std::uint32_t kind, std::string_view payload);

// Splits a byte stream into records. Feed() what arrives; Next() hands out
// each complete record. Once a header announces more than kMaxRecordPayload,
// Failed() is true and nothing more comes out.
class RecordReader {
 public:
  void Feed(std::string_view bytes);
  bool Next(HandoffRecord& record);
  bool Failed() const { return failed_; }

 private:
  std::string buffer_;
  bool failed_ = false;
};

// Records for a manager dialog that may not exist yet. Records delivered
// while no dialog is attached are kept in order; attaching replays them. This
// is what lets a first instance that is still in its own Save-As dialog take
// later starts' downloads instead of losing them.
class HandoffInbox {
 public:
  using Sink = std::function<void(std::uint32_t kind, const std::string& payload)>;

  void Deliver(std::uint32_t kind, std::string payload);
  // Replays the kept records into sink, in order, then passes every later one
  // straight through, until Detach().
  void Attach(Sink sink);
  void Detach();

  // A commit is among the kept records: someone handed a download over.
  bool HoldsCommit() const;
  // Takes the kept records up to and including the first commit and assembles
  // the download they describe (from empty values). False, nothing taken,
  // without a commit.
  bool TakeFirstDownload(ManagedDownload& download);

 private:
  std::deque<HandoffRecord> kept_;
  Sink sink_;
};

}  // namespace startup
