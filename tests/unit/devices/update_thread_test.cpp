// The update thread: single ticks and the pending-write protocol, the cadence
// of the loop under a virtual clock, its log lines and its generator seed,
// and starting and stopping real threads through SetUpdating.
#include "framework/devices/update_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/core/lock.h"
#include "framework/core/values.h"
#include "framework/devices/device.h"
#include "framework/devices/driver.h"
#include "framework/history/history.h"
#include "framework/io/export.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"
#include "models/twotemp/twotemp_model.h"
#include "tests/support/virtual_runtime.h"

namespace orv {
namespace {

constexpr char kCreatedFormat[] = "Update Thread created (TID: 0x%X).\n";
constexpr char kStoppedFormat[] = "Update Thread stopped (TID: 0x%X).\n";
constexpr char kStartFailed[] = "Could not create update thread.";

struct LogLine {
  std::string format;
  std::string text;
};
std::mutex g_logMutex;
std::vector<LogLine> g_log;

int CaptureLog(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(g_logMutex);
  g_log.push_back({format, text});
  return 0;
}

std::vector<LogLine> LoggedLines() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  return g_log;
}

void ExpectLine(const LogLine& line, const char* format, std::uint32_t id) {
  char text[256];
  std::snprintf(text, sizeof text, format, id);
  EXPECT_EQ(line.format, format);
  EXPECT_EQ(line.text, text);
}

// Probe steps that make the skeleton's behaviour visible: CountingStep turns
// an invalid value into 0 and adds 1 to every value; it can also move the
// virtual clock or write to the device from inside the step.
struct StepProbe {
  testing::VirtualRuntime* clock = nullptr;  // advanced 7 ms inside the step
  EmuDevice* writeTarget = nullptr;          // one SetValue(index 1, 50) mid-step
} g_probe;

void CountingStep(float* values, Rng& /*rng*/) {
  for (int i = 0; i < 4; ++i) values[i] = (IsInvalid(values[i]) ? 0.0f : values[i]) + 1.0f;
  if (g_probe.clock != nullptr) g_probe.clock->nowMs += 7;
  if (EmuDevice* device = g_probe.writeTarget) {
    g_probe.writeTarget = nullptr;
    SetValue(*device, 1, 50.0f);
  }
}

// One draw per tick in value 0.
void DrawingStep(float* values, Rng& rng) {
  values[0] = static_cast<float>(rng.Next());
  for (int i = 1; i < 4; ++i) values[i] = 0.0f;
}

// The CO2 model's tables (value 0 not stored, 1 plain) with another step.
ModelDescription ProbeModel(ModelStep step) {
  ModelDescription model = co2::kModel;
  model.step = step;
  return model;
}
const ModelDescription kCounting = ProbeModel(&CountingStep);
const ModelDescription kDrawing = ProbeModel(&DrawingStep);

struct Rig {
  explicit Rig(const ModelDescription& model, DeviceId id = 1) {
    g_probe = StepProbe();
    {
      std::lock_guard<std::mutex> lock(g_logMutex);
      g_log.clear();
    }
    env.model = &model;
    env.runtime = &runtime;
    env.log.store(&CaptureLog);
    device = std::make_unique<EmuDevice>(env);
    device->id = id;
  }
  EmuDevice& dev() { return *device; }

  testing::VirtualRuntime runtime;
  DeviceEnvironment env;
  std::unique_ptr<EmuDevice> device;
};

std::vector<float> Live(EmuDevice& device) {
  std::vector<float> values;
  for (int i = 0; i < device.valueCount(); ++i) values.push_back(GetValue(device, i));
  return values;
}

std::vector<Sample> Samples(EmuDevice& device) {
  LockGuard lock(device.history.historyMutex);
  return device.history.samples;
}

void ExpectValues(const float* actual, const std::vector<float>& expected) {
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(FloatBits(actual[i]), FloatBits(expected[i])) << "index " << i;
  }
}

