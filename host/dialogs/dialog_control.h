// Control interface of the reference dialog modules.
//
// A dialog belongs to its host: the reference modules take their answers from
// the host that loaded them (the reference host, or a test) and record how the
// driver called them. Each module exports its dialog entry point plus the
// functions below, all with C linkage. Answers are sticky: they apply to every
// later call until set again. State is process-wide and guarded, so a test may
// read it from any thread.
#ifndef ORV_HOST_DIALOG_CONTROL_H
#define ORV_HOST_DIALOG_CONTROL_H

#include <cstdint>

#include "orv/driver_api.h"

#if defined(_WIN32)
#define ORV_DIALOG_API extern "C" __declspec(dllexport)
#else
#define ORV_DIALOG_API extern "C" __attribute__((visibility("default")))
#endif

// ---- portpick: add-device dialog -------------------------------------------

struct PortpickCall {
  std::int32_t model;          // third argument
  std::int32_t outPointersOk;  // 1 when both output pointers were non-null
};

// Next answers: result, and the two settings written when result != 0.
ORV_DIALOG_API void portpick_control_answer(std::int32_t result, std::int32_t setting1,
                                            std::int32_t setting2);
// Number of calls since load or the last reset, and the arguments of the last.
ORV_DIALOG_API std::int32_t portpick_control_calls();
ORV_DIALOG_API PortpickCall portpick_control_last_call();
ORV_DIALOG_API void portpick_control_reset();

// ---- portconf / portconf_dt: settings dialogs --------------------------------

// What the last settings-dialog call received. Strings are copied (cut to
// 255 characters); the channel names are those found in the buffers on entry.
struct SettingsCall {
  char longName[256];
  char shortName[256];
  char fileName[256];
  std::int32_t versionMajor;
  std::int32_t versionMinor;
  std::int32_t hasValues;
  std::int32_t commSetting1;
  std::int32_t commSetting2;
  std::int32_t minusOne;
  std::int32_t listWasEmpty;  // 1 when the list pointer was non-null and empty
  std::int32_t intervalOnEntry;
  char channelName1[kChannelNameBufferSize];  // portconf_dt only
  char channelName2[kChannelNameBufferSize];  // portconf_dt only
};

// Next answers. newInterval is written through the interval pointer when
// setInterval is nonzero. portconf_dt additionally copies the given names
// (cut to 15 characters) into its buffers when setNames is nonzero, whatever
// it returns.
ORV_DIALOG_API void portconf_control_answer(std::int32_t result, std::int32_t setInterval,
                                            std::int32_t newInterval);
ORV_DIALOG_API std::int32_t portconf_control_calls();
ORV_DIALOG_API SettingsCall portconf_control_last_call();
ORV_DIALOG_API void portconf_control_reset();

ORV_DIALOG_API void portconf_dt_control_answer(std::int32_t result, std::int32_t setInterval,
                                               std::int32_t newInterval, std::int32_t setNames,
                                               const char* name1, const char* name2);
ORV_DIALOG_API std::int32_t portconf_dt_control_calls();
ORV_DIALOG_API SettingsCall portconf_dt_control_last_call();
ORV_DIALOG_API void portconf_dt_control_reset();

#endif  // ORV_HOST_DIALOG_CONTROL_H
