// Live events: what the update thread does with events posted while a device
// runs, tick by tick, and the state each one reports.
#include "framework/scenario/live_events.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/core/values.h"
#include "framework/devices/device.h"
#include "framework/devices/update_thread.h"
#include "framework/scenario/scenario_player.h"
#include "models/co2/co2_model.h"
#include "tests/support/log_capture.h"
#include "tests/support/virtual_runtime.h"

namespace orv {
namespace {

std::vector<std::string>& g_log = testing::CapturedLog();
using testing::CaptureLog;

std::shared_ptr<LiveEvent> Live(const std::string& body, bool relative, std::uint64_t id = 1) {
  const ScenarioParse parse = ParseScenario("[[event]]\n" + body, co2::kModel);
  EXPECT_TRUE(parse.ok) << parse.reason;
  auto live = std::make_shared<LiveEvent>();
  live->id = id;
  live->relative = relative;
  if (parse.ok) live->event = parse.scenario.events[0];
  return live;
}

// One device of the co2 model under a virtual clock, one tick a second. Its
// CO2 nominal (value 1) is left alone by the model, so what the events write
// stays visible.
struct Bench {
  Bench() {
    env.model = &co2::kModel;
    env.runtime = &runtime;
    env.log.store(&CaptureLog);
    device = std::make_unique<EmuDevice>(env);
    device->id = 1;
    player = std::make_unique<ScenarioPlayer>(ScenarioPlayerFor(*device));
    g_log.clear();
  }
  void Tick() {
    RunTick(*device, rng, player.get());
    runtime.nowMs += 1000;
  }
  float Nominal() { return GetValue(*device, 1); }

  testing::VirtualRuntime runtime;
  DeviceEnvironment env;
  std::unique_ptr<EmuDevice> device;
  std::unique_ptr<ScenarioPlayer> player;
  Rng rng{SeedFor(1)};
};

TEST(LiveEvents, ApplyAtTheirSecondAfterTheTickThatTakesThemIn) {
  const std::string set7 = "action = \"set\"\nindex = 1\nvalue = 7\n";
  const std::string ramp = "action = \"ramp\"\nindex = 1\nrate = 0.5\nduration = 4\n";
  const struct {
    const char* name;
    std::string body;
    bool relative;
    int postedAt;                // posted before the tick of this second
    int endedAt;                 // ended before the tick of this second; -1: never
    std::vector<float> nominal;  // after the ticks of seconds 0, 1, ...
    LiveState state;
    const char* logged;  // the log line's second, null when never applied
  } cases[] = {
      {"set now", "at = 0\n" + set7, true, 3, -1, {5, 5, 5, 7, 7}, LiveState::kDone, "second 3:"},
      {"set at second 4",
       "at = 4\n" + set7,
       false,
       1,
       -1,
       {5, 5, 5, 5, 7},
       LiveState::kDone,
       "second 4:"},
      {"set 2 s after now",
       "at = 2\n" + set7,
       true,
       1,
       -1,
       {5, 5, 5, 7, 7},
       LiveState::kDone,
       "second 3:"},
      {"a second already past applies at once",
       "at = 1\n" + set7,
       false,
       3,
       -1,
       {5, 5, 5, 7, 7},
       LiveState::kDone,
       "second 3:"},
      {"ramp now",
       "at = 0\n" + ramp,
       true,
       1,
       -1,
       {5, 5, 5.5, 6, 6.5, 7, 7, 7},
       LiveState::kDone,
       "second 1:"},
      {"ramp ended half way",
       "at = 0\n" + ramp,
       true,
       1,
       3,
       {5, 5, 5.5, 5.5, 5.5, 5.5},
       LiveState::kEnded,
       "second 1:"},
      {"set ended while pending",
       "at = 4\n" + set7,
       false,
       1,
       2,
       {5, 5, 5, 5, 5, 5},
       LiveState::kEnded,
       nullptr},
      {"set ended before it is taken in",
       "at = 0\n" + set7,
       true,
       2,
       2,
       {5, 5, 5, 5},
       LiveState::kEnded,
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    const auto live = Live(c.body, c.relative);
    for (int second = 0; second < static_cast<int>(c.nominal.size()); ++second) {
      if (second == c.postedAt) ASSERT_TRUE(bench.device->liveEvents.Post(live));
      if (second == c.endedAt) EXPECT_TRUE(live->End());
      bench.Tick();
      EXPECT_EQ(FloatBits(bench.Nominal()), FloatBits(c.nominal[second])) << "second " << second;
      EXPECT_EQ(bench.device->liveEvents.lastTick.load(), second * kTicksPerSecond);
    }
    EXPECT_EQ(live->state.load(), c.state);
    EXPECT_FALSE(live->End()) << "an event that is over cannot be ended";
    if (c.logged == nullptr) {
      EXPECT_TRUE(g_log.empty());
    } else {
      ASSERT_EQ(g_log.size(), 1u);
      EXPECT_NE(g_log[0].find(c.logged), std::string::npos) << g_log[0];
    }
  }
}

TEST(LiveEvents, TakenInOldestFirstAndDroppedWhenTheRunEnds) {
  Bench bench;
  const auto first = Live("at = 0\naction = \"set\"\nindex = 1\nvalue = 6\n", true, 1);
  const auto second = Live("at = 0\naction = \"set\"\nindex = 1\nvalue = 8\n", true, 2);
  const auto hold =
      Live("at = 0\naction = \"hold\"\nindex = 1\nvalue = 9\nduration = 60\n", true, 3);
  const auto later = Live("at = 100\naction = \"set\"\nindex = 1\nvalue = 1\n", false, 4);
  ASSERT_TRUE(bench.device->liveEvents.Post(first));
  ASSERT_TRUE(bench.device->liveEvents.Post(second));
  bench.Tick();
  EXPECT_EQ(bench.Nominal(), 8.0f) << "the later post is applied last";
  ASSERT_EQ(g_log.size(), 2u);
  EXPECT_NE(g_log[0].find("to 6"), std::string::npos);
  EXPECT_NE(g_log[1].find("to 8"), std::string::npos);

  ASSERT_TRUE(bench.device->liveEvents.Post(hold));
  ASSERT_TRUE(bench.device->liveEvents.Post(later));
  bench.Tick();
  EXPECT_EQ(hold->state.load(), LiveState::kRunning);
  EXPECT_EQ(hold->startsAt.load(), kTicksPerSecond);
  EXPECT_EQ(later->state.load(), LiveState::kPending);
  EXPECT_EQ(later->startsAt.load(), 100 * kTicksPerSecond);

  // The thread stops: what it had taken in ends with its run; what was
  // posted after stays for the next one.
  const auto posted = Live("at = 0\naction = \"set\"\nindex = 1\nvalue = 2\n", true, 5);
  ASSERT_TRUE(bench.device->liveEvents.Post(posted));
  bench.player.reset();
  EXPECT_EQ(hold->state.load(), LiveState::kDropped);
  EXPECT_EQ(later->state.load(), LiveState::kDropped);
  EXPECT_EQ(posted->state.load(), LiveState::kPending);
  EXPECT_EQ(first->state.load(), LiveState::kDone);
  EXPECT_STREQ(LiveStateName(LiveState::kDropped), "dropped");
}

}  // namespace
}  // namespace orv
