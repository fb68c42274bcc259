// RunLaunchSequence: what the program does with a parsed request. It loads the
// texts, the configuration and the settings, asks where to save and in which
// format, and then either runs the manager dialog (first instance) or hands
// the download over to the instance that runs (later start).
//
// The windows it needs sit behind three small interfaces so that the sequence
// is the same code in the program and in its tests:
//   SaveAsDialog   the Save-As question (the program's is a QFileDialog);
//   ManagerRunner  constructs the manager dialog, runs it modally, destroys it;
//   InstanceLink   the instance marker and the hand-off socket.
// All run on the calling (user-interface) thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/SaveFilter.h"
#include "startup/CommandLine.h"
#include "startup/Handoff.h"

namespace startup {

// What the Save-As dialog is shown with.
struct SaveAsOptions {
  std::u16string title;
  // One name filter per pair, in order; pair k is filter index k (from 1).
  std::vector<config::FilterPair> filters;
  std::int32_t filterIndex = 1;  // preselected
  std::u16string fileName;       // initial name, already cleaned
  // The folder it opens in; empty when the request named none. The dialog
  // opens the user's download folder instead when this is empty or missing.
  std::u16string folder;
  // Appended (with its '.') when the user types a name without extension:
  // the extension of the preselected filter, and then of whichever filter
  // the user selects (a pattern's extension without its dots).
  std::u16string defaultExtension;
  // The file that a chosen path and filter will actually write (a conversion
  // writes the chosen name with its own extension). Before accepting, the
  // dialog asks about replacing that file when it exists, not the chosen
  // one; "No" returns to the dialog. Unset: the chosen path itself.
  std::function<std::u16string(const std::u16string& chosenPath, std::int32_t filterIndex)> targetFor;
  // That question, as "<file name> " + replaceQuestion, and its buttons.
  std::u16string replaceQuestion = u"already exists. Do you want to replace it?";
  std::u16string yes = u"Yes";
  std::u16string no = u"No";
};

struct SaveAsAnswer {
  std::u16string path;           // the chosen file, absolute
  std::int32_t filterIndex = 1;  // the filter the user left selected (from 1)
  // The file targetFor names existed and the user agreed to replace it.
  bool replaceAgreed = false;
};

class SaveAsDialog {
 public:
  virtual ~SaveAsDialog() = default;
  // Shows the dialog modally. False when the user cancels.
  virtual bool Show(const SaveAsOptions& options, SaveAsAnswer& answer) = 0;
};

class ManagerRunner {
 public:
  virtual ~ManagerRunner() = default;
  // Constructs the manager dialog with first (none when first.url is empty),
  // adds the downloads earlier runs left unfinished as paused rows, attaches
  // link.Inbox() to it (replaying what it kept), runs it modally and destroys
  // it; a dialog without any row is not shown. Calls link.StopListening() as
  // soon as the dialog has ended, before any other record can be delivered,
  // so no download goes into an ended dialog.
  virtual void Run(const ManagedDownload& first, class InstanceLink& link) = 0;
  // Temporary files that downloads of earlier runs still need: the start's
  // clean-up of the temporary folders spares them.
  virtual std::vector<std::u16string> FilesInUse() { return {}; }
  // Earlier runs left downloads unfinished (or something about them to
  // report) that a dialog would show.
  virtual bool HasUnfinished() { return false; }
};

// What became of a later start's records.
enum class SendResult {
  Delivered,   // every record, the commit included, was taken
  NotReached,  // nobody listens, or the connection broke off: worth another try
  Refused,     // the instance refused a record: trying again would not help
};

class InstanceLink {
 public:
  virtual ~InstanceLink() = default;
  // The marker's creation status taken at start (0: this is the first
  // instance; 183 or 5: another one runs).
  virtual std::uint32_t Status() = 0;
  // Called once, as soon as the texts are loaded: names the hand-off socket
  // from the manager's title; the first instance listens from then on, long
  // before its manager dialog exists.
  virtual void Open(const std::u16string& managerTitle) = 0;
  // Later start: sends the records to the running instance, each answered
  // before the next.
  virtual SendResult Send(const std::vector<HandoffRecord>& records) = 0;
  // Later start whose records nobody took: tries to take the marker and, when
  // it can, starts listening. True when this process is now the first.
  virtual bool BecomeFirst() = 0;
  // Where the listener puts what arrives.
  virtual HandoffInbox& Inbox() = 0;
  // Stops taking records (connections still open are closed unanswered, so
  // their senders try again) and lets the marker go.
  virtual void StopListening() = 0;
};

struct LaunchParts {
  SaveAsDialog& saveAs;
  ManagerRunner& manager;
  InstanceLink& link;
  // How long a later start whose records nobody takes keeps trying to reach
  // a first instance, or to become one, before it shows its download in a
  // manager window of its own.
  std::uint32_t handoffRetryMs = 10000;
};

enum class LaunchOutcome {
  UnknownType,   // the configuration knows no format for the MIME type
  NothingToShow, // no request, and no earlier run left anything unfinished
  AlreadyShown,  // no request, and an instance runs: its window has the rows
  Cancelled,     // the user cancelled the Save-As dialog
  RanManager,    // this process ran the manager dialog
  HandedOver,    // the download went to the instance that runs
  OwnWindow,     // a later start whose download no instance took: it ran a
                 // manager dialog of its own for it (taking no hand-offs)
};

// Steps 1 to 12. A download the user saved always ends in a manager dialog,
// this process's or the running instance's; none is dropped. Before asking, a
// start removes the temporary files that killed starts left (see
// Settings::RemoveAbandonedTempFiles). Its result tells tests what happened;
// the program does not use it.
LaunchOutcome RunLaunchSequence(const DownloadRequest& request, LaunchParts& parts);

// The pieces of the sequence that tests check on their own.

// The suggested name without the characters a file name cannot hold on the
// system the add-on comes from (: < > " / \ | ? *), cut to 259 code units,
// the capacity of the design's name buffer (a surrogate pair is not split).
std::u16string CleanFileName(const std::u16string& file);

// Where the name's extension starts, as the Windows Save-As dialog reports it
// (nFileExtension): the index after the last '.' of the last path component;
// 0 when the name ends in '.'; the path's length when it has no '.'.
std::size_t ExtensionOffset(const std::u16string& path);

// The target of a conversion: the chosen path with its extension replaced by
// extension. A chosen name without extension gets "." + extension appended,
// and one ending in '.' gets extension appended.
std::u16string ConversionTargetPath(const std::u16string& chosenPath, const std::u16string& extension);

// The extension a filter pattern stands for: ".mp3" gives "mp3".
std::u16string PatternExtension(const std::u16string& pattern);

// Installs the shipped texts as dictionary.ini when the data folder has none
// (never replacing one), under the lock "DictionaryFile".
enum class TextsInstall { Installed, Kept, LockBusy, Failed };
TextsInstall InstallShippedTexts(std::u16string& path, std::uint32_t& error);

}  // namespace startup
