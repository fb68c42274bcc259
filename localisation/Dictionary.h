// The localised texts of the user interface, read from dictionary.ini in the
// data folder (an IniFile without checksum, one section per ISO 639 language
// code). The program only reads that file; `vexaro-store install-texts` puts
// the shipped texts there (see DictionaryText.h).
//
// Calling sequence: GetInstance(), SetLanguage(System::GetBrowserLang()) once,
// then Lookup() from any thread; the launch sequence ends with Destroy(), and
// nobody may use the old pointer after that.
//
// Locking: SetLanguage takes the named lock "DictionaryFile" first and the
// dictionary lock (process-wide, recursive) second; Lookup holds the dictionary
// lock for the search and the copy, and reports a miss only after releasing
// it. Results are copies owned by the caller.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace localisation {

class Dictionary {
 public:
  // Builds the instance on first use: no texts, language "en".
  static Dictionary* GetInstance();
  // Deletes the instance; a later GetInstance() builds a fresh one.
  static void Destroy();

  // Loads the section of languageCode, or "en" when the file has no such
  // section (no texts when it has no "en" either), then copies the text of
  // every old key to its current key (see the alias table in Dictionary.cpp),
  // overwriting a text already stored there. Changes nothing when the file or
  // its lock cannot be had (reported as 1104 / 1321..1324).
  void SetLanguage(const std::u16string& languageCode);
  // The text of key, or key itself when there is none; a miss is reported as
  // 1105 with MissingKeyCode(Language(), key).
  std::u16string Lookup(const std::u16string& key);
  // For keys newer than many installed dictionary files: the file's text of
  // key, else the shipped text of the language SetLanguage asked for (see
  // DictionaryText.h), else english. A miss is expected and not reported.
  std::u16string Lookup(const std::u16string& key, const std::u16string& english);
  // The selected language: the code SetLanguage found, "en" otherwise.
  std::u16string Language();

  // The number recorded for a missing key: the first two code units of the
  // language and the first two of the key, packed from the most significant
  // byte down (a missing unit counts as 0; units above 255 overlap their
  // neighbour).
  static std::uint32_t MissingKeyCode(const std::u16string& language,
                                      const std::u16string& key);

 private:
  Dictionary();

  std::map<std::u16string, std::u16string> texts_;
  std::u16string language_ = u"en";
  // What SetLanguage was asked for, which the file may lack.
  std::u16string requested_ = u"en";
  std::map<std::u16string, std::u16string> keyAliases_;
};

}  // namespace localisation

namespace System {
// The language part of LC_ALL, else LC_MESSAGES, else LANG ("de_DE.UTF-8"
// gives "de"; "C" and "POSIX" give "en"); a variable that is empty or names
// no language counts as unset.
// Empty, reported as 0703 with kErrFileNotFound, when none names a language.
std::u16string GetBrowserLang();
}  // namespace System
