#include "framework/history.h"

#include <cmath>
#include <limits>
#include <new>

#include "framework/lock.h"
#include "framework/values.h"

namespace orv {
namespace {

// Timestamps are compared as signed 64-bit numbers; differences wrap instead
// of overflowing so that a damaged restored history cannot cause undefined
// behaviour.
std::int64_t AsSigned(std::uint64_t t) { return static_cast<std::int64_t>(t); }
std::int64_t Difference(std::uint64_t later, std::uint64_t earlier) {
  return static_cast<std::int64_t>(later - earlier);
}

// Truncates toward zero to a signed 64-bit count, saturating at its ends.
std::int64_t TruncateSaturated(double d) {
  if (!(d == d)) return 0;
  if (d >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (d <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(d);
}

std::int64_t AddSaturated(std::int64_t a, std::int64_t b) {
  std::int64_t sum;
  if (__builtin_add_overflow(a, b, &sum)) {
    return b > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
  }
  return sum;
}

}  // namespace

bool AppendSample(SampleHistory& history, const Sample& sample) noexcept {
  LockGuard lock(history.historyMutex);
  try {
    history.samples.push_back(sample);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (...) {
    return false;
  }
}

bool HasHistory(SampleHistory& history) {
  LockGuard lock(history.historyMutex);
  return !history.samples.empty();
}

void ClearHistory(SampleHistory& history) {
  std::vector<Sample> released;
  {
    LockGuard lock(history.historyMutex);
    released.swap(history.samples);
  }
  // The storage is freed here, outside the lock.
}

std::size_t SampleCount(SampleHistory& history) {
  LockGuard lock(history.historyMutex);
  return history.samples.size();
}

double GetHistoryDuration(SampleHistory& history) {
  LockGuard lock(history.historyMutex);
  if (history.samples.empty()) return 0.0;
  const std::int64_t span =
      Difference(history.samples.back().timestamp, history.samples.front().timestamp);
  return static_cast<double>(span) / 10000000.0;
}

std::ptrdiff_t SelectSampleIndex(const Sample* samples, std::size_t count, double offsetSeconds,
                                 SpacingMemo* memo) {
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
  const std::int64_t span = Difference(samples[n - 1].timestamp, samples[0].timestamp);
  if (span != 0) {
    double spacing;
    if (memo != nullptr && memo->count == count && memo->span == span) {
      spacing = memo->spacing;
    } else {
      spacing = static_cast<double>(span) / static_cast<double>(n);
      if (memo != nullptr) *memo = SpacingMemo{count, span, spacing};
    }
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
  if (j > 0) {
    const std::int64_t after = Difference(samples[j].timestamp, static_cast<std::uint64_t>(target));
    const std::int64_t before =
        Difference(static_cast<std::uint64_t>(target), samples[j - 1].timestamp);
    if (before < after) --j;
  }
  return j;
}

void WriteSampleRecord(const Sample* sample, int valueCount, ByteArray& out) {
  const std::size_t size = SampleRecordSize(static_cast<std::size_t>(valueCount));
  if (out.size() != size) {
    out.clear();
    out.resize(size, 0);
  }
  if (sample != nullptr) {
    EncodeSampleRecord(*sample, valueCount, out.data());
    return;
  }
  std::uint8_t* p = out.data();
  PutLE32(p, 0);
  PutLE32(p + 4, 0);
  for (int i = 0; i < valueCount; ++i) PutLE32(p + 8 + 4 * i, kInvalidBits);
}

void GetSampleAt(SampleHistory& history, int valueCount, double offsetSeconds, ByteArray& out) {
  // Sized before the lock is taken: only this may allocate.
  const std::size_t size = SampleRecordSize(static_cast<std::size_t>(valueCount));
  if (out.size() != size) {
    out.clear();
    out.resize(size, 0);
  }
  LockGuard lock(history.historyMutex);
  const std::ptrdiff_t index = SelectSampleIndex(history.samples.data(), history.samples.size(),
                                                 offsetSeconds, &history.spacingMemo);
  WriteSampleRecord(index >= 0 ? &history.samples[static_cast<std::size_t>(index)] : nullptr,
                    valueCount, out);
}

}  // namespace orv
