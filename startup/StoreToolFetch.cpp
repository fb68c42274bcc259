// vexaro-store fetch URL FILE [--connections N]: runs the transfer worker on
// one URL exactly as a download row does (the same retries, continuations,
// connections and settings.ini values; N replaces the connections of
// settings.ini) and prints each text the row would show, in the words the
// program's row would show it (see UseRowTexts). Ctrl-C cancels the download
// as the row's Cancel does. A failure is recorded in the error record, as a
// row's is.
#include <filesystem>
#include <string>
#include <vector>

#include "localisation/Dictionary.h"
#include "platform/File.h"
#include "platform/Interrupt.h"
#include "platform/Text.h"
#include "startup/ConsoleRow.h"
#include "startup/StoreTool.h"
#include "transfer/Download.h"

namespace startup {

namespace {

constexpr char kFetchUsage[] = "usage: vexaro-store fetch URL FILE [--connections N]  (N from 1 to 16)\n";

}  // namespace

int StoreFetch(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::vector<std::string> positional;
  std::uint32_t connections = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "--connections") {
      positional.push_back(args[i]);
      continue;
    }
    const std::u16string value = i + 1 < args.size() ? platform::FromUtf8(args[++i]) : std::u16string();
    const bool digits = !value.empty() && value.size() <= 2 &&
                        value.find_first_not_of(u"0123456789") == std::u16string::npos;
    connections = digits ? platform::ParseULong(value) : 0;
    if (connections < 1 || connections > transfer::kMaxConnections) {
      err << kFetchUsage;
      return 2;
    }
  }
  if (positional.size() != 2 || positional[0].empty() || positional[1].empty()) {
    err << kFetchUsage;
    return 2;
  }

  std::error_code ignored;
  ConsoleRow row(out);
  auto* params = new transfer::DownloadThreadParams;
  params->row = &row;
  params->dictionary = UseRowTexts(row);
  params->url = platform::FromUtf8(positional[0]);
  params->targetPath =
      platform::WrittenPath(platform::FromUtf8(std::filesystem::absolute(positional[1], ignored).string()));
  params->connections = connections;
  row.m_targetPath = params->targetPath;
  {
    // Before the worker and libcurl make threads of their own.
    const platform::InterruptWatch interrupt([&row] { row.m_stopEvent.Set(); });
    transfer::Download::StartThead(params);
  }
  localisation::Dictionary::Destroy();
  // The outcome, not the words, which are the user's language's.
  return row.m_failed || row.m_cancelled ? 1 : 0;
}

}  // namespace startup
