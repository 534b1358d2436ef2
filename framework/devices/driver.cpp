#include "framework/devices/driver.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <thread>

#include "framework/core/lock.h"
#include "framework/core/text.h"
#include "framework/devices/update_thread.h"

namespace orv {
namespace {

constexpr std::size_t kModulePathBuffer = 1024;
// Enough for any factor written sensibly; a longer value is refused.
constexpr std::size_t kSpeedValueBuffer = 64;
// A scenario's path; a longer one is refused.
constexpr std::size_t kScenarioPathBuffer = 1024;

std::string DialogFileName(const char* baseName) {
  return std::string(baseName) + platform::ModuleSuffix();
}

// Copies a channel name into a dialog buffer, cut to what fits with its NUL.
void FillNameBuffer(char (&buffer)[kChannelNameBufferSize], const std::string& name) {
  std::memset(buffer, 0, sizeof buffer);
  const std::size_t length = std::min(name.size(), sizeof buffer - 1);
  std::memcpy(buffer, name.data(), length);
}

// Reads a buffer the dialog may have left without a terminating NUL.
std::string NameFromBuffer(const char (&buffer)[kChannelNameBufferSize]) {
  const void* end = std::memchr(buffer, '\0', sizeof buffer);
  const std::size_t length = end != nullptr
                                 ? static_cast<std::size_t>(static_cast<const char*>(end) - buffer)
                                 : sizeof buffer;
  return std::string(buffer, length);
}

}  // namespace

std::string LastPathComponent(const std::string& path, char separator) {
  const std::size_t last = path.rfind(separator);
  return last == std::string::npos ? path : path.substr(last + 1);
}

Driver::Driver(const ModelDescription& model, Runtime& runtime)
    : model_(model), runtime_(runtime), snapshot_(new RegistrySnapshot()) {
  environment_.model = &model_;
  environment_.runtime = &runtime_;
  info_.longName = model.longName;
  info_.shortName = model.shortName;
  info_.versionMajor = model.versionMajor;
  info_.versionMinor = model.versionMinor;
}

Driver::~Driver() {
  // The host removes every device before it unloads the driver. A record left
  // with a running thread is abandoned, not destroyed: waiting for the thread
  // while the library is being unloaded could deadlock the loader.
  bool abandoned = false;
  for (auto& device : devices_) {
    if (!device->updating.load()) continue;
    new std::shared_ptr<EmuDevice>(std::move(device));
    abandoned = true;
  }
  // Their threads still run on the clocks they started with: those stay too.
  if (abandoned) {
    new std::forward_list<EmulatedRuntime>(std::move(clocks_));
    static_cast<void>(manualOwner_.release());
  }
  delete snapshot_.load();
}

namespace {

std::unique_ptr<RegistrySnapshot> SnapshotOf(const std::vector<std::shared_ptr<EmuDevice>>& list) {
  auto next = std::make_unique<RegistrySnapshot>();
  next->entries.reserve(list.size());
  for (const auto& device : list) next->entries.push_back({device->id, device});
  return next;
}

}  // namespace

const RegistrySnapshot* Driver::PublishLocked(std::unique_ptr<RegistrySnapshot> next) {
  return snapshot_.exchange(next.release());
}

void Driver::RetireSnapshot(const RegistrySnapshot* old) {
  SharedReadSections().WaitForReaders();
  delete old;
}

void Driver::ReleaseModules() {
  if (addDialogModule_ != nullptr) platform::UnloadModule(addDialogModule_);
  addDialogModule_ = nullptr;
  addDialog_ = nullptr;
  if (settingsDialogModule_ != nullptr) platform::UnloadModule(settingsDialogModule_);
  settingsDialogModule_ = nullptr;
  settingsDialog_ = nullptr;
}

std::int32_t Driver::Init(LogFn log, bool controlled) {
  // A second Init without Shutdown must not leak the first one's modules.
  ReleaseModules();
  environment_.log.store(log);
  ChooseClock(log, controlled);
  // The file name is known before the scenario, whose events may name it; it
  // is recorded for GetDriverInfo only once the dialog modules are bound.
  char path[kModulePathBuffer];
  const bool named = platform::OwnModulePath(path, sizeof path);
  const std::string fileName = named ? LastPathComponent(path, platform::PathSeparator()) : "";
  ChooseScenario(log, fileName);

  addDialogModule_ = platform::LoadModule(DialogFileName("portpick").c_str());
  if (addDialogModule_ == nullptr) return 0;
  addDialog_ =
      reinterpret_cast<AddDialogFn>(platform::FindSymbol(addDialogModule_, "portpick_dialog"));
  if (addDialog_ == nullptr) return 0;
  settingsDialogModule_ = platform::LoadModule(DialogFileName(model_.settingsModule).c_str());
  if (settingsDialogModule_ == nullptr) return 0;
  settingsDialog_ = platform::FindSymbol(settingsDialogModule_, model_.settingsEntry);
  if (settingsDialog_ == nullptr) return 0;

  if (!named) return 1;
  info_.fileName = fileName;
  return 1;
}

void Driver::ChooseClock(LogFn log, bool controlled) {
  char value[kSpeedValueBuffer];
  const std::size_t length = platform::ReadEnvironment(kSpeedVariable, value, sizeof value);
  const bool tooLong = length >= sizeof value;
  SpeedSetting setting = ParseSpeed(tooLong ? std::string() : std::string(value, length));
  if (tooLong) {
    setting.kind = SpeedSetting::Kind::kInvalid;
    setting.reason = "too long";
  }
  Runtime* runtime = &runtime_;
  SpeedSetting::Kind kind = setting.kind;
  if (kind == SpeedSetting::Kind::kEmulated) {
    clocks_.emplace_front(runtime_, setting.factor);
    runtime = &clocks_.front();
  } else if (kind == SpeedSetting::Kind::kManual && controlled) {
    if (manualOwner_ == nullptr) {
      manualOwner_ = std::make_unique<ManualRuntime>(runtime_);
      manualClock_.store(manualOwner_.get());
    }
    runtime = manualOwner_.get();
  } else if (kind != SpeedSetting::Kind::kEmulated) {
    kind = SpeedSetting::Kind::kRealTime;
  }
  environment_.runtime.store(runtime);
  clockKind_.store(kind);
  clockFactor_.store(kind == SpeedSetting::Kind::kEmulated ? setting.factor : 1.0);
  const std::string line = SpeedLogLine(setting, PrintableValue(value, tooLong), controlled);
  if (!line.empty() && log != nullptr) log("%s", line.c_str());
}

void Driver::ChooseScenario(LogFn log, const std::string& fileName) {
  environment_.scenario.store(nullptr);
  char path[kScenarioPathBuffer];
  const std::size_t length = platform::ReadEnvironment(kScenarioVariable, path, sizeof path);
  if (length == 0) return;  // unset or empty: no scenario, nothing logged
  try {
    const bool tooLong = length >= sizeof path;
    ScenarioParse parse;
    std::string text;
    if (tooLong) {
      parse.reason = "the path is too long";
    } else if (ReadScenarioFile(std::string(path, length), text, parse.reason)) {
      ScenarioContext context;
      context.driverFile = DriverFileStem(fileName);
      context.folder = FolderOf(std::string(path, length), platform::PathSeparator());
      parse = ParseScenario(text, model_, context);
    }
    const std::string line = ScenarioLogLine(parse, PrintableValue(path, tooLong));
    // A file with no event for this driver is logged, and nothing is kept.
    if (parse.ok && !parse.scenario.events.empty()) {
      parse.scenario.fileName.assign(path, length);
      scenarios_.push_front(std::move(parse.scenario));
      environment_.scenario.store(&scenarios_.front());
    }
    if (log != nullptr) log("%s", line.c_str());
  } catch (const std::bad_alloc&) {
    // Out of memory: the driver runs without a scenario.
  }
}

std::int32_t Driver::Shutdown() {
  ReleaseModules();
  return 1;
}

void Driver::GetDriverInfo(DriverInfo& out) const { out = info_; }

std::shared_ptr<EmuDevice> Driver::FindDevice(DeviceId id) {
  {
    ReadSection section;
    if (section.entered()) {
      const RegistrySnapshot::Entry* entry = snapshot_.load()->Find(id);
      return entry != nullptr ? entry->device : nullptr;
    }
  }
  LockGuard lock(registryMutex_);
  for (const auto& device : devices_) {
    if (device->id == id) return device;
  }
  return nullptr;
}

std::shared_ptr<EmuDevice> Driver::NewDevice() {
  try {
    std::shared_ptr<EmuDevice> device(new (std::nothrow) EmuDevice(environment_));
    if (device == nullptr || !device->valid()) return nullptr;
    return device;
  } catch (const std::bad_alloc&) {
    return nullptr;  // the record was freed with the failed shared_ptr
  }
}

DeviceId Driver::Register(std::shared_ptr<EmuDevice> device) {
  const RegistrySnapshot* old = nullptr;
  DeviceId id = 0;
  {
    LockGuard lock(registryMutex_);
    // Identifiers are never reused; after the last one no device is created.
    if (nextDeviceId_ == std::numeric_limits<DeviceId>::max()) return 0;
    // Everything that may throw comes before anything changes: out of memory
    // leaves the registry as it was, and the caller's record is freed with
    // its pointer.
    std::unique_ptr<RegistrySnapshot> next;
    try {
      devices_.reserve(devices_.size() + 1);
      next = SnapshotOf(devices_);
      next->entries.push_back({nextDeviceId_, device});
    } catch (const std::bad_alloc&) {
      return 0;
    }
    id = nextDeviceId_++;
    device->id = id;
    devices_.push_back(std::move(device));
    old = PublishLocked(std::move(next));
  }
  RetireSnapshot(old);
  return id;
}

std::size_t Driver::DeviceCount() {
  LockGuard lock(registryMutex_);
  return devices_.size();
}

std::vector<std::shared_ptr<EmuDevice>> Driver::Devices() {
  std::vector<std::shared_ptr<EmuDevice>> list;
  {
    // The published list, without the mutex a host's AddDevice takes.
    ReadSection section;
    if (section.entered()) {
      const RegistrySnapshot* snapshot = snapshot_.load();
      list.reserve(snapshot->entries.size());
      for (const RegistrySnapshot::Entry& entry : snapshot->entries) list.push_back(entry.device);
      return list;
    }
  }
  LockGuard lock(registryMutex_);
  return devices_;
}

// Out of memory (in a 32-bit host: of address space), adding fails like a
// cancelled dialog: result 0, nothing registered, no identifier used.
DeviceId Driver::AddDevice() {
  if (addDialog_ == nullptr) return 0;
  std::int32_t setting1 = 0;
  std::int32_t setting2 = 0;
  if (addDialog_(&setting1, &setting2, model_.addDialogModel) == 0) return 0;
  std::shared_ptr<EmuDevice> device = NewDevice();
  if (device == nullptr) return 0;
  device->commSetting1 = setting1;
  device->commSetting2 = setting2;
  return Register(std::move(device));
}

IntList Driver::ScanDevices() {
  runtime_.ShowMessageBox("No scanning for emulated devices supported.", "Failed",
                          kMbTaskModal | kMbIconInformation);
  return IntList();
}

void Driver::RemoveDevice(DeviceId id) {
  std::shared_ptr<EmuDevice> device;
  const RegistrySnapshot* old = nullptr;
  {
    LockGuard lock(registryMutex_);
    auto it = std::find_if(devices_.begin(), devices_.end(),
                           [id](const std::shared_ptr<EmuDevice>& d) { return d->id == id; });
    if (it == devices_.end()) return;
    device = *it;
    std::vector<std::shared_ptr<EmuDevice>> rest;
    rest.reserve(devices_.size() - 1);
    for (const auto& d : devices_) {
      if (d != device) rest.push_back(d);
    }
    std::unique_ptr<RegistrySnapshot> next = SnapshotOf(rest);  // may throw: nothing changed yet
    devices_.swap(rest);
    old = PublishLocked(std::move(next));
  }
  // After this no call can still be using the device through the old list.
  RetireSnapshot(old);
  SetUpdating(*device, false);
  // The record is destroyed when the last call still using it returns.
}

void Driver::ShowSettings(DeviceId id) {
  IntList ports;
  ShowSettingsWith(id, &ports);
}

void Driver::ShowSettingsWith(DeviceId id, void* portList) {
  std::shared_ptr<EmuDevice> device = FindDevice(id);
  if (device == nullptr || settingsDialog_ == nullptr) return;
  const bool hasValues = !HasNoValidValues(*device);
  // The dialog types name the contract's list; the list's layout is the host's.
  auto* ports = static_cast<IntList*>(portList);
  // The dialog edits a copy: the update thread reads interval atomically, so
  // the dialog's plain writes must not land in the record while it runs.
  std::int32_t interval = device->interval.load();
  if (model_.channelNames) {
    std::string name1, name2;
    GetChannelNames(*device, name1, name2);
    char buffer1[kChannelNameBufferSize];
    char buffer2[kChannelNameBufferSize];
    FillNameBuffer(buffer1, name1);
    FillNameBuffer(buffer2, name2);
    auto dialog = reinterpret_cast<SettingsDialogDtFn>(settingsDialog_);
    const std::int32_t result =
        dialog(info_.longName.c_str(), info_.shortName.c_str(), info_.fileName.c_str(),
               info_.versionMajor, info_.versionMinor, hasValues, device->commSetting1,
               device->commSetting2, -1, ports, buffer1, buffer2, &interval);
    device->interval.store(interval);
    if (result != 0) SetChannelNames(*device, NameFromBuffer(buffer1), NameFromBuffer(buffer2));
  } else {
    auto dialog = reinterpret_cast<SettingsDialogFn>(settingsDialog_);
    dialog(info_.longName.c_str(), info_.shortName.c_str(), info_.fileName.c_str(),
           info_.versionMajor, info_.versionMinor, hasValues, device->commSetting1,
           device->commSetting2, -1, ports, &interval);
    device->interval.store(interval);
  }
}

std::vector<ChannelDescriptor> BuildChannelDescriptors(const ModelDescription& model,
                                                       const std::string* name1,
                                                       const std::string* name2) {
  std::vector<ChannelDescriptor> list;
  list.reserve(static_cast<std::size_t>(model.valueCount));
  const int half = model.valueCount / 2;
  for (int i = 0; i < model.valueCount; ++i) {
    const ChannelRow& row = model.channels[i];
    ChannelDescriptor d;
    d.kind = row.kind;
    d.name = row.name;
    d.settable = row.settable;
    d.axisIndex = row.axisIndex;
    d.minimum = row.minimum;
    d.maximum = row.maximum;
    if (model.channelNames && name1 != nullptr && name2 != nullptr) {
      d.name = (i < half ? *name1 : *name2) + " " + d.name;
    }
    list.push_back(std::move(d));
  }
  return list;
}

std::vector<ChannelDescriptor> Driver::GetChannelDescriptors(DeviceId id) {
  if (!model_.channelNames) return BuildChannelDescriptors(model_, nullptr, nullptr);
  std::shared_ptr<EmuDevice> device = FindDevice(id);
  if (device == nullptr) return {};
  std::string name1, name2;
  GetChannelNames(*device, name1, name2);
  return BuildChannelDescriptors(model_, &name1, &name2);
}

std::vector<AxisDescriptor> Driver::GetAxisDescriptors() const {
  std::vector<AxisDescriptor> list;
  list.reserve(2);
  for (const AxisRow& row : model_.axes) {
    AxisDescriptor a;
    a.label = row.label;
    a.unit = row.unit;
    a.minimum = row.minimum;
    a.maximum = row.maximum;
    a.step = row.step;
    a.red = row.red;
    a.green = row.green;
    a.blue = row.blue;
    list.push_back(std::move(a));
  }
  return list;
}

}  // namespace orv
