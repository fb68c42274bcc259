// What the window tests and pictures download: routes on the loopback
// server, a real media clip made with the converter, and stand-in converters.
#pragma once

#include <string>

#include "support/LoopbackServer.h"

namespace testsupport {

// Adds to server:
//   /bytes/<n>           n pattern bytes with their Content-Length
//   /missing             404 with a small page
//   /hold                headers of a 1,000-byte body, then nothing until
//                        the server stops
//   /partial/<n>/<m>     m of n bytes, then nothing until the server stops
//   /file                the bytes of ServedFilePath() (set before requesting)
void AddDownloadRoutes(LoopbackServer& server);
std::string& ServedFilePath();

// The converter the build tree links to (the system's ffmpeg).
std::string SystemConverter();
// Points VEXARO_PROGRAM_FILES_COMMON at the folder that holds it, so rows
// convert with the real converter whatever folder the test program runs from.
void UseSystemConverter();
// Makes a clip (sound and picture) of `seconds` at path with the real
// converter; false when it fails.
bool MakeClip(const std::string& path, int seconds);

// Makes folder/Vexaro/ffmpeg a shell script running body ("$last" holds the
// output path) and points VEXARO_PROGRAM_FILES_COMMON at folder.
void UseScriptConverter(const std::string& folder, const std::string& body);

}  // namespace testsupport
