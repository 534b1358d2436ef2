// The climate controller: the CO2 loop, ventilation and heating levels, and a
// random overheat indication.
#ifndef ORV_MODELS_CLIMATE_CLIMATE_MODEL_H
#define ORV_MODELS_CLIMATE_CLIMATE_MODEL_H

#include "framework/core/model.h"

namespace orv::climate {

// The overheat indication for one draw r: set at a heating level above 2.0
// when r is a multiple of 60, cleared at or below 2.0 when a multiple of 30.
void StepOverheat(float heatingLevel, float& overheat, int r);

// Fallbacks, the CO2 loop, then exactly one draw for the overheat indication.
void Step(float* values, Rng& rng);

extern const ModelDescription kModel;

}  // namespace orv::climate

#endif  // ORV_MODELS_CLIMATE_CLIMATE_MODEL_H
