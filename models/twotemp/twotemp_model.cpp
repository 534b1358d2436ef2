#include "models/twotemp/twotemp_model.h"

#include "framework/values.h"

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
    "Heatrix 52-4 digital EMU",
    "HX52-4d EMU",
    1,
    1,
    3,
    "portconf_dt",
    "portconf_dt_dialog",
    true,
    6,
    {
        {kKindQuantity, "Temp", 0, 1, 10.0f, 60.0f},
        {kKindQuantity, "Nominal", 1, 1, 10.0f, 60.0f},
        {kKindSwitch, "Heating", 1, 0, 0.0f, 1.0f},
        {kKindQuantity, "Temp", 0, 1, 10.0f, 60.0f},
        {kKindQuantity, "Nominal", 1, 1, 10.0f, 60.0f},
        {kKindSwitch, "Heating", 1, 0, 0.0f, 1.0f},
    },
    {
        {"Lvl", "", 0.0, 5.0, 1.0, 0.0f, 0.0f, 0.0f},
        {"Tmp", "[\260C]", 10.0, 60.0, 5.0, 1.0f, 0.0f, 0.0f},  // degree sign 0xB0
    },
    {SetKind::kNotStored, SetKind::kPlain, SetKind::kSwitch, SetKind::kNotStored, SetKind::kPlain,
     SetKind::kSwitch},
    {
        {1, {}, 1.0f, 0.0f, 0.0f},
        {0, {}, 1.0f, 0.63f, 0.63f},
        {0, {}, 0.78f, 0.0f, 0.0f},
        {1, {}, 0.0f, 1.0f, 0.0f},
        {0, {}, 0.63f, 1.0f, 0.63f},
        {0, {}, 0.0f, 0.78f, 0.0f},
    },
    &Step,
};

}  // namespace orv::twotemp
