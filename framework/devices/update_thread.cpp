#include "framework/devices/update_thread.h"

#include <charconv>

#include "framework/core/lock.h"

namespace orv {
namespace {

void Log(EmuDevice& device, const char* format, unsigned argument) {
  if (LogFn log = device.environment.log.load()) log(format, argument);
}

void Log(EmuDevice& device, const char* text) {
  if (LogFn log = device.environment.log.load()) log(text);
}

// While memory is short, an append is tried again at most this often in
// real time, however fast an emulated clock ticks.
constexpr std::uint64_t kAppendRetryMicros = 1000000;

// Appends the tick's sample. When no memory can be had, recording pauses
// with one log line, every sample already recorded is kept, and the ticks
// go on; samples are tried again about once a second until one fits, and
// one line says so. The recording flag stays as the host set it; the gap
// shows in the timestamps.
void Record(EmuDevice& device, const Sample& sample) {
  Runtime& runtime = *device.environment.runtime.load();
  if (device.recordingPaused) {
    const std::uint64_t now = runtime.RealMicroseconds();
    if (now - device.lastAppendTry < kAppendRetryMicros) return;
    device.lastAppendTry = now;
  }
  const bool appended = AppendSample(device.history, sample);
  if (appended == !device.recordingPaused) return;
  device.recordingPaused = !appended;
  if (!appended) device.lastAppendTry = runtime.RealMicroseconds();
  // The count as text: it may not fit the host's unsigned.
  char count[24] = {};
  std::to_chars(count, count + sizeof count - 1, SampleCount(device.history));
  if (LogFn log = device.environment.log.load()) {
    log(appended ? "Device %d: recording resumed with %s samples recorded.\n"
                 : "Device %d: recording paused for lack of memory after %s samples.\n",
        static_cast<int>(device.id), count);
  }
}

void ThreadMain(void* arg) { RunUpdateLoop(*static_cast<EmuDevice*>(arg)); }

// Ten times the interval, in 64 bits so that a huge interval cannot overflow.
bool NapsRemain(const EmuDevice& device, std::int64_t naps) {
  return naps < 10 * static_cast<std::int64_t>(device.interval.load());
}

}  // namespace

void RunTick(EmuDevice& device, Rng& rng, ScenarioPlayer* scenario) {
  const int n = device.valueCount();
  Sample working;
  {
    LockGuard lock(device.valueMutex);
    for (int i = 0; i < n; ++i) working.values[i] = device.live.values[i];
  }
  device.environment.model->step(working.values, rng);
  working.timestamp = device.environment.runtime.load()->LocalFileTimeNow();
  if (scenario != nullptr) scenario->Apply(working.values, working.timestamp);
  {
    LockGuard lock(device.valueMutex);
    for (int i = 0; i < n; ++i) {
      if (!device.pending[i]) device.live.values[i] = working.values[i];
      device.pending[i] = false;
    }
  }
  if (device.recording.load()) Record(device, working);
}

void RunUpdateLoop(EmuDevice& device) {
  Runtime& runtime = *device.environment.runtime.load();
  Rng rng(SeedFor(device.id));
  ScenarioPlayer scenario = ScenarioPlayerFor(device);
  // A stop sets stopEvent after clearing updating, so it cuts the current wait
  // short; the loop still tests updating at exactly the points it always did.
  while (device.updating.load()) {
    RunTick(device, rng, &scenario);
    runtime.WaitMs(device.stopEvent, 1000);
    for (std::int64_t naps = 0; NapsRemain(device, naps) && device.updating.load(); ++naps) {
      runtime.WaitMs(device.stopEvent, 100);
    }
  }
  Log(device, "Update Thread stopped (TID: 0x%X).\n", runtime.CurrentThreadId());
}

void SetUpdating(EmuDevice& device, bool on) {
  LockGuard lock(device.controlMutex);
  Runtime& runtime = *device.environment.runtime.load();
  if (on && !device.updating.load()) {
    device.stopEvent.reset();  // no thread waits on it: the last one was joined
    device.updating.store(true);
    std::uint32_t threadId = 0;
    platform::ThreadHandle handle = nullptr;
    // The state is settled before the host's log function runs: in a host
    // that is out of memory it may throw, and the device must stay consistent.
    if (!runtime.StartThread(&ThreadMain, &device, &handle, &threadId)) {
      device.updating.store(false);
      Log(device, "Could not create update thread.");
      return;
    }
    device.updateThread = handle;
    Log(device, "Update Thread created (TID: 0x%X).\n", threadId);
  } else if (!on && device.updating.load()) {
    device.updating.store(false);
    device.stopEvent.set();
    runtime.JoinThread(device.updateThread);
    device.updateThread = nullptr;
  }
}

bool IsUpdating(const EmuDevice& device) { return device.updating.load(); }

}  // namespace orv
