// The manual clock: device clocks that stand still until an advance grants
// them time, then run its ticks as fast as they compute, landing on exact
// seconds; stops that are never held up, and runs that repeat exactly.
#include "framework/timing/manual_clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "framework/core/values.h"
#include "framework/devices/device.h"
#include "framework/devices/update_thread.h"
#include "framework/history/history.h"
#include "framework/timing/emulated_time.h"
#include "models/co2/co2_model.h"
#include "tests/support/virtual_runtime.h"

namespace orv {
namespace {

constexpr std::uint64_t kFileTimePerSecond = 10000000;
const std::atomic<bool> kNoCancel{false};

// Devices of the co2 model on one manual clock; the base runtime's fixed
// local time makes every run's timestamps the same.
struct ManualBench {
  explicit ManualBench(int devices, std::int32_t interval = 0) : clock(base) {
    env.model = &co2::kModel;
    env.runtime = &clock;
    for (int i = 0; i < devices; ++i) {
      auto device = std::make_unique<EmuDevice>(env);
      device->id = i + 1;
      device->interval = interval;
      SetRecording(*device, true);
      list.push_back(std::move(device));
    }
  }
  ~ManualBench() {
    for (auto& device : list) SetUpdating(*device, false);
  }
  void StartAll() {
    for (auto& device : list) SetUpdating(*device, true);
  }
  bool Advance(double seconds) {
    return clock.Advance(static_cast<std::uint64_t>(seconds * 1000), kNoCancel);
  }
  std::int64_t Second(int i) {
    return list[i]->liveEvents.lastTick.load() / static_cast<std::int64_t>(kFileTimePerSecond);
  }
  // The timestamps of every sample a device recorded, spaced as its ticks.
  std::vector<std::uint64_t> Stamps(int i) {
    const double spacing = 1.0 + list[i]->interval.load();
    std::vector<std::uint64_t> stamps;
    ByteArray record;
    const std::size_t count = SampleCount(list[i]->history);
    for (std::size_t k = 0; k < count; ++k) {
      GetSampleAt(list[i]->history, co2::kModel.valueCount, static_cast<double>(k) * spacing,
                  record);
      stamps.push_back(GetLE32(record.data()) | std::uint64_t{GetLE32(record.data() + 4)} << 32);
    }
    return stamps;
  }

