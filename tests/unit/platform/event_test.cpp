// The platform's stop event: a set event ends a wait at once and stays set
// until reset; an unset one lets the wait run its full length.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/platform.h"

namespace orv::platform {
namespace {

using Clock = std::chrono::steady_clock;

TEST(PlatformEvent, WaitEndsWhenSetAndRunsItsLengthOtherwise) {
  const struct {
    const char* what;
    bool setBefore;
    bool resetBefore;
    int setFromThreadAfterMs;  // -1: no other thread sets it
    std::uint32_t waitMs;
    bool expectSet;
    int minMs, maxMs;
  } cases[] = {
      {"set before the wait", true, false, -1, 5000, true, 0, 1000},
      {"set, then reset", true, true, -1, 50, false, 30, 4000},
      {"never set", false, false, -1, 50, false, 30, 4000},
      {"zero length", false, false, -1, 0, false, 0, 1000},
      {"set by another thread during a long wait", false, false, 30, 10000, true, 20, 2000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Event event;
    ASSERT_TRUE(event.valid());
    if (c.setBefore) event.set();
    if (c.resetBefore) event.reset();
    std::thread setter;
    if (c.setFromThreadAfterMs >= 0) {
      setter = std::thread([&event, &c] {
        std::this_thread::sleep_for(std::chrono::milliseconds(c.setFromThreadAfterMs));
        event.set();
      });
    }
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(event.waitMs(c.waitMs), c.expectSet);
    const auto tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (setter.joinable()) setter.join();
    EXPECT_GE(tookMs, c.minMs);
    EXPECT_LE(tookMs, c.maxMs);
    EXPECT_EQ(event.waitMs(0), c.expectSet) << "a set event stays set";
  }
}

}  // namespace
}  // namespace orv::platform
