// The two-channel temperature controller: per channel an actual temperature,
// a nominal temperature and a heating switch; named channels.
#ifndef ORV_MODELS_TWOTEMP_TWOTEMP_MODEL_H
#define ORV_MODELS_TWOTEMP_TWOTEMP_MODEL_H

#include "framework/core/model.h"

namespace orv::twotemp {

// One channel: actual temperature moved towards the nominal while heating,
// cooling towards ambient otherwise.
void StepChannel(float& actual, float nominal, float heating);

void Step(float* values, Rng& rng);

extern const ModelDescription kModel;

}  // namespace orv::twotemp

#endif  // ORV_MODELS_TWOTEMP_TWOTEMP_MODEL_H
