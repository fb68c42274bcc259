// One bench download: DownloadToFile(url, file) with the full progress
// reporting of a row (texts formatted, compared and "shown"), run in a process
// of its own so the driver can take its wall time and peak memory.
// Usage: vexaro-bench-fetch URL FILE [--connections N]  (default 1). Exit 0
// when the result was 0.
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>

#include "platform/Text.h"
#include "transfer/Download.h"

namespace {

class BenchRow : public transfer::DownloadRow {
 public:
  void SetStatusText(const std::u16string& text) override { status_ = text; }
  void SetDetailText(const std::u16string& text) override { detail_ = text; }
  void SetBarPosition(int position) override { bar_ = position; }
  void SetBarColour(std::uint32_t) override {}
  void HideCancel() override {}
  bool BarExists() const override { return true; }
  void NotifyFinished() override {}

 private:
  std::u16string status_;
  std::u16string detail_;
  int bar_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  transfer::TransferOptions options;
  options.connections = 1;
  if (argc == 5 && std::string(argv[3]) == "--connections") {
    options.connections = static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10));
  } else if (argc != 3) {
    std::cerr << "usage: vexaro-bench-fetch URL FILE [--connections N]\n";
    return 2;
  }
  BenchRow row;
  const std::uint32_t result = transfer::DownloadToFile(row, platform::FromUtf8(argv[1]), platform::FromUtf8(argv[2]),
                                                        0, u"", u"", options);
  if (result != 0) std::cerr << "DownloadToFile: 0x" << std::hex << result << "\n";
  return result == 0 ? 0 : 1;
}
