#include "models/climate/climate_model.h"

#include "framework/core/values.h"
#include "models/co2/co2_model.h"

namespace orv::climate {
namespace {

constexpr float kHeatingThreshold = 2.0f;
constexpr int kOverheatDivisor = 60;
constexpr int kClearingDivisor = 30;

constexpr float kFallback[6] = {5.0f, 5.0f, 1.0f, 1.0f, 1.0f, 0.0f};

}  // namespace

void StepOverheat(float heatingLevel, float& overheat, int r) {
  if (heatingLevel > kHeatingThreshold) {
    if (r % kOverheatDivisor == 0) overheat = 1.0f;
  } else if (r % kClearingDivisor == 0) {
    overheat = 0.0f;
  }
}

void Step(float* values, Rng& rng) {
  for (int i = 0; i < 6; ++i) {
    if (IsInvalid(values[i])) values[i] = kFallback[i];
  }
  co2::Co2Loop(values);
  StepOverheat(values[4], values[5], rng.Next());
}

const ModelDescription kModel = {
    .longName = "VKA-Controller 5100 digital EMU",
    .shortName = "VKA-Ctrl EMU",
    .versionMajor = 1,
    .versionMinor = 1,
    .addDialogModel = 2,
    .settingsModule = "portconf",
    .settingsEntry = "portconf_dialog",
    .channelNames = false,
    .valueCount = 6,
    .channels =
        {
            co2::kLoopChannels[0],
            co2::kLoopChannels[1],
            co2::kLoopChannels[2],
            {.kind = kKindLevel,
             .name = "Ventilation Level",
             .settable = 1,
             .axisIndex = 0,
             .minimum = 1.0f,
             .maximum = 5.0f},
            {.kind = kKindLevel,
             .name = "Heating Level",
             .settable = 1,
             .axisIndex = 0,
             .minimum = 1.0f,
             .maximum = 3.0f},
            {.kind = kKindAlarm,
             .name = "Overheat",
             .settable = 0,
             .axisIndex = 0,
             .minimum = 0.0f,
             .maximum = 1.0f},
        },
    .axes = {co2::kLevelAxis, co2::kCo2Axis},
    .setKinds = {SetKind::kNotStored, SetKind::kPlain, SetKind::kSwitch, SetKind::kLevel,
                 SetKind::kLevel, SetKind::kNotStored},
    .defaultConfigs =
        {
            co2::kLoopConfigs[0],
            co2::kLoopConfigs[1],
            co2::kLoopConfigs[2],
            {.shown = 0, .pad = {}, .red = 0.5f, .green = 0.5f, .blue = 0.5f},
            {.shown = 0, .pad = {}, .red = 0.0f, .green = 0.0f, .blue = 0.0f},
            {.shown = 0, .pad = {}, .red = 1.0f, .green = 0.5f, .blue = 0.0f},
        },
    .step = &Step,
};

}  // namespace orv::climate
