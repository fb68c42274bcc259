// Text helpers shared by every folder: UTF-16 is the core's text, UTF-8 only
// crosses the edges (file names, libcurl, argv, Qt).
//
// No result here depends on the process locale.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Lossless for valid input; unpaired surrogates become U+FFFD, and invalid
// UTF-8 sequences become U+FFFD, one per bad byte.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

// UTF-16 as little-endian bytes (the stores' and the hand-off's wire form),
// and back; an odd last byte is no whole code unit and is dropped.
std::string ToUtf16LeBytes(std::u16string_view text);
std::u16string FromUtf16LeBytes(std::string_view bytes);

// printf into UTF-16. The format and every %s argument are UTF-8; the result is
// converted once at the end. Supports whatever vsnprintf supports ("%2.2d%2.2d",
// "%u", "%lu", "%.1f", "%8.8x" ...). Keep %s arguments UTF-8 with ToUtf8.
// Numbers are formatted as in the "C" locale whatever the process locale is
// ("1.0", never "1,0"), since stores, the wire and row texts are fixed.
std::u16string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// White space as iswspace defines it in a UTF-8 locale of the GNU C library:
// U+0009..U+000D, U+0020, U+1680, U+2000..U+2006, U+2008..U+200A, U+2028,
// U+2029, U+205F, U+3000. The no-break spaces (U+00A0, U+2007, U+202F) are not.
bool IsSpace(char16_t c);
std::u16string Trim(std::u16string_view text);

// Decimal reading with the C library's wcstol/wcstoul rules as the design's
// 32-bit platform has them: leading white space (IsSpace), an optional sign,
// digits up to the first other character, 0 when there are none.
//   ParseLong: saturates to INT32_MIN / INT32_MAX.
//   ParseULong: saturates to UINT32_MAX; a minus sign negates modulo 2^32
//   (wcstoul("-1") is 4294967295), except that a magnitude beyond UINT32_MAX
//   still saturates.
std::int32_t ParseLong(std::u16string_view text);
std::uint32_t ParseULong(std::u16string_view text);

}  // namespace platform
