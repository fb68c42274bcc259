#include "transfer/Conversion.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "platform/ProgramFolders.h"
#include "platform/Text.h"
#include "settings/Settings.h"
#include "transfer/Download.h"
#include "transfer/DownloadRow.h"
#include "transfer/Texts.h"

namespace transfer {

namespace {

constexpr std::uint32_t kConversionBarColour = 100u | (30u << 8) | (100u << 16);  // RGB(100, 30, 100)
constexpr std::uint32_t kWaitMs = 1000;
// Enough for any folder a person keeps; past it the download stays where it is.
constexpr int kMaxRescueNames = 1000;

// ": 1.2 Mb" and the like, for the converted size.
std::u16string SizeText(std::uint64_t size) {
  const SizeUnit unit = UnitFor(size);
  if (unit.bytes == 1) return platform::Format(": %u bytes", static_cast<unsigned>(size));
  return platform::Format(": %.1f %s", static_cast<double>(size) / static_cast<double>(unit.bytes), unit.name);
}

std::size_t NameStart(const std::u16string& path) {
  const std::size_t slash = path.rfind(u'/');
  return slash == std::u16string::npos ? 0 : slash + 1;
}

// Position of the dot before the extension of path's file name, or npos.
std::size_t ExtensionDot(const std::u16string& path) {
  const std::size_t dot = path.rfind(u'.');
  return dot == std::u16string::npos || dot < NameStart(path) ? std::u16string::npos : dot;
}

bool CopyFileContents(const std::u16string& from, const std::u16string& to) {
  platform::InputFile input;
  platform::OutputFile output;
  if (!input.Open(from, platform::Share::Read) || !output.Open(to)) return false;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const long long count = input.Read(buffer.data(), buffer.size());
    if (count < 0) return false;
    if (count == 0) break;
    if (!output.Write(buffer.data(), static_cast<std::size_t>(count))) return false;
  }
  return output.Close();
}

// Moves the download next to the target so that a failed conversion does not
// leave it only in the temporary folder, which is cleaned up. Returns the new
// path, or empty when it could not be moved.
std::u16string RescueDownload(const std::u16string& temporaryPath, const std::u16string& targetPath,
                              std::u16string extension) {
  if (extension.empty()) {
    const std::size_t dot = ExtensionDot(temporaryPath);
    if (dot != std::u16string::npos) extension = temporaryPath.substr(dot + 1);
  }
  const std::size_t targetDot = ExtensionDot(targetPath);
  const std::u16string stem =
      targetPath.substr(0, targetDot == std::u16string::npos ? targetPath.size() : targetDot);
  const std::u16string suffix = extension.empty() ? std::u16string() : u"." + extension;

  // Reserving the name with an exclusive create keeps a file that appears
  // meanwhile from being replaced by the rename below.
  std::u16string destination;
  for (int copy = 1; copy <= kMaxRescueNames && destination.empty(); ++copy) {
    const std::u16string candidate =
        stem + (copy == 1 ? std::u16string() : platform::Format(" (%d)", copy)) + suffix;
    if (platform::CreateExclusive(candidate)) {
      destination = candidate;
    } else if (platform::LastError() != platform::kErrAlreadyExists) {
      return std::u16string();
    }
  }
  if (destination.empty()) return destination;

  if (platform::RenameFile(temporaryPath, destination)) return destination;
  // The temporary folder and the target often lie on different file systems.
  if (CopyFileContents(temporaryPath, destination)) {
    platform::RemoveFile(temporaryPath);
    return destination;
  }
  platform::RemoveFile(destination);
  return std::u16string();
}

}  // namespace

std::u16string BuildConversionCommandLine(const std::u16string& programFolder,
                                          const std::u16string& inputPath,
                                          const std::u16string& arguments,
                                          const std::u16string& outputPath) {
  // The program path is only wrapped: the first argument knows no escapes.
  std::u16string line = u"\"";
  line += programFolder;
  line += u"/Vexaro/ffmpeg";
  line += u"\" -i ";
  line += platform::QuoteArgument(inputPath);
  line += u" -y ";
  line += arguments;
  line += u" ";
  line += platform::QuoteArgument(outputPath);
  return line;
}

int ConversionBarPosition(std::uint32_t passes) {
  if (passes <= 1) return 5;
  // Single precision on purpose: the positions (n = 1000 gives exactly 100)
  // depend on it.
  const float logarithm = std::log10(static_cast<float>(passes));
  const float divisor = 0.03f;
  return static_cast<int>(logarithm / divisor);
}

std::u16string ConversionElapsedText(const std::u16string& label, std::uint32_t passes) {
  return label + platform::Format(": %u:%2.2u", passes / 60, passes % 60);
}

void RunConversion(DownloadThreadParams& params) {
  CopyTexts(params);
  DownloadRow& row = *params.row;
  const WorkerTexts& texts = params.texts;
  const std::u16string& target = params.targetPath;

  row.SetStatusText(texts.converting + u": " + target);

  const std::u16string commandLine =
      BuildConversionCommandLine(platform::ProgramFilesCommon(), params.temporaryPath,
                                 params.conversionArguments, target);
  platform::Process converter;
  bool failed = false;
  if (!converter.Start(commandLine)) {
    failed = true;
    settings::ReportError(platform::LastError(), settings::errors::kConverterLaunch);
    row.SetStatusText(texts.launchFailed + u": " + target);
  } else {
    const std::u16string& label = texts.elapsed;
    row.SetBarColour(kConversionBarColour);
    std::uint32_t exitCode = 0;
    platform::ProcessWait outcome = platform::ProcessWait::TimedOut;
    // The bar stands at 100 from the transfer until the first full second.
    for (std::uint32_t passes = 0; outcome == platform::ProcessWait::TimedOut; ++passes) {
      row.SetDetailText(ConversionElapsedText(label, passes));
      if (passes > 0) row.SetBarPosition(std::min(ConversionBarPosition(passes), 100));
      outcome = converter.Wait(kWaitMs, exitCode);
    }
    converter.Close();
    // A wait that failed tells nothing about the converter; it counts as done.
    if (outcome == platform::ProcessWait::Exited && exitCode != 0) {
      failed = true;
      settings::ReportError(exitCode, settings::errors::kConverterFailed);
      row.SetStatusText(ErrorCodeText(exitCode) + u": " + target);
    }
  }

  row.SetDetailText(std::u16string());
  row.SetBarPosition(100);
  if (failed) {
    const std::u16string rescued =
        RescueDownload(params.temporaryPath, target, params.nativeExtension);
    if (!rescued.empty()) row.SetDetailText(rescued);
  } else {
    platform::InputFile converted;
    if (converted.Open(target, platform::Share::None)) {
      const long long size = converted.Size();
      if (size >= 0) {
        row.SetDetailText(texts.convertedSize +
                          SizeText(static_cast<std::uint64_t>(size)));
      }
    }
    row.SetStatusText(texts.done + u": " + target);
  }
  row.HideCancel();
}

}  // namespace transfer
