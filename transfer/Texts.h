// Texts that the worker and the conversion runner both put on a row.
#pragma once

#include <cstdint>
#include <string>

namespace localisation {
class Dictionary;
}

namespace transfer {

// The dictionary's text for key; without a dictionary the key itself, as for
// a text the dictionary lacks.
std::u16string LookupText(localisation::Dictionary* dictionary, const std::u16string& key);
// The same for a key that older dictionary files lack: the shipped text of
// the user's language, else english, stands in for a missing one (see
// Dictionary::Lookup). Without a dictionary, still the key.
std::u16string LookupText(localisation::Dictionary* dictionary, const std::u16string& key,
                          const std::u16string& english);

// "Error: %u (0x%8.8x)" of a failure code.
std::u16string ErrorCodeText(std::uint32_t code);

// A Mb in every text of the program is 1,024,000 bytes.
inline constexpr std::uint64_t kBytesPerMb = 1024000;
inline constexpr std::uint64_t kBytesPerKb = 1024;

// The unit an amount is shown in, chosen by the amount: above kBytesPerMb Mb,
// above kBytesPerKb Kb, else bytes.
struct SizeUnit {
  std::uint64_t bytes;  // 1 for plain bytes
  const char* name;     // "Mb", "Kb", "bytes"
};
SizeUnit UnitFor(std::uint64_t amount);

}  // namespace transfer
