// The platform's mutex: one holder at a time, and not recursive, so that a
// thread that takes it again is not let into a change it is still making.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/platform.h"

namespace orv::platform {
namespace {

TEST(PlatformMutex, WhileHeldNoOneTakesItTheHolderIncluded) {
  Mutex mutex;
  ASSERT_TRUE(mutex.valid());
  const struct {
    const char* who;
    bool otherThread;
  } cases[] = {{"the holder itself", false}, {"another thread", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.who);
    mutex.lock();
    bool taken = true;
    if (c.otherThread) {
      std::thread([&] { taken = mutex.try_lock(); }).join();
    } else {
      taken = mutex.try_lock();
    }
    EXPECT_FALSE(taken);
    if (taken) mutex.unlock();
    mutex.unlock();
    // Released, it is free for anyone.
    ASSERT_TRUE(mutex.try_lock());
    mutex.unlock();
  }
}

TEST(PlatformMutex, ChangesUnderItFromFourThreadsAllCount) {
  Mutex mutex;
  long count = 0;
  constexpr int kThreads = 4;
  constexpr long kEach = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (long i = 0; i < kEach; ++i) {
        mutex.lock();
        const long seen = count;
        count = seen + 1;
        mutex.unlock();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(count, kThreads * kEach);
}

}  // namespace
}  // namespace orv::platform
