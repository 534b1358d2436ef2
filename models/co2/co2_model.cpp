#include "models/co2/co2_model.h"

#include <cmath>

#include "framework/values.h"

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

// 0.63 and 0.78 as the nearest floats (0x3F2147AE, 0x3F47AE14).
const ModelDescription kModel = {
    "CO2-Controller EMU",
    "CO2-Ctrl EMU",
    1,
    2,
    4,
    "portconf",
    "portconf_dialog",
    false,
    4,
    {
        {kKindQuantity, "CO2", 0, 1, 0.0f, 10.0f},
        {kKindQuantity, "CO2 Nominal", 1, 1, 0.0f, 10.0f},
        {kKindSwitch, "CO2 Regulator", 1, 0, 0.0f, 1.0f},
        {kKindLevel, "Pump Level", 1, 0, 0.0f, 5.0f},
    },
    {
        {"Lvl", "", 0.0, 5.0, 1.0, 0.0f, 0.0f, 0.0f},
        {"CO2", "[%]", 0.0, 10.0, 1.0, 0.0f, 0.0f, 1.0f},
    },
    {SetKind::kNotStored, SetKind::kPlain, SetKind::kSwitch, SetKind::kLevel},
    {
        {1, {}, 0.0f, 0.0f, 1.0f},
        {0, {}, 0.63f, 0.63f, 1.0f},
        {0, {}, 0.0f, 0.0f, 0.78f},
        {0, {}, 0.0f, 0.0f, 0.0f},
    },
    &Step,
};

}  // namespace orv::co2
