// The three reference dialog modules as the host holds them: loaded from a
// folder before the plug-in, so that the plug-in's load by plain file name
// finds them already in the process, and answered through their controls.
#ifndef ORV_HOST_REFHOST_DIALOG_MODULES_H
#define ORV_HOST_REFHOST_DIALOG_MODULES_H

#include <cstdint>
#include <string>

#include "host/dialogs/dialog_control.h"
#include "platform/platform.h"

namespace orv::refhost {

class DialogModules {
 public:
  DialogModules() = default;
  ~DialogModules() { Free(); }
  DialogModules(const DialogModules&) = delete;
  DialogModules& operator=(const DialogModules&) = delete;

  // Loads portpick, portconf and portconf_dt from folder and resolves their
  // controls; false with error set when one is missing.
  bool Load(const std::string& folder, std::string& error);
  // Releases the modules; call only after the plug-in has been freed.
  void Free();

  // The add dialog confirms with these two connection settings.
  void AnswerAddDevice(std::int32_t setting1, std::int32_t setting2);
  // The settings dialogs confirm, writing the interval when setInterval and
  // the channel names when names is non-null (two-name dialog only).
  void AnswerSettings(bool setInterval, std::int32_t interval, const std::string* name1,
                      const std::string* name2);
  // Calls of the two-name settings dialog so far.
  std::int32_t TwoNameSettingsCalls() const;
  // What the last call of either settings dialog received.
  SettingsCall LastSettingsCall(bool twoNames) const;

 private:
  platform::ModuleHandle portpick_ = nullptr;
  platform::ModuleHandle portconf_ = nullptr;
  platform::ModuleHandle portconfDt_ = nullptr;
  decltype(&portpick_control_answer) portpickAnswer_ = nullptr;
  decltype(&portconf_control_answer) portconfAnswer_ = nullptr;
  decltype(&portconf_dt_control_answer) portconfDtAnswer_ = nullptr;
  decltype(&portconf_dt_control_calls) portconfDtCalls_ = nullptr;
  decltype(&portconf_control_last_call) portconfLast_ = nullptr;
  decltype(&portconf_dt_control_last_call) portconfDtLast_ = nullptr;
};

}  // namespace orv::refhost

#endif  // ORV_HOST_REFHOST_DIALOG_MODULES_H
