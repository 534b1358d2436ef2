#include "models/co2/co2_model.h"

#include <cmath>

#include "framework/core/values.h"

namespace orv::co2 {
namespace {

constexpr double kDeadBand = 0.1;  // the one double-precision constant
constexpr float kRiseStep = 0.1f;
constexpr float kFallStep = -0.05f;
constexpr float kDecayStep = 0.05f;
constexpr float kLowerBound = 0.1f;
constexpr float kUpperBound = 10.0f;

constexpr float kFallback[4] = {5.0f, 5.0f, 1.0f, 1.0f};

}  // namespace

void Co2Loop(float* values) {
  float& co2 = values[0];
  const float nominal = values[1];
  const float regulator = values[2];
  if (regulator != 0.0f) {
    const float difference = co2 - nominal;
    // Compared in double precision: a single-precision difference of 0.1 lies
    // just above the double 0.1 and moves the value.
    if (std::fabs(static_cast<double>(difference)) > kDeadBand) {
      co2 = nominal > co2 ? co2 + kRiseStep : co2 + kFallStep;
    }
    ClampValue(co2, kLowerBound, kUpperBound);
  } else if (co2 > kLowerBound) {
    co2 = co2 - kDecayStep;
  }
  ClampValue(co2, kLowerBound, kUpperBound);
}

void Step(float* values, Rng& /*rng*/) {
  for (int i = 0; i < 4; ++i) {
    if (IsInvalid(values[i])) values[i] = kFallback[i];
  }
  Co2Loop(values);
}

const ModelDescription kModel = {
    .longName = "CO2-Controller EMU",
    .shortName = "CO2-Ctrl EMU",
    .versionMajor = 1,
    .versionMinor = 2,
    .addDialogModel = 4,
    .settingsModule = "portconf",
    .settingsEntry = "portconf_dialog",
    .channelNames = false,
    .valueCount = 4,
    .channels =
        {
            kLoopChannels[0],
            kLoopChannels[1],
            kLoopChannels[2],
            {.kind = kKindLevel,
             .name = "Pump Level",
             .settable = 1,
             .axisIndex = 0,
             .minimum = 0.0f,
             .maximum = 5.0f},
        },
    .axes = {kLevelAxis, kCo2Axis},
    .setKinds = {SetKind::kNotStored, SetKind::kPlain, SetKind::kSwitch, SetKind::kLevel},
    .defaultConfigs =
        {
            kLoopConfigs[0],
            kLoopConfigs[1],
            kLoopConfigs[2],
            {.shown = 0, .pad = {}, .red = 0.0f, .green = 0.0f, .blue = 0.0f},
        },
    .step = &Step,
};

}  // namespace orv::co2
