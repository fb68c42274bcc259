// Temporary download files and how a start knows which of them are still in
// use.
//
// A temporary name is reserved by an empty file prefix + hexadecimal number +
// ".tmp" (the reserve); the download itself goes to the same stem with its own
// extension. Every process that uses a temporary file holds a shared flock on
// its reserve (a FileLease) for as long as it does: the process that made the
// name until it ends, and the first instance, once the name is handed to it,
// until its row lets the file go. The kernel drops the flock of a process
// that dies, also under SIGKILL, so a reserve that nobody holds belongs to no
// running process, and its stem can go.
//
// Races between a start that cleans up and one that is making a name are
// settled on the reserve itself: the cleaner takes the reserve (making it
// when only the download is left, so that no new name can be made on that
// stem meanwhile) with an exclusive, non-blocking flock and removes the stem's
// files while it holds it, the reserve last; a maker that finds its fresh
// reserve unlinked once it holds its flock makes another name.
#pragma once

#include <string>
#include <vector>

namespace platform {

// A shared flock on one file, held until Release() or destruction.
class FileLease {
 public:
  FileLease() = default;
  ~FileLease();  // Release()
  FileLease(FileLease&& other) noexcept;
  FileLease& operator=(FileLease&& other) noexcept;
  FileLease(const FileLease&) = delete;
  FileLease& operator=(const FileLease&) = delete;

  // Opens path (a link is not followed), takes the shared flock, waiting while
  // a cleaner holds it, and checks that the file is still the one at path.
  // False (LastError set) when there is no such file any more.
  bool Take(const std::u16string& path);
  bool Held() const { return fd_ >= 0; }
  void Release();

 private:
  int fd_ = -1;
};

// Creates an empty, unique file named prefix (at most its first three
// characters) + hexadecimal number + ".tmp" in folder (which ends in '/'),
// with O_CREAT | O_EXCL, as GetTempFileName does, and holds it with lease.
// False when no name could be had (LastError set), e.g. the folder is missing
// or not writable.
bool CreateUniqueTempFile(const std::u16string& folder, const std::u16string& prefix, std::u16string& path,
                          FileLease& lease);

// The reserve of a temporary path: its stem + ".tmp" (the path itself when it
// is one). Empty when the name has no extension.
std::u16string TempFileReserve(const std::u16string& path);

// Removes from folder (ending in '/') every file prefix (first three
// characters) + 1 to 4 hexadecimal digits + "." + anything whose reserve no
// process holds, the reserve last. A stem named by a path in spare (the
// download or its reserve) stays whatever its state. Nothing else in the
// folder is touched. Returns the paths removed.
std::vector<std::u16string> RemoveAbandonedTempFiles(const std::u16string& folder, const std::u16string& prefix,
                                                     const std::vector<std::u16string>& spare);

}  // namespace platform
