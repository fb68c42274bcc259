#include "transfer/Conversion.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "platform/ProgramFolders.h"
#include "platform/Text.h"
#include "settings/Settings.h"
#include "transfer/Download.h"
#include "transfer/DownloadRow.h"
#include "transfer/FilePlacement.h"
#include "transfer/Texts.h"

namespace transfer {

namespace {

constexpr std::uint32_t kConversionBarColour = 100u | (30u << 8) | (100u << 16);  // RGB(100, 30, 100)
constexpr std::uint32_t kWaitMs = 1000;
// How often a pass looks at the stop event while the converter runs.
constexpr std::uint32_t kStopTestMs = 100;
// A converter asked to stop may first finish its file; past this it is killed.
constexpr std::uint32_t kTerminateGraceMs = 3000;

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
  const std::u16string stem = SplitExtension(targetPath).first;
  const std::u16string suffix = extension.empty() ? std::u16string() : u"." + extension;

  // Reserving the name with an exclusive create keeps a file that appears
  // meanwhile from being replaced by the rename below.
  std::u16string destination;
  for (int copy = 1; copy <= kMaxNumberedNames && destination.empty(); ++copy) {
    const std::u16string candidate = NumberedName(stem, suffix, copy);
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

// Reserves the converter's output beside the target: "song.vxpart.mp3" (the
// converter picks its output format by the extension, so that stays last),
// or "song.vxpart-2.mp3" ... when another conversion of the same name runs.
// Mode 0666 less the umask, as the converter would create the target. Empty
// (LastError set) when no name can be had.
std::u16string ReserveUnfinishedOutput(const std::u16string& target) {
  const auto [stem, suffix] = SplitExtension(target);
  for (int copy = 1; copy <= kMaxNumberedNames; ++copy) {
    const std::u16string candidate =
        stem + u".vxpart" + (copy == 1 ? std::u16string() : platform::Format("-%d", copy)) + suffix;
    if (platform::CreateExclusive(candidate, 0666)) return candidate;
    if (platform::LastError() != platform::kErrAlreadyExists) return std::u16string();
  }
  return std::u16string();
}

// One pass of the monitoring loop: waits up to kWaitMs for the converter,
// looking at the stop event meanwhile. stopped says whether it was signalled.
platform::ProcessWait WaitOnePass(platform::Process& converter, DownloadRow& row, std::uint32_t& exitCode,
                                  bool& stopped) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(kWaitMs);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return platform::ProcessWait::TimedOut;
    const platform::ProcessWait outcome =
        converter.Wait(static_cast<std::uint32_t>(std::min<long long>(left, kStopTestMs)), exitCode);
    if (outcome != platform::ProcessWait::TimedOut) return outcome;
    if (row.m_stopEvent.TryWait()) {
      // A Pause clicked as the transfer ended: a conversion is not paused.
      if (row.m_pauseRequested.exchange(false)) continue;
      stopped = true;
      return outcome;
    }
  }
}

enum class Outcome { Done, LaunchFailed, Failed, Stopped };

// Reads "HH:MM:SS.ss" (hours of any length) as microseconds; -1 otherwise.
std::int64_t ClockMicroseconds(std::string_view text) {
  int fields[2] = {0, 0};
  std::size_t at = 0;
  std::int64_t hours = 0;
  std::size_t digits = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 9; ++at, ++digits) {
    hours = hours * 10 + (text[at] - '0');
  }
  if (digits == 0) return -1;
  for (int& field : fields) {
    if (at + 3 > text.size() || text[at] != ':' || text[at + 1] < '0' || text[at + 1] > '9' ||
        text[at + 2] < '0' || text[at + 2] > '9')
      return -1;
    field = (text[at + 1] - '0') * 10 + (text[at + 2] - '0');
    at += 3;
  }
  std::int64_t fraction = 0;
  std::int64_t scale = 1000000;
  if (at < text.size() && text[at] == '.') {
    for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
      scale /= 10;
      fraction += (text[at] - '0') * scale;
    }
  }
  return ((hours * 60 + fields[0]) * 60 + fields[1]) * 1000000 + fraction;
}

