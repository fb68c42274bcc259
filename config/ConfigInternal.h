// Shared by the files of config/ only.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace config {

// The config lock: a process-wide recursive mutex guarding the Config
// instance pointer and its maps.
std::recursive_mutex& ConfigLock();

// The pieces of text between separators, empty pieces left out, untrimmed.
std::vector<std::u16string> SplitList(const std::u16string& text, char16_t separator);

}  // namespace config
