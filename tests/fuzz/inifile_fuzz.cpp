// Any bytes as a store file, read with and without the checksum. What a read
// yields must be well formed, and a store written from it must read back the
// same and verify: a file the program writes is never taken for a damaged one.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "FuzzSupport.h"
#include "settings/IniFile.h"

namespace {

std::string inputPath;
std::u16string inputPath16;
std::u16string copyPath16;

using Sections = std::map<std::u16string, settings::SectionMap>;

bool HasLineBreak(const std::u16string& text) { return text.find_first_of(u"\r\n") != std::u16string::npos; }

// The format has no escapes: a key that starts with '[' and a value that ends
// with ']' make a line that reads back as a section header. Nothing the
// program or the add-on stores looks like that.
bool ReadsBackAsHeader(const Sections& sections) {
  for (const auto& [name, map] : sections) {
    for (const auto& [key, value] : map) {
      if (key.front() == u'[' && !value.empty() && value.back() == u']') return true;
    }
  }
  return false;
}

void CheckWellFormed(const settings::IniFile& file) {
  for (const auto& [name, map] : file.Sections()) {
    FUZZ_CHECK(file.SectionNames().count(name) == 1);
    FUZZ_CHECK(!HasLineBreak(name));
    for (const auto& [key, value] : map) {
      FUZZ_CHECK(!key.empty());
      FUZZ_CHECK(key.find(u'=') == std::u16string::npos);
      FUZZ_CHECK(!HasLineBreak(key) && !HasLineBreak(value));
      FUZZ_CHECK(key.find(u'\0') == std::u16string::npos && value.find(u'\0') == std::u16string::npos);
    }
  }
}

void CheckRoundTrip(const settings::IniFile& read, bool checksum) {
  Sections content = read.Sections();
  if (checksum) content.erase(u"Checksum");  // the trailer, not content
  // Nothing to store writes no file at all.
  if (content.empty() || ReadsBackAsHeader(content)) return;

  settings::IniFile copy(copyPath16, checksum);
  copy.Clear();
  for (const auto& [name, map] : content) copy.SetSection(name, map);
  FUZZ_CHECK(copy.Write());

  settings::IniFile back(copyPath16, checksum);
  FUZZ_CHECK(back.Read());
  FUZZ_CHECK(back.IsValid());
  Sections again = back.Sections();
  if (checksum) {
    FUZZ_CHECK(again.count(u"Checksum") == 1 && again[u"Checksum"].empty());
    again.erase(u"Checksum");
  }
  FUZZ_CHECK(again == content);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::UsePrivateDataHome();
  inputPath = fuzzsupport::DataFile("input.ini");
  inputPath16 = fuzzsupport::DataFile16("input.ini");
  copyPath16 = fuzzsupport::DataFile16("copy.ini");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::WriteBytes(inputPath, data, size);
  for (const bool checksum : {false, true}) {
    settings::IniFile file(inputPath16, checksum);
    FUZZ_CHECK(file.Read());
    FUZZ_CHECK(file.LastError() == 0);
    CheckWellFormed(file);
    CheckRoundTrip(file, checksum);
  }
  return 0;
}
