// A named, cross-process, recursive mutex: the stand-in for a Windows named
// mutex.
//
// The mutex is a robust, recursive, process-shared pthread mutex living in a
// POSIX shared-memory object whose name is derived from the full lock name
// (e.g. "Global\OmbrelSettingsFile") and the user's id, mode 0600, so another
// user can neither take nor block it. The first process to create the object
// initialises it; later openers wait until that is done, so several processes
// may start together. Create() replaces an object that stays uninitialised
// for 2 s (its creator died half-way); Open() gives up with EAGAIN instead.
// When the environment variable VEXARO_LOCK_SCOPE is set, its value is part
// of the object's name: tests set it so that parallel runs (and a Vexaro
// running on the same desktop) never share their locks.
//
// Calling sequence: Create (or Open), then Wait, then Release for every
// successful Wait (acquisitions nest per thread), then Close or destroy. Like a
// Windows mutex, ownership belongs to the thread that waited.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

enum class WaitResult { Acquired, TimedOut, Failed, Abandoned };

class NamedMutex {
 public:
  NamedMutex() = default;
  ~NamedMutex();  // Close()
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Creates the mutex or opens the existing one of that name. False with
  // LastError() set when neither works.
  bool Create(const std::u16string& fullName);
  // Opens an existing mutex only. False when there is none.
  bool Open(const std::u16string& fullName);
  bool IsOpen() const { return shared_ != nullptr; }

  // Waits at most timeoutMs against a monotonic deadline.
  //   Acquired:  the calling thread owns it (one more level when it already did).
  //   TimedOut:  LastError() is kErrTimedOut.
  //   Failed:    LastError() is the pthread error.
  //   Abandoned: the previous owner died holding it; the mutex has been made
  //              consistent and the calling thread owns it.
  WaitResult Wait(std::uint32_t timeoutMs);

  // Gives up one level of ownership. False (LastError EPERM) when the calling
  // thread does not own it.
  bool Release();

  // Unmaps; the shared object stays for the next user. Does not release.
  void Close();

 private:
  // mayRecover: replace an object whose creator died before initialising it.
  bool Create(const std::u16string& fullName, bool mayRecover);

  struct Shared;
  Shared* shared_ = nullptr;
};

}  // namespace platform
