// The shared-memory object behind a NamedMutex, shared by NamedMutex.cpp and
// the tests that build damaged objects on purpose. Nothing else uses it.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace platform {

inline constexpr std::uint32_t kNamedMutexSlots = 16;

// The value of `ready` once the object is made: derived from the machine's
// boot id, never 0. The object is a file, which may live on a disk and so
// outlive a reboot with a mutex left held by a process of the old boot; a
// stamp of another boot reads as "not made" and the object is made anew.
std::uint32_t NamedMutexReadyStamp();

// Zero-filled when made (ftruncate), so "not ready" and "generation 0" need
// no writes. Whoever finds it not ready finishes it, holding flock(LOCK_EX)
// on the object's descriptor; nobody uses a mutex before `ready` is set, and
// nobody ever unlinks the object, so every process meets the same mutex.
//
// The live mutex is slots[generation % kNamedMutexSlots]. A mutex that became
// unrecoverable (an owner died and the next one released it without making it
// consistent) can never be held again, so a fresh one is set up in the next
// slot, under the same flock, instead of re-initialising one that others may
// still be calling into.
struct NamedMutexObject {
  std::atomic<std::uint32_t> ready;
  std::atomic<std::uint32_t> generation;
  pthread_mutex_t slots[kNamedMutexSlots];
};

// "lock-<escaped full name>[@<VEXARO_LOCK_SCOPE>]": the object's file name in
// the runtime folder (platform/RuntimeFolder.h).
std::string NamedMutexObjectName(const std::u16string& fullName);
// That file's path; empty (LastError set) without a runtime folder.
std::string NamedMutexObjectPath(const std::u16string& fullName);

}  // namespace platform
