// Reading and writing whole byte runs on descriptors (pipes, sockets, files)
// with a deadline, for programs that talk over their standard streams.
//
// A deadline is absolute on the monotonic clock, so a run of calls shares one
// time budget however the data arrives. Every call retries EINTR; none changes
// the descriptor's blocking mode. All of them may be used from any thread,
// each descriptor by one thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

using Deadline = std::chrono::steady_clock::time_point;

// Now plus ms.
Deadline DeadlineIn(std::uint32_t ms);

enum class StreamResult {
  Complete,  // all that was asked for
  Ended,     // end of file came first (what arrived before it is kept)
  TimedOut,  // the deadline passed first (likewise)
  TooLong,   // ReadToEnd: more than limit bytes arrived
  Failed,    // a read or write failed; LastError() holds its error number
};

// Appends exactly count bytes from fd to data.
StreamResult ReadExactly(int fd, std::size_t count, Deadline deadline, std::string& data);

// Appends everything up to end of file, at most limit bytes; TooLong (with
// limit bytes kept) as soon as a byte beyond limit is read.
StreamResult ReadToEnd(int fd, std::size_t limit, Deadline deadline, std::string& data);

// Writes all of data. A reader that went away gives Failed with EPIPE (call
// IgnoreBrokenPipe() first, or the process dies of SIGPIPE).
StreamResult WriteAll(int fd, std::string_view data, Deadline deadline);

// Sets SIGPIPE to ignored, so that a write to a closed pipe fails with EPIPE.
// Children started by Process or StartDetached get the default back.
void IgnoreBrokenPipe();

// Takes standard output away from everything but the caller: returns a new
// close-on-exec descriptor that writes where descriptor 1 did, and points
// descriptor 1 at /dev/null, so that a stray print of any library cannot land
// in a channel that carries framed messages. -1 (LastError set, descriptor 1
// unchanged) when it cannot.
int TakeStandardOutput();

}  // namespace platform
