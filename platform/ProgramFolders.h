// The folder that stands in for the common program-files folder, below which
// the converter lives as Vexaro/ffmpeg (a link to the system's ffmpeg).
//
// In order:
//   1. the environment variable VEXARO_PROGRAM_FILES_COMMON when it is set and
//      not empty (tests point it at a folder holding a fake converter; a user
//      may point it at another ffmpeg the same way);
//   2. the folder of the running program (/proc/self/exe, links resolved)
//      joined with the relative path from the install's program folder to its
//      helper-program folder: <prefix>/bin/../libexec for a default install,
//      so an install moved elsewhere as a whole still finds its converter.
//      A program run from the build tree (build/<folder>/<program>) finds
//      build/libexec, which configuring links to the system's ffmpeg.
// No absolute path is compiled in. The result has no trailing '/' and is
// empty when the running program cannot be found. It is not created and may
// not exist.
#pragma once

#include <string>

namespace platform {

std::u16string ProgramFilesCommon();

// The folder of the running program (/proc/self/exe, links resolved), where
// the programs installed beside it live; empty when it cannot be found.
std::u16string RunningProgramFolder();

}  // namespace platform
