#include "host/refhost/dialog_modules.h"

#include <filesystem>

namespace orv::refhost {
namespace {

platform::ModuleHandle LoadFrom(const std::string& folder, const char* baseName,
                                std::string& error) {
  const std::filesystem::path path =
      std::filesystem::path(folder) / (std::string(baseName) + platform::ModuleSuffix());
  platform::ModuleHandle module = platform::LoadModule(path.string().c_str());
  if (module == nullptr) error = "cannot load dialog module " + path.string();
  return module;
}

template <typename Fn>
bool Resolve(platform::ModuleHandle module, const char* name, Fn& out, std::string& error) {
  out = reinterpret_cast<Fn>(platform::FindSymbol(module, name));
  if (out == nullptr) error = std::string("dialog module lacks ") + name;
  return out != nullptr;
}

}  // namespace

bool DialogModules::Load(const std::string& folder, std::string& error) {
  portpick_ = LoadFrom(folder, "portpick", error);
  if (portpick_ == nullptr) return false;
  portconf_ = LoadFrom(folder, "portconf", error);
  if (portconf_ == nullptr) return false;
  portconfDt_ = LoadFrom(folder, "portconf_dt", error);
  if (portconfDt_ == nullptr) return false;
  return Resolve(portpick_, "portpick_control_answer", portpickAnswer_, error) &&
         Resolve(portconf_, "portconf_control_answer", portconfAnswer_, error) &&
         Resolve(portconfDt_, "portconf_dt_control_answer", portconfDtAnswer_, error) &&
         Resolve(portconfDt_, "portconf_dt_control_calls", portconfDtCalls_, error) &&
         Resolve(portconf_, "portconf_control_last_call", portconfLast_, error) &&
         Resolve(portconfDt_, "portconf_dt_control_last_call", portconfDtLast_, error);
}

void DialogModules::Free() {
  portpickAnswer_ = nullptr;
  portconfAnswer_ = nullptr;
  portconfDtAnswer_ = nullptr;
  portconfDtCalls_ = nullptr;
  portconfLast_ = nullptr;
  portconfDtLast_ = nullptr;
  for (platform::ModuleHandle* module : {&portconfDt_, &portconf_, &portpick_}) {
    platform::UnloadModule(*module);
    *module = nullptr;
  }
}

void DialogModules::AnswerAddDevice(std::int32_t setting1, std::int32_t setting2) {
  if (portpickAnswer_ != nullptr) portpickAnswer_(1, setting1, setting2);
}

void DialogModules::AnswerSettings(bool setInterval, std::int32_t interval,
                                   const std::string* name1, const std::string* name2) {
  if (portconfAnswer_ != nullptr) portconfAnswer_(1, setInterval ? 1 : 0, interval);
  if (portconfDtAnswer_ != nullptr) {
    const bool setNames = name1 != nullptr && name2 != nullptr;
    portconfDtAnswer_(1, setInterval ? 1 : 0, interval, setNames ? 1 : 0,
                      setNames ? name1->c_str() : "", setNames ? name2->c_str() : "");
  }
}

std::int32_t DialogModules::TwoNameSettingsCalls() const {
  return portconfDtCalls_ != nullptr ? portconfDtCalls_() : 0;
}

SettingsCall DialogModules::LastSettingsCall(bool twoNames) const {
  if (twoNames) return portconfDtLast_ != nullptr ? portconfDtLast_() : SettingsCall{};
  return portconfLast_ != nullptr ? portconfLast_() : SettingsCall{};
}

}  // namespace orv::refhost
