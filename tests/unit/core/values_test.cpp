// The value helpers and the update thread's generator.
#include "framework/core/values.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "framework/core/rng.h"

namespace orv {
namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(ValueHelpers, MakeInvalidHasBitPattern7FFFFFFF) {
  EXPECT_EQ(FloatBits(MakeInvalid()), 0x7FFFFFFFu);
  EXPECT_TRUE(IsInvalid(MakeInvalid()));
}

TEST(ValueHelpers, IsInvalidAcceptsEveryNanAndNothingElse) {
  const struct {
    std::uint32_t bits;
    bool invalid;
  } cases[] = {{0x7FFFFFFFu, true},  {0xFFFFFFFFu, true},  {0x7FC00000u, true},
               {0xFFC00000u, true},  {0x7F800001u, true},  {0xFF800001u, true},
               {0x7FA00000u, true},  {0xFFBFFFFFu, true},  {0x7F800000u, false},
               {0xFF800000u, false}, {0x00000000u, false}, {0x80000000u, false},
               {0x7F7FFFFFu, false}, {0xFF7FFFFFu, false}, {0x00000001u, false},
               {0x007FFFFFu, false}, {0x3F800000u, false}, {0x7F000001u, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(IsInvalid(FloatFromBits(c.bits)), c.invalid) << std::hex << c.bits;
  }
  EXPECT_TRUE(IsInvalid(std::numeric_limits<float>::quiet_NaN()));
  EXPECT_TRUE(IsInvalid(std::numeric_limits<float>::signaling_NaN()));
}

TEST(ValueHelpers, RoundToIntAddsHalfInDoubleAndTruncatesTowardZero) {
  const struct {
    float value;
    std::int32_t expected;
  } cases[] = {{2.5f, 3},
               {2.49f, 2},
               {2.4f, 2},
               {4.49f, 4},
               {-0.7f, 0},
               {-1.7f, -1},
               {0.49999997f, 0},
               {-0.6f, 0},
               {-1.6f, -1},
               {7.0f, 7},
               {0.0f, 0},
               {-0.0f, 0},
               {-0.5f, 0},
               {-1.5f, -1},
               {0.5f, 1},
               {2147483520.0f, 2147483520},
               {-2147483648.0f, -2147483647}};
  for (const auto& c : cases) EXPECT_EQ(RoundToInt(c.value), c.expected) << c.value;
}

TEST(ValueHelpers, RoundToIntGivesZeroForNanAndSaturatesBeyondInt32) {
  const struct {
    float value;
    std::int32_t expected;
  } cases[] = {{MakeInvalid(), 0}, {FloatFromBits(0xFFC00000u), 0},
               {kInf, kMax},       {2147483648.0f, kMax},
               {1e30f, kMax},      {std::numeric_limits<float>::max(), kMax},
               {-kInf, kMin},      {-2147483904.0f, kMin},
               {-1e30f, kMin},     {std::numeric_limits<float>::lowest(), kMin}};
  for (const auto& c : cases) EXPECT_EQ(RoundToInt(c.value), c.expected) << c.value;
}

TEST(ValueHelpers, ClampValueRaisesToLowThenLowersToHigh) {
  const struct {
    float value, low, high, expected;
  } cases[] = {{0.05f, 0.1f, 10.0f, 0.1f},
               {12.0f, 0.1f, 10.0f, 10.0f},
               {5.0f, 0.1f, 10.0f, 5.0f},
               {0.1f, 0.1f, 10.0f, 0.1f},
               {10.0f, 0.1f, 10.0f, 10.0f},
               {kInf, 0.1f, 10.0f, 10.0f},
               {-kInf, 0.1f, 10.0f, 0.1f},
               {-0.0f, 0.0f, 1.0f, -0.0f},
               // With low above high the second comparison wins: the order shows.
               {0.0f, 5.0f, 3.0f, 3.0f},
               {4.0f, 5.0f, 3.0f, 3.0f}};
  for (const auto& c : cases) {
    float v = c.value;
    ClampValue(v, c.low, c.high);
    EXPECT_EQ(FloatBits(v), FloatBits(c.expected)) << c.value << " in " << c.low << ".." << c.high;
  }
}

TEST(ValueHelpers, ClampValueLeavesEveryNanUntouched) {
  for (std::uint32_t bits : {0x7FFFFFFFu, 0xFFC01234u, 0x7F800001u}) {
    float v = FloatFromBits(bits);
    ClampValue(v, 0.1f, 10.0f);
    EXPECT_EQ(FloatBits(v), bits);
  }
}

TEST(Generator, SeedIsIdentifierShiftedLeftByTen) {
  EXPECT_EQ(SeedFor(0), 0u);
  EXPECT_EQ(SeedFor(1), 1024u);
  EXPECT_EQ(SeedFor(5), 5120u);
  EXPECT_EQ(SeedFor(-1), 0xFFFFFC00u);
  EXPECT_EQ(SeedFor(0x00400001), 1024u);  // bits shifted out are lost
}

TEST(Generator, FollowsTheClassicLinearCongruentialSequence) {
  const struct {
    std::uint32_t seed;
    int draws[5];
  } cases[] = {{0, {38, 7719, 21238, 2437, 8855}}, {1, {41, 18467, 6334, 26500, 19169}}};
  for (const auto& c : cases) {
    Rng rng(c.seed);
    for (int expected : c.draws) EXPECT_EQ(rng.Next(), expected) << "seed " << c.seed;
  }
}

}  // namespace
}  // namespace orv