std::uint64_t At(std::uint64_t ms) { return testing::VirtualRuntime::kStart + ms * 10000ULL; }

// Runs the thread body on the test thread. After every sleep, act sees its
// length, the ticks so far and the naps of the current pause; returning true
// clears updating at that moment. Returns the lengths of all sleeps.
std::vector<std::uint32_t> RunLoop(Rig& rig,
                                   const std::function<bool(std::uint32_t, int, int)>& act) {
  std::vector<std::uint32_t> sleeps;
  int ticks = 0;
  int naps = 0;
  rig.runtime.onSleep = [&](std::uint32_t ms, std::uint64_t) {
    sleeps.push_back(ms);
    if (ms == 1000) {
      ++ticks;
      naps = 0;
    } else {
      ++naps;
    }
    bool stop = act(ms, ticks, naps);
    if (sleeps.size() > 200000) {
      ADD_FAILURE() << "loop did not stop";
      stop = true;
    }
    if (stop) rig.dev().updating.store(false);
  };
  rig.dev().updating.store(true);
  RunUpdateLoop(rig.dev());
  rig.runtime.onSleep = nullptr;
  return sleeps;
}

void ExpectOnlyStopLineOfThisThread() {
  const std::vector<LogLine> log = LoggedLines();
  ASSERT_EQ(log.size(), 1u);
  ExpectLine(log[0], kStoppedFormat, platform::CurrentThreadId());
}

TEST(UpdateTick, FirstTickReplacesInvalidValuesByFallbacks) {
  const float twotempActual = 37.0f + -0.05f;  // heating on, nominal not above actual
  const struct {
    const ModelDescription* model;
    std::vector<float> expected;
  } cases[] = {
      {&co2::kModel, {5.0f, 5.0f, 1.0f, 1.0f}},
      {&twotemp::kModel, {twotempActual, 37.0f, 1.0f, twotempActual, 37.0f, 1.0f}},
      {&climate::kModel, {5.0f, 5.0f, 1.0f, 1.0f, 1.0f, 0.0f}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.model->shortName);
    Rig rig(*c.model);
    Rng rng(SeedFor(1));
    RunTick(rig.dev(), rng);
    EXPECT_FALSE(HasNoValidValues(rig.dev()));
    ExpectValues(Live(rig.dev()).data(), c.expected);
  }
}

TEST(UpdateTick, PendingWriteSurvivesExactlyOneTick) {
  Rig rig(kCounting);
  Rng rng(1);
  SetRecording(rig.dev(), true);
  RunTick(rig.dev(), rng);  // 1 1 1 1
  SetValue(rig.dev(), 1, 100.0f);
  RunTick(rig.dev(), rng);
  ExpectValues(Live(rig.dev()).data(), {2, 100, 2, 2});
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(rig.dev().pending[i]) << i;
  ExpectValues(Samples(rig.dev()).back().values, {2, 101, 2, 2});  // the model's value
  RunTick(rig.dev(), rng);
  ExpectValues(Live(rig.dev()).data(), {3, 101, 3, 3});

  // Written twice since the last tick: still only one write-back skipped.
  SetValue(rig.dev(), 1, 10.0f);
  SetValue(rig.dev(), 1, 20.0f);
  RunTick(rig.dev(), rng);
  ExpectValues(Live(rig.dev()).data(), {4, 20, 4, 4});
  RunTick(rig.dev(), rng);
  ExpectValues(Live(rig.dev()).data(), {5, 21, 5, 5});

  // Written between the copy and the write-back, from inside the step.
  g_probe.writeTarget = &rig.dev();
  RunTick(rig.dev(), rng);
  ExpectValues(Live(rig.dev()).data(), {6, 50, 6, 6});
  ExpectValues(Samples(rig.dev()).back().values, {6, 22, 6, 6});
  RunTick(rig.dev(), rng);
  ExpectValues(Live(rig.dev()).data(), {7, 51, 7, 7});

  // Not stored: the live value stays as it was through the next tick only.
  SetValue(rig.dev(), 0, 99.0f);
  EXPECT_EQ(GetValue(rig.dev(), 0), 7.0f);
  RunTick(rig.dev(), rng);
  ExpectValues(Live(rig.dev()).data(), {7, 52, 8, 8});
  ExpectValues(Samples(rig.dev()).back().values, {8, 52, 8, 8});
  RunTick(rig.dev(), rng);
  ExpectValues(Live(rig.dev()).data(), {8, 53, 9, 9});
}

