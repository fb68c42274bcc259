// The hand-off: how a later start passes its download to the manager dialog of
// the first instance. The records themselves (kinds, payloads, how a download
// is assembled from them) are defined in transfer/HandoffRecords.h; this is
// how they travel and wait.
//
// Wire form on the local socket: kind (u32 LE), payload length (u32 LE), the
// payload; the receiver answers every record with 4 bytes (u32 LE) before the
// sender sends the next one, as a synchronous window message waits: 1 when it
// took the record, 0 when it refused it (a payload beyond kMaxRecordPayload),
// after which it takes nothing more from that connection.
//
// Each connection is a sender of its own (transfer::HandoffSender): its
// records assemble its own download, and only its own commit turns that into
// a row.
//
// Everything here is free of Qt and of the OS, and single-threaded: the
// program uses it on its user-interface thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/HandoffRecords.h"

namespace startup {

using transfer::HandoffRecord;
using transfer::HandoffSender;

// Far beyond any cookie or URL a browser sends (a cookie header of every
// cookie a site may set is under 1 MB, twice that as UTF-16); a length beyond
// it can only be a broken sender, which must not make the receiver allocate.
inline constexpr std::uint32_t kMaxRecordPayload = 8u * 1024 * 1024;
inline constexpr std::size_t kRecordHeaderSize = 8;
inline constexpr std::size_t kAnswerSize = 4;
inline constexpr std::uint32_t kAnswerHandled = 1;
inline constexpr std::uint32_t kAnswerRefused = 0;

// The file name of the hand-off socket in the runtime folder. A later start
// finds the running manager by its window title, as the design finds the
// window; the title is hashed because it is localised text of any length.
// Carries the test scope (platform::ScopedRuntimeName).
std::string HandoffSocketName(const std::u16string& managerTitle);

// One download as the launch sequence starts it: the first of a manager
// dialog, or the one a later start hands over.
struct ManagedDownload : transfer::HandedDownload {
  bool autoclose = false;
};

// Header + payload of one record.
std::string EncodeRecord(const HandoffRecord& record);
std::string EncodeAnswer(std::uint32_t answer = kAnswerHandled);

// Splits a byte stream into records. Feed() what arrives; Next() hands out
// each complete record. Once a header announces more than kMaxRecordPayload,
// Failed() is true, nothing more comes out and whatever is fed is dropped
// (never kept), so the sender can finish writing and read the refusal.
class RecordReader {
 public:
  void Feed(std::string_view bytes);
  bool Next(HandoffRecord& record);
  bool Failed() const { return failed_; }

 private:
  std::string buffer_;
  bool failed_ = false;
};

// Where records go: the manager dialog, or whatever stands in for it.
class HandoffSink {
 public:
  virtual ~HandoffSink() = default;
  virtual void Record(HandoffSender sender, std::uint32_t kind, const std::string& payload) = 0;
  // The sender's connection has ended: it sends nothing more, and what it
  // left uncommitted is no download.
  virtual void SenderEnded(HandoffSender sender) = 0;
};

// Records for a manager dialog that may not exist yet. What is delivered
// while no sink is attached is kept in order; attaching replays it. This is
// what lets a first instance that is still in its own Save-As dialog take
// later starts' downloads instead of losing them.
class HandoffInbox {
 public:
  void Deliver(HandoffSender sender, std::uint32_t kind, std::string payload);
  void End(HandoffSender sender);
  // Replays what was kept into sink, in order, then passes everything later
  // straight through, until Detach(). sink must outlive the attachment.
  void Attach(HandoffSink* sink);
  void Detach();

  // A commit is among the kept records: someone handed a download over.
  bool HoldsCommit() const;
  // Takes the first committed download among the kept records: the records
  // of that commit's sender up to and including it, assembled from empty
  // values. Other senders' records stay, in order. False, nothing taken,
  // without a commit.
  bool TakeFirstDownload(ManagedDownload& download);

 private:
  struct Kept {
    HandoffSender sender;
    bool ended;
    HandoffRecord record;
  };
  std::deque<Kept> kept_;
  HandoffSink* sink_ = nullptr;
};

}  // namespace startup
