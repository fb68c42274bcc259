// Files, with the sharing rules the stores rely on.
//
// Windows opens the stores without sharing, so a second opener fails instead
// of interleaving. Linux has no mandatory sharing modes; an unshared open here
// takes an exclusive, non-blocking flock() on the descriptor, so two Vexaro
// processes (or the add-on, if it does the same) still collide with
// kErrSharingViolation; AtomicReplace takes the same flock on the file it
// replaces, so an unshared open also keeps Vexaro's writers out. Readers that
// allow sharing take no flock.
//
// All functions return failures as values: false / -1 with LastError() set to
// the errno of the failing call. Paths are UTF-16 and converted to UTF-8 here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

enum class Share { None, Read };

// A read-only file handle; closes on destruction. Not copyable.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens an existing file. On failure returns false and LastError() is the
  // reason (kErrFileNotFound, kErrSharingViolation, EACCES, EISDIR ...).
  bool Open(const std::u16string& path, Share share);
  bool IsOpen() const { return fd_ >= 0; }
  // Reads up to size bytes; returns the count (0 at end) or -1 on failure.
  long long Read(void* buffer, std::size_t size);
  // Size in bytes, or -1 on failure.
  long long Size() const;
  void Close();

 private:
  int fd_ = -1;
};

// A write-only file handle for downloads; closes on destruction.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates or truncates path ("wb"); others may open it meanwhile.
  bool Open(const std::u16string& path);
  bool IsOpen() const { return fd_ >= 0; }
  // Writes all size bytes, retrying short writes and EINTR. False on the first
  // failure with LastError() set (kErrDiskFull for a full disk).
  bool Write(const void* data, std::size_t size);
  // Closes; false when the close itself reported a deferred write error.
  bool Close();

 private:
  int fd_ = -1;
};

// True when path can be opened for reading under the given sharing.
bool CanOpen(const std::u16string& path, Share share);

// Whole-file read into bytes; false on failure.
bool ReadWholeFile(const std::u16string& path, std::string& bytes);

// Replaces path with bytes atomically: the text goes to a fresh temporary file
// in the same folder (named path + ".vexaro-tmp-" + six characters), which is
// flushed, fsync'ed and renamed over path, then the folder is fsync'ed. Either
// the old content or the new one is on disk whatever happens; on failure the
// temporary file is removed and the old file is untouched. The new file gets
// mode 0600 unless path existed, in which case its permission bits are kept.
// A symbolic link is followed (relative targets from the link's folder, as
// git's lockfile does): its final target is replaced and the link stays.
// While another opener holds an unshared open of the file, the replace fails
// with kErrSharingViolation, as a second unshared open would.
bool AtomicReplace(const std::u16string& path, std::string_view bytes);

// Removes the temporary files that replaces of path (after following links)
// left behind when their writer died between creating and renaming them;
// nothing else is touched. Only for a caller that holds path's named lock:
// then no other replace of path is under way. Returns how many were removed.
int RemoveLeftoverTemporaries(const std::u16string& path);

// Creates path exclusively (O_CREAT | O_EXCL), empty, with mode (0600 unless
// told otherwise; the umask applies).
bool CreateExclusive(const std::u16string& path, unsigned mode = 0600);

// Size of an existing file in bytes, or -1 (LastError set).
long long FileSize(const std::u16string& path);

bool FileExists(const std::u16string& path);
bool RemoveFile(const std::u16string& path);
// rename(2): replaces an existing target.
bool RenameFile(const std::u16string& from, const std::u16string& to);
// The same, but fails with kErrAlreadyExists instead of replacing a file
// that exists at `to` (renameat2 with RENAME_NOREPLACE). Where the file
// system cannot do that atomically (EINVAL), a hard link and an unlink do it.
bool RenameNoReplace(const std::u16string& from, const std::u16string& to);

// Where a file saved at path is written: path itself, unless it is a
// symbolic link this user owns, which is followed (relative targets from the
// link's folder) as far as the chain holds links this user owns. A link of
// another account is never followed: it is the entry in the way, so what
// another user plants in a shared folder cannot send a download elsewhere.
// Where a link cannot be read or the chain runs past the kernel's limit, the
// last path reached (the writes themselves never follow a link).
std::u16string WrittenPath(const std::u16string& path);

// Something is at path, without following a link: a link that leads nowhere
// is there too.
bool EntryExists(const std::u16string& path);

// Creates one folder level (mode 0700). Fails with kErrAlreadyExists when it
// exists, as CreateDirectory does.
bool CreateFolder(const std::u16string& path);

}  // namespace platform