TEST(UpdateTick, HostWrittenInvalidValueGetsFallbackOneTickLater) {
  Rig rig(co2::kModel);
  Rng rng(1);
  SetRecording(rig.dev(), true);
  RunTick(rig.dev(), rng);
  SetValue(rig.dev(), 1, MakeInvalid());
  RunTick(rig.dev(), rng);
  EXPECT_EQ(FloatBits(GetValue(rig.dev(), 1)), kInvalidBits);
  ExpectValues(Samples(rig.dev()).back().values, {5.0f, 5.0f, 1.0f, 1.0f});
  RunTick(rig.dev(), rng);
  ExpectValues(Live(rig.dev()).data(), {5.0f, 5.0f, 1.0f, 1.0f});
}

TEST(UpdateTick, RecordsOneSampleStampedAfterTheStepPerTickWhileRecording) {
  Rig rig(kCounting);
  Rng rng(1);
  g_probe.clock = &rig.runtime;
  RunTick(rig.dev(), rng);
  RunTick(rig.dev(), rng);
  EXPECT_EQ(SampleCount(rig.dev().history), 0u);
  SetRecording(rig.dev(), true);
  for (int k = 0; k < 3; ++k) {
    rig.runtime.nowMs = 1000 * k;
    RunTick(rig.dev(), rng);
  }
  std::vector<Sample> samples = Samples(rig.dev());
  ASSERT_EQ(samples.size(), 3u);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(samples[k].timestamp, At(1000 * k + 7)) << k;
    EXPECT_EQ(samples[k].values[1], 3.0f + k) << k;
  }
  SetRecording(rig.dev(), false);
  RunTick(rig.dev(), rng);
  EXPECT_EQ(SampleCount(rig.dev().history), 3u);
  EXPECT_EQ(GetValue(rig.dev(), 1), 6.0f);  // the values keep advancing
}

TEST(UpdateLoop, TicksFollowEachOtherEveryOnePlusIntervalSeconds) {
  const struct {
    std::int32_t interval;
    std::uint64_t periodMs;
  } cases[] = {{0, 1000}, {1, 2000}, {10, 11000}, {-5, 1000}, {INT32_MIN, 1000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.interval);
    Rig rig(kCounting);
    rig.dev().interval = c.interval;
    SetRecording(rig.dev(), true);
    const auto sleeps =
        RunLoop(rig, [](std::uint32_t ms, int ticks, int) { return ms == 1000 && ticks == 3; });
    const std::size_t naps = static_cast<std::size_t>(c.periodMs / 1000 - 1) * 10;
    EXPECT_EQ(sleeps.size(), 3 + 2 * naps);
    for (std::size_t i = 0; i < sleeps.size(); ++i) {
      EXPECT_EQ(sleeps[i], i % (naps + 1) == 0 ? 1000u : 100u) << "sleep " << i;
    }
    const std::vector<Sample> samples = Samples(rig.dev());
    ASSERT_EQ(samples.size(), 3u);
    for (std::uint64_t k = 0; k < 3; ++k) EXPECT_EQ(samples[k].timestamp, At(k * c.periodMs));
  }
}

