#include "platform/Errors.h"

#include <cerrno>
#include <cstring>

namespace platform {

const std::uint32_t kErrFileNotFound = ENOENT;
const std::uint32_t kErrAlreadyExists = EEXIST;
const std::uint32_t kErrSharingViolation = EWOULDBLOCK;
const std::uint32_t kErrDiskFull = ENOSPC;
const std::uint32_t kErrTimedOut = ETIMEDOUT;

std::uint32_t LastError() { return static_cast<std::uint32_t>(errno); }

void SetLastError(std::uint32_t error) { errno = static_cast<int>(error); }

const char* ErrorText(std::uint32_t error) { return std::strerror(static_cast<int>(error)); }

}  // namespace platform
