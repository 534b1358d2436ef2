#include "framework/devices/update_thread.h"

#include "framework/core/lock.h"
#include "framework/devices/recording.h"

namespace orv {
namespace {

void Log(EmuDevice& device, const char* format, unsigned argument) {
  if (LogFn log = device.environment.log.load()) log(format, argument);
}

void Log(EmuDevice& device, const char* text) {
  if (LogFn log = device.environment.log.load()) log(text);
}

void ThreadMain(void* arg) { RunUpdateLoop(*static_cast<EmuDevice*>(arg)); }

// Ten times the interval, in 64 bits so that a huge interval cannot overflow.
bool NapsRemain(const EmuDevice& device, std::int64_t naps) {
  return naps < 10 * static_cast<std::int64_t>(device.interval.load());
}

// The pause after a tick: one second, then interval more seconds in 100 ms
// naps, each cut short by a stop.
void WaitForNextTick(EmuDevice& device, Runtime& runtime) {
  runtime.WaitMs(device.stopEvent, 1000);
  for (std::int64_t naps = 0; NapsRemain(device, naps) && device.updating.load(); ++naps) {
    runtime.WaitMs(device.stopEvent, 100);
  }
}

}  // namespace

void RunTick(EmuDevice& device, Runtime& runtime, Rng& rng, ScenarioPlayer* scenario) {
  const int n = device.valueCount();
  Sample working;
  {
    LockGuard lock(device.valueMutex);
    for (int i = 0; i < n; ++i) working.values[i] = device.live.values[i];
  }
  device.environment.model->step(working.values, rng);
  working.timestamp = runtime.LocalFileTimeNow();
  if (scenario != nullptr) scenario->Apply(working.values, runtime.DeviceClockTicks());
  {
    LockGuard lock(device.valueMutex);
    for (int i = 0; i < n; ++i) {
      if (!device.pending[i]) device.live.values[i] = working.values[i];
      device.pending[i] = false;
    }
  }
  if (device.recording.load()) RecordSample(device, runtime, working);
}

void RunUpdateLoop(EmuDevice& device) {
  // The runtime that started the thread, set before it started; a loop run
  // directly (unit tests) takes the driver's.
  Runtime& runtime =
      device.threadRuntime != nullptr ? *device.threadRuntime : *device.environment.runtime.load();
  Rng rng(SeedFor(device.id));
  ScenarioPlayer scenario = ScenarioPlayerFor(device);
  // A stop sets stopEvent after clearing updating, so it cuts the current wait
  // short; the loop still tests updating at exactly the points it always did.
  while (device.updating.load()) {
    RunTick(device, runtime, rng, &scenario);
    WaitForNextTick(device, runtime);
  }
  Log(device, "Update Thread stopped (TID: 0x%X).\n", runtime.CurrentThreadId());
}

void SetUpdating(EmuDevice& device, bool on) {
  LockGuard lock(device.controlMutex);
  if (on && !device.updating.load()) {
    Runtime& runtime = *device.environment.runtime.load();
    device.stopEvent.reset();  // no thread waits on it: the last one was joined
    device.updating.store(true);
    device.threadRuntime = &runtime;
    std::uint32_t threadId = 0;
    platform::ThreadHandle handle = nullptr;
    // The state is settled before the host's log function runs: in a host
    // that is out of memory it may throw, and the device must stay consistent.
    if (!runtime.StartThread(&ThreadMain, &device, &handle, &threadId)) {
      device.updating.store(false);
      device.threadRuntime = nullptr;
      Log(device, "Could not create update thread.");
      return;
    }
    device.updateThread = handle;
    Log(device, "Update Thread created (TID: 0x%X).\n", threadId);
  } else if (!on && device.updating.load()) {
    device.updating.store(false);
    device.stopEvent.set();
    device.threadRuntime->JoinThread(device.updateThread);
    device.updateThread = nullptr;
    device.threadRuntime = nullptr;
  }
}

bool IsUpdating(const EmuDevice& device) { return device.updating.load(); }

}  // namespace orv
