// The Save-As filter builder with any FormatEntry, over categories the input
// makes (written as config.ini and read through the Config store), into a
// buffer of any capacity. The filter never goes past its capacity, ends with
// its extra NUL, and the appended choices stay parallel to its pairs.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "config/Config.h"
#include "settings/IniFile.h"

namespace {

// Words the configuration really uses, so that types and categories meet.
const char16_t* const kWords[] = {u"Audio", u"Video", u"mp3", u"flv", u"exclude", u"",
                                  u"categoryA", u"categoryB", u"categoryAudio"};

std::u16string Text(FuzzedDataProvider& input) {
  const std::uint8_t pick = input.ConsumeIntegral<std::uint8_t>();
  if (pick < 160) return kWords[pick % std::size(kWords)];
  // Any code units but line breaks and NUL, which a store file cannot hold in
  // a value.
  std::u16string text = fuzzsupport::Utf16FromBytes(input.ConsumeRandomLengthString(64));
  for (char16_t& unit : text) {
    if (unit == u'\0' || unit == u'\r' || unit == u'\n') unit = u'?';
  }
  return text;
}

std::u16string List(FuzzedDataProvider& input) {
  std::u16string list;
  const int count = input.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < count; ++i) {
    if (i > 0) list += input.ConsumeBool() ? u";" : u";;";
    list += Text(input);
  }
  return list;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::UsePrivateDataHome();
  config::Config::GetInstance(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);

  settings::IniFile file(fuzzsupport::DataFile16("config.ini"), false);
  file.Clear();
  const int categories = input.ConsumeIntegralInRange(0, 12);
  for (int i = 0; i < categories; ++i) {
    settings::SectionMap section;
    section[u"type"] = Text(input);
    section[u"extension"] = Text(input);
    section[u"description"] = Text(input);
    section[u"ffmpeg"] = Text(input);
    file.SetSection(u"category" + Text(input), section);
  }
  FUZZ_CHECK(file.Write());
  config::Config& store = *config::Config::GetInstance(false);
  store.Read();

  config::FormatEntry native;
  native.conversions = List(input);
  native.category = input.ConsumeBool() ? u"category" + Text(input) : Text(input);
  native.extension = Text(input);
  native.mimeType = Text(input);
  native.name = Text(input);
  native.type = Text(input);
  native.ffmpeg = Text(input);
  native.description = Text(input);

  std::size_t capacity = input.ConsumeIntegralInRange<std::size_t>(0, config::kSaveFilterLength + 16);
  if (input.ConsumeBool()) capacity = config::kSaveFilterLength;
  std::vector<config::SaveChoice> choices(input.ConsumeIntegralInRange(0, 2));

  // Exactly capacity units, so a write past them is an AddressSanitizer report.
  const std::unique_ptr<char16_t[]> filter(new char16_t[capacity]());
  const std::size_t before = choices.size();
  const std::int32_t nativeIndex = store.BuildSaveFilter(filter.get(), capacity, native, choices);
  fuzzsupport::CheckSaveFilter(filter.get(), capacity, choices, before, nativeIndex);
  return 0;
}
