// What the worker tests share: running a worker to its end on the test's
// thread, and the texts and records every download ends with.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "localisation/Dictionary.h"
#include "platform/Text.h"
#include "settings/Settings.h"
#include "transfer/Download.h"
#include "transfer/RecordingRow.h"

namespace testsupport {

inline std::u16string Text(const char16_t* key) { return localisation::Dictionary::GetInstance()->Lookup(key); }

// reason: the words after the code, with their leading ", ".
inline std::u16string ErrorStatus(std::uint32_t code, const std::u16string& target, const std::u16string& reason = u"") {
  return platform::Format("Error: %u (0x%8.8x)", code, code) + reason + u": " + target;
}

// Runs the worker on this thread to its end.
inline void RunWorker(RecordingRow& row, transfer::DownloadThreadParams* params) {
  params->row = &row;
  EXPECT_EQ(transfer::Download::StartThead(params), 1u);
  EXPECT_TRUE(row.m_workerDone);
}

inline std::u16string RecordedTransferError() {
  return settings::Settings::GetInstance()->GetErrors()[u"2303"];
}

// Common ending of every download: finished, notified once, Cancel hidden.
inline void ExpectFinished(const RecordingRow& row) {
  const RecordingRow::Record r = row.Snapshot();
  EXPECT_EQ(r.finishedNotices, 1);
  EXPECT_TRUE(r.finishedWhenNotified);
  EXPECT_GE(r.cancelHidden, 1);
}

// The unfinished file of a download into path is gone.
inline void ExpectNoUnfinishedFile(const std::string& path) {
  EXPECT_FALSE(std::filesystem::exists(path + ".vxpart")) << path << ".vxpart was left behind";
}

}  // namespace testsupport
