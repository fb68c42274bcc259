// The named mutex's object across real processes: many processes racing to
// create one object, and to finish or recover one that an earlier process
// left half-made or unusable, must all end on the same object and exclude
// each other there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/NamedMutex.h"
#include "platform/NamedMutexObject.h"
#include "platform/Text.h"
#include "support/HelperProcess.h"
#include "support/TempFolder.h"

namespace {

using testsupport::HelperProcess;
using testsupport::ReadFileBytes;
using testsupport::WaitForFile;
using testsupport::WriteFileBytes;

constexpr char16_t kLock[] = u"Race";

std::string ObjectPath(const std::u16string& name) { return platform::NamedMutexObjectPath(name); }

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

}  // namespace

// Attaches when the start file appears, then k times: waits, checks that
// nobody else is inside (an exclusive marker file), adds one to the counter
// file by reading and rewriting it, and releases. Writes the inode of the
// object it attached to into its own file. Args: start, counter, marker,
// inode file, k. Exit 0 when every wait got the lock and nobody was met inside.
VEXARO_TEST_HELPER(race_lock) {
  WaitForFile(args.at(0), 30000);
  platform::NamedMutex mutex;
  if (!mutex.Create(kLock)) return 10;
  testsupport::PublishFile(args.at(3), std::to_string(InodeOf(ObjectPath(kLock))));
  int code = 0;
  for (int i = std::stoi(args.at(4)); i > 0; --i) {
    const platform::WaitResult result = mutex.Wait(20000);
    if (result != platform::WaitResult::Acquired) return 11;
    const int marker = ::open(args.at(2).c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
    if (marker < 0) code = 12;  // someone else is inside "the same" lock
    const std::string text = ReadFileBytes(args.at(1));
    std::this_thread::yield();
    WriteFileBytes(args.at(1), std::to_string((text.empty() ? 0 : std::stoi(text)) + 1));
    if (marker >= 0) {
      ::close(marker);
      ::unlink(args.at(2).c_str());
    }
    if (!mutex.Release()) return 13;
  }
  return code;
}

// Takes the lock and holds it until killed. Args: ready file.
VEXARO_TEST_HELPER(hold_named_mutex) {
  platform::NamedMutex mutex;
  if (!mutex.Create(kLock) || mutex.Wait(5000) != platform::WaitResult::Acquired) return 2;
  WriteFileBytes(args.at(0), "");
  WaitForFile(args.at(0) + ".never", 120000);
  return 0;
}

namespace {

struct RaceCase {
  const char* name;
  // Leaves the object as an earlier process would have; returns what must
  // run while the helpers start (empty when nothing).
  std::function<std::function<void()>(const testsupport::TempFolder&)> prepare;
  std::uint32_t generationAfter;
};

void PrintTo(const RaceCase& c, std::ostream* os) { *os << c.name; }

int MakeObject(off_t size) {
  const int fd = ::open(ObjectPath(kLock).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0 && size > 0 && ::ftruncate(fd, size) != 0) return -1;
  return fd;
}

const RaceCase kRaceCases[] = {
    {"NoObjectYet", [](const testsupport::TempFolder&) { return std::function<void()>(); }, 0},
    {"CreatorDiedBeforeSizing",
     [](const testsupport::TempFolder&) {
       ::close(MakeObject(0));
       return std::function<void()>();
     },
     0},
    {"CreatorDiedBeforeInitialising",
     [](const testsupport::TempFolder&) {
       ::close(MakeObject(sizeof(platform::NamedMutexObject)));
       return std::function<void()>();
     },
     0},
    // Longer than a waiter may stall in the old scheme (2 s) would be too long
    // for a test; 1.5 s in the middle of initialising shows the same.
    {"CreatorStalledWhileInitialising",
     [](const testsupport::TempFolder&) {
       const int fd = MakeObject(0);
       ::flock(fd, LOCK_EX);
       return std::function<void()>([fd] {
         std::this_thread::sleep_for(std::chrono::milliseconds(1500));
         ::close(fd);  // gives up the flock without having initialised anything
       });
     },
     0},
    {"MutexLeftUnrecoverable",
     [](const testsupport::TempFolder& dir) {
       const std::string ready = dir.File("held");
       {
         HelperProcess holder("hold_named_mutex", {ready});
         WaitForFile(ready, 10000);
         holder.Kill();
       }
       // The next owner takes it over and releases it without making it
       // consistent, which leaves it unrecoverable for good.
       const int fd = ::open(ObjectPath(kLock).c_str(), O_RDWR | O_CLOEXEC);
       void* memory = ::mmap(nullptr, sizeof(platform::NamedMutexObject), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
       ::close(fd);
       auto* object = static_cast<platform::NamedMutexObject*>(memory);
       EXPECT_EQ(::pthread_mutex_lock(&object->slots[0]), EOWNERDEAD);
       ::pthread_mutex_unlock(&object->slots[0]);
       EXPECT_EQ(::pthread_mutex_lock(&object->slots[0]), ENOTRECOVERABLE);
       ::munmap(memory, sizeof(platform::NamedMutexObject));
       return std::function<void()>();
     },
     1},
};

class NamedMutexRace : public ::testing::TestWithParam<RaceCase> {};

TEST_P(NamedMutexRace, EveryProcessEndsOnOneObjectAndNoneOverlap) {
  constexpr int kProcesses = 6;
  constexpr int kRounds = 25;
  testsupport::TempDataHome home;  // a lock scope of this test's own
  const testsupport::TempFolder& dir = home.Root();
  const std::function<void()> during = GetParam().prepare(dir);

  const std::string start = dir.File("start");
  std::vector<std::unique_ptr<HelperProcess>> helpers;
  for (int i = 0; i < kProcesses; ++i) {
    helpers.push_back(std::make_unique<HelperProcess>(
        "race_lock", std::vector<std::string>{start, dir.File("counter"), dir.File("inside"),
                                              dir.File("inode" + std::to_string(i)), std::to_string(kRounds)}));
  }
  WriteFileBytes(start, "");
  if (during) during();
  for (int i = 0; i < kProcesses; ++i) EXPECT_EQ(helpers[i]->Wait(), 0) << "helper " << i;

  EXPECT_EQ(ReadFileBytes(dir.File("counter")), std::to_string(kProcesses * kRounds));
  std::set<std::string> inodes;
  for (int i = 0; i < kProcesses; ++i) inodes.insert(ReadFileBytes(dir.File("inode" + std::to_string(i))));
  EXPECT_EQ(inodes, std::set<std::string>{std::to_string(InodeOf(ObjectPath(kLock)))})
      << "some process ended on an object of its own";

  platform::NamedMutex mutex;
  ASSERT_TRUE(mutex.Open(kLock));
  const int fd = ::open(ObjectPath(kLock).c_str(), O_RDONLY | O_CLOEXEC);
  void* memory = ::mmap(nullptr, sizeof(platform::NamedMutexObject), PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  ASSERT_NE(memory, MAP_FAILED);
  EXPECT_EQ(static_cast<platform::NamedMutexObject*>(memory)->generation.load(), GetParam().generationAfter);
  ::munmap(memory, sizeof(platform::NamedMutexObject));
}

INSTANTIATE_TEST_SUITE_P(Cases, NamedMutexRace, ::testing::ValuesIn(kRaceCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NamedMutex, ObjectOfAnotherModeIsRefusedAndKept) {
  testsupport::TempDataHome home;
  const int fd = ::open(ObjectPath(kLock).c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(fd, 0);
  ::fchmod(fd, 0644);
  ::close(fd);
  platform::NamedMutex mutex;
  EXPECT_FALSE(mutex.Create(kLock));
  EXPECT_TRUE(platform::IsUnusableObjectError(static_cast<std::uint32_t>(errno)));
  EXPECT_NE(InodeOf(ObjectPath(kLock)), 0u) << "nobody else's object is removed";
}

TEST(NamedMutex, OpenFindsNothingWhereNothingWasMade) {
  testsupport::TempDataHome home;
  platform::NamedMutex mutex;
  EXPECT_FALSE(mutex.Open(kLock));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(InodeOf(ObjectPath(kLock)), 0u);
}

}  // namespace
