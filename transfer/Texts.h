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

// Why a download or a conversion failed, in words for the row. The code
// stays first on the row as it always was (support reads it); the reason
// follows it in the user's language.
enum class FailureReason {
  Unknown,  // no words: the code alone
  ServerNotFound,
  ConnectionRefused,
  ConnectionLost,
  TimedOut,
  TooManyRedirects,
  SecureConnection,
  BadAddress,
  HttpStatus,  // detail: the status
  CannotCreateFile,
  DiskFull,
  WriteFailed,
  ConverterFailed,  // detail: the exit code
  ConverterWroteNothing,
};

struct Failure {
  std::uint32_t code = 0;
  FailureReason reason = FailureReason::Unknown;
  std::uint32_t detail = 0;
};

// The reason of each kind in the user's language, looked up before a worker
// starts (a worker never reads the dictionary). Without a dictionary the
// English words.
struct ReasonTexts {
  std::u16string words[static_cast<int>(FailureReason::ConverterWroteNothing) + 1];
};
ReasonTexts LookupReasonTexts(localisation::Dictionary* dictionary);

// The reason a code alone tells: a final HTTP status, a full disk, a write
// fault, a connection lost or stalled, too many redirects; Unknown for the
// others (1: the address never opened, which only the transfer can tell
// apart).
Failure FailureOfCode(std::uint32_t code);

// The text before ": " and the path on a failed row:
//   "Error: 2149122452 (0x80190194), HTTP 404 Not Found"
//   "Error: 1 (0x00000001), converter failed (exit 1)"
//   "Error: 1 (0x00000001)" when there are no words for it.
std::u16string FailureText(const Failure& failure, const ReasonTexts& texts);

// The standard reason phrase of an HTTP status ("Not Found"); empty for a
// status without one.
const char* HttpReasonPhrase(std::uint32_t status);

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
