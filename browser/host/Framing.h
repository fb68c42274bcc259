// The browsers' native-messaging framing: each message is a 32-bit length in
// the machine's own byte order, then that many bytes of UTF-8 JSON. Both
// browsers send a message of ours at most 4 GiB; we set far smaller bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Stream.h"

namespace browserhost {

// The largest message the host reads. Every field the add-on sends is bounded
// (Message.h) and all of them together stay well below this.
inline constexpr std::size_t kMaxMessageBytes = 256 * 1024;
// The browsers refuse an answer above 1 MiB.
inline constexpr std::size_t kMaxAnswerBytes = 1024 * 1024;

enum class FrameStatus {
  Complete,
  NoMessage,  // end of input before the first byte
  Truncated,  // end of input inside the length or the message
  TooLarge,   // the length is above limit; the message is not read
  TimedOut,   // the deadline passed inside the length or the message
  Failed,     // reading failed (LastError() holds why)
};

// Reads one message from fd into message (replaced). On TooLarge, declared
// holds the announced length.
FrameStatus ReadFrame(int fd, std::size_t limit, platform::Deadline deadline, std::string& message,
                      std::uint32_t& declared);

// The frame of one answer. json must be at most kMaxAnswerBytes.
std::string Frame(std::string_view json);

}  // namespace browserhost
