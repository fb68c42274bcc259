// The conversion runner: turns a finished download into the format the user
// chose by running the converter (<ProgramFilesCommon()>/Vexaro/ffmpeg, see
// platform/ProgramFolders.h) on it, and shows the run on the download's row.
//
// Calling sequence: the worker calls RunConversion() on its own thread after
// the transfer into params.temporaryPath succeeded, only when temporaryPath is
// not empty; afterwards it sets m_finished and notifies the dialog. The call
// blocks until the converter has ended (one row update per second while it
// runs). The row's Cancel is shown again while the converter runs, and the
// row's stop event (Cancel, or the row going away with its dialog) ends it.
//
// Uses of params: row, texts (copied from dictionary first, see CopyTexts),
// temporaryPath (input), targetPath (output), replaceTarget,
// conversionArguments (passed unquoted, as they stand), nativeExtension.
//
// The converter never writes the target itself: it writes an unfinished file
// beside it ("song.vxpart.mp3", reserved with an exclusive create, so the
// converter's -y can only replace that), which is renamed onto the target once
// the converter has succeeded. An existing target is replaced only when
// params.replaceTarget says the user agreed to it; otherwise the result takes
// the first free name "song (2).mp3", ... and the row names that one. Whenever
// the conversion fails or is stopped, the unfinished file is removed, so no
// partial result is left looking like one.
//
// Progress: the converter reports its position (-progress) and the input's
// duration through one pipe; where both are known the bar shows the share
// done, else it follows the elapsed time on a logarithmic curve. It starts at
// 0 in the conversion colour and only ever moves forward.
//
// Outcomes on the row (the Cancel button is hidden at the end in every case):
//   - done: status MANAGER_STATUS_DONE + ": " + result path, detail the
//     converted size;
//   - converter not started (or its output file could not be reserved):
//     status DOWNLOAD_FILE_STATUS_ERROR_LAUNCH + ": " + target; error record
//     2304 = the error number;
//   - converter failed (exit code not 0, killed: 128 + signal, or exit 0 with
//     nothing written: kErrConverterNoOutput): status "Error: %u (0x%8.8x)" of
//     that code + ": " + target; error record 2305 = the code;
//   - stopped: status MANAGER_ERROR_CONVERSION_CANCELED + ": " + target; not
//     recorded (the user asked for it).
// After a failure or a stop the download is not lost: the temporary file is
// moved beside the target, named like the target but with the download's own
// extension (nativeExtension, else the temporary file's), as "name (2).ext"
// and so on when that name is taken; the detail line says where it went
// (MANAGER_ORIGINAL_KEPT + ": " + path; empty when it could not be moved, and
// the temporary file then stays). After a done conversion the temporary file
// stays for the manager to delete. Failures and only failures set m_failed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace transfer {

struct DownloadThreadParams;

// A converter that exits 0 but leaves an empty output (E_FAIL).
inline constexpr std::uint32_t kErrConverterNoOutput = 0x80004005u;

void RunConversion(DownloadThreadParams& params);

// The converter's command line: the quoted program path, -i and the quoted
// input, -y, the arguments as they stand and the quoted output, e.g.
//   "/usr/libexec/Vexaro/ffmpeg" -i "/tmp/vx_1.flv" -y -acodec mp3 "/m/a.mp3"
// Empty arguments leave two blanks before the output. The file paths are
// quoted with platform::QuoteArgument, so a quote or a trailing backslash in a
// file name reaches the converter unchanged instead of splitting the line.
std::u16string BuildConversionCommandLine(const std::u16string& programFolder,
                                          const std::u16string& inputPath,
                                          const std::u16string& arguments,
                                          const std::u16string& outputPath);

// What RunConversion puts before the format's arguments: the converter's
// progress report on its standard output, without its status line.
inline constexpr char16_t kConverterProgressOptions[] = u"-nostats -progress pipe:1 ";

// Bar position after `passes` one-second waits (passes >= 1): 5 after one,
// then (int)(log10f(passes) / 0.03f): 10, 15, 23 ... 100 after 1000, and
// beyond 100 (shown full) later.
int ConversionBarPosition(std::uint32_t passes);

// label + ": minutes:seconds" of the elapsed passes ("Elapsed: 1:05").
std::u16string ConversionElapsedText(const std::u16string& label, std::uint32_t passes);

// Reads the converter's output as it arrives, in pieces of any size: the
// input's duration from its "Duration: HH:MM:SS.ss" line and the position
// from the progress report's out_time_us (or out_time_ms, which older
// converters also give in microseconds). Values it cannot read ("N/A") are
// skipped.
class ConverterProgress {
 public:
  void Feed(std::string_view bytes);
  // 0..100: the share of the duration that has been written; -1 while the
  // duration or the position is unknown.
  int Percent() const;

 private:
  void Line(std::string_view line);

  std::string partial_;
  std::int64_t durationUs_ = -1;
  std::int64_t positionUs_ = -1;
};

}  // namespace transfer
