#include "framework/timing/manual_clock.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <new>

namespace orv {
namespace {

constexpr std::uint64_t kFileTimePerMs = 10000;
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
  return b > kMaxU64 - a ? kMaxU64 : a + b;
}

std::uint64_t MsToFileTime(std::uint64_t ms) {
  return ms > kMaxU64 / kFileTimePerMs ? kMaxU64 : ms * kFileTimePerMs;
}

thread_local ManualRuntime::ThreadClock* currentClock = nullptr;

ManualRuntime::ThreadClock* ClockOf(const ManualRuntime* runtime) {
  ManualRuntime::ThreadClock* clock = currentClock;
  return clock != nullptr && clock->owner == runtime ? clock : nullptr;
}

struct Launch {
  platform::ThreadMain main;
  void* arg;
  ManualRuntime::ThreadClock clock;
};

void RunWithClock(void* arg) {
  const std::unique_ptr<Launch> launch(static_cast<Launch*>(arg));
  currentClock = &launch->clock;
  launch->main(launch->arg);
  currentClock = nullptr;
  launch->clock.owner->Unregister(launch->clock);
}

}  // namespace

ManualRuntime::ManualRuntime(Runtime& base)
    : base_(base), originFileTime_(base.LocalFileTimeNow()) {}

std::uint64_t ManualRuntime::ManualNow() const {
  return SaturatingAdd(originFileTime_, MsToFileTime(granted_.load()));
}

void ManualRuntime::Register(ThreadClock& clock) {
  std::lock_guard<std::mutex> lock(mutex_);
  clock.startFileTime = ManualNow();
  threads_.push_back(&clock);
}

void ManualRuntime::Unregister(ThreadClock& clock) {
  std::lock_guard<std::mutex> lock(mutex_);
  threads_.erase(std::remove(threads_.begin(), threads_.end(), &clock), threads_.end());
  if (clock.blocked) --blockedCount_;
  settled_.notify_all();
}

bool ManualRuntime::Settled() const { return blockedCount_ == threads_.size(); }

bool ManualRuntime::Advance(std::uint64_t ms, const std::atomic<bool>& cancel) {
  std::unique_lock<std::mutex> lock(mutex_);
  granted_.store(SaturatingAdd(granted_.load(), ms));
  // Every thread runs again until it blocks on the new limit; a thread whose
  // next wait still does not fit blocks again at once.
  for (ThreadClock* clock : threads_) {
    clock->allowedMs.store(SaturatingAdd(clock->allowedMs.load(), ms));
    clock->blocked = false;
  }
  blockedCount_ = 0;
  grants_.notify_all();
  settled_.wait(lock, [&] { return Settled() || cancel.load(); });
  return Settled();
}

void ManualRuntime::Wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  settled_.notify_all();
}

bool ManualRuntime::StartThread(platform::ThreadMain main, void* arg,
                                platform::ThreadHandle* handle, std::uint32_t* threadId) {
  auto* launch = new (std::nothrow) Launch{main, arg, {}};
  if (launch == nullptr) return false;
  // Counted from here, so that an advance right after the start includes it.
  launch->clock.owner = this;
  Register(launch->clock);
  if (!base_.StartThread(&RunWithClock, launch, handle, threadId)) {
    Unregister(launch->clock);
    delete launch;
    return false;
  }
  return true;
}

void ManualRuntime::JoinThread(platform::ThreadHandle handle) {
  {
    // The caller set the thread's stop event before this: a thread checks it
    // under the mutex before it waits, so it either saw it or is woken here.
    std::lock_guard<std::mutex> lock(mutex_);
    grants_.notify_all();
  }
  base_.JoinThread(handle);
}

bool ManualRuntime::WaitMs(platform::Event& stop, std::uint32_t nominalMs) {
  ThreadClock* clock = ClockOf(this);
  if (clock == nullptr) return base_.WaitMs(stop, nominalMs);
  const std::uint64_t target = SaturatingAdd(clock->nominalMs, nominalMs);
  // The fast path of an advance: no lock while the granted time lasts.
  if (target <= clock->allowedMs.load(std::memory_order_acquire)) {
    clock->nominalMs = target;
    return false;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const bool stopped = stop.waitMs(0);
    if (stopped || target <= clock->allowedMs.load()) {
      if (clock->blocked) --blockedCount_;
      clock->blocked = false;
      if (!stopped) clock->nominalMs = target;
      return stopped;
    }
    if (!clock->blocked) {
      clock->blocked = true;
      ++blockedCount_;
      if (Settled()) settled_.notify_all();
    }
    grants_.wait(lock);
  }
}

std::uint64_t ManualRuntime::LocalFileTimeNow() {
  if (const ThreadClock* clock = ClockOf(this)) {
    return SaturatingAdd(clock->startFileTime, MsToFileTime(clock->nominalMs));
  }
  return ManualNow();
}

}  // namespace orv
