// The time-stamped sample store of a device and the queries over it.
#ifndef ORV_FRAMEWORK_HISTORY_H
#define ORV_FRAMEWORK_HISTORY_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "framework/model.h"
#include "framework/values.h"
#include "orv/driver_api.h"
#include "platform/platform.h"

namespace orv {

// One tick's values: a FILETIME count of local time and N floats (the unused
// tail of values is never read or written out).
struct Sample {
  std::uint64_t timestamp = 0;
  float values[kMaxValues] = {};
};

// The mean spacing of a history of count samples spanning span, kept from
// one time query to the next: the same count and span give the same double,
// so a query with them skips a division.
struct SpacingMemo {
  std::size_t count = 0;
  std::int64_t span = 0;
  double spacing = 0.0;
};

struct SampleHistory {
  std::vector<Sample> samples;   // guarded by historyMutex
  platform::Mutex historyMutex;  // held only for one operation, never with valueMutex
  SpacingMemo spacingMemo;       // guarded by historyMutex; used by GetSampleAt
};

// Appends a copy under historyMutex. When no memory can be had for it the
// sample is dropped and false is returned; nothing is thrown.
bool AppendSample(SampleHistory& history, const Sample& sample) noexcept;
bool HasHistory(SampleHistory& history);
// Removes every sample and releases the storage.
void ClearHistory(SampleHistory& history);
std::size_t SampleCount(SampleHistory& history);
// Seconds from the first to the last sample (positions, not extremes); may be
// negative when the clock was set back while recording.
double GetHistoryDuration(SampleHistory& history);

// Index of the sample nearest to offsetSeconds after the first sample (the
// later of two equally near ones), or -1 for an empty history. Offsets before
// the first sample select it, offsets past the last select the last. A NaN
// offset counts as 0; offsets beyond the 64-bit range of 100 ns units
// saturate.
// memo, when given, supplies and keeps the mean spacing.
std::ptrdiff_t SelectSampleIndex(const Sample* samples, std::size_t count, double offsetSeconds,
                                 SpacingMemo* memo = nullptr);

// A 32-bit unit of a record, least significant byte first whatever the
// processor: one plain load or store on little-endian machines.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool kLittleEndian = false;
#else
constexpr bool kLittleEndian = true;
#endif
inline std::uint32_t LittleEndian32(std::uint32_t v) {
  return kLittleEndian ? v : __builtin_bswap32(v);
}
inline void PutLE32(std::uint8_t* p, std::uint32_t v) {
  v = LittleEndian32(v);
  std::memcpy(p, &v, sizeof v);
}
inline std::uint32_t GetLE32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return LittleEndian32(v);
}

// The 8 + 4 * kValues bytes of a sample's record at p: timestamp low half,
// high half, value bits.
template <int kValues>
inline void EncodeSampleRecordOf(const Sample& sample, std::uint8_t* p) {
  // Read into locals first: p may alias anything, which would force a reload
  // of the sample after every byte stored.
  const std::uint64_t timestamp = sample.timestamp;
  std::uint32_t bits[kValues];
  for (int i = 0; i < kValues; ++i) bits[i] = FloatBits(sample.values[i]);
  PutLE32(p, static_cast<std::uint32_t>(timestamp));
  PutLE32(p + 4, static_cast<std::uint32_t>(timestamp >> 32));
  for (int i = 0; i < kValues; ++i) PutLE32(p + 8 + 4 * i, bits[i]);
}

// The same for any count; the models' counts get the fixed forms, as a loop
// of run-time length becomes a library call for a few bytes.
inline void EncodeSampleRecord(const Sample& sample, int valueCount, std::uint8_t* p) {
  if (valueCount == 4) return EncodeSampleRecordOf<4>(sample, p);
  if (valueCount == 6) return EncodeSampleRecordOf<6>(sample, p);
  PutLE32(p, static_cast<std::uint32_t>(sample.timestamp));
  PutLE32(p + 4, static_cast<std::uint32_t>(sample.timestamp >> 32));
  for (int i = 0; i < valueCount; ++i) PutLE32(p + 8 + 4 * i, FloatBits(sample.values[i]));
}

// Back from a record; a decoded sample's unused values are 0.
inline void DecodeSampleRecord(const std::uint8_t* p, int valueCount, Sample& sample) {
  // Field by field: a whole-record temporary copied over costs a store
  // forwarding stall per sample.
  sample.timestamp = GetLE32(p) | static_cast<std::uint64_t>(GetLE32(p + 4)) << 32;
  for (int i = 0; i < valueCount; ++i) sample.values[i] = FloatFromBits(GetLE32(p + 8 + 4 * i));
  for (int i = valueCount; i < kMaxValues; ++i) sample.values[i] = 0.0f;
}

// Writes the 8 + 4 * valueCount byte record of sample (timestamp 0 and invalid
// values when sample is null) into out, resizing out only when its length
// differs.
void WriteSampleRecord(const Sample* sample, int valueCount, ByteArray& out);

void GetSampleAt(SampleHistory& history, int valueCount, double offsetSeconds, ByteArray& out);

}  // namespace orv

#endif  // ORV_FRAMEWORK_HISTORY_H
