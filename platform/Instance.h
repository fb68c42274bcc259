// What tells a first start of the program from a later one, and what lets the
// first take later starts' downloads: the instance marker, the runtime folder
// that holds it and the hand-off socket, and the peer check of that socket.
//
// The marker stands in for the named instance mutex: a file "instance" in the
// runtime folder (platform/RuntimeFolder.h), held with an exclusive, non-blocking flock. The descriptor
// is close-on-exec, so a converter started by the program never inherits it,
// and the kernel drops the lock when the process ends, also when it is killed.
#pragma once

#include <cstdint>
#include <string>

#include "platform/RuntimeFolder.h"

namespace platform {

// The creation status a later start sees (ERROR_ALREADY_EXISTS).
inline constexpr std::uint32_t kInstanceExists = 183;
// The runtime folder or the marker cannot be had (ERROR_ACCESS_DENIED).
inline constexpr std::uint32_t kInstanceDenied = 5;

class InstanceMarker {
 public:
  InstanceMarker() = default;
  ~InstanceMarker();  // Release()
  InstanceMarker(const InstanceMarker&) = delete;
  InstanceMarker& operator=(const InstanceMarker&) = delete;

  // Tries to take the marker. Returns 0 when this process now holds it (or
  // already did), kInstanceExists when another process holds it, and
  // kInstanceDenied when the runtime folder or the file cannot be had.
  std::uint32_t Take();
  bool IsHeld() const { return fd_ >= 0; }
  // Lets a later start take it; the file stays.
  void Release();

 private:
  int fd_ = -1;
};

// The effective user id of this process.
std::uint32_t CurrentUserId();

// The user id of the process at the other end of a connected Unix-domain
// socket, as the kernel recorded it when the connection was made
// (SO_PEERCRED). False (LastError set) when it cannot be read.
bool PeerUserId(std::intptr_t socketDescriptor, std::uint32_t& userId);

}  // namespace platform
