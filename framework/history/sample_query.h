// The sample query's inner parts, inline: GetSampleAt's table entry, which a
// host calls thousands of times a second, compiles them into one function
// with the device look-up, and the history's own functions use the same.
#ifndef ORV_FRAMEWORK_HISTORY_SAMPLE_QUERY_H
#define ORV_FRAMEWORK_HISTORY_SAMPLE_QUERY_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "framework/core/lock.h"
#include "framework/core/values.h"
#include "framework/history/history.h"

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
  if (!(d == d)) [[unlikely]]
    return 0;
  if (d >= 9223372036854775808.0) [[unlikely]]
    return std::numeric_limits<std::int64_t>::max();
  if (d <= -9223372036854775808.0) [[unlikely]]
    return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(d);
}

inline std::int64_t AddSaturated(std::int64_t a, std::int64_t b) {
  std::int64_t sum;
  if (__builtin_add_overflow(a, b, &sum)) [[unlikely]] {
    return b > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
  }
  return sum;
}

// The high half of the 128-bit product a * b, from four 32-bit products:
// for processors without a 128-bit product.
inline std::uint64_t MultiplyHighByHalves(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t aLow = a & 0xFFFFFFFFu, aHigh = a >> 32;
  const std::uint64_t bLow = b & 0xFFFFFFFFu, bHigh = b >> 32;
  const std::uint64_t low = aLow * bLow, cross1 = aLow * bHigh, cross2 = aHigh * bLow;
  const std::uint64_t middle = (low >> 32) + (cross1 & 0xFFFFFFFFu) + (cross2 & 0xFFFFFFFFu);
  return aHigh * bHigh + (cross1 >> 32) + (cross2 >> 32) + (middle >> 32);
}

// a * b / 2^64, rounded down.
inline std::uint64_t MultiplyHigh(std::uint64_t a, std::uint64_t b) {
#if defined(__SIZEOF_INT128__)
  __extension__ typedef unsigned __int128 Product;
  return static_cast<std::uint64_t>((static_cast<Product>(a) * b) >> 64);
#else
  return MultiplyHighByHalves(a, b);
#endif
}

template <typename Records>
inline std::int64_t At(const Records& samples, std::ptrdiff_t j) {
  return samples.Timestamp(static_cast<std::size_t>(j));
}

// A contiguous array of samples, read as the search reads a store's blocks.
struct SampleArray {
  const Sample* samples;
  std::int64_t Timestamp(std::size_t j) const { return AsSigned(samples[j].timestamp); }
  std::int64_t First() const { return Timestamp(0); }
};

// The nearer of samples j - 1 and j to target, the later on a tie; 0 when j
// is 0.
template <typename Records>
[[gnu::always_inline]] inline std::ptrdiff_t NearerOfPair(const Records& samples, std::ptrdiff_t j,
                                                          std::int64_t target) {
  if (j == 0) return 0;
  const std::int64_t after =
      Difference(static_cast<std::uint64_t>(At(samples, j)), static_cast<std::uint64_t>(target));
  const std::int64_t before = Difference(static_cast<std::uint64_t>(target),
                                         static_cast<std::uint64_t>(At(samples, j - 1)));
  return j - (before < after ? 1 : 0);
}

// Where a search of n ordered samples (n >= 2) from t0 to tn starts: the
// first sample not earlier than the target, ticks after t0 (d in double),
// assuming even spacing; at least 1 (the sample before is there to read), at
// most n - 1.
[[gnu::always_inline]] inline std::ptrdiff_t OrderedStart(std::ptrdiff_t n, std::int64_t t0,
                                                          std::int64_t tn, std::int64_t ticks,
                                                          double d, std::uint64_t indexScale) {
  if (indexScale != 0) [[likely]] {
    // The ticks from the first sample times the samples per tick: the
    // target's fractional index, whose whole part plus one is the first
    // sample not earlier, unless it falls on a sample. In integers, as the
    // search waits for nothing longer than this on every query.
    const std::uint64_t estimate = MultiplyHigh(static_cast<std::uint64_t>(ticks), indexScale) + 1;
    return static_cast<std::ptrdiff_t>(std::min(estimate, static_cast<std::uint64_t>(n - 1)));
  }
  const double perTick =
      static_cast<double>(n - 1) / (static_cast<double>(tn) - static_cast<double>(t0));
  double estimate = d * perTick + 1.0;
  if (!(estimate >= 0.0)) estimate = 0.0;
  if (estimate > static_cast<double>(n - 1)) estimate = static_cast<double>(n - 1);
  return std::max<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(estimate), 1);
}

