// The named lock across real processes. Every test has a TempDataHome, which
// also gives it lock names of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "platform/Errors.h"
#include "platform/NamedMutexObject.h"
#include "platform/RuntimeFolder.h"
#include "platform/Text.h"
#include "settings/Mutex.h"
#include "settings/Settings.h"
#include "support/HelperProcess.h"
#include "support/TempFolder.h"

namespace {

using settings::Mutex;
using settings::SectionMap;
using settings::Settings;
using testsupport::HelperProcess;
using testsupport::WaitForFile;

constexpr char kLock[] = "TestLock";
constexpr std::uint32_t kBase = 60;  // reports go to "136x"

class LockAcrossProcesses : public ::testing::Test {
 protected:
  void SetUp() override { Settings::GetInstance(); }  // so reports are recorded

  testsupport::TempDataHome home_;
  const std::string ready_ = home_.Root().File("ready");
  const std::string release_ = home_.Root().File("release");
};

TEST_F(LockAcrossProcesses, HeldElsewhereTimesOutWithOneReport) {
  HelperProcess holder("hold_lock", {kLock, ready_, release_});
  ASSERT_TRUE(WaitForFile(ready_, 10000));

  const auto start = std::chrono::steady_clock::now();
  {
    Mutex lock(platform::FromUtf8(kLock), kBase);
    EXPECT_FALSE(lock.IsLocked());
  }
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(2900));
  EXPECT_LT(waited, std::chrono::seconds(20));
  // The timeout only; in particular the destructor released nothing (+2).
  EXPECT_EQ(Settings::GetInstance()->GetErrors(),
            (SectionMap{{u"1364", platform::Format("%u", platform::kErrTimedOut)}}));

  testsupport::WriteFileBytes(release_, "");
  EXPECT_EQ(holder.Wait(), 0);
}

TEST_F(LockAcrossProcesses, OwnerKilledWhileHoldingIsAbandonedThenFree) {
  HelperProcess holder("hold_lock", {kLock, ready_});
  ASSERT_TRUE(WaitForFile(ready_, 10000));
  holder.Kill();

  {
    Mutex lock(platform::FromUtf8(kLock), kBase);
    EXPECT_FALSE(lock.IsLocked()) << "what the dead owner guarded may be half-written";
  }
  HelperProcess next("take_lock", {kLock});
  EXPECT_EQ(next.Wait(), 0) << "the abandoned mutex was not given back";
  EXPECT_TRUE(Settings::GetInstance()->GetErrors().empty());
}

TEST_F(LockAcrossProcesses, SameThreadTwiceReleasesBoth) {
  {
    Mutex outer(platform::FromUtf8(kLock), kBase);
    Mutex inner(platform::FromUtf8(kLock), kBase);
    EXPECT_TRUE(outer.IsLocked());
    EXPECT_TRUE(inner.IsLocked());
  }
  HelperProcess taker("take_lock", {kLock});
  EXPECT_EQ(taker.Wait(), 0) << "one acquisition was not given back";
  EXPECT_TRUE(Settings::GetInstance()->GetErrors().empty());
}

// An object under the lock's name that is not private is unusable: that is a
// failed wait, and no other object is locked in its place.
TEST_F(LockAcrossProcesses, UnusableObjectIsAFailedWaitNotAnotherLock) {
  const std::string name = platform::NamedMutexObjectPath(u"Global\\Ombrel" + platform::FromUtf8(kLock));
  const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::fchmod(fd, 0644), 0);
  ::close(fd);
  {
    Mutex lock(platform::FromUtf8(kLock), kBase);
    EXPECT_FALSE(lock.IsLocked());
  }
  EXPECT_EQ(Settings::GetInstance()->GetErrors(), (SectionMap{{u"1363", u"13"}}))  // EACCES, wait failed
      << "no release is reported for an object never waited on";
  for (const auto& entry : std::filesystem::directory_iterator(platform::ToUtf8(platform::RuntimeFolder()))) {
    EXPECT_EQ(entry.path().filename().string().find("Local"), std::string::npos) << entry.path();
  }
}

}  // namespace
