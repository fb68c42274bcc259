// Inside platform/ only: writing a whole buffer to a descriptor.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::detail {

// Writes all size bytes, at the descriptor's position (offset < 0) or at
// offset (pwrite), retrying short writes and EINTR. False with errno set on
// the first failure (EIO for a write that makes no progress).
bool WriteAll(int fd, const char* data, std::size_t size, long long offset = -1);

}  // namespace platform::detail
