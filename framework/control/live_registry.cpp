#include "framework/control/live_registry.h"

#include <algorithm>
#include <new>
#include <set>

#include "framework/scenario/replay_recording.h"

namespace orv {

void LiveRegistry::Prune() {
  entries_.erase(
      std::remove_if(entries_.begin(), entries_.end(),
                     [](const Entry& e) { return e.event->over() || e.owner.expired(); }),
      entries_.end());
}

std::vector<std::uint64_t> LiveRegistry::Post(const std::vector<Posting>& postings) {
  std::lock_guard<std::mutex> lock(mutex_);
  Prune();
  std::size_t copies = 0;
  for (const Posting& posting : postings) copies += posting.devices.size();
  if (entries_.size() + copies > kMaxActive) return {};
  std::vector<std::uint64_t> ids;
  std::vector<Entry> made;
  try {
    // Every copy is made before any is posted: out of memory posts nothing.
    ids.reserve(postings.size());
    made.reserve(copies);
    std::uint64_t id = nextId_;
    for (const Posting& posting : postings) {
      for (const auto& device : posting.devices) {
        auto live = std::make_shared<LiveEvent>();
        live->id = id;
        live->event = posting.event;
        live->event.allDevices = true;  // this copy is its device's alone
        live->event.devices.clear();
        live->relative = posting.relative;
        made.push_back(Entry{device->id, device, std::move(live)});
      }
      ids.push_back(id++);
    }
    entries_.reserve(entries_.size() + made.size());
    nextId_ = id;
  } catch (const std::bad_alloc&) {
    return {};
  }
  std::size_t k = 0;
  for (const Posting& posting : postings) {
    for (const auto& device : posting.devices) {
      Entry& entry = made[k++];
      if (!device->liveEvents.Post(entry.event)) entry.event->state.store(LiveState::kDropped);
      entries_.push_back(std::move(entry));
    }
  }
  return ids;
}

LiveRegistry::EndResult LiveRegistry::End(std::uint64_t id, LiveState& state) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool known = false;
  bool ended = false;
  for (const Entry& entry : entries_) {
    if (entry.event->id != id) continue;
    known = true;
    if (entry.event->End()) ended = true;
    if (!ended) state = entry.event->state.load();
  }
  // Entries that are over are pruned: an id older than every entry is known
  // as long as the ids handed out reach it.
  if (ended) {
    state = LiveState::kEnded;
    return EndResult::kEnded;
  }
  if (known) return EndResult::kOver;
  if (id != 0 && id < nextId_) {
    state = LiveState::kDone;
    return EndResult::kOver;
  }
  return EndResult::kUnknown;
}

std::vector<std::shared_ptr<LiveEvent>> LiveRegistry::Active(DeviceId device) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<LiveEvent>> list;
  for (const Entry& entry : entries_) {
    if (entry.device == device && !entry.event->over()) list.push_back(entry.event);
  }
  return list;
}

std::uint64_t LiveRegistry::RecordingBytes() {
  std::lock_guard<std::mutex> lock(mutex_);
  Prune();
  std::set<const ReplayRecording*> counted;
  std::uint64_t bytes = 0;
  for (const Entry& entry : entries_) {
    const ReplayRecording* recording = entry.event->event.recording.get();
    if (recording != nullptr && counted.insert(recording).second) bytes += recording->bytes();
  }
  return bytes;
}

std::size_t LiveRegistry::ActiveCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  Prune();
  return entries_.size();
}

}  // namespace orv
