// What the header lines of one HTTP answer say about the file being fetched:
// the fields the transfer decides by, read line by line as libcurl hands them
// over. Pure: no I/O, no clock (the caller gives "now" for Retry-After).
//
// Calling sequence: a fresh HttpAnswer per answer (a redirect's or a 1xx's
// own answer starts a fresh one); Read() for every header line, the status
// line and the blank line included (both are ignored); the status is set by
// the caller from libcurl. Allocation is bounded by the lines given: libcurl
// hands over no header line longer than its own limit (100 KiB), and only
// the validators are kept as text.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "transfer/Retry.h"

namespace transfer {

struct HttpAnswer {
  long status = 0;
  // Content-Range of a 206 ("bytes FIRST-LAST/TOTAL"); empty when missing
  // or malformed.
  std::optional<ContentRange> contentRange;
  // Content-Length; empty when missing or not a decimal of at most 19 digits.
  std::optional<std::uint64_t> contentLength;
  // "Accept-Ranges: bytes".
  bool acceptRanges = false;
  // The validators as sent (blanks around them removed).
  std::string etag;
  std::string lastModified;
  // A non-empty Location: a redirect libcurl follows.
  bool location = false;
  // Retry-After in seconds from now.
  std::optional<std::uint32_t> retryAfter;

  // One header line ("Name: value", with or without its CR LF). Names are
  // matched without regard to case; a later line of a name replaces an
  // earlier one; a line without a colon is ignored.
  void Read(std::string_view line, std::time_t now);
};

// A Content-Length value: decimal digits only, at most 19 of them.
std::optional<std::uint64_t> ParseContentLength(std::string_view value);

}  // namespace transfer
