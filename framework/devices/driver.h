// One loaded driver: its identity, the host log callback and dialog modules,
// and the registry of its emulated devices.
#ifndef ORV_FRAMEWORK_DEVICES_DRIVER_H
#define ORV_FRAMEWORK_DEVICES_DRIVER_H

#include <atomic>
#include <cstddef>
#include <forward_list>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "framework/core/model.h"
#include "framework/core/read_sections.h"
#include "framework/devices/device.h"
#include "framework/timing/emulated_time.h"
#include "framework/timing/manual_clock.h"
#include "framework/timing/runtime.h"
#include "orv/driver_api.h"
#include "platform/platform.h"

namespace orv {

// The last component of a module path: everything after the last separator,
// the whole path when there is none.
std::string LastPathComponent(const std::string& path, char separator);

// An immutable copy of the device list that lookups read without a lock. It
// holds a reference to each device, so a device in a snapshot that a read
// section may still use lives.
struct RegistrySnapshot {
  struct Entry {
    DeviceId id;
    std::shared_ptr<EmuDevice> device;
  };
  std::vector<Entry> entries;

  const Entry* Find(DeviceId id) const {
    for (const Entry& e : entries) {
      if (e.id == id) return &e;
    }
    return nullptr;
  }
};

class Driver {
 public:
  Driver(const ModelDescription& model, Runtime& runtime);
  // Destroys the records still registered, except those whose update thread
  // still runs: those are abandoned.
  ~Driver();
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  const ModelDescription& model() const { return model_; }
  Runtime& runtime() { return runtime_; }
  DeviceEnvironment& environment() { return environment_; }

  // Binds the log callback, chooses the clock (ORV_EMU_SPEED) and the
  // scenario (ORV_SCENARIO, whose events may name this plug-in's file), binds
  // the two dialog modules (by plain file name), then records the driver's
  // own file name. 1 ready, 0 failed. controlled: a control endpoint runs,
  // which the manual clock needs.
  std::int32_t Init(LogFn log, bool controlled = false);
  // Releases whatever dialog modules Init loaded. Always 1.
  std::int32_t Shutdown();
  void GetDriverInfo(DriverInfo& out) const;
  // The same without a copy; Init, which writes it, runs while no other call does.
  const DriverInfo& info() const { return info_; }

  // Registry. A device is shared between the registry and the calls in
  // flight, so removing it while another host thread still uses it cannot
  // free it under that thread.
  std::shared_ptr<EmuDevice> FindDevice(DeviceId id);
  // Calls visit with the device, or with null when the registry does not hold
  // id, taking neither registryMutex_ nor a reference: the call runs in a
  // read section, and a change of the registry frees the snapshot it
  // replaces only once every open section has closed. For brief calls only,
  // such as the queries a host makes many times a second. A visit taking
  // (EmuDevice*, bool) learns whether it runs in a read section (false when
  // every slot was taken and the device is held by a counted reference).
  template <typename Visit>
  [[gnu::always_inline]] inline void VisitDevice(DeviceId id, Visit&& visit) {
    ReadSection section;
    if (section.entered()) [[likely]] {
      const RegistrySnapshot::Entry* entry = snapshot_.load()->Find(id);
      return Call(visit, entry != nullptr ? entry->device.get() : nullptr, true);
    }
    VisitCounted(id, visit);
  }
  // Gives the device the next identifier and appends it; returns the id.
  DeviceId Register(std::shared_ptr<EmuDevice> device);
  std::shared_ptr<EmuDevice> NewDevice();
  std::size_t DeviceCount();
  // The devices registered now, in the order they were added.
  std::vector<std::shared_ptr<EmuDevice>> Devices();

  // The clock that the last Init chose for devices started from now on, and
  // its factor (1 unless emulated); any thread.
  SpeedSetting::Kind clockKind() const { return clockKind_.load(); }
  double clockFactor() const { return clockFactor_.load(); }
  // The manual clock, once an Init chose it; it serves every device started
  // on it for as long as the driver lives. Null before.
  ManualRuntime* manualClock() { return manualClock_.load(); }

