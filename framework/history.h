// The time-stamped sample store of a device and the queries over it.
#ifndef ORV_FRAMEWORK_HISTORY_H
#define ORV_FRAMEWORK_HISTORY_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
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

// A sample buffer as SampleStore publishes it: a header, then capacity
// samples, of which the first count are published and never change again.
// Aligned to a cache line, so that no sample spans two.
struct alignas(64) SampleBuffer {
  static constexpr std::size_t kOrdered = static_cast<std::size_t>(-1);

  std::atomic<std::size_t> count{0};
  // The index of the first sample whose timestamp is not later than the one
  // before it; kOrdered while every published timestamp is later than the
  // last. Stored before the count that publishes that sample.
  std::atomic<std::size_t> firstDisorder{kOrdered};
  // Samples per 100 ns of the published span, (count - 1) / span, as a
  // fraction of 2^64 (IndexScale), or 0: where a search for a time starts.
  // Stored before the count it belongs to; a reader that pairs it with
  // another count starts a little off, no more.
  std::atomic<std::uint64_t> indexScale{0};
  std::size_t capacity = 0;
  SampleBuffer* nextRetired = nullptr;
  void* allocation = nullptr;  // what operator new returned

  Sample* samples() { return reinterpret_cast<Sample*>(this + 1); }
  const Sample* samples() const { return reinterpret_cast<const Sample*>(this + 1); }
};

// Buffers a store replaced, freed once no read section can still read them.
class RetiredSamples {
 public:
  RetiredSamples() = default;
  explicit RetiredSamples(SampleBuffer* list) : list_(list) {}
  RetiredSamples(RetiredSamples&& other) noexcept : list_(other.list_) { other.list_ = nullptr; }
  RetiredSamples& operator=(RetiredSamples&& other) noexcept;
  // Waits for the open read sections, then frees the buffers: never inside a
  // section, nor with historyMutex held.
  ~RetiredSamples();

 private:
  SampleBuffer* list_ = nullptr;
};

// A history's samples. The owner calls everything but Published() with
// historyMutex held, as it would a vector's members. Published() may also
// be called without the mutex, from inside a read section: published
// samples are never written again, and a buffer the store replaces (when it
// grows, is cleared or assigned) is kept until TakeRetired() hands it on.
class SampleStore {
 public:
  struct View {
    const Sample* samples;
    std::size_t count;
    bool ordered;              // every timestamp later than the one before
    std::uint64_t indexScale;  // see SampleBuffer
  };

  SampleStore() = default;
  SampleStore(std::initializer_list<Sample> samples) { Assign(samples.begin(), samples.size()); }
  SampleStore(const std::vector<Sample>& samples) { Assign(samples.data(), samples.size()); }
  SampleStore& operator=(const std::vector<Sample>& samples);
  SampleStore& operator=(std::initializer_list<Sample> samples);
  SampleStore(const SampleStore&) = delete;
  SampleStore& operator=(const SampleStore&) = delete;
  // No read section may remain; frees every buffer at once.
  ~SampleStore();

  View Published() const {
    const SampleBuffer* buffer = buffer_.load();
    if (buffer == nullptr) return {nullptr, 0, true, 0};
    const std::size_t count = buffer->count.load(std::memory_order_acquire);
    return {buffer->samples(), count,
            count <= buffer->firstDisorder.load(std::memory_order_relaxed),
            buffer->indexScale.load(std::memory_order_relaxed)};
  }

  std::size_t size() const { return Published().count; }
  bool empty() const { return size() == 0; }
  std::size_t capacity() const;
  const Sample* data() const { return Published().samples; }
  const Sample* begin() const { return data(); }
  const Sample* end() const { return data() + size(); }
  const Sample& operator[](std::size_t i) const { return data()[i]; }
  const Sample& front() const { return data()[0]; }
  const Sample& back() const { return data()[size() - 1]; }
  operator std::vector<Sample>() const { return std::vector<Sample>(begin(), end()); }

  // May throw std::bad_alloc, leaving the store as it was.
  void push_back(const Sample& sample);
  void reserve(std::size_t capacity);
  // Room for n more samples past the published ones; Commit(n) publishes
  // what the caller wrote there.
  Sample* Grow(std::size_t n);
  void Commit(std::size_t n);
  // Empties the store and releases its buffer.
  void clear();

  RetiredSamples TakeRetired();

 private:
  void Assign(const Sample* samples, std::size_t count);
  // Publishes next in place of the current buffer, which is retired.
  void Replace(SampleBuffer* next);

  std::atomic<SampleBuffer*> buffer_{nullptr};
  SampleBuffer* retired_ = nullptr;
};

struct SampleHistory {
  SampleStore samples;           // changed with historyMutex held
  platform::Mutex historyMutex;  // held only for one operation, never with valueMutex
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
// saturate. The search starts from the index the mean spacing predicts and
// walks to the nearest sample; where timestamps repeat or go back, where it
// starts decides among them. ordered says every timestamp is later than the
// one before: then the answer is one whatever the start, and a finer start
// spares the walk.
// indexScale, when not 0, says where an ordered search starts (see
// SampleBuffer).
std::ptrdiff_t SelectSampleIndex(const Sample* samples, std::size_t count, double offsetSeconds,
                                 bool ordered = false, std::uint64_t indexScale = 0);

// samplesPerTick (at most 1 where timestamps only go forward) as a fraction
// of 2^64, so that the index of a time is one multiplication of integers
// away: the largest fraction for 1 or more, 0 for what is not a positive
// number or rounds to nothing.
std::uint64_t IndexScale(double samplesPerTick);

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

// inReadSection: the caller is inside a read section, so the samples are read
// without historyMutex.
void GetSampleAt(SampleHistory& history, int valueCount, double offsetSeconds, ByteArray& out,
                 bool inReadSection = false);

}  // namespace orv

#endif  // ORV_FRAMEWORK_HISTORY_H
