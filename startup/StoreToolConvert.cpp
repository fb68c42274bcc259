// vexaro-store convert INPUT OUTPUT [ARGUMENT...]: runs the converter on a file
// exactly as a download row does after its transfer (same converter lookup,
// command line and outcome rules) and prints each text the row would show,
// by its dictionary key. It checks an install's converter link without a
// download; the error record is left alone.
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "startup/StoreTool.h"
#include "transfer/Conversion.h"
#include "transfer/Download.h"
#include "transfer/DownloadRow.h"

namespace startup {

namespace {

class ConsoleRow : public transfer::DownloadRow {
 public:
  explicit ConsoleRow(std::ostream& out) : out_(out) {}

  void SetStatusText(const std::u16string& text) override {
    status_ = text;
    out_ << "status: " << platform::ToUtf8(text) << "\n";
  }
  void SetDetailText(const std::u16string& text) override {
    out_ << "detail: " << platform::ToUtf8(text) << "\n";
  }
  void SetBarPosition(int) override {}
  void SetBarColour(std::uint32_t) override {}
  void HideCancel() override {}
  bool BarExists() const override { return true; }
  void NotifyFinished() override {}

  const std::u16string& Status() const { return status_; }

 private:
  std::ostream& out_;
  std::u16string status_;
};

}  // namespace

int StoreConvert(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() < 2 || args[0].empty() || args[1].empty()) {
    err << "usage: vexaro-store convert INPUT OUTPUT [ARGUMENT...]\n";
    return 2;
  }
  std::error_code ignored;
  ConsoleRow row(out);
  transfer::DownloadThreadParams params;
  params.row = &row;
  params.temporaryPath = platform::FromUtf8(std::filesystem::absolute(args[0], ignored).string());
  params.targetPath = platform::FromUtf8(std::filesystem::absolute(args[1], ignored).string());
  for (std::size_t i = 2; i < args.size(); ++i) {
    if (i > 2) params.conversionArguments += u' ';
    params.conversionArguments += platform::FromUtf8(args[i]);
  }
  transfer::RunConversion(params);
  return row.Status().starts_with(u"MANAGER_STATUS_DONE: ") ? 0 : 1;
}

}  // namespace startup
