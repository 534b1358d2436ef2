// What each plug-in must present through its table: identity, descriptor
// tables, SetValue kinds, default display settings and first-tick values.
#ifndef ORV_TESTS_INTEGRATION_PLUGIN_MODELS_H
#define ORV_TESTS_INTEGRATION_PLUGIN_MODELS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

namespace orv::it {

struct ChannelRow {
  std::int32_t kind;
  const char* name;  // as delivered for a device with the default channel names
  std::int32_t settable, axisIndex;
  float minimum, maximum;
};

struct AxisRow {
  const char *label, *unit;
  double minimum, maximum, step;
  float red, green, blue;
};

struct ConfigRow {
  std::uint8_t shown;
  float red, green, blue;
};

struct PluginModel {
  const char* name;  // library file name without the platform's suffix
  const char *longName, *shortName;
  std::int32_t versionMajor, versionMinor, addDialogModel;
  const char* settingsModule;  // "portconf", or "portconf_dt" with two channel names
  int n;                       // live values per device
  const char* setKinds;        // per index: 'n' not stored, 'p' plain, 's' switch, 'l' level
  std::uint32_t firstTick[6];  // bit patterns of the live values after the first tick
  ChannelRow channels[6];
  AxisRow axes[2];
  ConfigRow defaults[6];

  bool channelNames() const { return std::string(settingsModule) == "portconf_dt"; }
  std::string fileName() const;  // with the platform's module suffix
};

enum { kGasctl, kTwoTemp, kClimate };
extern const PluginModel kModels[3];

// Names a parameterised test, and its failure messages, after the plug-in.
std::string ModelTestName(const ::testing::TestParamInfo<PluginModel>& info);
void PrintTo(const PluginModel& model, std::ostream* os);

}  // namespace orv::it

#endif  // ORV_TESTS_INTEGRATION_PLUGIN_MODELS_H
