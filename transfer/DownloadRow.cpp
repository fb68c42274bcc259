#include "transfer/DownloadRow.h"

#include <algorithm>

#include "platform/Text.h"

namespace transfer {

namespace {

// The unit goes by the total, so both amounts of a line share it; a Mb is
// 1,024,000 bytes (the unit the add-on's pages show too).
constexpr std::uint64_t kKbBytes = 1024;
constexpr std::uint64_t kMbBytes = 1024000;

// Amounts go through single precision before printing, so "%.1f" rounds
// where the add-on's figures round.
double Scaled(std::uint64_t bytes, std::uint64_t unit) {
  return static_cast<float>(static_cast<double>(bytes) / static_cast<double>(unit));
}

std::u16string AmountText(std::uint64_t progress, std::uint64_t total, const std::u16string& ofText) {
  const std::string of = platform::ToUtf8(ofText);
  if (total > kMbBytes) {
    return platform::Format("%.1f %s %.1f Mb", Scaled(progress, kMbBytes), of.c_str(), Scaled(total, kMbBytes));
  }
  if (total > kKbBytes) {
    return platform::Format("%.1f %s %.1f Kb", Scaled(progress, kKbBytes), of.c_str(), Scaled(total, kKbBytes));
  }
  return platform::Format("%llu %s %llu bytes", static_cast<unsigned long long>(progress), of.c_str(),
                          static_cast<unsigned long long>(total));
}

int Percent(std::uint64_t progress, std::uint64_t total) {
  const unsigned __int128 percent = static_cast<unsigned __int128>(progress) * 100 / total;
  return static_cast<int>(std::min<unsigned __int128>(percent, 100));
}

}  // namespace

std::uint32_t DownloadRow::OnProgress(std::uint64_t progress, std::uint64_t total, std::uint32_t statusCode) {
  if (BarExists() && statusCode == kStatusDownloadingData) {
    const std::u16string text =
        total > 0 ? AmountText(progress, total, m_ofText) : platform::Format("%.1f Mb", Scaled(progress, kMbBytes));
    if (text != m_lastDetailText) {
      SetDetailText(text);
      m_lastDetailText = text;
    }
    // Without a total the bar has nothing to measure against; it jumps to
    // full with the completion.
    if (total > 0) SetBarPosition(Percent(progress, total));
  } else if (BarExists() && statusCode == kStatusEndDownloadData) {
    SetStatusText(u"Download completed: " + m_targetPath);
    SetBarPosition(100);
    HideCancel();
  }
  return m_stopEvent.TryWait() ? kEAbort : kSOk;
}

}  // namespace transfer
