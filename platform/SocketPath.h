// The address of a Unix-domain socket in a folder, short enough for a socket
// address (at most 107 bytes) whatever the folder's path: a longer path is
// reached through a descriptor of the folder held by this object, as
// /proc/self/fd/<n>/<name>, which names the same file for bind() and
// connect() in this process only.
//
// Keep the object as long as anything may still use Path() (a listener that
// removes its socket file when it closes, for one).
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// What a socket address holds, without the terminating zero.
inline constexpr std::size_t kMaxSocketPath = 107;

class SocketPath {
 public:
  SocketPath() = default;
  ~SocketPath();  // Clear()
  SocketPath(const SocketPath&) = delete;
  SocketPath& operator=(const SocketPath&) = delete;

  // folder ends in '/'. False (LastError set) when the folder cannot be
  // opened for a path that does not fit.
  bool Set(const std::u16string& folder, const std::string& name);
  void Clear();

  // For bind() and connect() in this process; empty before Set().
  const std::string& Path() const { return path_; }
  // The file's path as others see it.
  const std::string& FullPath() const { return full_; }

 private:
  int folder_ = -1;
  std::string path_;
  std::string full_;
};

}  // namespace platform
