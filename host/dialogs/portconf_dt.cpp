// Reference settings dialog of the two-channel driver: like portconf, plus two
// editable channel names exchanged in the driver's 16-byte buffers.
#include <cstdint>
#include <type_traits>

#include "host/dialogs/dialog_control.h"
#include "host/dialogs/dialog_state.h"
#include "host/dialogs/settings_call.h"

ORV_DIALOG_API std::int32_t portconf_dt_dialog(const char* longName, const char* shortName,
                                               const char* fileName, std::int32_t versionMajor,
                                               std::int32_t versionMinor, bool hasValues,
                                               std::int32_t commSetting1, std::int32_t commSetting2,
                                               std::int32_t minusOne, orv::dialogs::PortList* ports,
                                               char* channelName1, char* channelName2,
                                               std::int32_t* interval);

static_assert(std::is_same_v<decltype(&portconf_dt_dialog), orv::dialogs::SettingsDtFn>,
              "two-name settings-dialog call shape");

namespace {

using orv::dialogs::CopyCut;

struct Answer {
  orv::dialogs::SettingsAnswer common;
  std::int32_t setNames = 0;
  // Kept cut to 15 characters so that writing them never overruns a buffer.
  char name1[kChannelNameBufferSize] = {};
  char name2[kChannelNameBufferSize] = {};
};

orv::dialogs::DialogState<Answer, SettingsCall> state;

}  // namespace

std::int32_t portconf_dt_dialog(const char* longName, const char* shortName, const char* fileName,
                                std::int32_t versionMajor, std::int32_t versionMinor,
                                bool hasValues, std::int32_t commSetting1,
                                std::int32_t commSetting2, std::int32_t minusOne,
                                orv::dialogs::PortList* ports, char* channelName1,
                                char* channelName2, std::int32_t* interval) {
  SettingsCall call = orv::dialogs::RecordCommonArguments(
      longName, shortName, fileName, versionMajor, versionMinor, hasValues, commSetting1,
      commSetting2, minusOne, ports, interval);
  orv::dialogs::CopyNameBuffer(call.channelName1, channelName1);
  orv::dialogs::CopyNameBuffer(call.channelName2, channelName2);
  return state.Respond(call, [&](const Answer& answer) {
    orv::dialogs::ApplyInterval(answer.common, interval);
    // The buffers are edited whatever the result, as a user may type and then
    // cancel; the driver decides by the result whether to take them over.
    if (answer.setNames != 0) {
      CopyCut(channelName1, kChannelNameBufferSize, answer.name1);
      CopyCut(channelName2, kChannelNameBufferSize, answer.name2);
    }
    return answer.common.result;
  });
}

void portconf_dt_control_answer(std::int32_t result, std::int32_t setInterval,
                                std::int32_t newInterval, std::int32_t setNames, const char* name1,
                                const char* name2) {
  state.SetAnswer([&](Answer& answer) {
    answer.common = orv::dialogs::SettingsAnswer{result, setInterval, newInterval};
    answer.setNames = setNames;
    CopyCut(answer.name1, sizeof(answer.name1), name1);
    CopyCut(answer.name2, sizeof(answer.name2), name2);
  });
}

std::int32_t portconf_dt_control_calls() { return state.calls(); }
SettingsCall portconf_dt_control_last_call() { return state.last(); }
void portconf_dt_control_reset() { state.Reset(); }
