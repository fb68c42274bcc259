// vexaro-store convert INPUT OUTPUT [ARGUMENT...]: runs the converter on a file
// exactly as a download row does after its transfer (same converter lookup,
// command line and outcome rules) and prints each text the row would show,
// in the words the program's row would show it (see UseRowTexts). It checks
// an install's converter link without a download; the error record is left
// alone.
#include <filesystem>
#include <string>
#include <vector>

#include "localisation/Dictionary.h"
#include "platform/Text.h"
#include "startup/ConsoleRow.h"
#include "startup/StoreTool.h"
#include "transfer/Conversion.h"
#include "transfer/Download.h"

namespace startup {

int StoreConvert(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() < 2 || args[0].empty() || args[1].empty()) {
    err << "usage: vexaro-store convert INPUT OUTPUT [ARGUMENT...]\n";
    return 2;
  }
  std::error_code ignored;
  ConsoleRow row(out);
  transfer::DownloadThreadParams params;
  params.row = &row;
  params.temporaryPath = platform::FromUtf8(std::filesystem::absolute(args[0], ignored).string());
  params.targetPath = platform::FromUtf8(std::filesystem::absolute(args[1], ignored).string());
  for (std::size_t i = 2; i < args.size(); ++i) {
    if (i > 2) params.conversionArguments += u' ';
    params.conversionArguments += platform::FromUtf8(args[i]);
  }
  params.dictionary = UseRowTexts(row);
  transfer::CopyTexts(params);
  localisation::Dictionary::Destroy();
  transfer::RunConversion(params);
  // The outcome, not the words, which are the user's language's.
  return row.m_failed || row.m_cancelled ? 1 : 0;
}

}  // namespace startup
