// core/: what every folder of the framework and every model shares: the model
// description, the value helpers, the generator, a scoped lock, the
// lock-free read sections and the text helpers of logs and JSON. Uses only
// the platform layer and the host's contract header.
//
// What a model contributes to the framework: its identity, descriptor tables,
// the treatment of each value index by SetValue, default display settings,
// the settings-dialog variant and one step function. Differences between the
// plug-ins are this data and the step, nothing else.
#ifndef ORV_FRAMEWORK_CORE_MODEL_H
#define ORV_FRAMEWORK_CORE_MODEL_H

#include <cstdint>

#include "framework/core/rng.h"
#include "orv/driver_api.h"

namespace orv {

// Largest number of live values of any model.
constexpr int kMaxValues = 6;

// How SetValue stores a value written to an index.
enum class SetKind : std::uint8_t {
  kNotStored,  // the live value stays; only the pending flag is set
  kPlain,      // stored unchanged
  kSwitch,     // 0.0 when the value equals 0.0 (also -0.0), else 1.0
  kLevel,      // RoundToInt, stored as a float
};

struct ChannelRow {
  std::int32_t kind;
  const char* name;
  std::int32_t settable;
  std::int32_t axisIndex;
  float minimum;
  float maximum;
};

struct AxisRow {
  const char* label;
  const char* unit;
  double minimum;
  double maximum;
  double step;
  float red;
  float green;
  float blue;
};

// Advances a tick's working values in place. Called with no lock held; may
// draw from the update thread's own generator.
using ModelStep = void (*)(float* values, Rng& rng);

struct ModelDescription {
  const char* longName;
  const char* shortName;
  std::int32_t versionMajor;
  std::int32_t versionMinor;
  std::int32_t addDialogModel;  // third argument of the add-device dialog
  const char* settingsModule;   // base name, e.g. "portconf"
  const char* settingsEntry;    // entry point in that module
  bool channelNames;            // per-device channel names, 13-argument dialog
  int valueCount;               // N
  ChannelRow channels[kMaxValues];
  AxisRow axes[2];
  SetKind setKinds[kMaxValues];
  ChannelConfig defaultConfigs[kMaxValues];
  ModelStep step;
};

}  // namespace orv

#endif  // ORV_FRAMEWORK_CORE_MODEL_H
