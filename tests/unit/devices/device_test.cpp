// The emulated device record: initial state, SetValue per index kind, index
// bounds, channel display settings and the recording switch.
#include "framework/devices/device.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "framework/core/values.h"
#include "framework/history/history.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"
#include "models/twotemp/twotemp_model.h"
#include "tests/support/virtual_runtime.h"

namespace orv {
namespace {

constexpr std::uint32_t kOne = 0x3F800000u;
constexpr std::uint32_t kHalf = 0x3F000000u;
constexpr std::uint32_t k063 = 0x3F2147AEu;
constexpr std::uint32_t k078 = 0x3F47AE14u;

enum class Kind { kNotStored, kPlain, kSwitch, kLevel };

// Per-model facts as the driver documents them, independent of the model tables.
struct ConfigRow {
  std::uint8_t shown;
  std::uint32_t red, green, blue;
};
struct ModelFacts {
  const char* name;
  const ModelDescription* model;
  std::vector<Kind> kinds;
  std::vector<ConfigRow> configs;
};

const std::vector<ModelFacts>& AllModels() {
  using K = Kind;
  static const std::vector<ModelFacts> models = {
      {"co2",
       &co2::kModel,
       {K::kNotStored, K::kPlain, K::kSwitch, K::kLevel},
       {{1, 0, 0, kOne}, {0, k063, k063, kOne}, {0, 0, 0, k078}, {0, 0, 0, 0}}},
      {"twotemp",
       &twotemp::kModel,
       {K::kNotStored, K::kPlain, K::kSwitch, K::kNotStored, K::kPlain, K::kSwitch},
       {{1, kOne, 0, 0},
        {0, kOne, k063, k063},
        {0, k078, 0, 0},
        {1, 0, kOne, 0},
        {0, k063, kOne, k063},
        {0, 0, k078, 0}}},
      {"climate",
       &climate::kModel,
       {K::kNotStored, K::kPlain, K::kSwitch, K::kLevel, K::kLevel, K::kNotStored},
       {{1, 0, 0, kOne},
        {0, k063, k063, kOne},
        {0, 0, 0, k078},
        {0, kHalf, kHalf, kHalf},
        {0, 0, 0, 0},
        {0, kOne, kHalf, 0}}},
  };
  return models;
}

struct Rig {
  explicit Rig(const ModelDescription& model) : device(Environment(model)) {}
  DeviceEnvironment& Environment(const ModelDescription& model) {
    env.model = &model;
    env.runtime = &runtime;
    return env;
  }
  testing::VirtualRuntime runtime;
  DeviceEnvironment env;
  EmuDevice device;
};

// A write and the bit pattern the live value must hold afterwards. For
// kNotStored the expectation is the unchanged invalid value of a new device.
struct WriteCase {
  Kind kind;
  float input;
  std::uint32_t expected;
};

const WriteCase kWriteCases[] = {
    {Kind::kSwitch, 0.5f, kOne},
    {Kind::kSwitch, 0.0f, 0x00000000u},
    {Kind::kSwitch, -0.0f, 0x00000000u},
    {Kind::kSwitch, -3.0f, kOne},
    {Kind::kSwitch, MakeInvalid(), kOne},
    {Kind::kSwitch, FloatFromBits(0xFF800000u), kOne},  // -infinity
    {Kind::kLevel, 2.5f, 0x40400000u},                  // 3
    {Kind::kLevel, 2.49f, 0x40000000u},                 // 2
    {Kind::kLevel, 4.49f, 0x40800000u},                 // 4
    {Kind::kLevel, 0.49999997f, 0x00000000u},
    {Kind::kLevel, -0.7f, 0x00000000u},
    {Kind::kLevel, -1.7f, 0xBF800000u},  // -1
    {Kind::kLevel, MakeInvalid(), 0x00000000u},
    {Kind::kLevel, 1e20f, 0x4F000000u},   // 2147483647 as float
    {Kind::kLevel, -1e20f, 0xCF000000u},  // -2147483648 as float
    {Kind::kPlain, 12.25f, 0x41440000u},
    {Kind::kPlain, -0.0f, 0x80000000u},
    {Kind::kPlain, FloatFromBits(0x7FC00001u), 0x7FC00001u},
    {Kind::kPlain, FloatFromBits(0xFFC00000u), 0xFFC00000u},
    {Kind::kPlain, FloatFromBits(0x7F800000u), 0x7F800000u},
    {Kind::kNotStored, 3.0f, kInvalidBits},
    {Kind::kNotStored, 0.0f, kInvalidBits},
};

TEST(DeviceRecord, NewDeviceHasOnlyInvalidValues) {
  for (const ModelFacts& facts : AllModels()) {
    SCOPED_TRACE(facts.name);
    Rig rig(*facts.model);
    ASSERT_EQ(rig.device.valueCount(), static_cast<int>(facts.kinds.size()));
    for (int i = 0; i < rig.device.valueCount(); ++i) {
      EXPECT_EQ(FloatBits(GetValue(rig.device, i)), kInvalidBits) << "index " << i;
      EXPECT_FALSE(rig.device.pending[i]) << "index " << i;
    }
    EXPECT_TRUE(HasNoValidValues(rig.device));
    EXPECT_FALSE(rig.device.updating.load());
    EXPECT_FALSE(rig.device.recording.load());
    EXPECT_EQ(rig.device.interval.load(), 10);
    EXPECT_EQ(SampleCount(rig.device.history), 0u);
  }
}

TEST(DeviceRecord, SetValueStoresByKindOfIndexAndMarksPending) {
  for (const ModelFacts& facts : AllModels()) {
    for (std::size_t index = 0; index < facts.kinds.size(); ++index) {
      for (const WriteCase& c : kWriteCases) {
        if (c.kind != facts.kinds[index]) continue;
        SCOPED_TRACE(::testing::Message() << facts.name << " index " << index << " input bits 0x"
                                          << std::hex << FloatBits(c.input));
        Rig rig(*facts.model);
        const int i = static_cast<int>(index);
        SetValue(rig.device, i, c.input);
        EXPECT_EQ(FloatBits(GetValue(rig.device, i)), c.expected);
        for (int j = 0; j < rig.device.valueCount(); ++j) {
          EXPECT_EQ(rig.device.pending[j], j == i) << "pending " << j;
          if (j != i) EXPECT_EQ(FloatBits(GetValue(rig.device, j)), kInvalidBits);
        }
        EXPECT_EQ(HasNoValidValues(rig.device), IsInvalid(FloatFromBits(c.expected)));
      }
    }
  }
}

TEST(DeviceRecord, IndicesOutsideTheValuesAreIgnored) {
  for (const ModelFacts& facts : AllModels()) {
    SCOPED_TRACE(facts.name);
    Rig rig(*facts.model);
    const int n = rig.device.valueCount();
    for (int i = 0; i < n; ++i) {
      // Any valid value, so that a stray read of a neighbour would show.
      rig.device.live.values[i] = 1.5f;
    }
    std::vector<ChannelConfig> before;
    for (int i = 0; i < n; ++i) before.push_back(GetChannelConfig(rig.device, i));
    ChannelConfig probe;
    std::memset(&probe, 0x5A, sizeof probe);
    for (std::int32_t bad : {-1, n, n + 1, INT32_MIN, INT32_MAX}) {
      SCOPED_TRACE(bad);
      SetValue(rig.device, bad, 7.0f);
      EXPECT_EQ(FloatBits(GetValue(rig.device, bad)), kInvalidBits);
      SetChannelConfig(rig.device, bad, &probe);
      const ChannelConfig got = GetChannelConfig(rig.device, bad);
      const unsigned char zeros[sizeof got] = {};
      EXPECT_EQ(std::memcmp(&got, zeros, sizeof got), 0);
    }
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(FloatBits(GetValue(rig.device, i)), FloatBits(1.5f)) << i;
      EXPECT_FALSE(rig.device.pending[i]) << i;
      const ChannelConfig now = GetChannelConfig(rig.device, i);
      EXPECT_EQ(std::memcmp(&now, &before[i], sizeof now), 0) << i;
    }
  }
}

TEST(DeviceRecord, DefaultChannelConfigsMatchByteForByte) {
  for (const ModelFacts& facts : AllModels()) {
    Rig rig(*facts.model);
    for (std::size_t i = 0; i < facts.configs.size(); ++i) {
      SCOPED_TRACE(::testing::Message() << facts.name << " index " << i);
      const ConfigRow& row = facts.configs[i];
      unsigned char expected[16] = {row.shown};
      std::memcpy(expected + 4, &row.red, 4);
      std::memcpy(expected + 8, &row.green, 4);
      std::memcpy(expected + 12, &row.blue, 4);
      const ChannelConfig got = GetChannelConfig(rig.device, static_cast<std::int32_t>(i));
      unsigned char actual[16];
      std::memcpy(actual, &got, sizeof actual);
      for (int b = 0; b < 16; ++b) EXPECT_EQ(actual[b], expected[b]) << "byte " << b;
    }
  }
}

TEST(DeviceRecord, ChannelConfigRoundTripsAllSixteenBytes) {
  for (const ModelFacts& facts : AllModels()) {
    SCOPED_TRACE(facts.name);
    Rig rig(*facts.model);
    const int n = rig.device.valueCount();
    for (int i = 0; i < n; ++i) {
      unsigned char bytes[16];
      for (int b = 0; b < 16; ++b) bytes[b] = static_cast<unsigned char>(0xA0 + 16 * i + b);
      ChannelConfig written;
      std::memcpy(&written, bytes, sizeof written);  // padding and NaN colours included
      SetChannelConfig(rig.device, i, &written);
    }
    for (int i = 0; i < n; ++i) {
      const ChannelConfig got = GetChannelConfig(rig.device, i);
      unsigned char actual[16];
      std::memcpy(actual, &got, sizeof actual);
      for (int b = 0; b < 16; ++b) {
        EXPECT_EQ(actual[b], static_cast<unsigned char>(0xA0 + 16 * i + b)) << i << ":" << b;
      }
    }
    const ChannelConfig before = GetChannelConfig(rig.device, 1);
    SetChannelConfig(rig.device, 1, nullptr);
    const ChannelConfig after = GetChannelConfig(rig.device, 1);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "null config ignored";
  }
}

TEST(DeviceRecord, SwitchingRecordingOnFromOffClearsHistory) {
  Rig rig(co2::kModel);
  const auto add = [&] { AppendSample(rig.device.history, Sample{}); };
  add();
  add();
  SetRecording(rig.device, true);  // off -> on
  EXPECT_TRUE(rig.device.recording.load());
  EXPECT_EQ(SampleCount(rig.device.history), 0u);
  add();
  SetRecording(rig.device, true);  // on -> on keeps
  EXPECT_EQ(SampleCount(rig.device.history), 1u);
  add();
  SetRecording(rig.device, false);  // on -> off keeps
  EXPECT_FALSE(rig.device.recording.load());
  EXPECT_EQ(SampleCount(rig.device.history), 2u);
  SetRecording(rig.device, false);  // off -> off keeps
  EXPECT_EQ(SampleCount(rig.device.history), 2u);
  SetRecording(rig.device, true);  // off -> on again clears
  EXPECT_EQ(SampleCount(rig.device.history), 0u);
}

}  // namespace
}  // namespace orv
