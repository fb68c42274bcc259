#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/Text.h"
#include "support/TempFolder.h"

namespace fuzzsupport {

namespace {

// Lives until exit, when its destructor removes the folder and the locks.
std::unique_ptr<testsupport::TempDataHome> home;

}  // namespace

void UsePrivateDataHome() {
  if (home) return;
  home = std::make_unique<testsupport::TempDataHome>();
  std::filesystem::create_directories(std::filesystem::path(home->DataFile("")).parent_path());
}

std::string HomeFolder() { return home->Root().Path(); }

std::string DataFile(const std::string& name) { return home->DataFile(name); }

std::u16string DataFile16(const std::string& name) { return platform::FromUtf8(DataFile(name)); }

void WriteBytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) Fail(__FILE__, __LINE__, ("cannot write " + path).c_str());
}

std::u16string Utf16FromBytes(const std::string& bytes) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                         static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return text;
}

void Fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  std::fflush(stderr);
  std::abort();
}

void CheckSaveFilter(const char16_t* filter, std::size_t capacity,
                     const std::vector<config::SaveChoice>& choices, std::size_t choicesBefore,
                     std::int32_t nativeIndex) {
  FUZZ_CHECK(choices.size() >= choicesBefore);
  const std::size_t added = choices.size() - choicesBefore;
  if (capacity == 0) {
    FUZZ_CHECK(added == 0);
    FUZZ_CHECK(nativeIndex == 1);
    return;
  }
  const std::vector<config::FilterPair> pairs = config::SplitSaveFilter(filter, capacity);
  FUZZ_CHECK(pairs.size() == added);

  // The list's own NUL follows the last pair, inside the buffer.
  std::size_t end = 0;
  for (const config::FilterPair& pair : pairs) end += pair.text.size() + 1 + pair.pattern.size() + 1;
  FUZZ_CHECK(end < capacity);
  FUZZ_CHECK(filter[end] == u'\0');

  bool sawNative = false;
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    const config::SaveChoice& choice = choices[choicesBefore + k];
    FUZZ_CHECK(pairs[k].pattern == u"." + choice.extension);
    const std::u16string tail = u" (*." + choice.extension + u")";
    FUZZ_CHECK(pairs[k].text.size() > tail.size());
    FUZZ_CHECK(pairs[k].text.compare(pairs[k].text.size() - tail.size(), tail.size(), tail) == 0);
    if (choice.native) {
      FUZZ_CHECK(!sawNative);
      sawNative = true;
      FUZZ_CHECK(choice.ffmpeg.empty());
      FUZZ_CHECK(nativeIndex == static_cast<std::int32_t>(k + 1));
    } else {
      FUZZ_CHECK(choice.ffmpeg != u"exclude");
    }
  }
  if (!sawNative) FUZZ_CHECK(nativeIndex == 1);
}

}  // namespace fuzzsupport
