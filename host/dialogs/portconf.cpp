// Reference settings dialog of the single-name drivers: answers with what its
// host last set and records how the driver called it.
#include <cstdint>
#include <type_traits>

#include "host/dialogs/dialog_control.h"
#include "host/dialogs/dialog_state.h"
#include "host/dialogs/settings_call.h"

ORV_DIALOG_API std::int32_t portconf_dialog(const char* longName, const char* shortName,
                                            const char* fileName, std::int32_t versionMajor,
                                            std::int32_t versionMinor, bool hasValues,
                                            std::int32_t commSetting1, std::int32_t commSetting2,
                                            std::int32_t minusOne, orv::dialogs::PortList* ports,
                                            std::int32_t* interval);

static_assert(std::is_same_v<decltype(&portconf_dialog), orv::dialogs::SettingsFn>,
              "settings-dialog call shape");

namespace {

using orv::dialogs::SettingsAnswer;

orv::dialogs::DialogState<SettingsAnswer, SettingsCall> state;

}  // namespace

std::int32_t portconf_dialog(const char* longName, const char* shortName, const char* fileName,
                             std::int32_t versionMajor, std::int32_t versionMinor, bool hasValues,
                             std::int32_t commSetting1, std::int32_t commSetting2,
                             std::int32_t minusOne, orv::dialogs::PortList* ports,
                             std::int32_t* interval) {
  const SettingsCall call = orv::dialogs::RecordCommonArguments(
      longName, shortName, fileName, versionMajor, versionMinor, hasValues, commSetting1,
      commSetting2, minusOne, ports, interval);
  return state.Respond(call, [&](const SettingsAnswer& answer) {
    orv::dialogs::ApplyInterval(answer, interval);
    return answer.result;
  });
}

void portconf_control_answer(std::int32_t result, std::int32_t setInterval,
                             std::int32_t newInterval) {
  state.SetAnswer([&](SettingsAnswer& answer) {
    answer = SettingsAnswer{result, setInterval, newInterval};
  });
}

std::int32_t portconf_control_calls() { return state.calls(); }
SettingsCall portconf_control_last_call() { return state.last(); }
void portconf_control_reset() { state.Reset(); }
