// A sample and its record: the 8 + 4N bytes that GetSampleAt hands the host,
// that an image holds and that a history block keeps, in one byte order.
#ifndef ORV_FRAMEWORK_HISTORY_SAMPLE_H
#define ORV_FRAMEWORK_HISTORY_SAMPLE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "framework/core/model.h"
#include "framework/core/values.h"
#include "orv/driver_api.h"

namespace orv {

// One tick's values: a FILETIME count of local time and N floats (the unused
// tail of values is never read or written out).
struct Sample {
  std::uint64_t timestamp = 0;
  float values[kMaxValues] = {};
};

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

// A sample as a block keeps it: the timestamp and the values in the
// processor's own byte order.
inline void StoreNative(const Sample& sample, int valueCount, std::uint8_t* p) {
  std::memcpy(p, &sample.timestamp, sizeof sample.timestamp);
  std::memcpy(p + 8, sample.values, 4 * static_cast<std::size_t>(valueCount));
}
inline Sample LoadNative(const std::uint8_t* p, int valueCount) {
  Sample sample;
  std::memcpy(&sample.timestamp, p, sizeof sample.timestamp);
  std::memcpy(sample.values, p + 8, 4 * static_cast<std::size_t>(valueCount));
  return sample;
}

// A kept sample's record, and back: one copy on little-endian machines (the
// models' counts as fixed sizes, which compile to a few moves).
inline void NativeToRecord(const std::uint8_t* native, int valueCount, std::uint8_t* record) {
  if constexpr (kLittleEndian) {
    if (valueCount == 4) return static_cast<void>(std::memcpy(record, native, 24));
    if (valueCount == 6) return static_cast<void>(std::memcpy(record, native, 32));
    std::memcpy(record, native, SampleRecordSize(static_cast<std::size_t>(valueCount)));
  } else {
    EncodeSampleRecord(LoadNative(native, valueCount), valueCount, record);
  }
}
inline void RecordToNative(const std::uint8_t* record, int valueCount, std::uint8_t* native) {
  if constexpr (kLittleEndian) {
    std::memcpy(native, record, SampleRecordSize(static_cast<std::size_t>(valueCount)));
  } else {
    Sample sample;
    DecodeSampleRecord(record, valueCount, sample);
    StoreNative(sample, valueCount, native);
  }
}

}  // namespace orv

#endif  // ORV_FRAMEWORK_HISTORY_SAMPLE_H
