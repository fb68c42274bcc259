// The one download a command line describes, and the parser that reads it.
//
// Syntax: options "/name:value" separated by " /"; no quoting, no escapes. A
// value runs from the first ':' of its chunk up to the next " /" (or the end)
// and is kept untrimmed; names are trimmed and compared case-sensitively; later
// occurrences win; unknown names are skipped. Parsing stops at a chunk without
// ':' or one that starts with ':'. The parser never fails and reports nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace startup {

struct DownloadRequest {
  std::u16string url;
  // The suggested name without its extension (cut at the last '.').
  std::u16string file;
  std::u16string type;
  // wcstol rules: 0 when absent or not a number, saturated to 32 bits.
  std::int32_t size = 0;
  std::u16string cookie;
  std::u16string referer;
  std::u16string path;
  // Kept as text; the launch sequence reads it as a number (-1 = own format).
  std::u16string format;
  bool autoclose = false;
};

// Obtains the settings store first (so failures from here on are recorded),
// then reads commandLine.
DownloadRequest ParseCommandLine(const std::u16string& commandLine);

// The request of `vexaro --request-stdin`, which the browser host writes to
// the program's standard input so that the page's cookie never shows on a
// command line. The same options as a command line, UTF-8: each "/name:value"
// ended by a NUL byte instead of separated by " /", so a value may hold " /";
// the value runs from the first ':' of its entry to the NUL; an empty entry (a
// lone NUL) ends the request. Names and values follow the command line's
// rules (unknown names skipped, later ones win, /file loses its extension).
// Invalid UTF-8 reads as it does in argv (U+FFFD). Obtains the settings store
// first, as ParseCommandLine does. False (request empty) when the end mark is
// missing, as when the sender was cut off.
bool ParseRequestOptions(std::string_view text, DownloadRequest& request);

// The command-line text of a Linux start: argv[1..argc-1] (UTF-8) joined with
// single blanks, so that `vexaro /url:A /file:f` and `vexaro "/url:A /file:f"`
// read the same. argv[0], the program name, is left out.
std::u16string JoinArguments(int argc, const char* const argv[]);

}  // namespace startup
