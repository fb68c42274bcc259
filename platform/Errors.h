// Error numbers the portable code needs to compare against, without including
// OS headers outside platform/. Values are the platform's own (errno on Linux),
// so they can be recorded as they stand.
#pragma once

#include <cstdint>

namespace platform {

extern const std::uint32_t kErrFileNotFound;    // ENOENT (2, as on Windows)
extern const std::uint32_t kErrAlreadyExists;   // EEXIST
extern const std::uint32_t kErrSharingViolation;  // another holder of an unshared open
extern const std::uint32_t kErrDiskFull;        // ENOSPC
extern const std::uint32_t kErrTimedOut;        // ETIMEDOUT

// The calling thread's last error (errno).
std::uint32_t LastError();
void SetLastError(std::uint32_t error);

// Short human text for an error number (strerror), UTF-8.
const char* ErrorText(std::uint32_t error);

}  // namespace platform
