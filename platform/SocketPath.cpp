#include "platform/SocketPath.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/Text.h"

namespace platform {

SocketPath::~SocketPath() { Clear(); }

bool SocketPath::Set(const std::u16string& folder, const std::string& name) {
  Clear();
  full_ = ToUtf8(folder) + name;
  if (full_.size() <= kMaxSocketPath) {
    path_ = full_;
    return true;
  }
  folder_ = ::open(ToUtf8(folder).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folder_ < 0) return false;
  path_ = "/proc/self/fd/" + std::to_string(folder_) + "/" + name;
  return true;
}

void SocketPath::Clear() {
  if (folder_ >= 0) ::close(folder_);
  folder_ = -1;
  path_.clear();
  full_.clear();
}

}  // namespace platform
