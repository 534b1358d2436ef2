#include "models/twotemp/twotemp_model.h"

#include "framework/core/values.h"

namespace orv::twotemp {
namespace {

constexpr float kAmbient = 19.0f;
constexpr float kHeatStep = 0.1f;
constexpr float kOvershootStep = -0.05f;
constexpr float kCoolStep = 0.05f;
constexpr float kLowerBound = 10.0f;
constexpr float kUpperBound = 60.0f;

constexpr float kFallback[6] = {37.0f, 37.0f, 1.0f, 37.0f, 37.0f, 1.0f};

}  // namespace

void StepChannel(float& actual, float nominal, float heating) {
  if (heating != 0.0f) {
    actual = nominal > actual ? actual + kHeatStep : actual + kOvershootStep;
    ClampValue(actual, kAmbient, kUpperBound);
  } else if (actual > kAmbient) {
    actual = actual - kCoolStep;
  }
  ClampValue(actual, kLowerBound, kUpperBound);
}

void Step(float* values, Rng& /*rng*/) {
  for (int i = 0; i < 6; ++i) {
    if (IsInvalid(values[i])) values[i] = kFallback[i];
  }
  StepChannel(values[0], values[1], values[2]);
  StepChannel(values[3], values[4], values[5]);
}

// 0.63 and 0.78 as the nearest floats (0x3F2147AE, 0x3F47AE14).
const ModelDescription kModel = {
    .longName = "Heatrix 52-4 digital EMU",
    .shortName = "HX52-4d EMU",
    .versionMajor = 1,
    .versionMinor = 1,
    .addDialogModel = 3,
    .settingsModule = "portconf_dt",
    .settingsEntry = "portconf_dt_dialog",
    .channelNames = true,
    .valueCount = 6,
    .channels =
        {
            {.kind = kKindQuantity,
             .name = "Temp",
             .settable = 0,
             .axisIndex = 1,
             .minimum = 10.0f,
             .maximum = 60.0f},
            {.kind = kKindQuantity,
             .name = "Nominal",
             .settable = 1,
             .axisIndex = 1,
             .minimum = 10.0f,
             .maximum = 60.0f},
            {.kind = kKindSwitch,
             .name = "Heating",
             .settable = 1,
             .axisIndex = 0,
             .minimum = 0.0f,
             .maximum = 1.0f},
            {.kind = kKindQuantity,
             .name = "Temp",
             .settable = 0,
             .axisIndex = 1,
             .minimum = 10.0f,
             .maximum = 60.0f},
            {.kind = kKindQuantity,
             .name = "Nominal",
             .settable = 1,
             .axisIndex = 1,
             .minimum = 10.0f,
             .maximum = 60.0f},
            {.kind = kKindSwitch,
             .name = "Heating",
             .settable = 1,
             .axisIndex = 0,
             .minimum = 0.0f,
             .maximum = 1.0f},
        },
    .axes =
        {
            {.label = "Lvl",
             .unit = "",
             .minimum = 0.0,
             .maximum = 5.0,
             .step = 1.0,
             .red = 0.0f,
             .green = 0.0f,
             .blue = 0.0f},
            {.label = "Tmp",
             .unit = "[\260C]",
             .minimum = 10.0,
             .maximum = 60.0,
             .step = 5.0,
             .red = 1.0f,
             .green = 0.0f,
             .blue = 0.0f},  // degree sign 0xB0
        },
    .setKinds = {SetKind::kNotStored, SetKind::kPlain, SetKind::kSwitch, SetKind::kNotStored,
                 SetKind::kPlain, SetKind::kSwitch},
    .defaultConfigs =
        {
            {.shown = 1, .pad = {}, .red = 1.0f, .green = 0.0f, .blue = 0.0f},
            {.shown = 0, .pad = {}, .red = 1.0f, .green = 0.63f, .blue = 0.63f},
            {.shown = 0, .pad = {}, .red = 0.78f, .green = 0.0f, .blue = 0.0f},
            {.shown = 1, .pad = {}, .red = 0.0f, .green = 1.0f, .blue = 0.0f},
            {.shown = 0, .pad = {}, .red = 0.63f, .green = 1.0f, .blue = 0.63f},
            {.shown = 0, .pad = {}, .red = 0.0f, .green = 0.78f, .blue = 0.0f},
        },
    .step = &Step,
};

}  // namespace orv::twotemp
