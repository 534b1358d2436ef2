// A Runtime for unit tests: virtual time that advances only when the code
// under test waits, real threads, and message boxes that are recorded
// instead of shown.
#ifndef ORV_TESTS_SUPPORT_VIRTUAL_RUNTIME_H
#define ORV_TESTS_SUPPORT_VIRTUAL_RUNTIME_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "framework/timing/runtime.h"
#include "platform/civil_time.h"
#include "platform/platform.h"

namespace orv::testing {

struct RecordedMessage {
  std::string text;
  std::string caption;
  unsigned flags;
};

class VirtualRuntime final : public Runtime {
 public:
  // 2026-03-01 12:00:00.000 local time.
  static constexpr std::uint64_t kStart = platform::CivilToFileTime({2026, 3, 1, 12, 0, 0, 0});

  bool StartThread(platform::ThreadMain main, void* arg, platform::ThreadHandle* handle,
                   std::uint32_t* threadId) override {
    if (failThreadStart) return false;
    return platform::StartThread(main, arg, handle, threadId);
  }
  void JoinThread(platform::ThreadHandle handle) override { platform::JoinThread(handle); }

  // Advances virtual time by the whole wait, then lets the test act at that
  // moment; true when stop is set by then. A held wait (holdWait) instead
  // blocks on stop itself, for up to kHoldLimitMs of real time, and leaves
  // virtual time alone: the stop came while it was waiting.
  bool WaitMs(platform::Event& stop, std::uint32_t milliseconds) override {
    const int index = sleeps.fetch_add(1);
    if (holdWait && holdWait(milliseconds, index)) {
      held.fetch_add(1);
      return stop.waitMs(kHoldLimitMs);
    }
    const std::uint64_t now = nowMs.fetch_add(milliseconds) + milliseconds;
    if (onSleep) onSleep(milliseconds, now);
    return stop.waitMs(0);
  }
  // The wall clock: virtual time plus whatever steps a test gave it.
  std::uint64_t LocalFileTimeNow() override {
    return kStart + nowMs.load() * 10000ULL + static_cast<std::uint64_t>(wallStep.load());
  }
  // The device clock is virtual time itself, which no wall-clock step moves.
  std::uint64_t DeviceClockTicks() override { return nowMs.load() * 10000ULL; }
  std::uint32_t CurrentThreadId() override { return platform::CurrentThreadId(); }
  int ShowMessageBox(const char* text, const char* caption, unsigned flags) override {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back({text, caption, flags});
    return 1;
  }

  // Real time, for what is paced in real time: moves only when a test moves it.
  std::uint64_t RealMicroseconds() override { return realMicros.load(); }

  std::vector<RecordedMessage> messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

  std::atomic<std::uint64_t> nowMs{0};
  std::atomic<int> sleeps{0};
  std::atomic<std::uint64_t> realMicros{0};
  // A step of the wall clock in 100 ns units (daylight saving, a time
  // server): moves timestamps, not the device clock.
  std::atomic<std::int64_t> wallStep{0};
  bool failThreadStart = false;
  // Called after every wait with its length and the new virtual time.
  std::function<void(std::uint32_t, std::uint64_t)> onSleep;
  // Asked before every wait with its length and the number of waits before
  // it; true holds that wait until the thread is stopped.
  std::function<bool(std::uint32_t, int)> holdWait;
  std::atomic<int> held{0};  // waits that have begun to hold
  static constexpr std::uint32_t kHoldLimitMs = 10000;

 private:
  std::mutex mutex_;
  std::vector<RecordedMessage> messages_;
};

}  // namespace orv::testing

#endif  // ORV_TESTS_SUPPORT_VIRTUAL_RUNTIME_H
