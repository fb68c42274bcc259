#include "transfer/HttpAnswer.h"

#include <algorithm>

namespace transfer {

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return Lower(x) == Lower(y);
         });
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

void HttpAnswer::Read(std::string_view line, std::time_t now) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  const std::string_view name = Trimmed(line.substr(0, colon));
  const std::string_view value = Trimmed(line.substr(colon + 1));
  if (EqualsIgnoringCase(name, "content-range")) {
    contentRange = ParseContentRange(value);
  } else if (EqualsIgnoringCase(name, "content-length")) {
    contentLength = ParseContentLength(value);
  } else if (EqualsIgnoringCase(name, "accept-ranges")) {
    acceptRanges = EqualsIgnoringCase(value, "bytes");
  } else if (EqualsIgnoringCase(name, "etag")) {
    etag = std::string(value);
  } else if (EqualsIgnoringCase(name, "last-modified")) {
    lastModified = std::string(value);
  } else if (EqualsIgnoringCase(name, "retry-after")) {
    retryAfter = ParseRetryAfter(value, now);
  } else if (EqualsIgnoringCase(name, "location")) {
    location = !value.empty();
  }
}

std::optional<std::uint64_t> ParseContentLength(std::string_view value) {
  if (value.empty() || value.size() > 19) return std::nullopt;
  std::uint64_t length = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    length = length * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return length;
}

}  // namespace transfer
