#include "platform/ProgramFolders.h"

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/Folders.h"
#include "platform/Text.h"

namespace platform {

namespace {

std::u16string WithoutTrailingSlash(std::u16string folder) {
  while (folder.size() > 1 && folder.back() == u'/') folder.pop_back();
  return folder;
}

}  // namespace

std::u16string ProgramFilesCommon() {
  const std::u16string overridden = GetEnv("VEXARO_PROGRAM_FILES_COMMON");
  if (!overridden.empty()) return WithoutTrailingSlash(overridden);

  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path self = fs::canonical("/proc/self/exe", error);
  if (error || !self.has_parent_path()) return std::u16string();
  const fs::path folder = (self.parent_path() / VEXARO_LIBEXEC_FROM_BIN).lexically_normal();
  return WithoutTrailingSlash(FromUtf8(folder.string()));
}

std::u16string RunningProgramFolder() {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path self = fs::canonical("/proc/self/exe", error);
  if (error || !self.has_parent_path()) return std::u16string();
  return FromUtf8(self.parent_path().string());
}

}  // namespace platform