// A second Init may choose another clock while devices run: each thread
// keeps the runtime it started with, for its waits, its timestamps and its
// recording, so its samples stay one second apart and in order.
TEST(UpdateLoop, ARuntimeChosenLaterServesOnlyDevicesStartedAfterIt) {
  Rig rig(kCounting);
  rig.dev().interval.store(0);
  rig.dev().recording.store(true);
  testing::VirtualRuntime later;
  later.nowMs = 3600 * 1000;  // a clock an hour ahead
  RunLoop(rig, [&](std::uint32_t, int ticks, int) {
    if (ticks == 3) rig.env.runtime.store(&later);
    return ticks == 8;
  });
  const std::vector<Sample> samples = Samples(rig.dev());
  ASSERT_EQ(samples.size(), 8u);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    EXPECT_EQ(samples[i].timestamp, At(1000 * i)) << "sample " << i;
  }
  EXPECT_EQ(later.sleeps.load(), 0);
}

TEST(UpdateLoop, ChangingIntervalDuringPauseMovesItsEnd) {
  const struct {
    std::int32_t before;
    int atNap;
    std::int32_t after;
    std::uint64_t secondTickMs;
  } cases[] = {
      {10, 30, 2, 4000},  // bound already passed: ends at once
      {10, 30, 3, 4000},  // bound just reached
      {10, 30, 5, 6000},  // lower, but still ahead
      {10, 1, 0, 1100},   // dropped to 0 after the first nap
      {1, 5, 3, 4000},    // raised: the same pause lengthens
      {1, 10, 2, 3000},   // raised at the last nap
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.before << " -> " << c.after << " at " << c.atNap);
    Rig rig(kCounting);
    rig.dev().interval = c.before;
    SetRecording(rig.dev(), true);
    RunLoop(rig, [&](std::uint32_t ms, int ticks, int naps) {
      if (ms == 100 && ticks == 1 && naps == c.atNap) rig.dev().interval = c.after;
      return ms == 1000 && ticks == 2;
    });
    const std::vector<Sample> samples = Samples(rig.dev());
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[1].timestamp, At(c.secondTickMs));
  }
}

TEST(UpdateLoop, HugeIntervalNapsWithoutOverflow) {
  Rig rig(kCounting);
  rig.dev().interval = INT32_MAX;
  const auto sleeps = RunLoop(rig, [](std::uint32_t, int ticks, int naps) {
    return ticks == 2 || naps == 50;  // a second tick would mean the bound wrapped
  });
  ASSERT_EQ(sleeps.size(), 51u);
  EXPECT_EQ(sleeps[0], 1000u);
  for (std::size_t i = 1; i < sleeps.size(); ++i) EXPECT_EQ(sleeps[i], 100u) << i;
  EXPECT_EQ(GetValue(rig.dev(), 1), 1.0f);  // one tick
}

TEST(UpdateLoop, StopEndsLoopWithoutAnotherTickAndLogsOneStopLine) {
  const struct {
    const char* when;
    std::int32_t interval;
    int stopAtNap;  // -1: during the one-second sleep
    std::size_t sleeps;
  } cases[] = {
      {"during the one-second sleep", 10, -1, 1},
      {"during the one-second sleep, interval 0", 0, -1, 1},
      {"during the seventh nap", 10, 7, 8},
      {"during the last nap", 1, 10, 11},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.when);
    Rig rig(kCounting);
    rig.dev().interval = c.interval;
    const auto sleeps = RunLoop(rig, [&](std::uint32_t ms, int, int naps) {
      return c.stopAtNap < 0 ? ms == 1000 : naps == c.stopAtNap;
    });
    EXPECT_EQ(sleeps.size(), c.sleeps);
    EXPECT_EQ(GetValue(rig.dev(), 1), 1.0f);  // exactly one tick
    ExpectOnlyStopLineOfThisThread();
  }
}

TEST(UpdateLoop, NotUpdatingAtStartRunsNoTick) {
  Rig rig(kCounting);
  RunUpdateLoop(rig.dev());
  EXPECT_EQ(rig.runtime.sleeps.load(), 0);
  EXPECT_TRUE(HasNoValidValues(rig.dev()));
  ExpectOnlyStopLineOfThisThread();
}

