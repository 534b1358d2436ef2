// The per-device background thread that advances the model once per tick,
// publishes the values around pending host writes and feeds the history.
#ifndef ORV_FRAMEWORK_DEVICES_UPDATE_THREAD_H
#define ORV_FRAMEWORK_DEVICES_UPDATE_THREAD_H

#include "framework/core/rng.h"
#include "framework/devices/device.h"
#include "framework/scenario/scenario_player.h"

namespace orv {

// Starts the thread when on and not updating; stops it, waiting for its end,
// when !on and updating; does nothing otherwise.
void SetUpdating(EmuDevice& device, bool on);
bool IsUpdating(const EmuDevice& device);

// The player of the driver's scenario and the device's live events for this
// device's update thread.
inline ScenarioPlayer ScenarioPlayerFor(EmuDevice& device) {
  return ScenarioPlayer(device.environment.scenario.load(), device.id, *device.environment.model,
                        device.environment.log, &device.liveEvents);
}

// One tick on runtime's clock: copy, model step without a lock, timestamp,
// the scenario's due events (when one is given), write-back around the
// pending flags, append while recording.
void RunTick(EmuDevice& device, Runtime& runtime, Rng& rng, ScenarioPlayer* scenario = nullptr);
// The same on the driver's current runtime, for ticks run outside an update
// thread (tests).
inline void RunTick(EmuDevice& device, Rng& rng, ScenarioPlayer* scenario = nullptr) {
  RunTick(device, *device.environment.runtime.load(), rng, scenario);
}

// The thread body: takes the driver's runtime once and keeps it (a later
// Init's clock serves devices started after it), ticks while updating, with the one-second sleep
// and the 100 ms naps of interval, each cut short by a stop, then writes its stop line. Unit tests
// call it directly under a virtual clock.
void RunUpdateLoop(EmuDevice& device);

}  // namespace orv

#endif  // ORV_FRAMEWORK_DEVICES_UPDATE_THREAD_H
