// The update thread's small stack: on a thread that platform::StartThread
// starts, with half of kThreadStackBytes already taken, each model's update
// loop runs its deepest path (ticks that grow the recorded history, then the
// log line formatted by the host's function). Overflowing would crash the
// test program; fitting in half shows the room that is left.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "framework/devices/device.h"
#include "framework/devices/update_thread.h"
#include "framework/history/history.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"
#include "models/twotemp/twotemp_model.h"
#include "platform/platform.h"
#include "tests/support/virtual_runtime.h"

namespace orv {
namespace {

constexpr int kTicks = 40;

// A host's log function as hosts write them: formats into a buffer on its
// stack and prints the line.
std::atomic<int> g_logged{0};
int FormattingLog(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::FILE* sink = std::tmpfile();
  if (sink != nullptr) {
    std::fputs(line, sink);
    std::fclose(sink);
  }
  g_logged.fetch_add(1);
  return 0;
}

struct Job {
  const ModelDescription* model;
  std::size_t samples = 0;
  bool stackIntact = false;
};

void RunLoopOnce(Job& job) {
  testing::VirtualRuntime runtime;
  DeviceEnvironment env;
  env.model = job.model;
  env.runtime = &runtime;
  env.log.store(&FormattingLog);
  EmuDevice device(env);
  device.id = 1;
  device.recording.store(true);
  device.updating.store(true);
  runtime.onSleep = [&](std::uint32_t, std::uint64_t) {
    if (SampleCount(device.history) >= static_cast<std::size_t>(kTicks)) {
      device.updating.store(false);
    }
  };
  RunUpdateLoop(device);
  job.samples = SampleCount(device.history);
}

// Takes half the thread's stack, touching it so that it is really used, then
// runs the loop from below it.
__attribute__((noinline)) void BelowHalfTheStack(Job& job) {
  volatile unsigned char taken[platform::kThreadStackBytes / 2];
  std::memset(const_cast<unsigned char*>(taken), 0xA5, sizeof taken);
  RunLoopOnce(job);
  job.stackIntact = taken[0] == 0xA5 && taken[sizeof taken - 1] == 0xA5;
}

void ThreadBody(void* arg) { BelowHalfTheStack(*static_cast<Job*>(arg)); }

TEST(ThreadStack, DeepestTickPathFitsInHalfTheStack) {
  const struct {
    const char* name;
    const ModelDescription* model;
  } cases[] = {{"co2", &co2::kModel}, {"twotemp", &twotemp::kModel}, {"climate", &climate::kModel}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Job job{c.model};
    g_logged.store(0);
    platform::ThreadHandle handle = nullptr;
    std::uint32_t id = 0;
    ASSERT_TRUE(platform::StartThread(&ThreadBody, &job, &handle, &id));
    platform::JoinThread(handle);
    EXPECT_TRUE(job.stackIntact);
    EXPECT_EQ(job.samples, static_cast<std::size_t>(kTicks));
    EXPECT_EQ(g_logged.load(), 1);  // "Update Thread stopped"
  }
}

}  // namespace
}  // namespace orv
