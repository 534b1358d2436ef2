// The update thread's pseudo-random generator: the classic C-runtime linear
// congruential generator, identical on every platform so that a device's
// sequence of draws follows from its identifier alone.
#ifndef ORV_FRAMEWORK_CORE_RNG_H
#define ORV_FRAMEWORK_CORE_RNG_H

#include <cstdint>

namespace orv {

class Rng {
 public:
  explicit Rng(std::uint32_t seed) : state_(seed) {}

  // A number from 0 to 32767.
  int Next() {
    state_ = state_ * 214013u + 2531011u;
    return static_cast<int>((state_ >> 16) & 0x7FFFu);
  }

 private:
  std::uint32_t state_;
};

// The seed of a device's update thread: the identifier shifted left by 10
// bits, in unsigned 32-bit arithmetic.
inline std::uint32_t SeedFor(std::int32_t id) { return static_cast<std::uint32_t>(id) << 10; }

}  // namespace orv

#endif  // ORV_FRAMEWORK_CORE_RNG_H
