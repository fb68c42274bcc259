// A download row that prints each text it would show, one line each
// ("status: ..." / "detail: ..."), for vexaro-store's convert and fetch. The
// worker calls it on its own thread; nothing else touches it meanwhile.
#pragma once

#include <ostream>
#include <string>

#include "platform/Text.h"
#include "transfer/DownloadRow.h"

namespace startup {

class ConsoleRow : public transfer::DownloadRow {
 public:
  explicit ConsoleRow(std::ostream& out) : out_(out) {}

  void SetStatusText(const std::u16string& text) override {
    status_ = text;
    out_ << "status: " << platform::ToUtf8(text) << std::endl;
  }
  void SetDetailText(const std::u16string& text) override { out_ << "detail: " << platform::ToUtf8(text) << "\n"; }
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

}  // namespace startup
