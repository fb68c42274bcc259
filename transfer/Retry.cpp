#include "transfer/Retry.h"

#include <curl/curl.h>

#include <algorithm>

#include "platform/Text.h"

namespace transfer {

namespace {

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal digits only, at least one; saturates instead of wrapping.
std::optional<std::uint64_t> ParseNumber(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;  // no file is that large
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

bool IsTransientStatus(long status) {
  switch (status) {
    case 408:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504:
      return true;
    default:
      return false;
  }
}

std::chrono::milliseconds RetryPause(std::uint32_t failures, std::optional<std::uint32_t> retryAfterSeconds) {
  using std::chrono::milliseconds;
  const milliseconds bound = kMaxRetryPause;
  if (retryAfterSeconds) return std::min<milliseconds>(std::chrono::seconds(*retryAfterSeconds), bound);
  // 2^(failures - 1) s; from 2^6 = 64 s on the bound holds anyway.
  const std::uint32_t doublings = std::min<std::uint32_t>(failures == 0 ? 0 : failures - 1, 6);
  return std::min<milliseconds>(std::chrono::seconds(1u << doublings), bound);
}

std::optional<std::uint32_t> ParseRetryAfter(std::string_view value, std::time_t now) {
  value = TrimBlanks(value);
  if (value.empty()) return std::nullopt;
  if (IsDigit(value.front())) {
    const auto seconds = ParseNumber(value);
    if (!seconds) return std::nullopt;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(*seconds, UINT32_MAX));
  }
  const std::string date(value);
  const std::time_t when = curl_getdate(date.c_str(), nullptr);
  if (when == -1) return std::nullopt;
  if (when <= now) return 0u;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(when - now), UINT32_MAX));
}

std::optional<ContentRange> ParseContentRange(std::string_view value) {
  value = TrimBlanks(value);
  constexpr std::string_view kUnit = "bytes ";
  if (value.size() < kUnit.size() || value.substr(0, kUnit.size()) != kUnit) return std::nullopt;
  value.remove_prefix(kUnit.size());
  value = TrimBlanks(value);
  const std::size_t dash = value.find('-');
  const std::size_t slash = value.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash) return std::nullopt;
  const auto first = ParseNumber(value.substr(0, dash));
  const auto last = ParseNumber(value.substr(dash + 1, slash - dash - 1));
  if (!first || !last || *last < *first) return std::nullopt;
  ContentRange range{*first, *last, std::nullopt};
  const std::string_view total = value.substr(slash + 1);
  if (total != "*") {
    const auto parsed = ParseNumber(total);
    if (!parsed || *parsed <= *last) return std::nullopt;
    range.total = *parsed;
  }
  return range;
}

std::string StrongEtag(std::string_view value) {
  value = TrimBlanks(value);
  if (value.size() < 2 || value.front() != '"' || value.back() != '"') return std::string();
  return std::string(value);
}

std::u16string RetryText(const std::u16string& text, std::uint32_t seconds, std::uint32_t attempt,
                         std::uint32_t tries) {
  const std::u16string secondsText = platform::Format("%u", seconds);
  const std::u16string attemptText = platform::Format("%u", attempt);
  const std::u16string triesText = platform::Format("%u", tries);
  if (text.find(u"%1") == std::u16string::npos) {
    return text + u" " + secondsText + u" s (" + attemptText + u"/" + triesText + u")";
  }
  // Each marker is replaced in the text as given, so a number that happens to
  // read "%2" cannot be taken for a marker.
  std::u16string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'%' && i + 1 < text.size() && text[i + 1] >= u'1' && text[i + 1] <= u'3') {
      result += text[i + 1] == u'1' ? secondsText : text[i + 1] == u'2' ? attemptText : triesText;
      ++i;
    } else {
      result += text[i];
    }
  }
  return result;
}

}  // namespace transfer
