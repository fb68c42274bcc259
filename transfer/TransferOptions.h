// How hard the transfer worker tries: its connections per download, its tries
// per connection and its stall time. Stored in settings.ini, section
// [Transfer] (written with the file's checksum like every value there, e.g.
// by `vexaro-store set settings.ini Transfer connections 8`):
//   connections  1..16, default 4
//   tries        1..100, default 5 (the first try included)
//   stalltime    seconds without a byte before a connection counts as
//                stalled, 1..3600, default 60
// A value that is absent or not a plain decimal number takes its default; one
// out of range takes the nearest bound.
#pragma once

#include <cstdint>

#include "settings/IniFile.h"

namespace transfer {

inline constexpr std::uint32_t kMaxConnections = 16;
inline constexpr std::uint32_t kMaxTries = 100;
inline constexpr std::uint32_t kDefaultStallMs = 60000;

struct TransferOptions {
  std::uint32_t connections = 4;
  std::uint32_t tries = 5;
  std::uint32_t stallMs = kDefaultStallMs;
};

// The [Transfer] section's values over the defaults.
TransferOptions ParseTransferOptions(const settings::SectionMap& section);

// Reads [Transfer] from settings.ini as it is now (see
// Settings::ReadFileSection), so a change takes effect with the next download.
// Defaults when the file or the section cannot be had.
TransferOptions LoadTransferOptions();

}  // namespace transfer
