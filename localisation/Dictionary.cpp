#include "localisation/Dictionary.h"

#include <mutex>

#include "localisation/DictionaryText.h"
#include "platform/Text.h"
#include "settings/IniFile.h"
#include "settings/Mutex.h"
#include "settings/Settings.h"

namespace localisation {

namespace {

// Guards the instance pointer, texts_ and language_.
std::recursive_mutex& DictionaryLock() {
  static std::recursive_mutex lock;
  return lock;
}

Dictionary* instance = nullptr;

// Older dictionary files use these keys; their texts win over the current
// keys, so a file's own wording stays.
constexpr const char16_t* kKeyAliases[][2] = {
    {u"UPDATE", u"MENU_UPDATE"},
    {u"ABOUT", u"MENU_ABOUT"},
    {u"FAQ", u"MENU_FAQ"},
    {u"FEEDBACK", u"MENU_FEEDBACK"},
    {u"INVITE_FRIENDS", u"MENU_INVITE_FRIENDS"},
    {u"SETTINGS", u"MENU_SETTINGS"},
    {u"ENABLE_CONVERSSION", u"MENU_ENABLE_CONVERSION"},
    {u"ENABLE", u"MENU_ENABLE"},
    {u"DISABLE", u"MENU_DISABLE"},
    {u"DISABLE_ON", u"MENU_DISABLE_ON"},
    {u"DOWNLOAD_TITLE", u"DOWNLOAD_UPDATE_TITLE"},
    {u"DOWNLOAD_PROGRESS_TEXT", u"DOWNLOAD_PLEASE_WAIT"},
    {u"DOWNLOAD_DOWNLOAD_ERROR_TEXT", u"DOWNLOAD_UPDATE_ERROR_TEXT"},
    {u"DOWNLOAD_POST_DOWNLOAD_TEXT", u"DOWNLOAD_UPDATE_SUCCESS_TEXT"},
    {u"YES", u"GENERAL_YES"},
    {u"NO", u"GENERAL_NO"},
    {u"CANCEL", u"GENERAL_CANCEL"},
};

// The shipped texts, parsed once; never changed afterwards, so lookups need
// no lock.
const settings::IniFile& ShippedTexts() {
  static const settings::IniFile* shipped = [] {
    auto* file = new settings::IniFile(u"", false);
    file->Parse(platform::FromUtf8(ShippedDictionaryText()));
    return file;
  }();
  return *shipped;
}

}  // namespace

Dictionary::Dictionary() {
  for (const auto& alias : kKeyAliases) keyAliases_.emplace(alias[0], alias[1]);
}

Dictionary* Dictionary::GetInstance() {
  std::lock_guard<std::recursive_mutex> guard(DictionaryLock());
  if (!instance) instance = new Dictionary();
  return instance;
}

void Dictionary::Destroy() {
  std::lock_guard<std::recursive_mutex> guard(DictionaryLock());
  delete instance;
  instance = nullptr;
}

void Dictionary::SetLanguage(const std::u16string& languageCode) {
  {
    // Also when the file cannot be read: the shipped texts still know it.
    std::lock_guard<std::recursive_mutex> guard(DictionaryLock());
    requested_ = languageCode;
  }
  settings::Mutex fileLock(settings::kDictionaryFileLock, settings::kDictionaryFileErrorBase);
  if (!fileLock.IsLocked()) return;

  settings::IniFile file(settings::Settings::GetDataPath(u"dictionary.ini"), false);
  if (!file.Read()) {
    settings::ReportError(file.LastError(), settings::errors::kDictionaryRead);
    return;
  }

  std::lock_guard<std::recursive_mutex> guard(DictionaryLock());
  if (file.SectionNames().count(languageCode) != 0) {
    texts_ = file.GetSection(languageCode);
    language_ = languageCode;
  } else {
    texts_ = file.GetSection(u"en");
    language_ = u"en";
  }
  for (const auto& [oldKey, currentKey] : keyAliases_) {
    const auto found = texts_.find(oldKey);
    if (found != texts_.end()) texts_[currentKey] = found->second;
  }
}

std::u16string Dictionary::Lookup(const std::u16string& key) {
  std::uint32_t code;
  {
    std::lock_guard<std::recursive_mutex> guard(DictionaryLock());
    const auto found = texts_.find(key);
    if (found != texts_.end()) return found->second;
    code = MissingKeyCode(language_, key);
  }
  // Outside the dictionary lock: recording takes a named lock, and named locks
  // always come before the process-wide ones.
  settings::ReportError(code, settings::errors::kDictionaryMissingText);
  return key;
}

std::u16string Dictionary::Lookup(const std::u16string& key, const std::u16string& english) {
  std::u16string language;
  {
    std::lock_guard<std::recursive_mutex> guard(DictionaryLock());
    const auto found = texts_.find(key);
    if (found != texts_.end()) return found->second;
    language = requested_;
  }
  const settings::IniFile& shipped = ShippedTexts();
  if (shipped.SectionNames().count(language) != 0) {
    const settings::SectionMap section = shipped.GetSection(language);
    const auto found = section.find(key);
    if (found != section.end()) return found->second;
  }
  return english;
}

std::u16string Dictionary::Language() {
  std::lock_guard<std::recursive_mutex> guard(DictionaryLock());
  return language_;
}

std::uint32_t Dictionary::MissingKeyCode(const std::u16string& language,
                                         const std::u16string& key) {
  const auto unit = [](const std::u16string& text, std::size_t i) -> std::uint32_t {
    return i < text.size() ? text[i] : 0u;
  };
  std::uint32_t code = (unit(language, 0) << 8) | unit(language, 1);
  code = (code << 8) | unit(key, 0);
  return (code << 8) | unit(key, 1);
}

}  // namespace localisation
