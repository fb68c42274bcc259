// The unfinished file of a download: written at any offset by several
// connections of one worker thread, reserved to its full size up front, and
// held with an exclusive lock while in use, so that two downloads can never
// write into the same file and a later clean-up can tell it is in use.
//
// Failures are values: false with LastError() set to the errno of the failing
// call. Not thread-safe; one worker thread owns the object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class PartFile {
 public:
  PartFile() = default;
  ~PartFile();  // Close()
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  // Opens path for reading and writing, creating it (mode 0644 before the
  // umask) when missing, and takes an exclusive, non-blocking flock on it:
  // kErrSharingViolation when another open file holds it (in this process or
  // another). With truncate the file is emptied once the lock is held, never
  // before, so a file in use elsewhere is left alone. A symbolic link at
  // path is never followed (ELOOP), and anything but a plain file of this
  // user's with one name (a fifo, another account's file, a hard link) is
  // refused with EPERM before a byte is written or cut.
  bool Open(const std::u16string& path, bool truncate);
  bool IsOpen() const { return fd_ >= 0; }

  // Writes all size bytes at offset, retrying short writes and EINTR.
  bool WriteAt(const void* data, std::size_t size, std::uint64_t offset);

  // Reserves the blocks of the first size bytes and makes the file that long,
  // so that a full disk shows before the first byte arrives. A file system
  // that cannot reserve (EOPNOTSUPP, as FUSE and some network file systems
  // answer) is no failure: the file then grows as it is written. fallocate(2)
  // rather than posix_fallocate: glibc's posix_fallocate emulates a missing
  // fallocate by writing into every block, which on such file systems takes
  // about as long as the download itself, before its first byte.
  bool Reserve(std::uint64_t size);

  bool Truncate(std::uint64_t size);
  // Puts what was written on the disk (fdatasync), so that a record of it
  // made afterwards survives the machine going off.
  bool Sync();
  // Size in bytes, or -1.
  long long Size() const;
  // Releases the lock and closes; false when the close reported a deferred
  // write error.
  bool Close();

 private:
  int fd_ = -1;
};

// Removes the unfinished file at path when nothing holds it: only a plain
// file of this user's with one name that no PartFile has open (in any
// process). False when
// there is none, or it is in use or not the user's (LastError set).
bool RemoveUnheldPartFile(const std::u16string& path);

// A write failure that means "no room for this file": a full disk (ENOSPC),
// an exhausted quota (EDQUOT) or the file-size limit (EFBIG).
bool IsOutOfSpace(std::uint32_t error);

}  // namespace platform
