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
