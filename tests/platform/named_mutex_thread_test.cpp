// The named lock between threads of one process. Each thread maps the shared
// object through a NamedMutex of its own, at an address of its own, and must
// still be excluded by every other holder of the name. Under ThreadSanitizer
// this is also the case that shows the checker sees the lock: the plain
// counter below is reported as a race unless the lock orders its holders.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/NamedMutex.h"
#include "support/TempFolder.h"

namespace {

TEST(NamedMutexThreadTest, ThreadsWithTheirOwnMappingsExcludeEachOther) {
  testsupport::TempDataHome home;  // a lock scope of this test's own
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  int counter = 0;  // guarded by the named lock alone
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&counter] {
      for (int i = 0; i < kRounds; ++i) {
        platform::NamedMutex lock;
        ASSERT_TRUE(lock.Create(u"Local\\OmbrelThreads"));
        ASSERT_EQ(lock.Wait(3000), platform::WaitResult::Acquired);
        const int seen = counter;
        std::this_thread::yield();
        counter = seen + 1;
        // Taken again by the holder, through a second mapping: one more level.
        platform::NamedMutex again;
        ASSERT_TRUE(again.Create(u"Local\\OmbrelThreads"));
        ASSERT_EQ(again.Wait(0), platform::WaitResult::Acquired);
        ASSERT_TRUE(again.Release());
        ASSERT_TRUE(lock.Release());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter, kThreads * kRounds);
}

}  // namespace