// The search among n samples whose timestamps only go forward, from start
// (see OrderedStart): with the timestamps in order the walks cannot change
// the answer, only its cost.
template <typename Records>
[[gnu::always_inline]] inline std::ptrdiff_t SelectOrdered(const Records& samples, std::ptrdiff_t n,
                                                           std::int64_t target,
                                                           std::ptrdiff_t start) {
  std::ptrdiff_t j = start;
  // In a long history both reads miss the cache, and are issued together.
  const std::int64_t previous = At(samples, j - 1);
  const std::int64_t current = At(samples, j);
  if (previous < target && current >= target) [[likely]] {
    // The nearer of the two, the later on a tie, from the times in hand.
    const std::int64_t after =
        Difference(static_cast<std::uint64_t>(current), static_cast<std::uint64_t>(target));
    const std::int64_t before =
        Difference(static_cast<std::uint64_t>(target), static_cast<std::uint64_t>(previous));
    return j - (before < after ? 1 : 0);
  }
  while (j < n - 1 && At(samples, j) < target) ++j;
  while (j > 0 && At(samples, j - 1) >= target) --j;
  return NearerOfPair(samples, j, target);
}

// The search where timestamps may repeat or go back: from the index the mean
// spacing predicts, walked to a sample next to the target; where it starts
// decides among repeated times.
template <typename Records>
inline std::ptrdiff_t SelectUnordered(const Records& samples, std::ptrdiff_t n, std::int64_t t0,
                                      std::int64_t tn, double d, std::int64_t target) {
  std::ptrdiff_t j = 0;
  const std::int64_t span =
      Difference(static_cast<std::uint64_t>(tn), static_cast<std::uint64_t>(t0));
  if (span != 0) {
    const double spacing = static_cast<double>(span) / static_cast<double>(n);
    double estimate = d / spacing + 0.5;
    // t0 <= target <= tn keeps the estimate near 0..n; clamp before the
    // conversion so that no value can overflow it.
    if (!(estimate >= 0.0)) estimate = 0.0;
    if (estimate > static_cast<double>(n - 1)) estimate = static_cast<double>(n - 1);
    j = static_cast<std::ptrdiff_t>(estimate);
  }
  // The first sample is not later than the target and the last not earlier,
  // so both walks stay inside the array.
  while (j > 0 && At(samples, j) > target) --j;
  while (j < n - 1 && At(samples, j) < target) ++j;
  return NearerOfPair(samples, j, target);
}

