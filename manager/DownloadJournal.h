// The journal of unfinished downloads: what the manager dialog needs to show
// a download again after the program ended without finishing it (killed,
// crashed, the session or the machine ended), as a paused row the user can
// resume or cancel.
//
// Files, in <data folder>/journal/ (mode 0700):
//   <token>.lock     held with an exclusive flock by the process that owns
//                    <token>.journal, for as long as it runs (OwnerLock);
//   <token>.journal  that process's downloads, JSON, replaced atomically,
//                    mode 0600 (it holds the pages' cookies).
// Each process writes only its own journal, so journals of two running
// processes never race. A journal whose lock nobody holds belongs to a process
// that is gone: the next process to open its own takes its entries over
// (AdoptOrphans) and removes it once its own journal holds them. An entry
// keeps its id across adoptions, so one that is in two journals after a crash
// between the write and the removal comes back once.
//
// A journal that cannot be read (damaged, not JSON, from a newer version) is
// never dropped in silence and never a crash: it is renamed to
// <token>.journal.unreadable-<time> beside the others and recorded (24/3,
// 24/4). One entry that cannot be read costs only itself: the others are
// taken over, and it alone is kept in such a file (a journal of its own).
//
// Threads: the user-interface thread only; the object is the dialog's.
#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonValue>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/OwnerLock.h"
#include "transfer/HandoffRecords.h"
#include "transfer/ResumeState.h"

namespace manager {

struct JournalEntry {
  // Unique among all journals (a random token).
  std::u16string id;
  // The download as its row was made with it.
  transfer::HandedDownload download;
  // What its worker last reported; empty before the first report.
  std::optional<transfer::ResumeState> state;
};

class DownloadJournal {
 public:
  // <data folder>/journal/, ending in '/'; empty without a data folder.
  static std::u16string Folder();
  // The temporary files (the temporary path of a conversion, and the
  // unfinished files) that any journal in folder names, the running
  // processes' and the orphans': the start's clean-up of the temporary
  // folder spares them.
  static std::vector<std::u16string> FilesInUse(const std::u16string& folder = Folder());

  // A journal in folder whose owner is gone (readable or not): a dialog
  // would have something to show or to report.
  static bool HasOrphans(const std::u16string& folder = Folder());

  explicit DownloadJournal(std::u16string folder = Folder());
  ~DownloadJournal();
  DownloadJournal(const DownloadJournal&) = delete;
  DownloadJournal& operator=(const DownloadJournal&) = delete;

  // Takes a journal of this process's own (the folder made when missing).
  // False when that cannot be had: Write() then does nothing.
  bool Open();
  bool IsOpen() const { return lock_.Held(); }
  // The entries of the journals whose owner is gone, taken over. Call after
  // Open(); the next Write() should include them.
  std::vector<JournalEntry> AdoptOrphans();
  // The files the last AdoptOrphans() kept aside: downloads that could not
  // be shown again, which the window names to the user.
  const std::vector<std::u16string>& KeptAside() const { return setAside_; }
  // Replaces this process's journal with entries. The first write that
  // succeeds after AdoptOrphans() removes the adopted journals. False (and
  // recorded, 24/5) when the journal cannot be written.
  bool Write(const std::vector<JournalEntry>& entries);
  // The destructor removes this process's journal when its last write held
  // nothing, and keeps it (for the next start) otherwise.
  //
  // This process's journal file, for tests.
  std::u16string Path() const;

  // The JSON of entries and back, for tests and the fuzz target: Parse never
  // fails on any bytes other than by returning false; version is set to the
  // file's version when one could be read (0 otherwise). False only for a
  // file that is no journal of this version as a whole; an entry that cannot
  // be read is left out of entries and, when damaged is given, appended to
  // it as it was.
  static QByteArray Serialize(const std::vector<JournalEntry>& entries);
  static bool Parse(const QByteArray& bytes, std::vector<JournalEntry>& entries, int& version,
                    QJsonArray* damaged = nullptr);
  static constexpr int kVersion = 1;

 private:
  struct Adopted {
    std::u16string token;
    std::unique_ptr<platform::OwnerLock> lock;
  };
  static bool ParseEntry(const QJsonValue& value, JournalEntry& entry);
  void SetAside(const std::u16string& journal);
  // Writes the entries that cannot be read beside journal, which the next
  // Write() then removes with the good ones taken over.
  void KeepAside(const std::u16string& journal, const QJsonArray& damaged);

  std::u16string folder_;
  std::u16string token_;
  platform::OwnerLock lock_;
  std::vector<Adopted> adopted_;
  bool writtenEmpty_ = false;  // the last write that succeeded had no entries
  std::vector<std::u16string> setAside_;  // what the last AdoptOrphans() kept aside
};

}  // namespace manager
