// The single-loop CO2 controller: values CO2, CO2 nominal, CO2 regulator,
// pump level.
#ifndef ORV_MODELS_CO2_CO2_MODEL_H
#define ORV_MODELS_CO2_CO2_MODEL_H

#include "framework/model.h"

namespace orv::co2 {

// The CO2 loop on values[0] (actual), values[1] (nominal), values[2]
// (regulator), all already valid. Shared with the climate controller.
void Co2Loop(float* values);

// Fallbacks, then the CO2 loop; the pump level is carried along.
void Step(float* values, Rng& rng);

extern const ModelDescription kModel;

}  // namespace orv::co2

#endif  // ORV_MODELS_CO2_CO2_MODEL_H
