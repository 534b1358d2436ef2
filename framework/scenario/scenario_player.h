// Plays a scenario on one device's update thread: after each model step it
// takes in the events posted to the device since the last tick, applies the
// events that are due to the tick's values and logs each event once as it
// starts (and a replay once more as it ends).
#ifndef ORV_FRAMEWORK_SCENARIO_SCENARIO_PLAYER_H
#define ORV_FRAMEWORK_SCENARIO_SCENARIO_PLAYER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/core/model.h"
#include "framework/scenario/live_events.h"
#include "framework/scenario/scenario.h"
#include "orv/driver_api.h"

namespace orv {

class ScenarioPlayer {
 public:
  // Takes the events of scenario that apply to device id; with no scenario
  // (or out of memory) the player does nothing. Event lines go to the log
  // function that log holds when each is written.
  // With an inbox, it also plays the live events posted there and publishes
  // the device clock of each tick.
  ScenarioPlayer(const Scenario* scenario, DeviceId id, const ModelDescription& model,
                 const std::atomic<LogFn>& log, LiveEventInbox* inbox = nullptr);
  // Live events taken in and not yet over are dropped: a device's run ends
  // with its update thread.
  ~ScenarioPlayer();
  ScenarioPlayer(ScenarioPlayer&&) = default;
  ScenarioPlayer(const ScenarioPlayer&) = delete;
  ScenarioPlayer& operator=(const ScenarioPlayer&) = delete;

  // Applies the due events to a tick's values after the model step.
  // deviceClock is the device's monotonic clock in 100 ns units
  // (Runtime::DeviceClockTicks); the events' seconds count from its first
  // tick.
  void Apply(float* values, std::uint64_t deviceClock);

 private:
  struct Playing {
    const ScenarioEvent* event;
    std::int64_t at;                  // the event's time in this run
    std::shared_ptr<LiveEvent> live;  // for a live event: its shared state
    bool started = false;
    bool done = false;
  };

  void TakeIn(std::int64_t elapsed);
  // Applies one event; false when it is over.
  bool Play(Playing& playing, float* values, std::int64_t elapsed);
  void Log(const ScenarioEvent& event, std::int64_t elapsed);
  // A replay's second line, when it ends.
  void LogEnd(const ScenarioEvent& event, std::int64_t elapsed);

  DeviceId id_;
  const ModelDescription& model_;
  const std::atomic<LogFn>& log_;
  LiveEventInbox* inbox_;
  std::vector<Playing> events_;
  bool liveOver_ = false;  // a live event ended since events_ was last pruned
  bool ticked_ = false;
  std::uint64_t origin_ = 0;
  std::int64_t previous_ = 0;  // the previous tick's device clock
};

// The text of an applied event's log line, without its line end, e.g.
// "Scenario (CO2-Ctrl EMU): device 1 at second 60: set 0 (CO2) to 2; door opened".
std::string ScenarioEventText(const ModelDescription& model, DeviceId id, std::int64_t elapsed,
                              const ScenarioEvent& event);

// The line a replay logs when it ends, e.g.
// "Scenario (CO2-Ctrl EMU): device 1 at second 4200: replay night.csv ended".
std::string ScenarioReplayEndText(const ModelDescription& model, DeviceId id, std::int64_t elapsed,
                                  const ScenarioEvent& event);

}  // namespace orv

#endif  // ORV_FRAMEWORK_SCENARIO_SCENARIO_PLAYER_H