  testing::VirtualRuntime base;
  ManualRuntime clock;
  DeviceEnvironment env;
  std::vector<std::unique_ptr<EmuDevice>> list;
};

TEST(ManualClock, AdvanceLandsOnExactSecondsOfEachDevicesInterval) {
  const struct {
    const char* name;
    std::int32_t interval;
    std::vector<double> advances;
    std::vector<std::int64_t> seconds;  // the device's second after each
    std::size_t samples;                // recorded in all
  } cases[] = {
      {"one second", 0, {1}, {1}, 2},
      {"an hour", 0, {3600}, {3600}, 3601},
      {"half seconds add up", 0, {0.5, 0.5, 0.5}, {0, 1, 1}, 2},
      {"nothing granted", 0, {0}, {0}, 1},
      {"a tick every 3 s", 2, {10, 2}, {9, 12}, 5},
      {"interval 10", 10, {30}, {22}, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ManualBench bench(2, c.interval);
    bench.StartAll();
    for (std::size_t k = 0; k < c.advances.size(); ++k) {
      ASSERT_TRUE(bench.Advance(c.advances[k]));
      for (int i = 0; i < 2; ++i) EXPECT_EQ(bench.Second(i), c.seconds[k]) << "advance " << k;
    }
    for (int i = 0; i < 2; ++i) {
      const std::vector<std::uint64_t> stamps = bench.Stamps(i);
      ASSERT_EQ(stamps.size(), c.samples);
      // The manual time at Init, then exactly one tick's span apart.
      EXPECT_EQ(stamps[0], testing::VirtualRuntime::kStart);
      for (std::size_t k = 1; k < stamps.size(); ++k) {
        EXPECT_EQ(stamps[k] - stamps[k - 1], (1 + c.interval) * kFileTimePerSecond);
      }
    }
  }
}

TEST(ManualClock, StandsStillWithoutAnAdvanceAndTwoRunsRepeatExactly) {
  std::vector<std::vector<float>> runs;
  for (int run = 0; run < 2; ++run) {
    ManualBench bench(1);
    bench.StartAll();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(bench.Stamps(0).size(), 1u) << "only the first tick, at second 0";
    ASSERT_TRUE(bench.Advance(600));
    std::vector<float> values;
    ByteArray record;
    for (int second = 0; second <= 600; second += 7) {
      GetSampleAt(bench.list[0]->history, 4, second, record);
      for (int i = 0; i < 4; ++i)
        values.push_back(FloatFromBits(GetLE32(record.data() + 8 + 4 * i)));
    }
    runs.push_back(values);
  }
  ASSERT_EQ(runs[0].size(), runs[1].size());
  for (std::size_t k = 0; k < runs[0].size(); ++k) {
    EXPECT_EQ(FloatBits(runs[0][k]), FloatBits(runs[1][k])) << k;
  }
}

TEST(ManualClock, StopsAtOnceAndNeverHoldsUpAnAdvance) {
  using Clock = std::chrono::steady_clock;
  ManualBench bench(3);
  bench.StartAll();
  ASSERT_TRUE(bench.Advance(5));
  // A device blocked in its wait stops at once.
  auto start = Clock::now();
  SetUpdating(*bench.list[0], false);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_FALSE(IsUpdating(*bench.list[0]));

  // Devices stopped and started while an advance runs.
  std::atomic<bool> done{false};
  std::thread advancer([&] {
    EXPECT_TRUE(bench.Advance(20000));
    done = true;
  });
  SetUpdating(*bench.list[1], false);
  SetUpdating(*bench.list[0], true);
  advancer.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(bench.Second(2), 20005);
  EXPECT_EQ(bench.clock.grantedMs(), 20005000u);
}

TEST(ManualClock, ACancelledAdvanceReturnsWithoutWaiting) {
  testing::VirtualRuntime base;
  ManualRuntime clock(base);
  // A thread of the clock that is busy elsewhere, never in a wait.
  static std::atomic<bool> release{false};
  platform::ThreadHandle handle = nullptr;
  std::uint32_t id = 0;
  ASSERT_TRUE(clock.StartThread(
      [](void*) {
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      },
      nullptr, &handle, &id));
  std::atomic<bool> cancel{false};
  std::atomic<int> result{-1};
  std::thread advancer([&] { result = clock.Advance(1000, cancel) ? 1 : 0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(result.load(), -1) << "waits for the busy thread";
  cancel = true;
  clock.Wake();
  advancer.join();
  EXPECT_EQ(result.load(), 0);
  release = true;
  clock.JoinThread(handle);
  EXPECT_TRUE(clock.Advance(1000, kNoCancel)) << "no thread left: settled at once";
}

TEST(ManualClock, SpeedSettingAndItsLogLines) {
  EXPECT_EQ(ParseSpeed("manual").kind, SpeedSetting::Kind::kManual);
  EXPECT_EQ(ParseSpeed("Manual").kind, SpeedSetting::Kind::kInvalid);
  EXPECT_EQ(SpeedLogLine(ParseSpeed("manual"), "manual", true),
            "Manual time on: device clocks stand still until the control endpoint advances "
            "them (ORV_EMU_SPEED=manual).\n");
  EXPECT_EQ(SpeedLogLine(ParseSpeed("manual"), "manual", false),
            "ORV_EMU_SPEED=manual ignored: the manual clock needs the control endpoint "
            "(ORV_CONTROL) to advance it; the real clock is used.\n");
}

}  // namespace
}  // namespace orv
