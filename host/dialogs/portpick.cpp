// Reference add-device dialog: answers with what its host last set and records
// how the driver called it.
#include <cstdint>
#include <mutex>
#include <type_traits>

#include "host/dialogs/dialog_control.h"
#include "platform/platform.h"

ORV_DIALOG_API std::int32_t portpick_dialog(std::int32_t* outSetting1, std::int32_t* outSetting2,
                                            std::int32_t model);

static_assert(std::is_same_v<decltype(&portpick_dialog), AddDialogFn>, "add-dialog call shape");

namespace {

struct Answer {
  std::int32_t result = 1;
  std::int32_t setting1 = 0;
  std::int32_t setting2 = 0;
};

// Everything below is guarded by stateMutex: the driver calls on the host's
// thread while a test may read the record from another.
orv::platform::Mutex stateMutex;
Answer answer;
std::int32_t callCount = 0;
PortpickCall lastCall{};

}  // namespace

std::int32_t portpick_dialog(std::int32_t* outSetting1, std::int32_t* outSetting2,
                             std::int32_t model) {
  std::lock_guard<orv::platform::Mutex> lock(stateMutex);
  ++callCount;
  lastCall.model = model;
  lastCall.outPointersOk = (outSetting1 != nullptr && outSetting2 != nullptr) ? 1 : 0;
  // A cancelled dialog leaves the driver's variables alone.
  if (answer.result != 0) {
    if (outSetting1 != nullptr) *outSetting1 = answer.setting1;
    if (outSetting2 != nullptr) *outSetting2 = answer.setting2;
  }
  return answer.result;
}

void portpick_control_answer(std::int32_t result, std::int32_t setting1, std::int32_t setting2) {
  std::lock_guard<orv::platform::Mutex> lock(stateMutex);
  answer = Answer{result, setting1, setting2};
}

std::int32_t portpick_control_calls() {
  std::lock_guard<orv::platform::Mutex> lock(stateMutex);
  return callCount;
}

PortpickCall portpick_control_last_call() {
  std::lock_guard<orv::platform::Mutex> lock(stateMutex);
  return lastCall;
}

// Back to the state of a freshly loaded module, default answer included.
void portpick_control_reset() {
  std::lock_guard<orv::platform::Mutex> lock(stateMutex);
  answer = Answer{};
  callCount = 0;
  lastCall = PortpickCall{};
}
