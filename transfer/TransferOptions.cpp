#include "transfer/TransferOptions.h"

#include <algorithm>
#include <optional>

#include "platform/Text.h"
#include "settings/Settings.h"

namespace transfer {

namespace {

// A plain decimal number (blanks around it allowed), saturating.
std::optional<std::uint32_t> Number(const settings::SectionMap& section, const char16_t* key) {
  const auto it = section.find(key);
  if (it == section.end()) return std::nullopt;
  const std::u16string text = platform::Trim(it->second);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = std::min<std::uint64_t>(value * 10 + static_cast<std::uint64_t>(c - u'0'), UINT32_MAX);
  }
  return static_cast<std::uint32_t>(value);
}

std::uint32_t Bounded(std::optional<std::uint32_t> value, std::uint32_t fallback, std::uint32_t low,
                      std::uint32_t high) {
  return value ? std::clamp(*value, low, high) : fallback;
}

}  // namespace

TransferOptions ParseTransferOptions(const settings::SectionMap& section) {
  TransferOptions options;
  options.connections = Bounded(Number(section, u"connections"), options.connections, 1, kMaxConnections);
  options.tries = Bounded(Number(section, u"tries"), options.tries, 1, kMaxTries);
  options.stallMs = Bounded(Number(section, u"stalltime"), options.stallMs / 1000, 1, 3600) * 1000;
  return options;
}

TransferOptions LoadTransferOptions() {
  return ParseTransferOptions(settings::Settings::GetInstance()->ReadFileSection(u"Transfer"));
}

}  // namespace transfer