// A non-negative decimal count; -1 for anything else ("N/A", a sign, junk).
std::int64_t Count(std::string_view text) {
  if (text.empty() || text.size() > 18) return -1;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

void ConverterProgress::Feed(std::string_view bytes) {
  for (const char c : bytes) {
    if (c == '\n' || c == '\r') {
      Line(partial_);
      partial_.clear();
    } else if (partial_.size() < 4096) {  // no line of interest is longer
      partial_.push_back(c);
    }
  }
}

void ConverterProgress::Line(std::string_view line) {
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  constexpr std::string_view kDuration = "Duration: ";
  if (line.starts_with(kDuration)) {
    // Only the first input's: a later "Duration:" belongs to another stream.
    if (durationUs_ < 0) {
      const std::int64_t duration = ClockMicroseconds(line.substr(kDuration.size()));
      if (duration > 0) durationUs_ = duration;
    }
    return;
  }
  for (const std::string_view key : {std::string_view("out_time_us="), std::string_view("out_time_ms=")}) {
    if (line.starts_with(key)) {
      const std::int64_t position = Count(line.substr(key.size()));
      if (position >= 0) positionUs_ = position;
      return;
    }
  }
}

int ConverterProgress::Percent() const {
  if (durationUs_ <= 0 || positionUs_ < 0) return -1;
  if (positionUs_ >= durationUs_) return 100;
  return static_cast<int>(positionUs_ * 100 / durationUs_);
}

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

  Outcome outcome = Outcome::Done;
  Failure failure;
  platform::Process converter;
  const std::u16string unfinished = ReserveUnfinishedOutput(target);
  if (unfinished.empty() ||
      !converter.Start(BuildConversionCommandLine(platform::ProgramFilesCommon(), params.temporaryPath,
                                                  kConverterProgressOptions + params.conversionArguments,
                                                  unfinished),
                       platform::ProcessOutput::Collect)) {
    outcome = Outcome::LaunchFailed;
    settings::ReportError(platform::LastError(), settings::errors::kConverterLaunch);
  } else {
    const std::u16string& label = texts.elapsed;
    // The bar starts over in the conversion's colour: it stood full from the
    // transfer, and a bar that fell back from there would read as going back.
    row.SetBarColour(kConversionBarColour);
    row.SetBarPosition(0);
    row.ShowCancel();
    ConverterProgress progress;
    int bar = 0;
    std::uint32_t exitCode = 0;
    bool stopped = false;
    platform::ProcessWait waited = platform::ProcessWait::TimedOut;
    for (std::uint32_t passes = 0; waited == platform::ProcessWait::TimedOut && !stopped; ++passes) {
      row.SetDetailText(ConversionElapsedText(label, passes));
      if (passes > 0) {
        const int share = progress.Percent();
        const int position = share >= 0 ? share : std::min(ConversionBarPosition(passes), 100);
        if (position > bar) {
          bar = position;
          row.SetBarPosition(bar);
        }
      }
      waited = WaitOnePass(converter, row, exitCode, stopped);
      progress.Feed(converter.TakeOutput());
    }
    if (stopped) {
      outcome = Outcome::Stopped;
      converter.Terminate(kTerminateGraceMs, exitCode);
    } else if (waited == platform::ProcessWait::Exited && exitCode != 0) {
      outcome = Outcome::Failed;
      failure = {exitCode, FailureReason::ConverterFailed, exitCode};
    } else if (platform::FileSize(unfinished) <= 0) {
      // A wait that failed tells nothing about the converter; what it left
      // decides. An empty output is no result, whatever the exit code says.
      outcome = Outcome::Failed;
      failure = {kErrConverterNoOutput, FailureReason::ConverterWroteNothing, 0};
    }
    converter.Close();
    if (outcome == Outcome::Failed) settings::ReportError(failure.code, settings::errors::kConverterFailed);
  }

  row.SetDetailText(std::u16string());
  row.SetBarPosition(100);
  std::u16string result;
  if (outcome == Outcome::Done) {
    result = PlaceFinishedFile(unfinished, target, params.replaceTarget);
    if (result.empty()) {
      outcome = Outcome::Failed;
      failure = {platform::LastError(), FailureReason::WriteFailed, 0};
      settings::ReportError(failure.code, settings::errors::kConverterFailed);
    }
  }
  if (outcome == Outcome::Done) {
    const long long size = platform::FileSize(result);
    if (size >= 0) row.SetDetailText(texts.convertedSize + SizeText(static_cast<std::uint64_t>(size)));
    row.SetStatusText(texts.done + u": " + result);
    row.SetResultPath(result);
  } else {
    if (!unfinished.empty()) platform::RemoveFile(unfinished);
    if (outcome == Outcome::LaunchFailed) {
      row.SetStatusText(texts.launchFailed + u": " + target);
    } else if (outcome == Outcome::Failed) {
      row.SetStatusText(FailureText(failure, texts.reasons) + u": " + target);
    } else {
      row.SetStatusText(texts.conversionCancelled + u": " + target);
    }
    if (outcome != Outcome::Stopped) row.m_failed = true;
    else row.m_cancelled = true;
    const std::u16string rescued = RescueDownload(params.temporaryPath, target, params.nativeExtension);
    if (!rescued.empty()) {
      row.SetDetailText(texts.originalKept + u": " + rescued);
      row.SetResultPath(rescued);
    }
  }
  row.HideCancel();
}

}  // namespace transfer
