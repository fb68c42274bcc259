// A named, cross-process, recursive mutex: the stand-in for a Windows named
// mutex.
//
// The mutex is a robust, recursive, process-shared pthread mutex living in a
// file mapped into every process that uses it. The file lies in the user's
// runtime folder (platform/RuntimeFolder.h), which only the user may enter,
// and is named from the full lock name (e.g. "Global\OmbrelSettingsFile"), mode
// 0600: another user can neither make, take, block nor read it. Whoever opens
// the object and finds it not yet initialised (its creator may have been
// killed or stalled half-way, or it was made before the last reboot) finishes
// it under flock(LOCK_EX) on the object's descriptor, so several processes may
// start together and all of them end on one and the same mutex. An object is
// never unlinked and never replaced while anyone may use it.
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

#include "platform/ThreadCheck.h"

namespace platform {

struct NamedMutexObject;

enum class WaitResult { Acquired, TimedOut, Failed, Abandoned };

// True for the errors of Create() that mean "the object is there but cannot
// be used" (EACCES, EAGAIN), as opposed to "no object could be made".
bool IsUnusableObjectError(std::uint32_t error);

class NamedMutex {
 public:
  NamedMutex() = default;
  ~NamedMutex();  // Close()
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Creates the mutex or opens the existing one of that name, finishing its
  // initialisation when its creator did not. False with LastError() set:
  //   EACCES: an object of that name exists that is not ours, not private or
  //           not a file;
  //   EAGAIN: another process holds up its initialisation for more than 2 s;
  //   anything else: the object could not be made (EMFILE, ENOSPC, no
  //           runtime folder ...).
  bool Create(const std::u16string& fullName);
  // The same for an existing object only (ENOENT when there is none).
  bool Open(const std::u16string& fullName);
  bool IsOpen() const { return shared_ != nullptr; }

  // Waits at most timeoutMs against a monotonic deadline.
  //   Acquired:  the calling thread owns it (one more level when it already did).
  //   TimedOut:  LastError() is kErrTimedOut.
  //   Failed:    LastError() is the pthread error.
  //   Abandoned: the previous owner died holding it; the mutex has been made
  //              consistent and the calling thread owns it.
  // A mutex that an earlier owner left unrecoverable is replaced by a fresh
  // one in the same object (see NamedMutexObject.h) and waited for.
  WaitResult Wait(std::uint32_t timeoutMs);

  // Gives up one level of ownership. False (LastError EPERM) when the calling
  // thread does not own it.
  bool Release();

  // Unmaps; the shared object stays for the next user. Does not release.
  void Close();

 private:
  bool Attach(const std::u16string& fullName, bool create);
  // Sets up the next generation's mutex when generation `seen` is still the
  // live one and unrecoverable. False when the object's flock cannot be had.
  bool Renew(std::uint32_t seen);

  NamedMutexObject* shared_ = nullptr;
  int fd_ = -1;          // kept for the flock that guards (re-)initialisation
  int lockedSlot_ = -1;  // the slot this object's last successful Wait locked
  [[no_unique_address]] threadcheck::LockCheck check_;  // ThreadSanitizer builds only
};

}  // namespace platform
