#include "transfer/DownloadRow.h"

#include <algorithm>
#include <cstdint>

#include "platform/Text.h"
#include "transfer/Texts.h"

namespace transfer {

namespace {

// Amounts pass through single precision before printing; at a rounding
// boundary that decides the last digit shown, so it is kept on purpose.
double Scaled(std::uint64_t bytes, std::uint64_t unit) {
  return static_cast<float>(static_cast<double>(bytes) / static_cast<double>(unit));
}

// The unit goes by the total, so both amounts of a line share it.
std::u16string AmountText(std::uint64_t progress, std::uint64_t total, const std::u16string& ofText) {
  const std::string of = platform::ToUtf8(ofText);
  const SizeUnit unit = UnitFor(total);
  if (unit.bytes == 1) {
    return platform::Format("%llu %s %llu bytes", static_cast<unsigned long long>(progress), of.c_str(),
                            static_cast<unsigned long long>(total));
  }
  return platform::Format("%.1f %s %.1f %s", Scaled(progress, unit.bytes), of.c_str(), Scaled(total, unit.bytes),
                          unit.name);
}

// progress * 100 / total without overflow, full at 100.
int Percent(std::uint64_t progress, std::uint64_t total) {
  if (progress >= total) return 100;
  if (progress <= UINT64_MAX / 100) return static_cast<int>(progress * 100 / total);
  // Here total > progress > 2^64 / 100: dividing by total / 100 can come out
  // one point high at most, and only for amounts beyond 184 petabytes.
  return static_cast<int>(std::min<std::uint64_t>(progress / (total / 100), 100));
}

}  // namespace

std::u16string DownloadRow::ProgressText(std::uint64_t progress, std::uint64_t total, const std::u16string& ofText) {
  return total > 0 ? AmountText(progress, total, ofText) : platform::Format("%.1f Mb", Scaled(progress, kBytesPerMb));
}

int DownloadRow::ProgressPercent(std::uint64_t progress, std::uint64_t total) {
  return total > 0 ? Percent(progress, total) : 0;
}

std::uint32_t DownloadRow::OnProgress(std::uint64_t progress, std::uint64_t total, std::uint32_t statusCode) {
  if (BarExists() && statusCode == kStatusDownloadingData) {
    const std::u16string text = ProgressText(progress, total, m_ofText);
    if (text != m_lastDetailText) {
      SetDetailText(text);
      m_lastDetailText = text;
    }
    // Without a total the bar has nothing to measure against; it jumps to
    // full with the completion.
    if (total > 0) SetBarPosition(Percent(progress, total));
  } else if (BarExists() && statusCode == kStatusEndDownloadData) {
    SetStatusText(m_completedText + u": " + (m_placedPath.empty() ? m_targetPath : m_placedPath));
    SetBarPosition(100);
    HideCancel();
  }
  return m_stopEvent.TryWait() ? kEAbort : kSOk;
}

}  // namespace transfer
