#include "framework/devices/recording.h"

#include <charconv>

#include "framework/history/history.h"

namespace orv {
namespace {

// While memory is short, an append is tried again at most this often in
// real time, however fast an emulated clock ticks.
constexpr std::uint64_t kAppendRetryMicros = 1000000;

}  // namespace

void RecordSample(EmuDevice& device, Runtime& runtime, const Sample& sample) {
  // Read before the append: a clear that comes between them starts a history
  // this pause does not belong to.
  const std::uint64_t clears = device.history.clears.load();
  // A pause belongs to the history it happened in; one emptied since starts
  // afresh, with nothing to resume.
  if (device.recordingPaused && clears != device.pausedAtClears) device.recordingPaused = false;
  if (device.recordingPaused) {
    const std::uint64_t now = runtime.RealMicroseconds();
    if (now - device.lastAppendTry < kAppendRetryMicros) return;
    device.lastAppendTry = now;
  }
  const bool appended = AppendSample(device.history, sample);
  if (appended == !device.recordingPaused) return;
  device.recordingPaused = !appended;
  if (!appended) {
    device.lastAppendTry = runtime.RealMicroseconds();
    device.pausedAtClears = clears;
  }
  // The count as text: it may not fit the host's unsigned.
  char count[24] = {};
  std::to_chars(count, count + sizeof count - 1, SampleCount(device.history));
  if (LogFn log = device.environment.log.load()) {
    log(appended ? "Device %d: recording resumed with %s samples recorded.\n"
                 : "Device %d: recording paused for lack of memory after %s samples.\n",
        static_cast<int>(device.id), count);
  }
}

}  // namespace orv
