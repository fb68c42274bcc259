#include "platform/Text.h"

#include <locale.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace platform {

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b = s[i];
    int extra = 0;
    char32_t c = 0;
    char32_t min = 0;
    if (b < 0x80) {
      out += static_cast<char16_t>(b);
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      extra = 1, c = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2, c = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3, c = b & 0x07, min = 0x10000;
    } else {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    bool ok = i + static_cast<std::size_t>(extra) < n;
    for (int k = 1; ok && k <= extra; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) ok = false;
      else c = (c << 6) | (s[i + k] & 0x3F);
    }
    if (!ok || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += extra + 1;
  }
  return out;
}

namespace {

// The "C" locale for this thread while it lives. A Qt program sets the process
// locale from the environment, and printf's %f then writes "1,0" under a
// German desktop; the texts and stores are fixed and must not follow it.
class ClassicLocaleScope {
 public:
  ClassicLocaleScope() {
    static const locale_t classic = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (classic != static_cast<locale_t>(nullptr)) previous_ = ::uselocale(classic);
  }
  ~ClassicLocaleScope() {
    if (previous_ != static_cast<locale_t>(nullptr)) ::uselocale(previous_);
  }
  ClassicLocaleScope(const ClassicLocaleScope&) = delete;
  ClassicLocaleScope& operator=(const ClassicLocaleScope&) = delete;

 private:
  locale_t previous_ = static_cast<locale_t>(nullptr);
};

}  // namespace

std::u16string Format(const char* format, ...) {
  const ClassicLocaleScope classic;
  char small[256];
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  std::u16string result;
  if (needed < 0) {
    va_end(copy);
    return result;
  }
  if (static_cast<std::size_t>(needed) < sizeof small) {
    result = FromUtf8(std::string_view(small, static_cast<std::size_t>(needed)));
  } else {
    std::vector<char> big(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(big.data(), big.size(), format, copy);
    result = FromUtf8(std::string_view(big.data(), static_cast<std::size_t>(needed)));
  }
  va_end(copy);
  return result;
}

bool IsSpace(char16_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x1680 || (c >= 0x2000 && c <= 0x2006) ||
         (c >= 0x2008 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x205F || c == 0x3000;
}

std::u16string Trim(std::u16string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsSpace(text[begin])) ++begin;
  while (end > begin && IsSpace(text[end - 1])) --end;
  return std::u16string(text.substr(begin, end - begin));
}

namespace {

// Shared front end of ParseLong/ParseULong: skips white space and the sign,
// then accumulates digits into a 64-bit magnitude that stops growing once it
// exceeds every 32-bit range (so long digit runs cannot overflow).
struct Parsed {
  bool negative = false;
  std::uint64_t magnitude = 0;
};

Parsed ParseDecimal(std::u16string_view text) {
  Parsed p;
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    p.negative = text[i] == u'-';
    ++i;
  }
  constexpr std::uint64_t kCap = 0x1'0000'0000ull;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    if (p.magnitude <= kCap) p.magnitude = p.magnitude * 10 + static_cast<std::uint64_t>(text[i] - u'0');
  }
  return p;
}

}  // namespace

std::int32_t ParseLong(std::u16string_view text) {
  const Parsed p = ParseDecimal(text);
  if (p.negative) {
    if (p.magnitude >= 0x8000'0000ull) return INT32_MIN;
    return -static_cast<std::int32_t>(p.magnitude);
  }
  if (p.magnitude > 0x7FFF'FFFFull) return INT32_MAX;
  return static_cast<std::int32_t>(p.magnitude);
}

std::uint32_t ParseULong(std::u16string_view text) {
  const Parsed p = ParseDecimal(text);
  if (p.magnitude > 0xFFFF'FFFFull) return UINT32_MAX;
  const auto value = static_cast<std::uint32_t>(p.magnitude);
  return p.negative ? static_cast<std::uint32_t>(0u - value) : value;
}

std::string ToUtf16LeBytes(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

std::u16string FromUtf16LeBytes(std::string_view bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                    (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return text;
}

}  // namespace platform
