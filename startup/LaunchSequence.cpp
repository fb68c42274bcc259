#include "startup/LaunchSequence.h"

#include <chrono>
#include <memory>
#include <thread>

#include "config/Config.h"
#include "localisation/Dictionary.h"
#include "localisation/DictionaryText.h"
#include "platform/Errors.h"
#include "platform/File.h"
#include "platform/Instance.h"
#include "platform/Text.h"
#include "settings/IniFile.h"
#include "settings/Mutex.h"
#include "settings/Settings.h"

namespace startup {

namespace {

constexpr std::size_t kNameCapacity = 260;  // the name buffer, terminator included
constexpr char16_t kRemovedFromName[] = u":<>\"/\\|?*";

std::u16string UnusableTemporaryPath() {
  const std::u16string folder = settings::Settings::GetTempPath(u"");
  return folder.empty() ? u"/" : folder;
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

// A first instance whose own request came to nothing still owes the downloads
// that later starts handed it meanwhile: it opens the manager dialog with
// them. Records are only taken in the event loop, which does not run between
// the check and StopListening(), so none can slip in between.
bool RunHandedOverDownloads(const DownloadRequest& request, LaunchParts& parts) {
  if (parts.link.Status() != 0) return false;
  ManagedDownload first;
  if (!parts.link.Inbox().TakeFirstDownload(first)) {
    parts.link.StopListening();
    return false;
  }
  first.autoclose = request.autoclose;
  parts.manager.Run(first, parts.link);
  return true;
}

LaunchOutcome HandOver(const ManagedDownload& download, LaunchParts& parts) {
  const std::vector<HandoffRecord> records = transfer::MakeHandoffRecords(download);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(parts.handoffRetryMs);
  // Nobody answering while the marker is held happens in two short windows:
  // a first instance between taking the marker and listening, and one whose
  // dialog has just ended and is letting the marker go. Keep trying both ways.
  // Without a marker to be had at all there is nobody to try.
  while (parts.link.Status() != platform::kInstanceDenied) {
    const SendResult sent = parts.link.Send(records);
    if (sent == SendResult::Delivered) return LaunchOutcome::HandedOver;
    if (sent == SendResult::Refused) break;
    if (parts.link.BecomeFirst()) {
      parts.manager.Run(download, parts.link);
      return LaunchOutcome::RanManager;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // The user saved this download: it is shown here rather than lost.
  settings::ReportError(platform::LastError(), settings::errors::kHandoffNotTaken);
  parts.manager.Run(download, parts.link);
  return LaunchOutcome::OwnWindow;
}

LaunchOutcome Sequence(const DownloadRequest& request, LaunchParts& parts) {
  // 1. Language; a new user gets the shipped texts first, so that the
  // dialogs show words, not keys.
  const std::u16string language = System::GetBrowserLang();
  std::u16string textsPath;
  std::uint32_t textsError = 0;
  InstallShippedTexts(textsPath, textsError);
  localisation::Dictionary* dictionary = localisation::Dictionary::GetInstance();
  dictionary->SetLanguage(language);
  parts.link.Open(dictionary->Lookup(u"MANAGER_TITLE"));

  // 2. Whatever killed starts left in the temporary folders goes before this
  // start adds its own.
  settings::Settings::GetInstance();
  settings::Settings::RemoveAbandonedTempFiles(parts.manager.FilesInUse());
  config::Config* configuration = config::Config::GetInstance(true);

  // 3. A start without a request (vexaro with no arguments) shows what
  // earlier runs left unfinished, when this is the first instance.
  config::FormatEntry format;
  if (!configuration->FindFormat(request.type, format)) {
    const bool noRequest = request.url.empty() && request.type.empty();
    if (noRequest && parts.link.Status() == 0 && parts.manager.HasUnfinished()) {
      ManagedDownload none;
      none.autoclose = request.autoclose;
      parts.manager.Run(none, parts.link);
      return LaunchOutcome::RanManager;
    }
    if (RunHandedOverDownloads(request, parts)) return LaunchOutcome::RanManager;
    if (!noRequest) return LaunchOutcome::UnknownType;
    return parts.link.Status() == 0 ? LaunchOutcome::NothingToShow : LaunchOutcome::AlreadyShown;
  }

  // 4.
  std::vector<char16_t> filter(config::kSaveFilterLength, u'\0');
  std::vector<config::SaveChoice> choices;
  const std::int32_t nativeIndex =
      configuration->BuildSaveFilter(filter.data(), filter.size(), format, choices);
  const std::vector<std::u16string> extensions = configuration->GetExtensions();

  // 9. and 10. Whether to convert is the chosen pair's own flag: the native
  // index is 1 also when no pair is native. An empty offer (no choices), or
  // an index the offer does not have, keeps the download as it comes.
  const auto conversionOf = [](const std::vector<config::SaveChoice>& offer,
                                std::int32_t k) -> const config::SaveChoice* {
    const bool inOffer = k >= 1 && static_cast<std::size_t>(k) <= offer.size();
    return inOffer && !offer[k - 1].native ? &offer[k - 1] : nullptr;
  };
  // A copy of the offer: the options may outlive this sequence.
  // A link of the user's own at the name leads to the file it names: the
  // question and the row are about that file. Another account's link is not
  // followed, and the dialog sees it as the file in the way.
  const auto targetFor = [conversionOf, choices](const std::u16string& chosen, std::int32_t k) {
    const config::SaveChoice* conversion = conversionOf(choices, k);
    return platform::WrittenPath(conversion ? ConversionTargetPath(chosen, conversion->extension) : chosen);
  };

  // 5. to 8.
  SaveAsOptions options;
  options.filters = config::SplitSaveFilter(filter.data(), filter.size());
  options.filterIndex =
      config::PreselectFilterIndex(filter.data(), filter.size(), extensions, request.format, nativeIndex);
  options.title = dictionary->Lookup(u"DOWNLOAD_FILE_SAVE_TITLE");
  options.fileName = CleanFileName(request.file);
  options.folder = request.path;
  // The name the user types gets the extension of the format selected, so
  // that the question about replacing a file is asked about the right one.
  const bool preselectedInOffer =
      options.filterIndex >= 1 && static_cast<std::size_t>(options.filterIndex) <= options.filters.size();
  options.defaultExtension =
      preselectedInOffer ? PatternExtension(options.filters[options.filterIndex - 1].pattern) : format.extension;
  options.targetFor = targetFor;
  options.replaceQuestion = dictionary->Lookup(u"DOWNLOAD_FILE_REPLACE_QUESTION", options.replaceQuestion);
  options.yes = dictionary->Lookup(u"GENERAL_YES", options.yes);
  options.no = dictionary->Lookup(u"GENERAL_NO", options.no);
  SaveAsAnswer answer;
  if (!parts.saveAs.Show(options, answer)) {
    return RunHandedOverDownloads(request, parts) ? LaunchOutcome::RanManager : LaunchOutcome::Cancelled;
  }

  const config::SaveChoice* conversion = conversionOf(choices, answer.filterIndex);
  ManagedDownload download;
  download.url = request.url;
  download.size = request.size;
  download.cookie = request.cookie;
  download.referer = request.referer;
  download.autoclose = request.autoclose;
  download.replaceTarget = answer.replaceAgreed;
  download.targetPath = targetFor(answer.path, answer.filterIndex);
  if (conversion) {
    download.conversionArgs = conversion->ffmpeg;
    download.tempPath = settings::Settings::GetTempFileName(settings::kTempPrefix, format.extension);
    // No name to be had (full or unwritable folders): an empty path would make
    // the row fetch the unconverted bytes into the target. A folder path
    // instead makes the row fail with its error text before fetching, in this
    // instance or the one it is handed to (see DownloadThreadParams).
    if (download.tempPath.empty()) download.tempPath = UnusableTemporaryPath();
  }

  // 11.
  if (parts.link.Status() == 0) {
    parts.manager.Run(download, parts.link);
    return LaunchOutcome::RanManager;
  }
  return HandOver(download, parts);
}

}  // namespace

LaunchOutcome RunLaunchSequence(const DownloadRequest& request, LaunchParts& parts) {
  const LaunchOutcome outcome = Sequence(request, parts);
  // 12.
  localisation::Dictionary::Destroy();
  return outcome;
}

std::u16string CleanFileName(const std::u16string& file) {
  std::u16string name;
  for (const char16_t c : file) {
    if (std::u16string_view(kRemovedFromName).find(c) == std::u16string_view::npos) name.push_back(c);
  }
  if (name.size() > kNameCapacity - 1) {
    name.resize(kNameCapacity - 1);
    if (IsHighSurrogate(name.back())) name.pop_back();
  }
  return name;
}

std::size_t ExtensionOffset(const std::u16string& path) {
  const std::size_t slash = path.rfind(u'/');
  const std::size_t nameStart = slash == std::u16string::npos ? 0 : slash + 1;
  const std::size_t dot = path.rfind(u'.');
  if (dot == std::u16string::npos || dot < nameStart) return path.size();
  if (dot + 1 == path.size()) return 0;
  return dot + 1;
}

std::u16string ConversionTargetPath(const std::u16string& chosenPath, const std::u16string& extension) {
  const std::size_t offset = ExtensionOffset(chosenPath);
  // The Windows rule keeps the first offset characters and appends the
  // extension. That gives "clipmp3" for a name without extension and the bare
  // extension for a name ending in '.', so both get a dot of their own.
  if (offset == 0) return chosenPath + extension;
  if (offset == chosenPath.size()) return chosenPath + u"." + extension;
  return chosenPath.substr(0, offset) + extension;
}

std::u16string PatternExtension(const std::u16string& pattern) {
  const std::size_t start = pattern.find_first_not_of(u'.');
  return start == std::u16string::npos ? std::u16string() : pattern.substr(start);
}

TextsInstall InstallShippedTexts(std::u16string& path, std::uint32_t& error) {
  error = 0;
  path = settings::Settings::GetDataPath(u"dictionary.ini");
  if (path.empty()) return TextsInstall::Failed;
  settings::Mutex lock(settings::kDictionaryFileLock, settings::kDictionaryFileErrorBase);
  if (!lock.IsLocked()) return TextsInstall::LockBusy;
  // The add-on may have installed texts of its own; those stay.
  if (platform::FileExists(path)) return TextsInstall::Kept;

  settings::IniFile shipped(u"", false);
  shipped.Parse(platform::FromUtf8(localisation::ShippedDictionaryText()));
  settings::IniFile file(path, false);
  for (const auto& [name, section] : shipped.Sections()) file.SetSection(name, section);
  if (!file.Write()) {
    error = file.LastError();
    return TextsInstall::Failed;
  }
  return TextsInstall::Installed;
}

}  // namespace startup
