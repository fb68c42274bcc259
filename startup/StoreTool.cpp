#include "startup/StoreTool.h"

#include <filesystem>
#include <map>
#include <memory>
#include <optional>

#include "platform/Errors.h"
#include "platform/Text.h"
#include "settings/ErrorSites.h"
#include "settings/IniFile.h"
#include "settings/Mutex.h"
#include "settings/Settings.h"

namespace startup {

namespace {

using platform::FromUtf8;
using platform::ToUtf8;

constexpr char kUsage[] =
    "usage: vexaro-store dump FILE [--no-checksum]\n"
    "       vexaro-store set FILE SECTION KEY VALUE [--no-checksum]\n"
    "       vexaro-store errors\n"
    "       vexaro-store offer MIME-TYPE [FORMAT]\n"
    "       vexaro-store text KEY [LANGUAGE]\n"
    "       vexaro-store install-texts\n"
    "       vexaro-store convert INPUT OUTPUT [ARGUMENT...]\n"
    "       vexaro-store fetch URL FILE [--connections N]\n";

struct FileArgs {
  std::vector<std::string> positional;
  bool checksum = true;
};

FileArgs SplitFlags(const std::vector<std::string>& args) {
  FileArgs result;
  for (const auto& arg : args) {
    if (arg == "--no-checksum") result.checksum = false;
    else result.positional.push_back(arg);
  }
  return result;
}

struct StoreLock {
  const char16_t* name;
  std::uint32_t errorBase;
};

// The lock the program takes for path, when path is one of the four stores
// of the data folder. Other files are nobody's store and need no lock.
std::optional<StoreLock> LockFor(const std::string& path) {
  static const std::map<std::string, StoreLock> stores = {
      {"config.ini", {settings::kConfigFileLock, settings::kConfigFileErrorBase}},
      {"dictionary.ini", {settings::kDictionaryFileLock, settings::kDictionaryFileErrorBase}},
      {"settings.ini", {settings::kSettingsFileLock, settings::kSettingsFileErrorBase}},
      {"settings_tab.ini", {settings::kSettingsFileTabLock, settings::kSettingsFileTabErrorBase}},
  };
  namespace fs = std::filesystem;
  const std::u16string dataFolder = settings::Settings::GetDataPath(u"");
  if (dataFolder.empty()) return std::nullopt;
  std::error_code ec;
  const fs::path file = fs::weakly_canonical(fs::absolute(path, ec), ec);
  // The data folder's path ends in '/': its parent_path() is the folder.
  const fs::path folder = fs::weakly_canonical(fs::path(ToUtf8(dataFolder)).parent_path(), ec);
  const auto it = stores.find(file.filename().string());
  if (it == stores.end() || file.parent_path() != folder) return std::nullopt;
  return it->second;
}

void PrintReadError(const std::string& path, std::uint32_t error, std::ostream& err) {
  err << "vexaro-store: cannot read " << path << ": " << platform::ErrorText(error) << "\n";
}

}  // namespace

bool TakeStoreLock(const std::string& path, std::unique_ptr<settings::Mutex>& lock, std::ostream& err) {
  const auto store = LockFor(path);
  if (!store) return true;
  lock = std::make_unique<settings::Mutex>(store->name, store->errorBase);
  if (lock->IsLocked()) return true;
  if (lock->WasAbandoned()) {
    // Nobody holds it: the abandoned outcome handed it to us, and giving it
    // back leaves it free for a normal attempt.
    err << "vexaro-store: the previous holder of the lock \"" << ToUtf8(store->name)
        << "\" ended without releasing it; taking it again\n";
    lock.reset();
    lock = std::make_unique<settings::Mutex>(store->name, store->errorBase);
    if (lock->IsLocked()) return true;
  }
  err << "vexaro-store: the lock \"" << ToUtf8(store->name) << "\" is held by another process; try again\n";
  return false;
}

int StoreDump(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const FileArgs parsed = SplitFlags(args);
  if (parsed.positional.size() != 1) {
    err << kUsage;
    return 2;
  }
  const std::string& path = parsed.positional[0];
  std::unique_ptr<settings::Mutex> lock;
  if (!TakeStoreLock(path, lock, err)) return 1;

  settings::IniFile file(FromUtf8(path), parsed.checksum);
  if (!file.Read()) {
    PrintReadError(path, file.LastError(), err);
    return 1;
  }
  for (const auto& [name, section] : file.Sections()) {
    if (parsed.checksum && name == u"Checksum") continue;
    out << "[" << ToUtf8(name) << "]\n";
    for (const auto& [key, value] : section) out << ToUtf8(key) << "=" << ToUtf8(value) << "\n";
  }
  out << "checksum: " << (!parsed.checksum ? "off" : file.IsValid() ? "ok" : "mismatch") << "\n";
  return 0;
}

int StoreSet(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const FileArgs parsed = SplitFlags(args);
  if (parsed.positional.size() != 4) {
    err << kUsage;
    return 2;
  }
  const std::string& path = parsed.positional[0];
  const std::u16string section = FromUtf8(parsed.positional[1]);
  const std::u16string key = FromUtf8(parsed.positional[2]);
  const std::u16string value = FromUtf8(parsed.positional[3]);
  // What the stores cannot hold back: the reader splits lines at CR/LF, cuts a
  // key at its first "=", trims both ends and drops the trailer section. A
  // line "#..." is a comment and a line "[...]" a section header, so such a
  // key=value line would be lost or, worse, break the checksum of the file.
  const std::u16string line = key + u"=" + value;
  if (key.empty() || key != platform::Trim(key) || key.find(u'=') != std::u16string::npos ||
      value != platform::Trim(value) || section.empty() ||
      (parsed.checksum && section == u"Checksum") ||
      (section + key + value).find_first_of(u"\r\n") != std::u16string::npos || line.front() == u'#' ||
      (line.front() == u'[' && line.back() == u']')) {
    err << "vexaro-store: this section, key or value would not read back as written "
           "(empty key, '=' in the key, line breaks, blanks at either end, a key starting with '#', "
           "a line looking like a [section] header, or the Checksum section)\n";
    return 2;
  }
  std::unique_ptr<settings::Mutex> lock;
  if (!TakeStoreLock(path, lock, err)) return 1;

  settings::IniFile file(FromUtf8(path), parsed.checksum);
  std::map<std::u16string, settings::SectionMap> sections;
  if (file.Read()) {
    if (!file.IsValid()) err << "vexaro-store: " << path << " had a wrong checksum; it is rewritten with a fresh one\n";
    sections = file.Sections();
    if (parsed.checksum) sections.erase(u"Checksum");
  } else if (file.LastError() != platform::kErrFileNotFound) {
    PrintReadError(path, file.LastError(), err);
    return 1;
  }
  sections[section][key] = value;
  file.Clear();
  for (const auto& [name, map] : sections) file.SetSection(name, map);
  if (!file.Write()) {
    err << "vexaro-store: cannot write " << path << ": " << platform::ErrorText(file.LastError()) << "\n";
    return 1;
  }
  (void)out;
  return 0;
}

std::string ErrorSite(const std::string& code) {
  for (const settings::ErrorSite& site : settings::errors::kAll) {
    if (ToUtf8(platform::Format("%2.2d%2.2d", site.group, site.point)) == code) {
      return ToUtf8(site.text) + " (" + site.meaning + ")";
    }
  }
  for (const settings::LockName& lock : settings::kLocks) {
    for (const settings::errors::LockErrorKind& kind : settings::errors::kLockKinds) {
      const int point = static_cast<int>(lock.errorBase + kind.offset);
      if (ToUtf8(platform::Format("%2.2d%2.2d", settings::errors::kLockGroup, point)) == code) {
        return ToUtf8(kind.text) + " (lock " + ToUtf8(lock.name) + ")";
      }
    }
  }
  return {};
}

int StoreErrors(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (!args.empty()) {
    err << kUsage;
    return 2;
  }
  const std::u16string path16 = settings::Settings::GetDataPath(u"settings_tab.ini");
  if (path16.empty()) {
    err << "vexaro-store: no data folder: neither XDG_DATA_HOME nor HOME is an absolute path\n";
    return 1;
  }
  const std::string path = ToUtf8(path16);
  std::unique_ptr<settings::Mutex> lock;
  if (!TakeStoreLock(path, lock, err)) return 1;
  settings::IniFile file(FromUtf8(path), true);
  if (!file.Read()) {
    PrintReadError(path, file.LastError(), err);
    return 1;
  }
  if (!file.IsValid()) {
    err << "vexaro-store: " << path << " has a wrong checksum; Vexaro will replace it with an empty record\n";
  }
  for (const auto& [key, value] : file.GetSection(u"Errors")) {
    const std::string code = ToUtf8(key);
    const std::string site = ErrorSite(code);
    const std::uint32_t number = platform::ParseULong(value);
    out << code << "\t" << ToUtf8(value) << platform::ToUtf8(platform::Format(" (0x%8.8x)", number)) << "\t"
        << (site.empty() ? "unknown code" : site) << "\n";
  }
  return 0;
}

int RunStoreTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  using Command = int (*)(const std::vector<std::string>&, std::ostream&, std::ostream&);
  static const std::map<std::string, Command> commands = {
      {"dump", StoreDump},   {"set", StoreSet},   {"errors", StoreErrors},
      {"offer", StoreOffer}, {"text", StoreText}, {"install-texts", StoreInstallTexts},
      {"convert", StoreConvert}, {"fetch", StoreFetch},
  };
  const auto it = args.empty() ? commands.end() : commands.find(args[0]);
  if (it == commands.end()) {
    err << kUsage;
    return 2;
  }
  return it->second(std::vector<std::string>(args.begin() + 1, args.end()), out, err);
}

}  // namespace startup
