// Reference add-device dialog: answers with what its host last set and records
// how the driver called it.
#include <cstdint>
#include <type_traits>

#include "host/dialogs/dialog_control.h"
#include "host/dialogs/dialog_state.h"

ORV_DIALOG_API std::int32_t portpick_dialog(std::int32_t* outSetting1, std::int32_t* outSetting2,
                                            std::int32_t model);

static_assert(std::is_same_v<decltype(&portpick_dialog), AddDialogFn>, "add-dialog call shape");

namespace {

struct Answer {
  std::int32_t result = 1;
  std::int32_t setting1 = 0;
  std::int32_t setting2 = 0;
};

orv::dialogs::DialogState<Answer, PortpickCall> state;

}  // namespace

std::int32_t portpick_dialog(std::int32_t* outSetting1, std::int32_t* outSetting2,
                             std::int32_t model) {
  PortpickCall call{};
  call.model = model;
  call.outPointersOk = (outSetting1 != nullptr && outSetting2 != nullptr) ? 1 : 0;
  return state.Respond(call, [&](const Answer& answer) {
    // A cancelled dialog leaves the driver's variables alone.
    if (answer.result != 0) {
      if (outSetting1 != nullptr) *outSetting1 = answer.setting1;
      if (outSetting2 != nullptr) *outSetting2 = answer.setting2;
    }
    return answer.result;
  });
}

void portpick_control_answer(std::int32_t result, std::int32_t setting1, std::int32_t setting2) {
  state.SetAnswer([&](Answer& answer) { answer = Answer{result, setting1, setting2}; });
}

std::int32_t portpick_control_calls() { return state.calls(); }
PortpickCall portpick_control_last_call() { return state.last(); }
void portpick_control_reset() { state.Reset(); }
