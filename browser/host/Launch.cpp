#include "browser/host/Launch.h"

#include <vector>

#include "config/Config.h"
#include "platform/Errors.h"
#include "platform/Process.h"
#include "platform/ProgramFolders.h"
#include "platform/Text.h"

namespace browserhost {

ProgramLauncher::ProgramLauncher(std::string program, std::uint32_t settleMs)
    : program_(std::move(program)), settleMs_(settleMs) {}

bool ProgramLauncher::Launch(const DownloadFields& download, std::string& failure) {
  if (program_.empty()) {
    failure = "the host cannot find its own folder, so not Vexaro either";
    return false;
  }
  platform::Process process;
  const std::vector<std::string> arguments{program_, "--request-stdin"};
  if (!process.StartWithInput(arguments, EncodeRequestOptions(download), 500)) {
    failure = "cannot start " + program_ + ": " + platform::ErrorText(platform::LastError());
    return false;
  }
  // A start that cannot work (no display, a broken install) ends at once with
  // an error; the browser then keeps its download. One that ends at once
  // with 0 did its work: its Save-As was answered quickly and it handed the
  // download to the open window (the wait may begin late on a busy machine).
  std::uint32_t exitCode = 0;
  if (process.Wait(settleMs_, exitCode) == platform::ProcessWait::Exited && exitCode != 0) {
    failure = program_ + " ended at once (exit code " + std::to_string(exitCode) + ")";
    return false;
  }
  // It runs on in its own session; this process ends right after answering.
  process.Close();
  return true;
}

std::string ProgramBesideHost() {
  const std::u16string folder = platform::RunningProgramFolder();
  if (folder.empty()) return std::string();
  return platform::ToUtf8(folder) + "/vexaro";
}

bool ConfiguredTypes::Handles(const std::string& mimeType) {
  config::FormatEntry entry;
  return config::Config::GetInstance(true)->FindFormat(platform::FromUtf8(mimeType), entry);
}

}  // namespace browserhost