  DeviceId AddDevice();
  IntList ScanDevices();
  void RemoveDevice(DeviceId id);
  // Opens the settings dialog with an empty port list of the contract's type.
  void ShowSettings(DeviceId id);
  // The same with the host's own port list, in the layout of the table the
  // plug-in serves (the dialog modules belong to the host and may grow it);
  // the caller frees it afterwards.
  void ShowSettingsWith(DeviceId id, void* ports);

  std::vector<ChannelDescriptor> GetChannelDescriptors(DeviceId id);
  std::vector<AxisDescriptor> GetAxisDescriptors() const;

 private:
  void ReleaseModules();
  // VisitDevice when every read-section slot is taken: the device held by a
  // counted reference. Out of line, as it is rare.
  template <typename Visit>
  [[gnu::noinline]] void VisitCounted(DeviceId id, Visit& visit) {
    const std::shared_ptr<EmuDevice> counted = FindDevice(id);
    Call(visit, counted.get(), false);
  }
  template <typename Visit>
  [[gnu::always_inline]] static void Call(Visit& visit, EmuDevice* device, bool inReadSection) {
    if constexpr (std::is_invocable_v<Visit, EmuDevice*, bool>) {
      visit(device, inReadSection);
    } else {
      visit(device);
    }
  }

  // Reads ORV_EMU_SPEED: the real clock, a new emulated one or the manual
  // one, for devices started from now on; logs a line for an emulated, a
  // manual or an ignored setting.
  void ChooseClock(LogFn log, bool controlled);
  // Reads the file ORV_SCENARIO names, for devices started from now on; logs
  // how many events it holds for this driver (fileName, the plug-in's file
  // name, or the model's short name), or why it was refused (then none is
  // used).
  void ChooseScenario(LogFn log, const std::string& fileName);

  // Publishes the device list as it stands (registryMutex_ held) and returns
  // the snapshot it replaces, for RetireSnapshot once the mutex is released.
  const RegistrySnapshot* PublishLocked(std::unique_ptr<RegistrySnapshot> next);
  // Waits until no read section can still use the snapshot, then destroys it.
  void RetireSnapshot(const RegistrySnapshot* old);

  const ModelDescription& model_;
  Runtime& runtime_;
  DeviceEnvironment environment_;
  // Every emulated clock an Init made. Kept until the driver goes, since
  // update threads started under one use it until they end.
  std::forward_list<EmulatedRuntime> clocks_;
  // The one manual clock, made by the first Init that chose it.
  std::unique_ptr<ManualRuntime> manualOwner_;
  std::atomic<ManualRuntime*> manualClock_{nullptr};
  std::atomic<SpeedSetting::Kind> clockKind_{SpeedSetting::Kind::kRealTime};
  std::atomic<double> clockFactor_{1.0};
  // Every scenario an Init read, kept for the same reason.
  std::forward_list<Scenario> scenarios_;
  DriverInfo info_;

  platform::ModuleHandle addDialogModule_ = nullptr;
  AddDialogFn addDialog_ = nullptr;
  platform::ModuleHandle settingsDialogModule_ = nullptr;
  void* settingsDialog_ = nullptr;

  platform::Mutex registryMutex_;  // held only to search or change the list
  std::vector<std::shared_ptr<EmuDevice>> devices_;
  DeviceId nextDeviceId_ = 1;

  // The published copy of devices_: replaced under registryMutex_, read
  // without a lock; never null.
  std::atomic<const RegistrySnapshot*> snapshot_;
};

// Copies the model's channel rows; with per-device channel names each name is
// prefixed with the device's channel name and a space.
std::vector<ChannelDescriptor> BuildChannelDescriptors(const ModelDescription& model,
                                                       const std::string* name1,
                                                       const std::string* name2);

}  // namespace orv

#endif  // ORV_FRAMEWORK_DEVICES_DRIVER_H
