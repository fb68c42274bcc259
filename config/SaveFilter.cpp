#include "config/SaveFilter.h"

#include <map>

#include "config/Config.h"
#include "config/ConfigInternal.h"
#include "platform/Text.h"

namespace config {

namespace {

constexpr char16_t kExcluded[] = u"exclude";

// Copies text and its NUL to filter[pos...]; the caller has checked the room.
void Put(char16_t* filter, std::size_t& pos, const std::u16string& text) {
  text.copy(filter + pos, text.size());
  pos += text.size();
  filter[pos++] = u'\0';
}

// The NUL-terminated string at filter[pos...], if it ends before capacity.
bool Take(const char16_t* filter, std::size_t capacity, std::size_t& pos, std::u16string& text) {
  const std::size_t start = pos;
  while (pos < capacity && filter[pos] != u'\0') ++pos;
  if (pos == capacity) return false;
  text.assign(filter + start, pos - start);
  ++pos;
  return true;
}

char16_t AsciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c; }

bool EqualsIgnoringAsciiCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::int32_t Config::BuildSaveFilter(char16_t* filter, std::size_t capacity, const FormatEntry& native,
                                     std::vector<SaveChoice>& choices) {
  std::lock_guard<std::recursive_mutex> guard(ConfigLock());

  // Label -> category; a later category with the same label replaces the
  // earlier one, and the map's order is the order of the offer.
  std::map<std::u16string, CategoryEntry> candidates;
  for (const std::u16string& piece : SplitList(native.conversions + u";" + native.extension, u';')) {
    for (const auto& [name, category] : categories_) {
      if (category.type == piece) candidates[category.type + u" - " + category.description] = category;
    }
  }

  std::int32_t pairNumber = 1;
  std::int32_t nativeIndex = 1;
  std::size_t pos = 0;
  for (const auto& [label, category] : candidates) {
    const bool isNative = category.name == native.category;
    if (category.ffmpeg == kExcluded && !isNative) continue;

    const std::u16string text = label + u" (*." + category.extension + u")";
    const std::u16string pattern = u"." + category.extension;
    // Both strings with their NULs, and the list's own NUL after them.
    if (pos + text.size() + 1 + pattern.size() + 1 + 1 > capacity) break;
    Put(filter, pos, text);
    Put(filter, pos, pattern);

    if (isNative) {
      nativeIndex = pairNumber;
      choices.push_back(SaveChoice{category.extension, u"", true});
    } else {
      choices.push_back(SaveChoice{category.extension, category.ffmpeg, false});
    }
    ++pairNumber;
  }
  if (pos < capacity) filter[pos] = u'\0';
  return nativeIndex;
}

std::vector<FilterPair> SplitSaveFilter(const char16_t* filter, std::size_t capacity) {
  std::vector<FilterPair> pairs;
  std::size_t pos = 0;
  FilterPair pair;
  while (pos < capacity && filter[pos] != u'\0') {
    if (!Take(filter, capacity, pos, pair.text) || !Take(filter, capacity, pos, pair.pattern) ||
        pair.pattern.empty()) {
      break;
    }
    pairs.push_back(pair);
  }
  return pairs;
}

std::int32_t PreselectFilterIndex(const char16_t* filter, std::size_t capacity,
                                  const std::vector<std::u16string>& extensions,
                                  const std::u16string& format, std::int32_t nativeIndex) {
  const std::int32_t number = platform::ParseLong(format);
  // -1 asks for the native pair; other numbers without an extension are
  // treated the same rather than indexing outside the list.
  if (number < 0 || static_cast<std::size_t>(number) >= extensions.size()) return nativeIndex;

  const std::u16string& wanted = extensions[static_cast<std::size_t>(number)];
  const std::vector<FilterPair> pairs = SplitSaveFilter(filter, capacity);
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    const std::u16string& pattern = pairs[k].pattern;
    const std::size_t dots = pattern.find_first_not_of(u'.');
    const std::u16string bare = dots == std::u16string::npos ? std::u16string() : pattern.substr(dots);
    if (EqualsIgnoringAsciiCase(bare, wanted)) return static_cast<std::int32_t>(k + 1);
  }
  return nativeIndex;
}

}  // namespace config
