// Reference settings dialog of the single-name drivers: answers with what its
// host last set and records how the driver called it.
#include <cstdint>
#include <mutex>
#include <type_traits>

#include "host/dialogs/dialog_control.h"
#include "host/dialogs/settings_call.h"
#include "platform/platform.h"

ORV_DIALOG_API std::int32_t portconf_dialog(const char* longName, const char* shortName,
                                            const char* fileName, std::int32_t versionMajor,
                                            std::int32_t versionMinor, bool hasValues,
                                            std::int32_t commSetting1, std::int32_t commSetting2,
                                            std::int32_t minusOne, IntList* ports,
                                            std::int32_t* interval);

static_assert(std::is_same_v<decltype(&portconf_dialog), SettingsDialogFn>,
              "settings-dialog call shape");

namespace {

using orv::dialogs::SettingsAnswer;

// Everything below is guarded by stateMutex.
orv::platform::Mutex stateMutex;
SettingsAnswer answer;
std::int32_t callCount = 0;
SettingsCall lastCall{};

}  // namespace

std::int32_t portconf_dialog(const char* longName, const char* shortName, const char* fileName,
                             std::int32_t versionMajor, std::int32_t versionMinor, bool hasValues,
                             std::int32_t commSetting1, std::int32_t commSetting2,
                             std::int32_t minusOne, IntList* ports, std::int32_t* interval) {
  std::lock_guard<orv::platform::Mutex> lock(stateMutex);
  ++callCount;
  lastCall = orv::dialogs::RecordCommonArguments(longName, shortName, fileName, versionMajor,
                                                 versionMinor, hasValues, commSetting1,
                                                 commSetting2, minusOne, ports, interval);
  orv::dialogs::ApplyInterval(answer, interval);
  return answer.result;
}

void portconf_control_answer(std::int32_t result, std::int32_t setInterval,
                             std::int32_t newInterval) {
  std::lock_guard<orv::platform::Mutex> lock(stateMutex);
  answer = SettingsAnswer{result, setInterval, newInterval};
}

std::int32_t portconf_control_calls() {
  std::lock_guard<orv::platform::Mutex> lock(stateMutex);
  return callCount;
}

SettingsCall portconf_control_last_call() {
  std::lock_guard<orv::platform::Mutex> lock(stateMutex);
  return lastCall;
}

// Back to the state of a freshly loaded module, default answer included.
void portconf_control_reset() {
  std::lock_guard<orv::platform::Mutex> lock(stateMutex);
  answer = SettingsAnswer{};
  callCount = 0;
  lastCall = SettingsCall{};
}
