// Any bytes as a journal of unfinished downloads that an ended run left (or a
// damaged disk, or a newer program): Parse never crashes and either refuses
// the bytes or gives entries that the next start can act on safely, whose
// unfinished file lies beside the file the download makes, whose ranges lie
// within the size, and which are written back and read again unchanged.
#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzSupport.h"
#include "manager/DownloadJournal.h"
#include "transfer/ResumeState.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  std::vector<manager::JournalEntry> entries;
  int version = 0;
  if (!manager::DownloadJournal::Parse(bytes, entries, version)) return 0;
  FUZZ_CHECK(version == manager::DownloadJournal::kVersion);
  for (const manager::JournalEntry& entry : entries) {
    FUZZ_CHECK(!entry.id.empty() && !entry.download.url.empty() && !entry.download.targetPath.empty());
    if (!entry.state) continue;
    FUZZ_CHECK(entry.state->partPath ==
               transfer::PartPathFor(transfer::FetchedPath(entry.download.targetPath, entry.download.tempPath)));
    if (entry.state->size > 0) FUZZ_CHECK(entry.state->onDisk.Total() <= entry.state->size);
  }
  std::vector<manager::JournalEntry> again;
  int againVersion = 0;
  FUZZ_CHECK(manager::DownloadJournal::Parse(manager::DownloadJournal::Serialize(entries), again, againVersion));
  FUZZ_CHECK(again.size() == entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    FUZZ_CHECK(again[i].id == entries[i].id);
    FUZZ_CHECK(again[i].download.url == entries[i].download.url);
    FUZZ_CHECK(again[i].download.targetPath == entries[i].download.targetPath);
    FUZZ_CHECK(again[i].download.cookie == entries[i].download.cookie);
    FUZZ_CHECK(again[i].download.size == entries[i].download.size);
    FUZZ_CHECK(again[i].state.has_value() == entries[i].state.has_value());
    if (entries[i].state) {
      FUZZ_CHECK(again[i].state->etag == entries[i].state->etag);
      FUZZ_CHECK(again[i].state->onDisk == entries[i].state->onDisk);
    }
  }
  return 0;
}
