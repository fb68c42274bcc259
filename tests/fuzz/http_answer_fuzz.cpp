// The header lines of an answer, as any server may send them: each line of
// the input (up to libcurl's own line limit) goes to HttpAnswer::Read. What
// it keeps stays within what the lines held, and a range it keeps is one a
// 206 may announce (its last byte not before its first, inside its total).
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

#include "transfer/HttpAnswer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  transfer::HttpAnswer answer;
  std::size_t begin = 0;
  while (begin < input.size()) {
    std::size_t end = input.find('\n', begin);
    end = end == std::string_view::npos ? input.size() : end + 1;
    answer.Read(input.substr(begin, end - begin), static_cast<std::time_t>(1700000000));
    begin = end;
  }
  if (answer.etag.size() > size || answer.lastModified.size() > size) __builtin_trap();
  if (answer.contentRange) {
    const transfer::ContentRange& range = *answer.contentRange;
    if (range.last < range.first || (range.total && *range.total <= range.last)) __builtin_trap();
  }
  return 0;
}
