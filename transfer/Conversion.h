// The conversion runner: turns a finished download into the format the user
// chose by running the converter (<ProgramFilesCommon()>/Vexaro/ffmpeg, see
// platform/ProgramFolders.h) on it, and shows the run on the download's row.
//
// Calling sequence: the worker calls RunConversion() on its own thread after
// the transfer into params.temporaryPath succeeded, only when temporaryPath is
// not empty; afterwards it sets m_finished and notifies the dialog. The call
// blocks until the converter has ended (one row update per second while it
// runs) and does not look at the row's stop event: the converter always runs
// to its end.
//
// Uses of params: row, texts (copied from dictionary first, see CopyTexts),
// temporaryPath (input), targetPath (output),
// conversionArguments (passed unquoted, as they stand), nativeExtension.
//
// Outcomes on the row (the Cancel button is hidden in every case):
//   - done: status MANAGER_STATUS_DONE + ": " + target, detail the converted
//     size (empty when the converter left no target file);
//   - converter not started: status DOWNLOAD_FILE_STATUS_ERROR_LAUNCH + ": " +
//     target; error record 2304 = the error number of the start;
//   - converter failed (exit code not 0, or killed: 128 + signal): status
//     "Error: %u (0x%8.8x)" of the exit code + ": " + target; error record
//     2305 = the exit code.
// After either failure the download is not lost: the temporary file is moved
// beside the target, named like the target but with the download's own
// extension (nativeExtension, else the temporary file's), as "name (2).ext"
// and so on when that name is taken; the detail line shows where it went
// (empty when it could not be moved; the temporary file then stays). After a
// done conversion the temporary file stays for the manager to delete.
#pragma once

#include <cstdint>
#include <string>

namespace transfer {

struct DownloadThreadParams;

void RunConversion(DownloadThreadParams& params);

// The converter's command line: the quoted program path, -i and the quoted
// input, -y, the arguments as they stand and the quoted output, e.g.
//   "/usr/lib/Vexaro/ffmpeg" -i "/tmp/vx_1.flv" -y -acodec mp3 "/m/a.mp3"
// Empty arguments leave two blanks before the output. The file paths are
// quoted with platform::QuoteArgument, so a quote or a trailing backslash in a
// file name reaches the converter unchanged instead of splitting the line.
std::u16string BuildConversionCommandLine(const std::u16string& programFolder,
                                          const std::u16string& inputPath,
                                          const std::u16string& arguments,
                                          const std::u16string& outputPath);

// Bar position after `passes` one-second waits (passes >= 1): 5 after one,
// then (int)(log10f(passes) / 0.03f): 10, 15, 23 ... 100 after 1000, and
// beyond 100 (shown full) later.
int ConversionBarPosition(std::uint32_t passes);

// label + ": minutes:seconds" of the elapsed passes ("Elapsed: 1:05").
std::u16string ConversionElapsedText(const std::u16string& label, std::uint32_t passes);

}  // namespace transfer
