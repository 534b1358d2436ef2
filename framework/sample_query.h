// The sample query's inner parts, inline: GetSampleAt's table entry, which a
// host calls thousands of times a second, compiles them into one function
// with the device look-up, and the history's own functions use the same.
#ifndef ORV_FRAMEWORK_SAMPLE_QUERY_H
#define ORV_FRAMEWORK_SAMPLE_QUERY_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "framework/history.h"
#include "framework/values.h"

namespace orv {

// Timestamps are compared as signed 64-bit numbers; differences wrap instead
// of overflowing so that a damaged restored history cannot cause undefined
// behaviour.
inline std::int64_t AsSigned(std::uint64_t t) { return static_cast<std::int64_t>(t); }
inline std::int64_t Difference(std::uint64_t later, std::uint64_t earlier) {
  return static_cast<std::int64_t>(later - earlier);
}

// Truncates toward zero to a signed 64-bit count, saturating at its ends.
inline std::int64_t TruncateSaturated(double d) {
  if (!(d == d)) return 0;
  if (d >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (d <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(d);
}

inline std::int64_t AddSaturated(std::int64_t a, std::int64_t b) {
  std::int64_t sum;
  if (__builtin_add_overflow(a, b, &sum)) {
    return b > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
  }
  return sum;
}

// Index of the nearest sample: see SelectSampleIndex.
[[gnu::always_inline]] inline std::ptrdiff_t SelectIndex(const Sample* samples, std::size_t count,
                                                         double offsetSeconds, bool ordered,
                                                         float inverseSpacing) {
  if (count == 0) return -1;
  const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(count);
  const std::int64_t t0 = AsSigned(samples[0].timestamp);
  const std::int64_t tn = AsSigned(samples[n - 1].timestamp);
  double d = offsetSeconds * 10000000.0;
  if (!(d == d)) d = 0.0;
  const std::int64_t target = AddSaturated(t0, TruncateSaturated(d));

  if (target > tn) return n - 1;
  if (target < t0) return 0;

  std::ptrdiff_t j = 0;
  if (ordered) {
    // The first sample not earlier than the target, then the nearer of it
    // and the one before. The start assumes even spacing; with the
    // timestamps in order the walks cannot change the answer, only its cost.
    if (n == 1) return 0;
    const double perTick =
        inverseSpacing != 0.0f
            ? static_cast<double>(inverseSpacing)
            : static_cast<double>(n - 1) / (static_cast<double>(tn) - static_cast<double>(t0));
    // d * perTick is the target's fractional index; one past its whole part
    // is the first sample not earlier, unless it falls on a sample.
    double estimate = d * perTick + 1.0;
    if (!(estimate >= 0.0)) estimate = 0.0;
    if (estimate > static_cast<double>(n - 1)) estimate = static_cast<double>(n - 1);
    // Never below 1, so that the sample before is there to read; in a long
    // history both reads miss the cache, and are issued together.
    j = std::max<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(estimate), 1);
    const std::int64_t previous = AsSigned(samples[j - 1].timestamp);
    const std::int64_t current = AsSigned(samples[j].timestamp);
    if (previous >= target || current < target) {
      while (j < n - 1 && AsSigned(samples[j].timestamp) < target) ++j;
      while (j > 0 && AsSigned(samples[j - 1].timestamp) >= target) --j;
    }
  } else {
    const std::int64_t span = Difference(samples[n - 1].timestamp, samples[0].timestamp);
    if (span != 0) {
      const double spacing = static_cast<double>(span) / static_cast<double>(n);
      double estimate = d / spacing + 0.5;
      // t0 <= target <= tn keeps the estimate near 0..n; clamp before the
      // conversion so that no value can overflow it.
      if (!(estimate >= 0.0)) estimate = 0.0;
      if (estimate > static_cast<double>(n - 1)) estimate = static_cast<double>(n - 1);
      j = static_cast<std::ptrdiff_t>(estimate);
    }
    // The walks and the final comparison mostly read samples j and j - 1; in
    // a long history both are far apart in memory from the last query, so
    // fetch them together rather than one after the other.
    if (j > 0) __builtin_prefetch(&samples[j - 1]);
    // The first sample is not later than the target and the last not earlier,
    // so both walks stay inside the array.
    while (j > 0 && AsSigned(samples[j].timestamp) > target) --j;
    while (j < n - 1 && AsSigned(samples[j].timestamp) < target) ++j;
  }
  if (j > 0) {
    const std::int64_t after = Difference(samples[j].timestamp, static_cast<std::uint64_t>(target));
    const std::int64_t before =
        Difference(static_cast<std::uint64_t>(target), samples[j - 1].timestamp);
    j -= before < after ? 1 : 0;
  }
  return j;
}

// Gives out the length of a record, reallocating only when it differs.
inline void SizeRecord(int valueCount, ByteArray& out) {
  const std::size_t size = SampleRecordSize(static_cast<std::size_t>(valueCount));
  if (out.size() != size) {
    out.clear();
    out.resize(size, 0);
  }
}

// Writes the record of sample, or the empty record when it is null, into the
// 8 + 4 * valueCount bytes at p.
[[gnu::always_inline]] inline void WriteRecord(const Sample* sample, int valueCount,
                                               std::uint8_t* p) {
  if (sample != nullptr) {
    EncodeSampleRecord(*sample, valueCount, p);
    return;
  }
  PutLE32(p, 0);
  PutLE32(p + 4, 0);
  for (int i = 0; i < valueCount; ++i) PutLE32(p + 8 + 4 * i, kInvalidBits);
}

// The record of the sample nearest to offsetSeconds in view, at p.
[[gnu::always_inline]] inline void WriteNearest(const SampleStore::View& view, double offsetSeconds,
                                                int valueCount, std::uint8_t* p) {
  const std::ptrdiff_t index =
      SelectIndex(view.samples, view.count, offsetSeconds, view.ordered, view.inverseSpacing);
  WriteRecord(index >= 0 ? &view.samples[index] : nullptr, valueCount, p);
}

}  // namespace orv

#endif  // ORV_FRAMEWORK_SAMPLE_QUERY_H
