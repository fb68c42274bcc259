// What is known about an unfinished download: enough to continue it later
// from the bytes already on disk, by this worker after a dropped connection or
// by a new worker started from a saved copy.
//
// The worker keeps one ResumeState per download and reports copies of it to
// the row (DownloadRow::OnResumeState) as it changes. A copy is only ever
// reported after the bytes it lists are written, and a state that drops bytes
// (a start from zero) is reported before anything is written over them, so a
// saved copy never claims bytes the file does not hold.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace transfer {

// Bytes [begin, end) of a file.
struct ByteRange {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  std::uint64_t Length() const { return end - begin; }
  bool operator==(const ByteRange&) const = default;
};

// A set of byte ranges, kept sorted, disjoint and with no two touching.
class RangeSet {
 public:
  void Add(std::uint64_t begin, std::uint64_t end);
  void Clear() { ranges_.clear(); }
  bool Empty() const { return ranges_.empty(); }
  // Bytes in the set.
  std::uint64_t Total() const;
  bool Covers(std::uint64_t begin, std::uint64_t end) const;
  // The parts of [0, size) outside the set, in order.
  std::vector<ByteRange> Gaps(std::uint64_t size) const;
  // End of the range that starts at 0, or 0: how much of the file is whole
  // from its start.
  std::uint64_t PrefixEnd() const;
  const std::vector<ByteRange>& Ranges() const { return ranges_; }
  bool operator==(const RangeSet&) const = default;

 private:
  std::vector<ByteRange> ranges_;
};

struct ResumeState {
  // The address as the row got it; redirects are followed again each time.
  std::u16string url;
  // The file the download becomes once complete.
  std::u16string targetPath;
  // The unfinished file beside it (PartPathFor(targetPath)).
  std::u16string partPath;
  // The server's size of the file (Content-Length of a whole answer, or the
  // total of a Content-Range); empty while unknown.
  std::optional<std::uint64_t> size;
  // The validators of the server's first answer, exactly as sent (header
  // bytes, not text): a strong ETag (a weak one is never kept) and
  // Last-Modified. A continuation sends the ETag in If-Range, else the date.
  std::string etag;
  std::string lastModified;
  // The server answered a range request with its range, or announced
  // "Accept-Ranges: bytes" with a size.
  bool rangesWork = false;
  // Which bytes of partPath hold the file, as far as written.
  RangeSet onDisk;
  // partPath exists and holds onDisk. False once it has been renamed onto
  // the target or removed.
  bool partOnDisk = false;

  bool HasValidator() const { return !etag.empty() || !lastModified.empty(); }
  // The bytes can be continued: they exist, and the server can be asked for
  // the rest of exactly this version.
  bool CanContinue() const { return partOnDisk && !onDisk.Empty() && HasValidator(); }
  // Forgets the remote file (a different version, or bytes that cannot be
  // trusted): no size, no validators, nothing on disk.
  void ForgetVersion();
};

// The unfinished name of a download into path: "clip.flv" -> "clip.flv.vxpart".
std::u16string PartPathFor(const std::u16string& path);

// The file a download fetches into: a conversion's temporary file when there
// is one, else the user's file. A resume state belongs to this file.
std::u16string FetchedPath(const std::u16string& targetPath, const std::u16string& temporaryPath);

// A fresh state for a download of url into path.
ResumeState FreshState(const std::u16string& url, const std::u16string& path);

// The state of a download whose transfer is over: its whole file (of the
// size the state names) placed at path, nothing unfinished.
bool IsPlacedAt(const ResumeState& state, const std::u16string& path);

}  // namespace transfer
