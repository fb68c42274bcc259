// What the manager dialog's tests share: a private data folder with the
// shipped texts, the loopback server with the download routes, a work
// folder, the dialog under test and hand-off records built as a later start
// sends them.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "manager/DownloadFileDialog.h"
#include "platform/Text.h"
#include "settings/Settings.h"
#include "support/Downloads.h"
#include "support/ShippedTexts.h"
#include "support/TempFolder.h"
#include "transfer/DownloadItem.h"
#include "transfer/HandoffRecords.h"

namespace testsupport {

using manager::CDownloadFileDialog;

// The payloads of a string record and of a size record.
inline QByteArray Utf16(const std::u16string& text) { return QByteArray::fromStdString(transfer::TextPayload(text)); }
inline QByteArray SizeRecord(std::int32_t size) { return QByteArray::fromStdString(transfer::SizePayload(size)); }

class ManagerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("no_proxy", "*", 1);
    settings::Settings::GetInstance();
    ASSERT_TRUE(InstallShippedTexts());
    AddDownloadRoutes(server_);
    ASSERT_TRUE(server_.Start());
  }

  void TearDown() override {
    dialog_.reset();
    manager::WaitForDetachedWorkers();
    ::unsetenv("VEXARO_PROGRAM_FILES_COMMON");
  }

  std::u16string Url(const std::string& path) const { return platform::FromUtf8(server_.Url(path)); }
  std::u16string File(const std::string& name) const { return work_.File16(name); }

  CDownloadFileDialog& Open(const std::string& path, const std::u16string& target, bool autoclose = false,
                            const std::u16string& temp = u"", std::int64_t size = 0) {
    dialog_ = std::make_unique<CDownloadFileDialog>(Url(path), temp, target, u"", size, u"", autoclose, u"");
    dialog_->show();
    return *dialog_;
  }

  // The eight records of one hand-off, in the sender's order.
  void Send(const std::u16string& url, const std::u16string& target, const std::u16string& temp = u"",
            const std::u16string& arguments = u"") {
    dialog_->OnCopyData(0, Utf16(url));
    dialog_->OnCopyData(1, Utf16(target));
    dialog_->OnCopyData(2, Utf16(arguments));
    dialog_->OnCopyData(3, SizeRecord(0));
    dialog_->OnCopyData(4, QByteArray());
    dialog_->OnCopyData(5, Utf16(temp));
    dialog_->OnCopyData(7, QByteArray());
    dialog_->OnCopyData(6, QByteArray());
  }

  // Every row has finished.
  bool AllFinished() const {
    for (int i = 0; i < dialog_->RowCount(); ++i) {
      if (!dialog_->Row(i)->IsFinished()) return false;
    }
    return true;
  }

  TempDataHome home_;
  TempFolder work_;
  LoopbackServer server_;
  std::unique_ptr<CDownloadFileDialog> dialog_;
};

}  // namespace testsupport
