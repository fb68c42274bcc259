#include "transfer/FilePlacement.h"

#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/Text.h"

namespace transfer {

std::pair<std::u16string, std::u16string> SplitExtension(const std::u16string& path) {
  const std::size_t slash = path.rfind(u'/');
  const std::size_t nameStart = slash == std::u16string::npos ? 0 : slash + 1;
  const std::size_t dot = path.rfind(u'.');
  if (dot == std::u16string::npos || dot < nameStart) return {path, std::u16string()};
  return {path.substr(0, dot), path.substr(dot)};
}

std::u16string NumberedName(const std::u16string& stem, const std::u16string& suffix, int copy) {
  return stem + (copy == 1 ? std::u16string() : platform::Format(" (%d)", copy)) + suffix;
}

bool IsPlacementOf(const std::u16string& name, const std::u16string& path) {
  if (name == path) return true;
  const auto [stem, suffix] = SplitExtension(path);
  const std::u16string open = stem + u" (";
  const std::u16string close = u")" + suffix;
  if (name.size() <= open.size() + close.size() || name.compare(0, open.size(), open) != 0 ||
      name.compare(name.size() - close.size(), close.size(), close) != 0) {
    return false;
  }
  const std::u16string_view digits(name.data() + open.size(), name.size() - open.size() - close.size());
  if (digits.size() > 4 || digits.front() == u'0') return false;
  int copy = 0;
  for (const char16_t c : digits) {
    if (c < u'0' || c > u'9') return false;
    copy = copy * 10 + (c - u'0');
  }
  return copy >= 2 && copy <= kMaxNumberedNames;
}

std::u16string PlaceFinishedFile(const std::u16string& finished, const std::u16string& target, bool replace) {
  if (replace) return platform::RenameFile(finished, target) ? target : std::u16string();
  const auto [stem, suffix] = SplitExtension(target);
  for (int copy = 1; copy <= kMaxNumberedNames; ++copy) {
    const std::u16string candidate = NumberedName(stem, suffix, copy);
    if (platform::RenameNoReplace(finished, candidate)) return candidate;
    if (platform::LastError() != platform::kErrAlreadyExists) return std::u16string();
  }
  return std::u16string();
}

}  // namespace transfer
