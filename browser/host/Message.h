// What the add-on sends the host, checked field by field.
//
// A message is one JSON object with "action":
//   "ping"      asks whether the host is there (the options page does);
//   "download"  hands one download over, with the fields of the program's
//               command line:
//     url        string, required; http or https, with a host
//     file       string, required; the suggested name
//     type       string, required; the MIME type
//     size       integer >= 0, optional (0: unknown)
//     cookie     string, optional; no control characters
//     referer    string, optional; no control characters
//     path       string, optional; the folder Save-As opens in
//     format     integer from -1, optional (-1: the file's own format)
//     autoclose  boolean, optional
// Every string is bounded (below) and may hold no control character (U+0000
// to U+001F, U+007F): in the cookie or referrer one would add header lines,
// and in any field a NUL would end it early on the program's input. Unknown
// members are ignored, so a newer add-on can send more.
//
// Qt's JSON classes parse; nothing here touches the system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace browserhost {

inline constexpr std::size_t kMaxUrlBytes = 32 * 1024;
inline constexpr std::size_t kMaxCookieBytes = 32 * 1024;
inline constexpr std::size_t kMaxRefererBytes = 32 * 1024;
inline constexpr std::size_t kMaxFileBytes = 1024;
inline constexpr std::size_t kMaxTypeBytes = 255;
inline constexpr std::size_t kMaxPathBytes = 4096;
inline constexpr std::int64_t kMaxFormat = 999;

enum class Action { Ping, Download };

// The download as the program's options carry it (UTF-8).
struct DownloadFields {
  std::string url;
  std::string file;
  std::string type;
  std::int64_t size = 0;
  std::string cookie;
  std::string referer;
  std::string path;
  std::int64_t format = -1;
  bool autoclose = false;
};

struct ParsedMessage {
  bool ok = false;
  // When !ok: a short fixed code ("bad-json", "missing-field", ...) and a
  // sentence for the add-on's console naming the field.
  std::string error;
  std::string detail;
  Action action = Action::Ping;
  DownloadFields download;  // filled for Action::Download
};

ParsedMessage ParseMessage(std::string_view json);

// The request for `vexaro --request-stdin` (see startup/CommandLine.h):
// "/name:value" entries, each ended by NUL, and a lone NUL as end mark.
std::string EncodeRequestOptions(const DownloadFields& download);

}  // namespace browserhost
