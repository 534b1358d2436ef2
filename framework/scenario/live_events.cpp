#include "framework/scenario/live_events.h"

#include <new>

namespace orv {

const char* LiveStateName(LiveState state) {
  switch (state) {
    case LiveState::kPending:
      return "pending";
    case LiveState::kRunning:
      return "running";
    case LiveState::kDone:
      return "done";
    case LiveState::kEnded:
      return "ended";
    case LiveState::kDropped:
      return "dropped";
  }
  return "?";
}

bool LiveEvent::End() {
  LiveState current = state.load();
  while (current == LiveState::kPending || current == LiveState::kRunning) {
    if (state.compare_exchange_weak(current, LiveState::kEnded)) return true;
  }
  return false;
}

LiveEventInbox::~LiveEventInbox() {
  Node* node = head_.exchange(nullptr);
  while (node != nullptr) {
    Node* next = node->next;
    delete node;
    node = next;
  }
}

bool LiveEventInbox::Post(std::shared_ptr<LiveEvent> event) {
  Node* node = new (std::nothrow) Node;
  if (node == nullptr) return false;
  node->event = std::move(event);
  node->next = head_.load(std::memory_order_relaxed);
  while (!head_.compare_exchange_weak(node->next, node, std::memory_order_release,
                                      std::memory_order_relaxed)) {
  }
  return true;
}

}  // namespace orv
