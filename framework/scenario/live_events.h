// Events added while a device runs, by the control endpoint: each is shared
// between whoever added it and the update thread that plays it, and its state
// is readable from any thread. A device's inbox takes them without a lock; the
// update thread takes them in after the model step of its next tick, where
// scenario events apply.
#ifndef ORV_FRAMEWORK_SCENARIO_LIVE_EVENTS_H
#define ORV_FRAMEWORK_SCENARIO_LIVE_EVENTS_H

#include <atomic>
#include <cstdint>
#include <memory>

#include "framework/scenario/scenario.h"

namespace orv {

enum class LiveState : std::uint8_t {
  kPending,  // not yet started
  kRunning,  // a hold or ramp under way
  kDone,     // applied to the end
  kEnded,    // ended by a request before it was done
  kDropped,  // its device's update thread stopped before it was done
};

const char* LiveStateName(LiveState state);

struct LiveEvent {
  // Ends a pending or running event: from the next tick on it does nothing.
  // False when it was over already.
  bool End();
  bool over() const { return state.load() >= LiveState::kDone; }

  // Set before the event is posted, read-only afterwards.
  std::uint64_t id = 0;
  ScenarioEvent event;
  // event.at counts from the tick that takes the event in ("now"), not from
  // the start of the device's run.
  bool relative = false;

  // Written by the update thread (and End), read by anyone.
  std::atomic<LiveState> state{LiveState::kPending};
  // The device second (100 ns units) it starts at, once the update thread
  // has taken it in; -1 before.
  std::atomic<std::int64_t> startsAt{-1};
};

// One device's events posted and not yet taken in, and the device clock of
// its last tick. Posting never waits: the list is a lock-free stack that the
// update thread takes whole.
class LiveEventInbox {
 public:
  LiveEventInbox() = default;
  ~LiveEventInbox();
  LiveEventInbox(const LiveEventInbox&) = delete;
  LiveEventInbox& operator=(const LiveEventInbox&) = delete;

  // Any thread. False when out of memory (nothing was posted).
  bool Post(std::shared_ptr<LiveEvent> event);
  // The update thread: calls take(event) for each event posted since the
  // last call, oldest first.
  template <typename Take>
  void TakeAll(Take&& take);
  bool empty() const { return head_.load(std::memory_order_acquire) == nullptr; }

  // Published by the update thread after each tick: 100 ns of device clock
  // since its run's first tick; -1 before any tick.
  std::atomic<std::int64_t> lastTick{-1};

 private:
  struct Node {
    std::shared_ptr<LiveEvent> event;
    Node* next = nullptr;
  };
  std::atomic<Node*> head_{nullptr};
};

template <typename Take>
void LiveEventInbox::TakeAll(Take&& take) {
  if (empty()) return;
  Node* node = head_.exchange(nullptr, std::memory_order_acquire);
  // The stack holds the newest first.
  Node* oldest = nullptr;
  while (node != nullptr) {
    Node* next = node->next;
    node->next = oldest;
    oldest = node;
    node = next;
  }
  while (oldest != nullptr) {
    std::unique_ptr<Node> current(oldest);
    oldest = oldest->next;
    take(std::move(current->event));
  }
}

}  // namespace orv

#endif  // ORV_FRAMEWORK_SCENARIO_LIVE_EVENTS_H
