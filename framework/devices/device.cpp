#include "framework/devices/device.h"

#include <cstring>

#include "framework/core/lock.h"
#include "framework/core/values.h"
#include "framework/devices/update_thread.h"

namespace orv {

EmuDevice::EmuDevice(DeviceEnvironment& env) : environment(env), history(env.model->valueCount) {
  const ModelDescription& model = *env.model;
  std::memcpy(channelConfigs, model.defaultConfigs, sizeof channelConfigs);
  for (float& v : live.values) v = MakeInvalid();
}

EmuDevice::~EmuDevice() { SetUpdating(*this, false); }

bool EmuDevice::valid() const {
  return valueMutex.valid() && history.historyMutex.valid() && settingsMutex.valid() &&
         controlMutex.valid() && stopEvent.valid();
}

float StoredValue(SetKind kind, float value, float current) {
  switch (kind) {
    case SetKind::kPlain:
      return value;
    case SetKind::kSwitch:
      return value == 0.0f ? 0.0f : 1.0f;
    case SetKind::kLevel:
      return static_cast<float>(RoundToInt(value));
    case SetKind::kNotStored:
      break;
  }
  return current;
}

void SetValue(EmuDevice& device, std::int32_t index, float value) {
  if (index < 0 || index >= device.valueCount()) return;
  const SetKind kind = device.environment.model->setKinds[index];
  LockGuard lock(device.valueMutex);
  device.live.values[index] = StoredValue(kind, value, device.live.values[index]);
  device.pending[index] = true;
}

float GetValue(EmuDevice& device, std::int32_t index) {
  if (index < 0 || index >= device.valueCount()) return MakeInvalid();
  LockGuard lock(device.valueMutex);
  return device.live.values[index];
}

bool HasNoValidValues(EmuDevice& device) {
  LockGuard lock(device.valueMutex);
  for (int i = 0; i < device.valueCount(); ++i) {
    if (!IsInvalid(device.live.values[i])) return false;
  }
  return true;
}

void SetRecording(EmuDevice& device, bool on) {
  if (on && !device.recording.load()) ClearHistory(device.history);
  device.recording.store(on);
}

void SetChannelConfig(EmuDevice& device, std::int32_t index, const ChannelConfig* config) {
  if (config == nullptr || index < 0 || index >= device.valueCount()) return;
  ChannelConfig copy;
  std::memcpy(&copy, config, sizeof copy);
  LockGuard lock(device.settingsMutex);
  std::memcpy(&device.channelConfigs[index], &copy, sizeof copy);
}

ChannelConfig GetChannelConfig(EmuDevice& device, std::int32_t index) {
  ChannelConfig copy;
  std::memset(&copy, 0, sizeof copy);
  if (index < 0 || index >= device.valueCount()) return copy;
  LockGuard lock(device.settingsMutex);
  std::memcpy(&copy, &device.channelConfigs[index], sizeof copy);
  return copy;
}

void GetChannelNames(EmuDevice& device, std::string& name1, std::string& name2) {
  LockGuard lock(device.settingsMutex);
  name1 = device.channelName1;
  name2 = device.channelName2;
}

void SetChannelNames(EmuDevice& device, const std::string& name1, const std::string& name2) {
  std::string first = name1;
  std::string second = name2;
  LockGuard lock(device.settingsMutex);
  device.channelName1.swap(first);
  device.channelName2.swap(second);
}

}  // namespace orv
