// Value helpers shared by the device record, the update thread, the history
// and the models. An unknown value is a single-precision NaN.
#ifndef ORV_FRAMEWORK_CORE_VALUES_H
#define ORV_FRAMEWORK_CORE_VALUES_H

#include <cstdint>
#include <cstring>
#include <limits>

namespace orv {

inline std::uint32_t FloatBits(float v) {
  std::uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits;
}

inline float FloatFromBits(std::uint32_t bits) {
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

constexpr std::uint32_t kInvalidBits = 0x7FFFFFFFu;

// The invalid value: a NaN with every payload bit set.
inline float MakeInvalid() { return FloatFromBits(kInvalidBits); }

// True for every NaN, whatever its sign or payload; infinities are valid.
inline bool IsInvalid(float v) {
  const std::uint32_t bits = FloatBits(v);
  return ((bits >> 23) & 0xFFu) == 0xFFu && (bits & 0x7FFFFFu) != 0;
}

// v + 0.5 in double precision, truncated toward zero. NaN gives 0; sums
// beyond the 32-bit range saturate at its ends instead of overflowing.
inline std::int32_t RoundToInt(float v) {
  const double sum = static_cast<double>(v) + 0.5;
  if (sum != sum) return 0;
  if (sum >= 2147483648.0) return std::numeric_limits<std::int32_t>::max();
  if (sum <= -2147483649.0) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(sum);
}

// Raises v to low, then lowers it to high; a NaN compares false and stays.
inline void ClampValue(float& v, float low, float high) {
  if (v < low) v = low;
  if (v > high) v = high;
}

}  // namespace orv

#endif  // ORV_FRAMEWORK_CORE_VALUES_H
