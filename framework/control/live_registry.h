// The events a control endpoint has posted, by id: one live event per device
// it acts on, all with the request's id, so that a request can end it and
// GET /devices can show what is pending or running on each device. Only the
// endpoint's threads use it; the update threads see the live events alone.
#ifndef ORV_FRAMEWORK_CONTROL_LIVE_REGISTRY_H
#define ORV_FRAMEWORK_CONTROL_LIVE_REGISTRY_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "framework/devices/device.h"
#include "framework/scenario/live_events.h"

namespace orv {

class LiveRegistry {
 public:
  // Pending and running events at most, over all devices.
  static constexpr std::size_t kMaxActive = 1000;

  struct Posting {
    ScenarioEvent event;
    bool relative = false;
    std::vector<std::shared_ptr<EmuDevice>> devices;
  };

  // Posts every event to its devices, each event under a new id, or nothing
  // when they would pass kMaxActive (or memory runs out). The ids in order;
  // empty when nothing was posted.
  std::vector<std::uint64_t> Post(const std::vector<Posting>& postings);

  enum class EndResult { kEnded, kUnknown, kOver };
  // Ends every device's copy of the event that is still pending or running.
  EndResult End(std::uint64_t id, LiveState& state);

  // The pending and running events on a device.
  std::vector<std::shared_ptr<LiveEvent>> Active(DeviceId device);
  std::size_t ActiveCount();
  // What the recordings of the pending and running replays take together,
  // each counted once however many devices play it.
  std::uint64_t RecordingBytes();

 private:
  struct Entry {
    DeviceId device;
    std::weak_ptr<EmuDevice> owner;  // gone once the device is removed
    std::shared_ptr<LiveEvent> event;
  };
  // mutex_ held: drops entries that are over or whose device is gone.
  void Prune();

  std::mutex mutex_;
  std::vector<Entry> entries_;
  std::uint64_t nextId_ = 1;
};

}  // namespace orv

#endif  // ORV_FRAMEWORK_CONTROL_LIVE_REGISTRY_H