TEST(UpdateLoop, GeneratorIsSeededFromIdShiftedByTen) {
  std::vector<std::vector<float>> draws;
  for (DeviceId id : {1, 2}) {
    Rig rig(kDrawing, id);
    rig.dev().interval = 0;
    SetRecording(rig.dev(), true);
    RunLoop(rig, [](std::uint32_t, int ticks, int) { return ticks == 8; });
    Rng expected(SeedFor(id));
    draws.emplace_back();
    for (const Sample& s : Samples(rig.dev())) {
      EXPECT_EQ(s.values[0], static_cast<float>(expected.Next())) << "id " << id;
      draws.back().push_back(s.values[0]);
    }
    ASSERT_EQ(draws.back().size(), 8u);
  }
  EXPECT_NE(draws[0], draws[1]);
}

TEST(UpdateLoop, ClimateOverheatRisesAtFirstDrawDivisibleBySixty) {
  for (DeviceId id : {1, 2, 7}) {
    SCOPED_TRACE(id);
    Rng draws(SeedFor(id));
    int first = 0;
    while (draws.Next() % 60 != 0) ASSERT_LT(++first, 5000);
    Rig rig(climate::kModel, id);
    rig.dev().interval = 0;
    SetValue(rig.dev(), 4, 3.0f);  // heating level above 2
    SetRecording(rig.dev(), true);
    RunLoop(rig, [&](std::uint32_t, int ticks, int) { return ticks == first + 1; });
    const std::vector<Sample> samples = Samples(rig.dev());
    ASSERT_EQ(samples.size(), static_cast<std::size_t>(first + 1));
    for (int k = 0; k <= first; ++k) {
      EXPECT_EQ(samples[k].values[5], k == first ? 1.0f : 0.0f) << "tick " << k;
    }
  }
}

// Watches a real update thread through the virtual clock. After holdAt ticks
// the thread waits in its one-second sleep until it is stopped, so that a
// run has exactly that many ticks. The thread is stopped before the gate goes,
// also when a test ends early.
struct TickGate {
  TickGate(Rig& rig, int holdAt) : rig(rig) {
    EmuDevice* device = rig.device.get();
    rig.runtime.onSleep = [this, device, holdAt](std::uint32_t ms, std::uint64_t) {
      threadId.store(platform::CurrentThreadId());
      if (ms != 1000 || ticks.fetch_add(1) + 1 < holdAt) return;
      while (device->updating.load()) std::this_thread::yield();
    };
  }
  ~TickGate() {
    if (rig.device) SetUpdating(*rig.device, false);
  }
  void WaitForTicks(int n) const {
    while (ticks.load() < n) std::this_thread::yield();
  }
  Rig& rig;
  std::atomic<int> ticks{0};
  std::atomic<std::uint32_t> threadId{0};
};

TEST(UpdateThread, StartAndStopLogTheSameThreadIdOnce) {
  Rig rig(co2::kModel);
  TickGate gate(rig, 1);
  SetUpdating(rig.dev(), true);
  EXPECT_TRUE(IsUpdating(rig.dev()));
  SetUpdating(rig.dev(), true);  // already running: no second thread, no line
  gate.WaitForTicks(1);
  ASSERT_EQ(LoggedLines().size(), 1u);
  SetUpdating(rig.dev(), false);
  EXPECT_FALSE(IsUpdating(rig.dev()));
  EXPECT_EQ(gate.ticks.load(), 1);

  const std::uint32_t tid = gate.threadId.load();
  EXPECT_NE(tid, platform::CurrentThreadId());
  std::vector<LogLine> log = LoggedLines();
  ASSERT_EQ(log.size(), 2u);
  ExpectLine(log[0], kCreatedFormat, tid);
  ExpectLine(log[1], kStoppedFormat, tid);

  SetUpdating(rig.dev(), false);  // already stopped: returns at once
  EXPECT_EQ(LoggedLines().size(), 2u);
}

