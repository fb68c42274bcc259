// The host's real parts: the program it starts and the types it takes.
#pragma once

#include <cstdint>
#include <string>

#include "browser/host/Host.h"

namespace browserhost {

// Starts `program --request-stdin` in a session of its own (so it outlives
// the host and the browser's hold on it) and writes the request to its
// standard input; the cookie never shows on a command line. A program that
// ends within settleMs of its start with an error took the request but will
// show nothing (no window system, a broken install): that is reported as a
// failure, so the browser keeps its own download. Ending with 0 in that time
// is a start that has already handed its download over.
class ProgramLauncher : public Launcher {
 public:
  explicit ProgramLauncher(std::string program, std::uint32_t settleMs = 250);
  bool Launch(const DownloadFields& download, std::string& failure) override;

 private:
  std::string program_;
  std::uint32_t settleMs_;
};

// `vexaro` in the host's own folder: both are installed into the same one,
// and the build puts them side by side too. Empty when the host's own folder
// cannot be found.
std::string ProgramBesideHost();

// The types config.ini in the data folder offers something for, as the
// program's launch sequence looks them up (writing the default config.ini
// when there is none, as the program would).
class ConfiguredTypes : public TypeFilter {
 public:
  bool Handles(const std::string& mimeType) override;
};

}  // namespace browserhost
