#include "startup/CommandLine.h"

#include "platform/Text.h"
#include "settings/Settings.h"

namespace startup {

namespace {

void Apply(DownloadRequest& request, const std::u16string& name, const std::u16string& value) {
  if (name == u"/url") {
    request.url = value;
  } else if (name == u"/file") {
    request.file = value;
    const auto dot = request.file.rfind(u'.');
    if (dot != std::u16string::npos) request.file.resize(dot);
  } else if (name == u"/type") {
    request.type = value;
  } else if (name == u"/size") {
    request.size = platform::ParseLong(value);
  } else if (name == u"/cookie") {
    request.cookie = value;
  } else if (name == u"/referer") {
    request.referer = value;
  } else if (name == u"/path") {
    request.path = value;
  } else if (name == u"/format") {
    request.format = value;
  } else if (name == u"/autoclose") {
    request.autoclose = value == u"true";
  }
  // "/checksum" is accepted by the add-on's protocol but carries nothing we use.
}

}  // namespace

DownloadRequest ParseCommandLine(const std::u16string& commandLine) {
  settings::Settings::GetInstance();

  DownloadRequest request;
  std::u16string rest = commandLine;
  while (!rest.empty()) {
    const auto colon = rest.find(u':');
    if (colon == std::u16string::npos || colon == 0) break;
    const std::u16string name = platform::Trim(std::u16string_view(rest).substr(0, colon));
    // The separator is searched from the front, not after the colon: a chunk
    // without ':' thus swallows the next option's name and yields an empty,
    // ignored pair, and the next round starts at that option again.
    const auto separator = rest.find(u" /");
    const auto end = separator == std::u16string::npos ? rest.size() : separator;
    const std::u16string value = end > colon ? rest.substr(colon + 1, end - colon - 1) : std::u16string();
    if (separator == std::u16string::npos) rest.clear();
    else rest.erase(0, separator + 1);
    Apply(request, name, value);
  }
  return request;
}

bool ParseRequestOptions(std::string_view text, DownloadRequest& request) {
  settings::Settings::GetInstance();

  request = DownloadRequest();
  DownloadRequest read;
  for (;;) {
    const auto end = text.find('\0');
    if (end == std::string_view::npos) return false;  // cut off before the end mark
    if (end == 0) break;
    const std::string_view entry = text.substr(0, end);
    text.remove_prefix(end + 1);
    const auto colon = entry.find(':');
    if (colon == std::string_view::npos) continue;
    Apply(read, platform::Trim(platform::FromUtf8(entry.substr(0, colon))),
          platform::FromUtf8(entry.substr(colon + 1)));
  }
  request = std::move(read);
  return true;
}

std::u16string JoinArguments(int argc, const char* const argv[]) {
  std::string joined;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) joined += ' ';
    joined += argv[i];
  }
  return platform::FromUtf8(joined);
}

}  // namespace startup
