#include "tests/integration/plugin_models.h"

#include "platform/platform.h"

namespace orv::it {

// Every number is exact in float and double, except 0.63 and 0.78, which stand
// for their nearest floats (0x3F2147AE, 0x3F47AE14). 0x4213CCCD is 36.95, the
// float 37.0f + -0.05f: the first tick of a heating channel at its nominal.
// clang-format off
const PluginModel kModels[3] = {
    {"gasctl_sim", "CO2-Controller EMU", "CO2-Ctrl EMU", 1, 2, 4, "portconf", 4, "npsl",
     {0x40A00000, 0x40A00000, 0x3F800000, 0x3F800000},
     {{2, "CO2", 0, 1, 0.0f, 10.0f}, {2, "CO2 Nominal", 1, 1, 0.0f, 10.0f},
      {5, "CO2 Regulator", 1, 0, 0.0f, 1.0f}, {1, "Pump Level", 1, 0, 0.0f, 5.0f}},
     {{"Lvl", "", 0.0, 5.0, 1.0, 0.0f, 0.0f, 0.0f},
      {"CO2", "[%]", 0.0, 10.0, 1.0, 0.0f, 0.0f, 1.0f}},
     {{1, 0.0f, 0.0f, 1.0f}, {0, 0.63f, 0.63f, 1.0f}, {0, 0.0f, 0.0f, 0.78f},
      {0, 0.0f, 0.0f, 0.0f}}},
    {"twotemp_sim", "Heatrix 52-4 digital EMU", "HX52-4d EMU", 1, 1, 3, "portconf_dt", 6, "npsnps",
     {0x4213CCCD, 0x42140000, 0x3F800000, 0x4213CCCD, 0x42140000, 0x3F800000},
     {{2, "Channel 1 Temp", 0, 1, 10.0f, 60.0f}, {2, "Channel 1 Nominal", 1, 1, 10.0f, 60.0f},
      {5, "Channel 1 Heating", 1, 0, 0.0f, 1.0f}, {2, "Channel 2 Temp", 0, 1, 10.0f, 60.0f},
      {2, "Channel 2 Nominal", 1, 1, 10.0f, 60.0f}, {5, "Channel 2 Heating", 1, 0, 0.0f, 1.0f}},
     {{"Lvl", "", 0.0, 5.0, 1.0, 0.0f, 0.0f, 0.0f},
      {"Tmp", "[\xB0" "C]", 10.0, 60.0, 5.0, 1.0f, 0.0f, 0.0f}},
     {{1, 1.0f, 0.0f, 0.0f}, {0, 1.0f, 0.63f, 0.63f}, {0, 0.78f, 0.0f, 0.0f},
      {1, 0.0f, 1.0f, 0.0f}, {0, 0.63f, 1.0f, 0.63f}, {0, 0.0f, 0.78f, 0.0f}}},
    {"climate_sim", "VKA-Controller 5100 digital EMU", "VKA-Ctrl EMU", 1, 1, 2, "portconf", 6,
     "npslln",
     {0x40A00000, 0x40A00000, 0x3F800000, 0x3F800000, 0x3F800000, 0x00000000},
     {{2, "CO2", 0, 1, 0.0f, 10.0f}, {2, "CO2 Nominal", 1, 1, 0.0f, 10.0f},
      {5, "CO2 Regulator", 1, 0, 0.0f, 1.0f}, {1, "Ventilation Level", 1, 0, 1.0f, 5.0f},
      {1, "Heating Level", 1, 0, 1.0f, 3.0f}, {4, "Overheat", 0, 0, 0.0f, 1.0f}},
     {{"Lvl", "", 0.0, 5.0, 1.0, 0.0f, 0.0f, 0.0f},
      {"CO2", "[%]", 0.0, 10.0, 1.0, 0.0f, 0.0f, 1.0f}},
     {{1, 0.0f, 0.0f, 1.0f}, {0, 0.63f, 0.63f, 1.0f}, {0, 0.0f, 0.0f, 0.78f},
      {0, 0.5f, 0.5f, 0.5f}, {0, 0.0f, 0.0f, 0.0f}, {0, 1.0f, 0.5f, 0.0f}}},
};
// clang-format on

std::string PluginModel::fileName() const { return name + std::string(platform::ModuleSuffix()); }

std::string ModelTestName(const ::testing::TestParamInfo<PluginModel>& info) {
  return info.param.name;
}

void PrintTo(const PluginModel& model, std::ostream* os) { *os << model.name; }

}  // namespace orv::it