TEST(UpdateThread, WithoutALogCallbackTheThreadRunsSilently) {
  Rig rig(co2::kModel);
  rig.env.log.store(nullptr);
  TickGate gate(rig, 2);
  SetUpdating(rig.dev(), true);
  gate.WaitForTicks(2);
  SetUpdating(rig.dev(), false);
  EXPECT_FALSE(IsUpdating(rig.dev()));
  EXPECT_FALSE(HasNoValidValues(rig.dev()));
  EXPECT_TRUE(LoggedLines().empty());
}

TEST(UpdateThread, FailedStartLogsAndStaysStopped) {
  Rig rig(co2::kModel);
  rig.runtime.failThreadStart = true;
  SetUpdating(rig.dev(), true);
  EXPECT_FALSE(IsUpdating(rig.dev()));
  std::vector<LogLine> log = LoggedLines();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].format, kStartFailed);
  EXPECT_EQ(log[0].text, kStartFailed);
  SetUpdating(rig.dev(), false);
  EXPECT_EQ(LoggedLines().size(), 1u);
  EXPECT_TRUE(HasNoValidValues(rig.dev()));
}

TEST(UpdateThread, RestartBeginsTheSameDrawSequence) {
  Rig rig(kDrawing, 3);
  rig.dev().interval = 0;
  std::vector<float> runs[2];
  for (std::vector<float>& run : runs) {
    TickGate gate(rig, 5);
    SetRecording(rig.dev(), false);
    SetRecording(rig.dev(), true);
    SetUpdating(rig.dev(), true);
    gate.WaitForTicks(5);
    SetUpdating(rig.dev(), false);
    for (const Sample& s : Samples(rig.dev())) run.push_back(s.values[0]);
  }
  Rng expected(SeedFor(3));
  ASSERT_EQ(runs[0].size(), 5u);
  for (float draw : runs[0]) EXPECT_EQ(draw, static_cast<float>(expected.Next()));
  EXPECT_EQ(runs[1], runs[0]);
  EXPECT_EQ(LoggedLines().size(), 4u);
}

TEST(UpdateThread, DestroyingAnUpdatingDeviceStopsItsThreadFirst) {
  Rig rig(co2::kModel);
  TickGate gate(rig, 2);
  SetUpdating(rig.dev(), true);
  gate.WaitForTicks(2);
  rig.device.reset();
  const std::vector<LogLine> log = LoggedLines();
  ASSERT_EQ(log.size(), 2u);
  ExpectLine(log[1], kStoppedFormat, gate.threadId.load());
}

TEST(UpdateThread, StopDuringAWaitEndsItAtOnceWithoutAnotherTick) {
  const struct {
    const char* when;
    std::int32_t interval;
    int heldWait;  // waits before the one the stop cuts short
    int ticks;
    std::uint64_t virtualMs;  // what the earlier waits took
  } cases[] = {
      {"the one-second sleep", 10, 0, 1, 0},
      {"the first nap", 10, 1, 1, 1000},
      {"the seventh nap", 10, 7, 1, 1600},
      {"the last nap", 1, 10, 1, 1900},
      {"the sleep of the third tick", 0, 2, 3, 2000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.when);
    Rig rig(kCounting);
    rig.dev().interval = c.interval;
    rig.runtime.holdWait = [&c](std::uint32_t, int index) { return index == c.heldWait; };
    SetUpdating(rig.dev(), true);
    const auto reachBy = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (rig.runtime.held.load() == 0 && std::chrono::steady_clock::now() < reachBy) {
      std::this_thread::yield();
    }
    EXPECT_EQ(rig.runtime.held.load(), 1) << "the thread never reached the held wait";
    const auto start = std::chrono::steady_clock::now();
    SetUpdating(rig.dev(), false);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took.count(), 1000.0) << "ms to stop a thread held in a wait";
    EXPECT_EQ(rig.runtime.sleeps.load(), c.heldWait + 1);
    EXPECT_EQ(rig.runtime.nowMs.load(), c.virtualMs);
    EXPECT_EQ(GetValue(rig.dev(), 1), static_cast<float>(c.ticks));
    EXPECT_EQ(LoggedLines().size(), 2u);
  }
}

