// devices/: the device record, its update thread and the registry of a
// driver's devices. Uses core/, timing/, history/ and scenario/.
//
// The emulated device record and the operations on its live values, its
// recording switch and its channel display settings.
#ifndef ORV_FRAMEWORK_DEVICES_DEVICE_H
#define ORV_FRAMEWORK_DEVICES_DEVICE_H

#include <atomic>
#include <cstdint>
#include <string>

#include "framework/core/model.h"
#include "framework/history/history.h"
#include "framework/scenario/live_events.h"
#include "framework/scenario/scenario.h"
#include "framework/timing/runtime.h"
#include "orv/driver_api.h"
#include "platform/platform.h"

namespace orv {

// Driver-wide things a device and its update thread use: the model, the
// operating-system services and the host's log callback.
struct DeviceEnvironment {
  const ModelDescription* model = nullptr;
  // The real runtime, or the emulated clock that Init chose; a thread keeps
  // the one it was started with.
  std::atomic<Runtime*> runtime{nullptr};
  std::atomic<LogFn> log{nullptr};  // written by Init, read by update threads
  // The scenario Init read, or null; a thread keeps the one it started with.
  std::atomic<const Scenario*> scenario{nullptr};
};

struct EmuDevice {
  explicit EmuDevice(DeviceEnvironment& environment);
  // Stops the update thread if it still runs, so no thread outlives its device.
  ~EmuDevice();
  EmuDevice(const EmuDevice&) = delete;
  EmuDevice& operator=(const EmuDevice&) = delete;

  // False when one of the mutexes or the stop event could not be created;
  // such a record is never registered.
  bool valid() const;
  int valueCount() const { return environment.model->valueCount; }

  DeviceEnvironment& environment;

  // Written by whoever creates the device, before it is registered; read-only
  // afterwards.
  std::int32_t commSetting1 = 0;
  std::int32_t commSetting2 = 0;
  DeviceId id = 0;

  // Written by SetUpdating, polled by the update thread.
  std::atomic<bool> updating{false};
  // Written by SetRecording, read by the update thread before each append.
  std::atomic<bool> recording{false};
  // Whole seconds the thread waits after its one-second sleep; re-read before
  // every 100 ms nap.
  std::atomic<std::int32_t> interval{10};

  // Owned by SetUpdating under controlMutex: serialises starting and stopping.
  platform::ThreadHandle updateThread = nullptr;
  // The runtime the thread runs on and is ended with, set before it starts:
  // a later Init may choose another clock meanwhile.
  Runtime* threadRuntime = nullptr;
  platform::Mutex controlMutex;
  // Set by SetUpdating after it clears updating, reset before it starts a
  // thread: ends the thread's sleep or nap at once, so a stop does not wait
  // for it. The thread only waits on it; updating alone decides what it does.
  platform::Event stopEvent;

  // Host display settings and channel names (used by the named-channel model);
  // guarded by settingsMutex, written only by host calls.
  std::string channelName1 = "Channel 1";
  std::string channelName2 = "Channel 2";
  ChannelConfig channelConfigs[kMaxValues];
  platform::Mutex settingsMutex;

  // Live values and pending host writes, guarded by valueMutex. live's
  // timestamp is unused and stays 0.
  Sample live;
  bool pending[kMaxValues] = {};
  platform::Mutex valueMutex;

  SampleHistory history;

  // Events posted by the control endpoint (any thread, without a lock) and
  // taken in by the update thread, which also publishes its device clock
  // there after each tick.
  LiveEventInbox liveEvents;

  // Owned by the update thread: set while appends fail for lack of memory,
  // with the real time (Runtime::RealMicroseconds) of the last try and the
  // history's clear count (SampleHistory::clears) when the pause began.
  bool recordingPaused = false;
  std::uint64_t lastAppendTry = 0;
  std::uint64_t pausedAtClears = 0;
};

// Live values. An index outside 0..N-1 is ignored (GetValue: invalid value).
void SetValue(EmuDevice& device, std::int32_t index, float value);
float GetValue(EmuDevice& device, std::int32_t index);
bool HasNoValidValues(EmuDevice& device);

// Switching on from off clears the history first.
void SetRecording(EmuDevice& device, bool on);

// All 16 bytes, padding included. Out-of-range indices and a null record are
// ignored; GetChannelConfig then returns 16 zero bytes.
void SetChannelConfig(EmuDevice& device, std::int32_t index, const ChannelConfig* config);
ChannelConfig GetChannelConfig(EmuDevice& device, std::int32_t index);

void GetChannelNames(EmuDevice& device, std::string& name1, std::string& name2);
void SetChannelNames(EmuDevice& device, const std::string& name1, const std::string& name2);

// The value stored for a write of value to an index of the given kind.
float StoredValue(SetKind kind, float value, float current);

}  // namespace orv

#endif  // ORV_FRAMEWORK_DEVICES_DEVICE_H
