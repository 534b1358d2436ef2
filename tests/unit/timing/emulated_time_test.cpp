#include "framework/timing/emulated_time.h"

#include <gtest/gtest.h>

#include <string>

namespace orv {
namespace {

using Kind = SpeedSetting::Kind;

TEST(EmulatedTime, ParseSpeedAcceptsDecimalFactorsInRange) {
  const struct {
    const char* text;
    Kind kind;
    double factor;
  } cases[] = {
      {"", Kind::kRealTime, 1.0},       {"1", Kind::kRealTime, 1.0},
      {"1.0", Kind::kRealTime, 1.0},    {"2.5", Kind::kEmulated, 2.5},
      {"1e3", Kind::kEmulated, 1000.0}, {"1440", Kind::kEmulated, 1440.0},
      {"100000", Kind::kEmulated, 1e5}, {"100000.01", Kind::kInvalid, 1.0},
      {"0.999", Kind::kInvalid, 1.0},   {"1e-999", Kind::kInvalid, 1.0},
      {"+5", Kind::kInvalid, 1.0},      {"0x10", Kind::kInvalid, 1.0},
      {"1,5", Kind::kInvalid, 1.0},     {"-nan", Kind::kInvalid, 1.0},
  };
  for (const auto& c : cases) {
    const SpeedSetting setting = ParseSpeed(c.text);
    EXPECT_EQ(setting.kind, c.kind) << c.text;
    EXPECT_EQ(setting.factor, c.factor) << c.text;
  }
  EXPECT_STREQ(ParseSpeed("1e-999").reason, "below 1");
}

TEST(EmulatedTime, LogLineNamesTheFactor) {
  EXPECT_EQ(SpeedLogLine(ParseSpeed("2.5"), "2.5"),
            "Emulated time on: device clocks run 2.5 times as fast as real time "
            "(ORV_EMU_SPEED=2.5).\n");
  EXPECT_EQ(SpeedLogLine(ParseSpeed("1e5"), "1e5"),
            "Emulated time on: device clocks run 100000 times as fast as real time "
            "(ORV_EMU_SPEED=1e5).\n");
  EXPECT_EQ(SpeedLogLine(ParseSpeed(""), ""), "");
}

}  // namespace
}  // namespace orv
