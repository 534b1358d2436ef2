// The single-loop CO2 controller: values CO2, CO2 nominal, CO2 regulator,
// pump level.
#ifndef ORV_MODELS_CO2_CO2_MODEL_H
#define ORV_MODELS_CO2_CO2_MODEL_H

#include "framework/core/model.h"

namespace orv::co2 {

// The CO2 loop on values[0] (actual), values[1] (nominal), values[2]
// (regulator), all already valid. Shared with the climate controller.
void Co2Loop(float* values);

// Fallbacks, then the CO2 loop; the pump level is carried along.
void Step(float* values, Rng& rng);

// The CO2 loop's rows (values 0 to 2), their display defaults and the two
// chart axes: the same in the climate controller, whose first three values
// are this loop.
inline constexpr ChannelRow kLoopChannels[3] = {
    {.kind = kKindQuantity,
     .name = "CO2",
     .settable = 0,
     .axisIndex = 1,
     .minimum = 0.0f,
     .maximum = 10.0f},
    {.kind = kKindQuantity,
     .name = "CO2 Nominal",
     .settable = 1,
     .axisIndex = 1,
     .minimum = 0.0f,
     .maximum = 10.0f},
    {.kind = kKindSwitch,
     .name = "CO2 Regulator",
     .settable = 1,
     .axisIndex = 0,
     .minimum = 0.0f,
     .maximum = 1.0f},
};
// 0.63 and 0.78 as the nearest floats (0x3F2147AE, 0x3F47AE14).
inline constexpr ChannelConfig kLoopConfigs[3] = {
    {.shown = 1, .pad = {}, .red = 0.0f, .green = 0.0f, .blue = 1.0f},
    {.shown = 0, .pad = {}, .red = 0.63f, .green = 0.63f, .blue = 1.0f},
    {.shown = 0, .pad = {}, .red = 0.0f, .green = 0.0f, .blue = 0.78f},
};
inline constexpr AxisRow kLevelAxis = {.label = "Lvl",
                                       .unit = "",
                                       .minimum = 0.0,
                                       .maximum = 5.0,
                                       .step = 1.0,
                                       .red = 0.0f,
                                       .green = 0.0f,
                                       .blue = 0.0f};
inline constexpr AxisRow kCo2Axis = {.label = "CO2",
                                     .unit = "[%]",
                                     .minimum = 0.0,
                                     .maximum = 10.0,
                                     .step = 1.0,
                                     .red = 0.0f,
                                     .green = 0.0f,
                                     .blue = 1.0f};

extern const ModelDescription kModel;

}  // namespace orv::co2

#endif  // ORV_MODELS_CO2_CO2_MODEL_H
