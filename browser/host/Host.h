// One exchange of the native-messaging host: the browser starts the host for
// each message the add-on sends (runtime.sendNativeMessage), writes that one
// message to its standard input and reads one answer from its standard
// output. Serve() reads the message, checks it, starts the program for a
// download and answers:
//   {"ok":true,"version":"..."}                       ping, or download taken
//   {"ok":false,"error":"<code>","message":"<text>"}  anything else
// Every message gets exactly one framed answer and nothing else is written to
// out; a message that is refused starts nothing. The whole exchange is bounded
// in time: the message must arrive within readTimeoutMs.
//
// Single-threaded; the caller owns both descriptors.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "browser/host/Message.h"

namespace browserhost {

// Starts the program for one checked download. The program's side of the
// channel is in startup/CommandLine.h (ParseRequestOptions).
class Launcher {
 public:
  virtual ~Launcher() = default;
  // False with a sentence for the add-on when it could not be started.
  virtual bool Launch(const DownloadFields& download, std::string& failure) = 0;
};

// Whether the program would show a Save-As offer for a MIME type: a type it
// does not know would make it end silently, and the browser's own download
// would be lost, so such downloads stay with the browser.
class TypeFilter {
 public:
  virtual ~TypeFilter() = default;
  virtual bool Handles(const std::string& mimeType) = 0;
};

struct ServeOptions {
  std::uint32_t readTimeoutMs = 1000;
  std::string version;
};

enum class ServeResult {
  Answered,    // an answer went out (ok or error)
  NoMessage,   // the input ended before a message began; nothing is written
  WriteFailed  // the answer could not be written
};

ServeResult Serve(int in, int out, Launcher& launcher, TypeFilter& types, const ServeOptions& options);

// The answer texts (JSON, unframed), for tests and the fuzz target.
std::string OkAnswer(std::string_view version);
std::string ErrorAnswer(std::string_view error, std::string_view detail);

}  // namespace browserhost
