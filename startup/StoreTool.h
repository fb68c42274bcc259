// vexaro-store: reads and edits Vexaro's text stores for people who support
// Vexaro or write its add-on. The stores are UTF-16 with a checksum trailer,
// which a text editor breaks; this tool goes through the same IniFile and, for
// the four stores of the data folder, the same named locks as the program.
//
// Every command writes its results to out and its complaints to err, and
// returns the process exit code (0 success, 1 failure, 2 usage).
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace localisation {
class Dictionary;
}
namespace settings {
class Mutex;
}

namespace startup {

// args: the program's arguments after its name.
int RunStoreTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// One command each; args are the arguments after the command's name.
int StoreDump(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int StoreSet(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int StoreErrors(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int StoreOffer(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int StoreText(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int StoreInstallTexts(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
// Exit code 0 when the conversion ended done, 1 when it failed or was
// stopped.
int StoreConvert(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
// Exit code 0 when the file is complete, 1 when the download failed or was
// cancelled.
int StoreFetch(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

class ConsoleRow;

// The words a row of the program shows, for convert and fetch: the data
// folder's dictionary in the user's language (System::GetBrowserLang), as
// the program reads it. A data folder without one first gets the shipped
// texts, as it does on the program's first start (InstallShippedTexts);
// where that cannot be written the program's rows show keys, and so does
// row. Gives row the words it looks up itself and returns the dictionary for
// DownloadThreadParams::dictionary; Dictionary::Destroy() once the texts are
// copied.
localisation::Dictionary* UseRowTexts(ConsoleRow& row);

// Takes the named lock of path when path is one of the four stores of the
// data folder ("config.ini", "dictionary.ini", "settings.ini",
// "settings_tab.ini"); lock stays empty for any other file. A lock that its
// previous holder abandoned (it ended without releasing) is said so on err
// and taken once more. False, with one line on err, only when the lock is
// needed and cannot be had.
bool TakeStoreLock(const std::string& path, std::unique_ptr<settings::Mutex>& lock, std::ostream& err);

// The place in the program that reports an error-record code ("0704" ->
// "Settings::GetTempPath failed"); empty for a code the program never records.
std::string ErrorSite(const std::string& code);

}  // namespace startup
