// The three model steps, tick by tick and bit for bit.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "framework/core/rng.h"
#include "framework/core/values.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"
#include "models/twotemp/twotemp_model.h"

namespace orv {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = MakeInvalid();

using Co2Values = std::array<float, 4>;
using SixValues = std::array<float, 6>;

template <std::size_t N>
std::vector<std::uint32_t> Bits(const std::array<float, N>& values) {
  std::vector<std::uint32_t> bits;
  for (float v : values) bits.push_back(FloatBits(v));
  return bits;
}

template <std::size_t N>
void Tick(ModelStep step, std::array<float, N>& values, int ticks = 1) {
  Rng rng(0);
  for (int i = 0; i < ticks; ++i) step(values.data(), rng);
}

// Ticks until value index stops changing; returns how many ticks moved it.
template <std::size_t N>
int TicksUntilSteady(ModelStep step, std::array<float, N>& values, int index) {
  Rng rng(0);
  for (int moved = 0; moved < 10000; ++moved) {
    const std::uint32_t before = FloatBits(values[index]);
    step(values.data(), rng);
    if (FloatBits(values[index]) == before) return moved;
  }
  return -1;
}

TEST(Co2Model, FirstTickFromInvalidGivesFallbacks) {
  Co2Values v = {kNaN, kNaN, kNaN, kNaN};
  Tick(co2::Step, v);
  EXPECT_EQ(Bits(v), Bits(Co2Values{5.0f, 5.0f, 1.0f, 1.0f}));
}

TEST(Co2Model, NanOfAnySignIsReplacedByItsFallback) {
  const float negativeNan = FloatFromBits(0xFFC00000u);
  Co2Values v = {4.0f, negativeNan, FloatFromBits(0xFFFFFFFFu), 0.0f};
  Tick(co2::Step, v);
  // The nominal steps as 5.0 and the regulator as on, so CO2 rises from 4.0.
  EXPECT_EQ(Bits(v), Bits(Co2Values{4.0f + 0.1f, 5.0f, 1.0f, 0.0f}));
  Co2Values w = {negativeNan, 4.0f, 1.0f, 2.0f};
  Tick(co2::Step, w);
  EXPECT_EQ(Bits(w), Bits(Co2Values{5.0f - 0.05f, 4.0f, 1.0f, 2.0f}));
}

TEST(Co2Model, OneAndTwoTicksFromAStart) {
  const struct {
    float co2, nominal, regulator, afterOne, afterTwo;
  } cases[] = {
      {0.2f, 0.1f, 1.0f, 0.15f, 0.15f},          // difference equals 0.1f: moves
      {0.11f, 0.01f, 1.0f, 0.1f, 0.1f},          // rounds to 0.1f and moves; unrounded it would not
      {5.1f, 5.0f, 1.0f, 5.1f, 5.1f},            // 0.0999999: inside the dead band
      {5.0f, 5.1f, 1.0f, 5.0f, 5.0f},            // the same, exchanged
      {1.0f, 1.1f, 1.0f, 1.1f, 1.1f},            // -0.10000002: rises, then holds
      {5.0f, 5.2f, 1.0f, 5.1f, 5.1f},            // -0.1999998 moves, -0.0999999 not
      {0.12f, 5.0f, 0.0f, 0.1f, 0.1f},           // decays to 0.07, clamped up
      {0.05f, 5.0f, 0.0f, 0.1f, 0.1f},           // below the bound while off
      {9.95f, 12.0f, 1.0f, 10.0f, 10.0f},        // held at the upper bound
      {0.15f, 0.0f, 1.0f, 0.15f - 0.05f, 0.1f},  // 0.10000001 is still outside
      {0.1f, -5.0f, 1.0f, 0.1f, 0.1f},           //
      {50.0f, 50.0f, 1.0f, 10.0f, 10.0f},        // clamped although in the dead band
      {50.0f, 5.0f, 0.0f, 10.0f, 9.95f},         //
      {kInf, 5.0f, 1.0f, 10.0f, 9.95f},          // infinities are valid values
      {5.0f, 5.0f, 0.5f, 5.0f, 5.0f},            // any nonzero regulator is on
      {5.0f, 9.0f, -0.0f, 5.0f - 0.05f, 5.0f - 0.05f - 0.05f}  // -0.0 is off
  };
  for (const auto& c : cases) {
    Co2Values v = {c.co2, c.nominal, c.regulator, 3.0f};
    Tick(co2::Step, v);
    EXPECT_EQ(FloatBits(v[0]), FloatBits(c.afterOne)) << c.co2 << " to " << c.nominal;
    Tick(co2::Step, v);
    EXPECT_EQ(FloatBits(v[0]), FloatBits(c.afterTwo)) << c.co2 << " to " << c.nominal;
    EXPECT_EQ(Bits(Co2Values{v[1], v[2], v[3], 0.0f}),
              Bits(Co2Values{c.nominal, c.regulator, 3.0f, 0.0f}));
  }
}

TEST(Co2Model, RunsToItsWorkedEndPoints) {
  const struct {
    float co2, nominal, regulator;
    int ticks;
    std::uint32_t endBits;
  } cases[] = {
      {4.0f, 5.0f, 1.0f, 10, 0x409FFFFEu},  // 4.999999
      {5.0f, 4.0f, 1.0f, 18, 0x4083332Cu},  // 4.0999966
      {5.0f, 5.0f, 0.0f, 98, 0x3DCCCCCDu}   // 0.1
  };
  for (const auto& c : cases) {
    Co2Values v = {c.co2, c.nominal, c.regulator, 1.0f};
    EXPECT_EQ(TicksUntilSteady(co2::Step, v, 0), c.ticks) << c.co2 << " to " << c.nominal;
    EXPECT_EQ(FloatBits(v[0]), c.endBits);
  }
}

TEST(Co2Model, InfiniteNominalDrivesToTheMatchingBound) {
  for (const auto& c : {std::array<float, 2>{kInf, 10.0f}, std::array<float, 2>{-kInf, 0.1f}}) {
    Co2Values v = {5.0f, c[0], 1.0f, 1.0f};
    Tick(co2::Step, v, 200);
    EXPECT_EQ(FloatBits(v[0]), FloatBits(c[1]));
  }
}

TEST(TwoTempModel, FromInvalidHeatingCyclesThroughThreeValues) {
  SixValues v = {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN};
  Tick(twotemp::Step, v);
  EXPECT_EQ(Bits(v), Bits(SixValues{36.95f, 37.0f, 1.0f, 36.95f, 37.0f, 1.0f}));
  const std::uint32_t cycle[3] = {0x4213CCCDu, 0x42143333u, 0x42140000u};
  for (int tick = 1; tick < 9; ++tick) {
    Tick(twotemp::Step, v);
    EXPECT_EQ(FloatBits(v[0]), cycle[tick % 3]) << "tick " << tick + 1;
    EXPECT_EQ(FloatBits(v[3]), cycle[tick % 3]) << "tick " << tick + 1;
  }
  EXPECT_EQ(FloatBits(36.95000076f), cycle[0]);
  EXPECT_EQ(FloatBits(37.04999924f), cycle[1]);
}

TEST(TwoTempModel, EachChannelRunsToItsEndPoint) {
  const struct {
    float actual, nominal, heating;
    int ticks;
    float end;
  } cases[] = {
      {37.0f, 37.0f, 0.0f, 361, 18.950275f},  // cools to the first value at or below 19
      {37.0f, 70.0f, 1.0f, 231, 60.0f},       // held at the upper bound
      {37.0f, 12.0f, 1.0f, 361, 19.0f}        // held at ambient while heating
  };
  for (const auto& c : cases) {
    for (int channel : {0, 3}) {
      SixValues v = {37.0f, 37.0f, 1.0f, 37.0f, 37.0f, 1.0f};
      v[channel] = c.actual;
      v[channel + 1] = c.nominal;
      v[channel + 2] = c.heating;
      const int ticks = TicksUntilSteady(twotemp::Step, v, channel);
      EXPECT_EQ(FloatBits(v[channel]), FloatBits(c.end)) << c.nominal << " ch " << channel;
      EXPECT_EQ(ticks, c.ticks) << c.nominal << " ch " << channel;
    }
  }
  EXPECT_EQ(FloatBits(18.950275f), 0x41979A2Au);
}

TEST(TwoTempModel, OneTickFromAStartOnBothChannels) {
  const struct {
    float actual, nominal, heating, after;
  } cases[] = {
      {37.0f, 37.0f, 1.0f, 36.95f},  // equal to the nominal falls
      {36.0f, kNaN, 1.0f, 36.0f + 0.1f},
      {15.0f, 12.0f, 1.0f, 19.0f},    // heating never leaves it below ambient
      {59.95f, 70.0f, 1.0f, 60.0f},   //
      {15.0f, 12.0f, 0.0f, 15.0f},    // cold and off: stays
      {19.0f, 12.0f, 0.0f, 19.0f},    //
      {5.0f, 12.0f, 0.0f, 10.0f},     // final clamp
      {80.0f, 12.0f, 0.0f, 60.0f},    //
      {30.0f, 37.0f, -0.0f, 29.95f},  // -0.0 is off
      {30.0f, 37.0f, 0.5f, 30.1f},    // any nonzero switch is on
      {kNaN, 40.0f, 1.0f, 37.1f}      // the actual value falls back to 37
  };
  for (const auto& c : cases) {
    SixValues v = {c.actual, c.nominal, c.heating, c.actual, c.nominal, c.heating};
    Tick(twotemp::Step, v);
    EXPECT_EQ(FloatBits(v[0]), FloatBits(c.after)) << c.actual << " to " << c.nominal;
    EXPECT_EQ(FloatBits(v[3]), FloatBits(c.after)) << c.actual << " to " << c.nominal;
    const float nominal = IsInvalid(c.nominal) ? 37.0f : c.nominal;
    EXPECT_EQ(FloatBits(v[1]), FloatBits(nominal));
    EXPECT_EQ(FloatBits(v[4]), FloatBits(nominal));
  }
}

TEST(TwoTempModel, ChannelsAreIndependent) {
  SixValues v = {37.0f, 37.0f, 0.0f, 30.0f, 40.0f, 1.0f};
  Tick(twotemp::Step, v, 3);
  EXPECT_EQ(Bits(v), Bits(SixValues{37.0f - 0.05f - 0.05f - 0.05f, 37.0f, 0.0f,
                                    30.0f + 0.1f + 0.1f + 0.1f, 40.0f, 1.0f}));
}

TEST(ClimateModel, FirstTickFromInvalid) {
  SixValues v = {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN};
  Tick(climate::Step, v);
  EXPECT_EQ(Bits(v), Bits(SixValues{5.0f, 5.0f, 1.0f, 1.0f, 1.0f, 0.0f}));
}

TEST(ClimateModel, Co2LoopMatchesTheCo2ModelTickForTick) {
  const float co2s[] = {kNaN, 0.05f, 0.12f, 0.2f, 1.0f, 4.0f, 5.0f, 5.1f, 9.95f, 50.0f, kInf};
  const float nominals[] = {kNaN, 0.1f, 1.1f, 4.0f, 5.0f, 12.0f, -kInf};
  const float regulators[] = {kNaN, 0.0f, -0.0f, 1.0f};
  for (float co2 : co2s) {
    for (float nominal : nominals) {
      for (float regulator : regulators) {
        Co2Values expected = {co2, nominal, regulator, 2.0f};
        SixValues actual = {co2, nominal, regulator, 2.0f, 1.0f, 0.0f};
        for (int tick = 0; tick < 25; ++tick) {
          Tick(co2::Step, expected);
          Tick(climate::Step, actual);
          ASSERT_EQ(Bits(Co2Values{actual[0], actual[1], actual[2], actual[3]}), Bits(expected))
              << co2 << " " << nominal << " " << regulator << " tick " << tick;
        }
      }
    }
  }
}

// Ticks a climate device until the indication changes; returns the ticks taken.
int TicksUntilIndicationChanges(SixValues& v, Rng& rng) {
  const std::uint32_t before = FloatBits(v[5]);
  for (int tick = 1; tick <= 20000; ++tick) {
    climate::Step(v.data(), rng);
    if (FloatBits(v[5]) != before) return tick;
  }
  return -1;
}

// Draws from a separate generator until one is a multiple of divisor.
int DrawsUntilMultiple(Rng& reference, int divisor) {
  for (int draw = 1; draw <= 20000; ++draw) {
    if (reference.Next() % divisor == 0) return draw;
  }
  return -1;
}

TEST(ClimateModel, OverheatComesOnAtFirstMultipleOf60AndClearsAtFirstMultipleOf30) {
  const float aboveThreshold[] = {3.0f, std::nextafter(2.0f, 3.0f), kInf};
  for (std::int32_t id = 1; id <= 5; ++id) {
    for (float level : aboveThreshold) {
      Rng rng(SeedFor(id));
      Rng reference(SeedFor(id));
      SixValues v = {5.0f, 5.0f, 1.0f, 4.0f, level, 0.0f};
      const int onAfter = DrawsUntilMultiple(reference, 60);
      ASSERT_GT(onAfter, 0);
      EXPECT_EQ(TicksUntilIndicationChanges(v, rng), onAfter) << "id " << id;
      EXPECT_EQ(FloatBits(v[5]), FloatBits(1.0f));
      // It stays on at that level, whatever the draws.
      for (int tick = 0; tick < 200; ++tick) {
        climate::Step(v.data(), rng);
        reference.Next();
      }
      EXPECT_EQ(FloatBits(v[5]), FloatBits(1.0f));
      v[4] = 2.0f;
      const int offAfter = DrawsUntilMultiple(reference, 30);
      EXPECT_EQ(TicksUntilIndicationChanges(v, rng), offAfter) << "id " << id;
      EXPECT_EQ(Bits(v), Bits(SixValues{5.0f, 5.0f, 1.0f, 4.0f, 2.0f, 0.0f}));
      EXPECT_EQ(rng.Next(), reference.Next()) << "one draw per tick, id " << id;
    }
  }
}

TEST(ClimateModel, DrawsExactlyOncePerTick) {
  for (float level : {kNaN, 1.0f, 2.0f, 3.0f}) {
    for (int ticks : {1, 2, 7, 100}) {
      Rng rng(SeedFor(2));
      Rng reference(SeedFor(2));
      SixValues v = {kNaN, kNaN, kNaN, kNaN, level, kNaN};
      for (int i = 0; i < ticks; ++i) {
        climate::Step(v.data(), rng);
        reference.Next();
      }
      EXPECT_EQ(rng.Next(), reference.Next()) << level << " after " << ticks;
    }
  }
}

TEST(ClimateModel, LevelsAtOrBelowTwoNeverTurnTheIndicationOn) {
  for (float level : {1.0f, 2.0f, 0.0f, -3.0f, -kInf}) {
    Rng rng(SeedFor(1));
    SixValues v = {5.0f, 5.0f, 1.0f, 1.0f, level, 0.0f};
    for (int tick = 0; tick < 3000; ++tick) {
      climate::Step(v.data(), rng);
      ASSERT_EQ(FloatBits(v[5]), FloatBits(0.0f)) << level << " tick " << tick;
    }
  }
}

}  // namespace
}  // namespace orv
