// When and how the transfer worker tries again, and the header values it
// reads to decide: pure functions, so the rules can be checked on their own.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace transfer {

// The longest pause between two tries, also for a longer Retry-After.
inline constexpr std::chrono::seconds kMaxRetryPause{60};

// Statuses that say "not now" rather than "never": 408 Request Timeout,
// 429 Too Many Requests, 500, 502, 503, 504.
bool IsTransientStatus(long status);

// The pause before the next try after `failures` failed tries in a row
// (1, 2, 3 ...): 1, 2, 4, 8 ... s, at most kMaxRetryPause. A Retry-After of
// the server replaces it, within the same bound.
std::chrono::milliseconds RetryPause(std::uint32_t failures, std::optional<std::uint32_t> retryAfterSeconds);

// A Retry-After value: delay seconds ("120") or an HTTP date, counted from
// now (a date in the past gives 0). Empty when it is neither.
std::optional<std::uint32_t> ParseRetryAfter(std::string_view value, std::time_t now);

// A Content-Range value "bytes FIRST-LAST/TOTAL" (TOTAL may be "*"), 64-bit.
struct ContentRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::optional<std::uint64_t> total;
};
// Empty for anything else, including the "bytes */TOTAL" of a 416, a LAST
// before FIRST, or a TOTAL that does not hold LAST.
std::optional<ContentRange> ParseContentRange(std::string_view value);

// The ETag value when it is a strong one ("\"abc\""), else empty: a weak
// ETag (W/"abc") must not be sent in If-Range.
std::string StrongEtag(std::string_view value);

// The row's text during a pause: the dictionary's text with %1 the seconds
// left, %2 the number of the coming try and %3 the number of tries
// ("Retrying in %1 s (attempt %2 of %3)"). A text without %1 (a missing
// key stands for itself) gets the numbers after it, so they are never lost.
std::u16string RetryText(const std::u16string& text, std::uint32_t seconds, std::uint32_t attempt,
                         std::uint32_t tries);

}  // namespace transfer
