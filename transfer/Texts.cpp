#include "transfer/Texts.h"

#include "localisation/Dictionary.h"
#include "platform/Text.h"

namespace transfer {

std::u16string LookupText(localisation::Dictionary* dictionary, const std::u16string& key) {
  return dictionary ? dictionary->Lookup(key) : key;
}

std::u16string LookupText(localisation::Dictionary* dictionary, const std::u16string& key,
                          const std::u16string& english) {
  return dictionary ? dictionary->Lookup(key, english) : key;
}

std::u16string ErrorCodeText(std::uint32_t code) { return platform::Format("Error: %u (0x%8.8x)", code, code); }

SizeUnit UnitFor(std::uint64_t amount) {
  if (amount > kBytesPerMb) return {kBytesPerMb, "Mb"};
  if (amount > kBytesPerKb) return {kBytesPerKb, "Kb"};
  return {1, "bytes"};
}

}  // namespace transfer
