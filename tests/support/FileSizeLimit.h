// A short write on demand: lowers this process's file-size limit, so writes
// beyond it fail with EFBIG as they would on a full disk, also for root
// (whom folder permissions do not stop). SIGXFSZ is ignored meanwhile so the
// failing write returns an error instead of ending the process. Both are
// restored on destruction. Process-wide: use it only while no other thread of
// the test writes files.
#pragma once

#include <cstdint>

namespace testsupport {

class FileSizeLimit {
 public:
  explicit FileSizeLimit(std::uint64_t bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  std::uint64_t oldSoft_ = 0;
  void (*oldHandler_)(int) = nullptr;
};

}  // namespace testsupport