TEST(UpdateThread, HostCallsWhileTheThreadRunsSeeWholeTicks) {
  Rig rig(climate::kModel);
  rig.dev().interval = 0;
  TickGate gate(rig, INT_MAX);
  SetRecording(rig.dev(), true);
  SetUpdating(rig.dev(), true);
  gate.WaitForTicks(2);
  for (int k = 0; k < 200; ++k) {
    SetValue(rig.dev(), k % 6, static_cast<float>(k % 4));
    EXPECT_FALSE(IsInvalid(GetValue(rig.dev(), (k + 3) % 6)));
    EXPECT_FALSE(HasNoValidValues(rig.dev()));
    rig.dev().interval = k % 2;
    if (k % 40 == 0) SetRecording(rig.dev(), k % 80 == 0);
    SampleCount(rig.dev().history);
  }
  SetUpdating(rig.dev(), false);
  EXPECT_EQ(LoggedLines().size(), 2u);
  for (const Sample& s : Samples(rig.dev())) {
    for (int i = 0; i < 6; ++i) EXPECT_FALSE(IsInvalid(s.values[i]));
  }
}

// Pages that cannot be had while failing is set; counts the tries.
struct ScarceBlocks {
  static inline std::atomic<int> calls{0};
  static inline std::atomic<bool> failing{false};
  static void* Reserve(std::size_t bytes) {
    return failing.load() ? nullptr : platform::ReservePages(bytes);
  }
  static bool Commit(void* at, std::size_t bytes) {
    ++calls;
    return !failing.load() && platform::CommitPages(at, bytes);
  }
  static constexpr BlockMemory kMemory{&Reserve, &Commit, &platform::ReleasePages};
};

std::vector<std::string> ExportedLines(EmuDevice& device, Runtime& runtime) {
  const std::string path = ::testing::TempDir() + "orv_paused_export.txt";
  std::string name1, name2;
  GetChannelNames(device, name1, name2);
  ExportHistory(runtime, device, BuildChannelDescriptors(*device.environment.model, &name1, &name2),
                path, ';', '.');
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  std::remove(path.c_str());
  return lines;
}

// A pause belongs to the history it happened in: a history emptied since
// (recording switched off and on, or cleared) starts recording at once, and
// never logs that it resumed.
TEST(UpdateThreadRecording, AFreshHistoryAfterAPauseStartsWithoutOne) {
  const struct {
    const char* renewal;
    void (*renew)(EmuDevice&);
    bool memoryBack;
    std::vector<std::string> lines;  // logged after the first pause line
    std::size_t samples;             // after 15 ticks (1.5 s) of the fresh history
  } cases[] = {
      {"recording switched off and on",
       [](EmuDevice& d) {
         SetRecording(d, false);
         SetRecording(d, true);
       },
       true,
       {},
       15},
      {"the history cleared", [](EmuDevice& d) { ClearHistory(d.history); }, true, {}, 15},
      {"the history cleared, memory still short",
       [](EmuDevice& d) { ClearHistory(d.history); },
       false,
       {"Device 1: recording paused for lack of memory after 0 samples.\n"},
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.renewal);
    Rig rig(co2::kModel);
    const BlockMemory* previous = SetBlockMemory(&ScarceBlocks::kMemory);
    EmuDevice& device = rig.dev();
    SetRecording(device, true);
    Rng rng(1);
    const auto tick = [&] {
      rig.runtime.nowMs += 1000;
      rig.runtime.realMicros += 100000;
      RunTick(device, rng);
    };
    const std::size_t kept = device.history.samples.blockSamples();
    for (std::size_t k = 0; k < kept; ++k) tick();
    ScarceBlocks::failing = true;
    tick();
    ASSERT_EQ(LoggedLines().size(), 1u);
    EXPECT_EQ(LoggedLines()[0].text, "Device 1: recording paused for lack of memory after " +
                                         std::to_string(kept) + " samples.\n");

    ScarceBlocks::failing = !c.memoryBack;
    c.renew(device);
    for (int k = 0; k < 15; ++k) tick();  // the first a tenth of a second after the pause
    EXPECT_EQ(SampleCount(device.history), c.samples);
    std::vector<std::string> after;
    for (std::size_t k = 1; k < LoggedLines().size(); ++k) after.push_back(LoggedLines()[k].text);
    EXPECT_EQ(after, c.lines);
    ScarceBlocks::failing = false;
    SetBlockMemory(previous);
  }
}