// Index of the nearest sample: see SelectSampleIndex. Records is
// BlockRecords, ModelBlockRecords, FlatRecords or SampleArray: whatever gives
// Timestamp(j) and First().
template <typename Records>
[[gnu::always_inline]] inline std::ptrdiff_t SelectIndex(const Records& samples, std::size_t count,
                                                         double offsetSeconds, bool ordered,
                                                         std::uint64_t indexScale) {
  if (count == 0) return -1;
  const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(count);
  const std::int64_t t0 = samples.First();
  const std::int64_t tn = samples.Timestamp(static_cast<std::size_t>(n - 1));
  double d = offsetSeconds * 10000000.0;
  if (!(d == d)) [[unlikely]]
    d = 0.0;
  const std::int64_t ticks = TruncateSaturated(d);
  const std::int64_t target = AddSaturated(t0, ticks);

  if (target > tn) return n - 1;
  if (target < t0) return 0;
  if (!ordered) return SelectUnordered(samples, n, t0, tn, d, target);
  if (n == 1) return 0;
  return SelectOrdered(samples, n, target, OrderedStart(n, t0, tn, ticks, d, indexScale));
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

// A store's blocks at the models' own sizes: the shift and the stride are
// constants, which spares the sample query a variable shift and a multiply.
template <std::size_t kStride>
struct ModelBlockRecords {
  std::uint8_t* const* blocks;
  std::int64_t first;
  std::int64_t First() const { return first; }
  const std::uint8_t* Record(std::size_t j) const {
    return blocks[j >> kBlockShift] + (j & ((std::size_t{1} << kBlockShift) - 1)) * kStride;
  }
  std::int64_t Timestamp(std::size_t j) const {
    std::int64_t t;
    std::memcpy(&t, Record(j), sizeof t);
    return t;
  }
};

// The same when the blocks lie one after the other: sample j is at
// flat + j * kStride, as in one array.
template <std::size_t kStride>
struct FlatRecords {
  const std::uint8_t* flat;
  std::int64_t first;
  std::int64_t First() const { return first; }
  const std::uint8_t* Record(std::size_t j) const { return flat + j * kStride; }
  std::int64_t Timestamp(std::size_t j) const {
    std::int64_t t;
    std::memcpy(&t, Record(j), sizeof t);
    return t;
  }
};

template <typename Records>
[[gnu::always_inline]] inline void WriteNearestIn(const Records& records,
                                                  const PublishedSamples& published,
                                                  double offsetSeconds, int valueCount,
                                                  std::uint8_t* p) {
  const std::ptrdiff_t index =
      SelectIndex(records, published.count, offsetSeconds, published.ordered, published.indexScale);
  if (index < 0) return WriteRecord(nullptr, valueCount, p);
  NativeToRecord(records.Record(static_cast<std::size_t>(index)), valueCount, p);
}

// The record of the sample nearest to offsetSeconds among the published
// samples, at p.
[[gnu::always_inline]] inline void WriteNearest(const PublishedSamples& published,
                                                double offsetSeconds, int valueCount,
                                                std::uint8_t* p) {
  const BlockRecords& records = published.records;
  if (published.flat != nullptr) [[likely]] {
    if (valueCount == 6 && records.stride == 32)
      return WriteNearestIn(FlatRecords<32>{published.flat, records.first}, published,
                            offsetSeconds, 6, p);
    if (valueCount == 4 && records.stride == 24)
      return WriteNearestIn(FlatRecords<24>{published.flat, records.first}, published,
                            offsetSeconds, 4, p);
  }
  if (records.shift == kBlockShift) {
    if (valueCount == 6 && records.stride == 32)
      return WriteNearestIn(ModelBlockRecords<32>{records.blocks, records.first}, published,
                            offsetSeconds, 6, p);
    if (valueCount == 4 && records.stride == 24)
      return WriteNearestIn(ModelBlockRecords<24>{records.blocks, records.first}, published,
                            offsetSeconds, 4, p);
  }
  WriteNearestIn(records, published, offsetSeconds, valueCount, p);
}

// The samples of a store whose blocks are not read as one array, read
// afresh: out of line, so that the query's usual path keeps what it reads
// in registers.
template <int kValueCount>
[[gnu::noinline]] void WriteNearestInTable(const SampleStore& samples, double offsetSeconds,
                                           std::uint8_t* p) {
  WriteNearest(samples.ReadPublished(), offsetSeconds, kValueCount, p);
}

// WriteNearest for a model of kValueCount values, as the table entry of its
// plug-in calls it: the record's length and the samples' stride are
// constants, and samples whose blocks lie one after the other are read as
// one array.
template <int kValueCount>
[[gnu::always_inline]] inline void WriteNearestOf(const SampleStore& samples, double offsetSeconds,
                                                  std::uint8_t* p) {
  constexpr std::size_t kStride = SampleRecordSize(kValueCount);
  const PublishedSamples published = samples.ReadPublished();
  if (published.flat != nullptr && published.records.stride == kStride) [[likely]] {
    return WriteNearestIn(FlatRecords<kStride>{published.flat, published.records.first}, published,
                          offsetSeconds, kValueCount, p);
  }
  WriteNearestInTable<kValueCount>(samples, offsetSeconds, p);
}

// GetSampleAt's one path, for the table entry and the history alike: the
// record of the sample nearest to offsetSeconds at p, which already holds
// the record's bytes. Inside a read section the published samples are read
// without historyMutex, so the query never waits for an append, a save or
// an export.
[[gnu::always_inline]] inline void WriteSampleAt(SampleHistory& history, int valueCount,
                                                 double offsetSeconds, std::uint8_t* p,
                                                 bool inReadSection) {
  if (inReadSection) [[likely]]
    return WriteNearest(history.samples.ReadPublished(), offsetSeconds, valueCount, p);
  LockGuard lock(history.historyMutex);
  WriteNearest(history.samples.ReadPublished(), offsetSeconds, valueCount, p);
}

// WriteSampleAt for a model of kValueCount values (see WriteNearestOf).
template <int kValueCount>
[[gnu::always_inline]] inline void WriteSampleAtOf(SampleHistory& history, double offsetSeconds,
                                                   std::uint8_t* p, bool inReadSection) {
  if (inReadSection) [[likely]]
    return WriteNearestOf<kValueCount>(history.samples, offsetSeconds, p);
  LockGuard lock(history.historyMutex);
  WriteNearestOf<kValueCount>(history.samples, offsetSeconds, p);
}

}  // namespace orv

#endif  // ORV_FRAMEWORK_HISTORY_SAMPLE_QUERY_H
