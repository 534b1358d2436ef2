#include "host/refhost/plugin_module.h"

#include <filesystem>
#include <system_error>
#include <utility>

namespace orv::refhost {
namespace {

// The first empty slot's name, or null when all 26 are filled.
const char* FirstEmptySlot(const DriverFunctionTable& t) {
  const std::pair<const char*, bool> slots[] = {
      {"Init", t.Init != nullptr},
      {"Shutdown", t.Shutdown != nullptr},
      {"GetDriverInfo", t.GetDriverInfo != nullptr},
      {"AddDevice", t.AddDevice != nullptr},
      {"ScanDevices", t.ScanDevices != nullptr},
      {"RestoreDevice", t.RestoreDevice != nullptr},
      {"SaveDevice", t.SaveDevice != nullptr},
      {"RemoveDevice", t.RemoveDevice != nullptr},
      {"SetUpdating", t.SetUpdating != nullptr},
      {"IsUpdating", t.IsUpdating != nullptr},
      {"SetValue", t.SetValue != nullptr},
      {"GetValue", t.GetValue != nullptr},
      {"HasNoValidValues", t.HasNoValidValues != nullptr},
      {"ShowSettings", t.ShowSettings != nullptr},
      {"CheckDevice", t.CheckDevice != nullptr},
      {"SetRecording", t.SetRecording != nullptr},
      {"IsRecording", t.IsRecording != nullptr},
      {"HasHistory", t.HasHistory != nullptr},
      {"ClearHistory", t.ClearHistory != nullptr},
      {"GetHistoryDuration", t.GetHistoryDuration != nullptr},
      {"GetSampleAt", t.GetSampleAt != nullptr},
      {"ExportHistory", t.ExportHistory != nullptr},
      {"GetChannelDescriptors", t.GetChannelDescriptors != nullptr},
      {"GetAxisDescriptors", t.GetAxisDescriptors != nullptr},
      {"SetChannelConfig", t.SetChannelConfig != nullptr},
      {"GetChannelConfig", t.GetChannelConfig != nullptr},
  };
  static_assert(sizeof(slots) / sizeof(slots[0]) == 26, "every slot is checked");
  for (const auto& [name, filled] : slots) {
    if (!filled) return name;
  }
  return nullptr;
}

}  // namespace

bool PluginModule::Load(const std::string& path, std::string& error) {
  // A full path, so the loader takes this file and does not search for it.
  std::error_code ignored;
  const std::filesystem::path fullPath = std::filesystem::absolute(path, ignored);
  if (!std::filesystem::is_regular_file(fullPath, ignored)) {
    error = "plug-in not found: " + path;
    return false;
  }
  module_ = platform::LoadModule(fullPath.string().c_str());
  if (module_ == nullptr) {
    error = "cannot load plug-in " + fullPath.string();
    return false;
  }
  const auto getApi = reinterpret_cast<GetOrvDeviceDriverAPIFn>(
      platform::FindSymbol(module_, "GetOrvDeviceDriverAPI"));
  if (getApi == nullptr) {
    error = fullPath.string() + " does not export GetOrvDeviceDriverAPI";
    return false;
  }
  table_ = DriverFunctionTable{};
  getApi(&table_);
  if (const char* empty = FirstEmptySlot(table_)) {
    error = fullPath.string() + " leaves the table slot " + empty + " empty";
    return false;
  }
  return true;
}

void PluginModule::Free() {
  table_ = DriverFunctionTable{};
  platform::UnloadModule(module_);
  module_ = nullptr;
}

}  // namespace orv::refhost
