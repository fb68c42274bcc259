// Where a finished file goes: its own name, or the first free one beside it.
#pragma once

#include <string>
#include <utility>

namespace transfer {

// path without the extension of its file name, and ".ext" (or empty).
std::pair<std::u16string, std::u16string> SplitExtension(const std::u16string& path);

// stem + suffix for copy 1, then "stem (2)" + suffix, "stem (3)" + suffix ...:
// the names a file takes beside others of its name.
std::u16string NumberedName(const std::u16string& stem, const std::u16string& suffix, int copy);

// How many numbered names are tried before giving up: enough for any folder
// a person keeps.
inline constexpr int kMaxNumberedNames = 1000;

// Whether name is path itself or one of the numbered names PlaceFinishedFile
// may give a file meant for path ("clip (2).flv" for "clip.flv").
bool IsPlacementOf(const std::u16string& name, const std::u16string& path);

// Renames a finished file onto target. It replaces an existing target only
// when replace says the user agreed to that; otherwise it takes the first
// free numbered name (atomically: a file appearing meanwhile is never
// replaced). Returns the path the file now has, or empty (LastError set).
std::u16string PlaceFinishedFile(const std::u16string& finished, const std::u16string& target, bool replace);

}  // namespace transfer