TEST(UpdateThreadRecording, LackOfMemoryPausesLoudlyKeepsEverySampleAndResumes) {
  // The block that cannot be had: the first, the second, the third.
  const struct {
    const ModelDescription& model;
    int failingBlock;
  } cases[] = {{co2::kModel, 2}, {climate::kModel, 1}, {twotemp::kModel, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.model.shortName);
    Rig rig(c.model);
    const BlockMemory* previous = SetBlockMemory(&ScarceBlocks::kMemory);
    EmuDevice& device = rig.dev();
    SetRecording(device, true);
    Rng rng(1);
    // Ten ticks a second of real time, each a second of the device's clock.
    const auto tick = [&] {
      rig.runtime.nowMs += 1000;
      rig.runtime.realMicros += 100000;
      RunTick(device, rng);
    };
    const std::size_t kept =
        static_cast<std::size_t>(c.failingBlock - 1) * device.history.samples.blockSamples();
    for (std::size_t k = 0; k < kept; ++k) tick();
    ASSERT_EQ(SampleCount(device.history), kept);

    ScarceBlocks::failing = true;
    ScarceBlocks::calls = 0;
    // The nominal moves away: the measured value follows while nothing records.
    SetValue(device, 1, GetValue(device, 1) + 3.0f);
    const float measured = GetValue(device, 0);
    for (int k = 0; k < 35; ++k) tick();  // 3.5 s of real time
    EXPECT_EQ(SampleCount(device.history), kept);
    EXPECT_LE(ScarceBlocks::calls.load(), 4) << "tried about once a second, not every tick";
    EXPECT_NE(GetValue(device, 0), measured);
    EXPECT_TRUE(device.recording.load());
    const std::string count = std::to_string(kept);
    ASSERT_EQ(LoggedLines().size(), 1u);
    EXPECT_EQ(LoggedLines()[0].text,
              "Device 1: recording paused for lack of memory after " + count + " samples.\n");

    ScarceBlocks::failing = false;
    for (int k = 0; k < 10 && SampleCount(device.history) == kept; ++k) tick();
    for (int k = 0; k < 3; ++k) tick();
    ASSERT_EQ(SampleCount(device.history), kept + 4);
    ASSERT_EQ(LoggedLines().size(), 2u);
    EXPECT_EQ(LoggedLines()[1].text, "Device 1: recording resumed with " +
                                         std::to_string(kept + 1) + " samples recorded.\n");

    // Every sample recorded before is intact, one second apart; then a gap.
    const std::vector<Sample> samples = Samples(device);
    for (std::size_t j = 1; j < samples.size(); ++j) {
      const std::uint64_t step = samples[j].timestamp - samples[j - 1].timestamp;
      ASSERT_EQ(step, j == kept ? step : 10000000u) << "sample " << j;
      if (j == kept) EXPECT_GT(step, 30 * 10000000u);
    }
    const std::vector<std::string> lines = ExportedLines(device, rig.runtime);
    ASSERT_EQ(lines.size(), samples.size() + 1);
    for (std::size_t j = 1; j < lines.size(); ++j) {
      std::string line;
      DataLine(line, samples[j - 1], samples[0].timestamp, c.model.valueCount, ';', '.');
      ASSERT_EQ(lines[j] + "\n", line) << "line " << j;
    }
    SetBlockMemory(previous);
  }
}

}  // namespace
}  // namespace orv
