#include "support/StoreFile.h"

#include <filesystem>

#include "platform/Text.h"
#include "support/TempFolder.h"

namespace testsupport {

void WriteStoreFile(const std::string& path, const std::string& utf8Text) {
  std::u16string text;
  for (char16_t unit : platform::FromUtf8(utf8Text)) {
    if (unit == u'\n') text += u'\r';
    text += unit;
  }
  std::string bytes;
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  WriteFileBytes(path, bytes);
}

std::string ReadStoreFile(const std::string& path) {
  const std::string bytes = ReadFileBytes(path);
  std::u16string text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                  static_cast<unsigned char>(bytes[i + 1]) << 8);
  }
  return platform::ToUtf8(text);
}

}  // namespace testsupport
