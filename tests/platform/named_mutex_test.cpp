#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "platform/NamedMutex.h"
#include "support/TempFolder.h"

namespace {

// A creator that died between creating the shared object and initialising
// the mutex in it leaves an object that never becomes ready.
TEST(NamedMutex, ReplacesAnObjectWhoseCreatorDiedHalfWay) {
  testsupport::TempDataHome home;  // a lock scope of this test's own
  const std::string name =
      "/vexaro-" + std::to_string(::geteuid()) + "-Stale%40" + std::getenv("VEXARO_LOCK_SCOPE");
  const int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 4096), 0);
  ::close(fd);

  platform::NamedMutex opened;
  EXPECT_FALSE(opened.Open(u"Stale"));

  platform::NamedMutex created;
  ASSERT_TRUE(created.Create(u"Stale"));
  EXPECT_EQ(created.Wait(1000), platform::WaitResult::Acquired);
  EXPECT_TRUE(created.Release());
  ::shm_unlink(name.c_str());
}

}  // namespace
