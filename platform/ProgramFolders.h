// The folder that stands in for the common program-files folder, below which
// the converter lives as Vexaro/ffmpeg (a link to the system's ffmpeg).
//
// In order:
//   1. the environment variable VEXARO_PROGRAM_FILES_COMMON when it is set and
//      not empty (tests point it at a folder holding a fake converter; a user
//      may point it at another ffmpeg the same way);
//   2. <build folder>/lib when the running program lies inside the build
//      folder it was built in, where configuring links lib/Vexaro/ffmpeg to
//      the system's ffmpeg;
//   3. the folder fixed at build time, the install prefix's library folder
//      (CMake cache variable VEXARO_PROGRAM_FILES_COMMON), where installing
//      makes the same link.
// The result has no trailing '/'. It is not created and may not exist.
#pragma once

#include <string>

namespace platform {

std::u16string ProgramFilesCommon();

}  // namespace platform
