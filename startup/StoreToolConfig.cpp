// The vexaro-store commands about the configuration and the texts:
//   offer MIME-TYPE [FORMAT]  loads the configuration as the launch does
//       (config.ini written with its defaults when missing) and prints one
//       line per Save-As pair: k TAB flags TAB display text TAB pattern TAB
//       converter arguments; flags "n" native, "p" preselected for FORMAT,
//       "np" both, "-" neither. An unknown MIME type fails.
//   text KEY [LANGUAGE]  prints what the dictionary gives for KEY after
//       selecting LANGUAGE (default: the user's language).
//   install-texts  stores the shipped texts as dictionary.ini in the data
//       folder (UTF-16, no checksum) under the lock "DictionaryFile" when there
//       is no such file yet; an existing one is never touched.
// Each asks for the settings store first, so the error record exists before
// anything can report.
#include "startup/StoreTool.h"

#include "startup/ConsoleRow.h"
#include "startup/LaunchSequence.h"

#include "config/Config.h"
#include "config/SaveFilter.h"
#include "localisation/Dictionary.h"
#include "localisation/DictionaryText.h"
#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/Text.h"
#include "settings/IniFile.h"
#include "settings/Mutex.h"
#include "settings/Settings.h"

namespace startup {

namespace {

int Usage(std::ostream& err, const char* synopsis) {
  err << "usage: vexaro-store " << synopsis << "\n";
  return 2;
}

const char* PairFlags(bool native, bool preselected) {
  if (native && preselected) return "np";
  if (native) return "n";
  if (preselected) return "p";
  return "-";
}

}  // namespace

int StoreOffer(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty() || args.size() > 2) return Usage(err, "offer MIME-TYPE [FORMAT]");
  settings::Settings::GetInstance();

  config::Config* configuration = config::Config::GetInstance(true);
  config::FormatEntry format;
  if (!configuration->FindFormat(platform::FromUtf8(args[0]), format)) {
    err << "vexaro-store: the configuration knows no MIME type " << args[0] << "\n";
    return 1;
  }

  char16_t filter[config::kSaveFilterLength] = {};
  std::vector<config::SaveChoice> choices;
  const std::int32_t nativeIndex =
      configuration->BuildSaveFilter(filter, config::kSaveFilterLength, format, choices);
  const std::u16string formatNumber = args.size() > 1 ? platform::FromUtf8(args[1]) : std::u16string();
  const std::int32_t preselected = config::PreselectFilterIndex(
      filter, config::kSaveFilterLength, configuration->GetExtensions(), formatNumber, nativeIndex);

  const std::vector<config::FilterPair> pairs = config::SplitSaveFilter(filter, config::kSaveFilterLength);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const std::int32_t k = static_cast<std::int32_t>(i + 1);
    const std::u16string arguments = i < choices.size() ? choices[i].ffmpeg : std::u16string();
    out << k << '\t' << PairFlags(k == nativeIndex, k == preselected) << '\t'
        << platform::ToUtf8(pairs[i].text) << '\t' << platform::ToUtf8(pairs[i].pattern) << '\t'
        << platform::ToUtf8(arguments) << "\n";
  }
  return 0;
}

int StoreText(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty() || args.size() > 2 || args[0].empty()) return Usage(err, "text KEY [LANGUAGE]");
  settings::Settings::GetInstance();

  const std::u16string language =
      args.size() > 1 ? platform::FromUtf8(args[1]) : System::GetBrowserLang();
  localisation::Dictionary* dictionary = localisation::Dictionary::GetInstance();
  dictionary->SetLanguage(language);
  out << platform::ToUtf8(dictionary->Lookup(platform::FromUtf8(args[0]))) << "\n";
  localisation::Dictionary::Destroy();
  return 0;
}

int StoreInstallTexts(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (!args.empty()) return Usage(err, "install-texts");
  settings::Settings::GetInstance();

  std::u16string path;
  std::uint32_t error = 0;
  switch (InstallShippedTexts(path, error)) {
    case TextsInstall::Installed:
      out << "installed " << platform::ToUtf8(path) << "\n";
      return 0;
    case TextsInstall::Kept:
      out << "kept " << platform::ToUtf8(path) << "\n";
      return 0;
    case TextsInstall::LockBusy:
      err << "vexaro-store: the lock \"DictionaryFile\" is held by another process; try again\n";
      return 1;
    case TextsInstall::Failed:
      break;
  }
  err << "vexaro-store: cannot write " << platform::ToUtf8(path) << ": " << platform::ErrorText(error) << "\n";
  return 1;
}

localisation::Dictionary* UseRowTexts(ConsoleRow& row) {
  // In the program's order, before the settings store exists: what goes
  // wrong here is not recorded (convert leaves the error record alone).
  std::u16string path;
  std::uint32_t error = 0;
  InstallShippedTexts(path, error);
  localisation::Dictionary* dictionary = localisation::Dictionary::GetInstance();
  dictionary->SetLanguage(System::GetBrowserLang());
  // What CDownloadItem gives its row when it is made.
  row.m_ofText = dictionary->Lookup(u"MANAGER_DOWNLOAD_PROGRESS_TEXT_OF");
  row.m_completedText = dictionary->Lookup(u"MANAGER_DOWNLOAD_COMPLETED", u"Download completed");
  return dictionary;
}

}  // namespace startup
