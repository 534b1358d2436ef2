#include "models/climate/climate_model.h"

#include "framework/values.h"
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
    "VKA-Controller 5100 digital EMU",
    "VKA-Ctrl EMU",
    1,
    1,
    2,
    "portconf",
    "portconf_dialog",
    false,
    6,
    {
        {kKindQuantity, "CO2", 0, 1, 0.0f, 10.0f},
        {kKindQuantity, "CO2 Nominal", 1, 1, 0.0f, 10.0f},
        {kKindSwitch, "CO2 Regulator", 1, 0, 0.0f, 1.0f},
        {kKindLevel, "Ventilation Level", 1, 0, 1.0f, 5.0f},
        {kKindLevel, "Heating Level", 1, 0, 1.0f, 3.0f},
        {kKindAlarm, "Overheat", 0, 0, 0.0f, 1.0f},
    },
    {
        {"Lvl", "", 0.0, 5.0, 1.0, 0.0f, 0.0f, 0.0f},
        {"CO2", "[%]", 0.0, 10.0, 1.0, 0.0f, 0.0f, 1.0f},
    },
    {SetKind::kNotStored, SetKind::kPlain, SetKind::kSwitch, SetKind::kLevel, SetKind::kLevel,
     SetKind::kNotStored},
    {
        {1, {}, 0.0f, 0.0f, 1.0f},
        {0, {}, 0.63f, 0.63f, 1.0f},
        {0, {}, 0.0f, 0.0f, 0.78f},
        {0, {}, 0.5f, 0.5f, 0.5f},
        {0, {}, 0.0f, 0.0f, 0.0f},
        {0, {}, 1.0f, 0.5f, 0.0f},
    },
    &Step,
};

}  // namespace orv::climate
