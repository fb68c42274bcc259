#include "platform/ProgramFolders.h"

#include <limits.h>
#include <stdlib.h>

#include <string>

#include "platform/Folders.h"
#include "platform/Text.h"

namespace platform {

namespace {

std::string RealPath(const char* path) {
  char resolved[PATH_MAX];
  if (realpath(path, resolved) == nullptr) return std::string();
  return resolved;
}

std::u16string WithoutTrailingSlash(std::u16string folder) {
  while (folder.size() > 1 && folder.back() == u'/') folder.pop_back();
  return folder;
}

}  // namespace

std::u16string ProgramFilesCommon() {
  const std::u16string overridden = GetEnv("VEXARO_PROGRAM_FILES_COMMON");
  if (!overridden.empty()) return WithoutTrailingSlash(overridden);

  // Both sides resolved, so a build folder reached through a symbolic link
  // still matches.
  const std::string buildDir = RealPath(VEXARO_BUILD_DIR);
  const std::string self = RealPath("/proc/self/exe");
  if (!buildDir.empty() && self.size() > buildDir.size() &&
      self.compare(0, buildDir.size(), buildDir) == 0 && self[buildDir.size()] == '/') {
    return FromUtf8(buildDir + "/lib");
  }
  return WithoutTrailingSlash(FromUtf8(VEXARO_PROGRAM_FILES_COMMON));
}

}  // namespace platform
