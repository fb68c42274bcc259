// Files that tell whether the process that owns something still runs, and
// the few folder operations the download journal needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// An exclusive flock on a file, held for as long as its owner runs. The
// kernel drops it when the process ends, also under SIGKILL, so a lock file
// that nobody holds belongs to a process that is gone. The descriptor is
// close-on-exec: a converter never inherits it.
class OwnerLock {
 public:
  OwnerLock() = default;
  ~OwnerLock();  // Release()
  OwnerLock(const OwnerLock&) = delete;
  OwnerLock& operator=(const OwnerLock&) = delete;

  // Opens path (made with mode 0600 when missing; a link is not followed) and
  // takes the lock without waiting. False with LastError() set: EWOULDBLOCK
  // when another process holds it, else why the file cannot be had.
  bool Take(const std::u16string& path);
  bool Held() const { return fd_ >= 0; }
  void Release();

 private:
  int fd_ = -1;
};

// The names of the regular files in folder (not its subfolders), unsorted;
// empty when the folder cannot be read.
std::vector<std::u16string> FilesIn(const std::u16string& folder);

// Takes group and other access away from path (chmod to its owner's bits).
bool MakePrivate(const std::u16string& path);

// 16 hexadecimal digits from the system's random source, for names nobody
// else will pick.
std::u16string RandomToken();

}  // namespace platform
