// The manual clock: an opt-in clock, chosen by ORV_EMU_SPEED=manual together
// with ORV_CONTROL, on which the device clocks stand still until the control
// endpoint advances them. Each update thread keeps its own clock, as on the
// emulated clock: it starts at the driver's manual time when the thread
// starts and advances by exactly the nominal length of every wait. A wait
// that fits into the time granted so far returns at once; one that does not
// blocks until more is granted or the thread's stop event is set. Advance
// grants every thread the same span and returns once each has run the ticks
// of it, so a day of device time passes as fast as the models compute it and
// two identical runs stamp identical samples.
#ifndef ORV_FRAMEWORK_TIMING_MANUAL_CLOCK_H
#define ORV_FRAMEWORK_TIMING_MANUAL_CLOCK_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "framework/timing/runtime.h"

namespace orv {

class ManualRuntime final : public Runtime {
 public:
  // The manual timeline starts at the base runtime's local time now.
  explicit ManualRuntime(Runtime& base);
  ManualRuntime(const ManualRuntime&) = delete;
  ManualRuntime& operator=(const ManualRuntime&) = delete;

  // Grants every thread started here ms more of its clock, then waits until
  // each one is blocked again in a wait it may not finish (so the tick at the
  // new time has run) or has ended. A thread that starts meanwhile counts
  // from when it blocks after its first tick. False when cancel was set
  // (and Wake called) before that.
  bool Advance(std::uint64_t ms, const std::atomic<bool>& cancel);
  // Lets a waiting Advance look at its cancel flag again.
  void Wake();
  // Everything granted so far, in milliseconds.
  std::uint64_t grantedMs() const { return granted_.load(); }
  // The driver's manual time: the origin plus everything granted.
  std::uint64_t ManualNow() const;

  bool StartThread(platform::ThreadMain main, void* arg, platform::ThreadHandle* handle,
                   std::uint32_t* threadId) override;
  // Sets nothing itself: the caller has set the thread's stop event, and this
  // wakes the thread if it is blocked in a wait, then joins it.
  void JoinThread(platform::ThreadHandle handle) override;
  // On a thread started here: advances its clock by nominalMs once the time
  // is granted; true when stop is set first. Elsewhere a real wait.
  bool WaitMs(platform::Event& stop, std::uint32_t nominalMs) override;
  // On a thread started here its own clock; elsewhere ManualNow().
  std::uint64_t LocalFileTimeNow() override;
  std::uint32_t CurrentThreadId() override { return base_.CurrentThreadId(); }
  int ShowMessageBox(const char* text, const char* caption, unsigned flags) override {
    return base_.ShowMessageBox(text, caption, flags);
  }
  std::uint64_t RealMicroseconds() override { return base_.RealMicroseconds(); }
  std::uint64_t DeviceClockTicks() override { return LocalFileTimeNow(); }

  // One thread's clock; public for the thread start in manual_clock.cpp.
  struct ThreadClock {
    ManualRuntime* owner = nullptr;
    std::uint64_t startFileTime = 0;  // the driver's manual time at thread start
    std::uint64_t nominalMs = 0;      // written by the thread only
    // What the thread may reach; raised by Advance under mutex_, read by the
    // thread without it while it fits.
    std::atomic<std::uint64_t> allowedMs{0};
    bool blocked = false;  // under mutex_: waiting for a grant
  };
  void Register(ThreadClock& clock);
  void Unregister(ThreadClock& clock);

 private:
  bool Settled() const;  // mutex_ held: every thread blocked

  Runtime& base_;
  const std::uint64_t originFileTime_;
  std::atomic<std::uint64_t> granted_{0};

  mutable std::mutex mutex_;
  std::condition_variable grants_;   // threads wait here for time or their stop
  std::condition_variable settled_;  // Advance waits here for every thread to block
  std::vector<ThreadClock*> threads_;
  std::size_t blockedCount_ = 0;
};

}  // namespace orv

#endif  // ORV_FRAMEWORK_TIMING_MANUAL_CLOCK_H
