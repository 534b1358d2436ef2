// The time-stamped sample store of a device and the queries over it.
#ifndef ORV_FRAMEWORK_HISTORY_HISTORY_H
#define ORV_FRAMEWORK_HISTORY_HISTORY_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "framework/core/model.h"
#include "framework/core/values.h"
#include "orv/driver_api.h"
#include "platform/platform.h"

namespace orv {

// One tick's values: a FILETIME count of local time and N floats (the unused
// tail of values is never read or written out).
struct Sample {
  std::uint64_t timestamp = 0;
  float values[kMaxValues] = {};
};

// Samples per block, as a power of two: an index splits into its block and
// its slot by a shift and a mask. 2^15 samples make blocks of 768 KiB (four
// values) and 1 MiB (six), whole multiples of the 64 KiB in which Windows
// hands out address space: large enough that a year of one-second samples
// needs about a thousand of them, small enough that the one partly filled
// block is a rounding error from a day of samples on.
constexpr unsigned kBlockShift = 15;

// Where a store's blocks come from: by default address space reserved from
// the operating system in large runs and committed a block at a time
// (platform::ReservePages), so that a history's blocks follow one another in
// memory as one array would. Tests substitute a source that fails on purpose.
struct BlockMemory {
  void* (*reserve)(std::size_t bytes);  // null when there is none
  bool (*commit)(void* at, std::size_t bytes);
  void (*release)(void* base, std::size_t bytes);
};
// The source for histories started from now on (null: the default); returns
// the one it replaces. Each history gives its memory back to its own source.
const BlockMemory* SetBlockMemory(const BlockMemory* memory);

// A history's samples as published: the blocks in order and how many samples
// they hold. Each sample is 8 + 4N bytes, the timestamp and the N values in
// the processor's own byte order (so on little-endian machines exactly the
// record of GetSampleAt and of the image). Published samples are never written
// again and blocks never move, so a reader that loaded a table reads its first
// count samples without a lock.
struct SampleTable {
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
  // The first sample's timestamp, kept here once it is published (it never
  // changes), so that a query reads it with the count.
  std::atomic<std::int64_t> firstTimestamp{0};
  std::size_t capacity = 0;  // block slots
  std::size_t stride = 0;    // bytes per sample
  unsigned shift = 0;        // 2^shift samples per block
  // The table this one replaced when the blocks outgrew it: kept, like the
  // blocks, until the history lets go of them all, so growing frees nothing
  // and never waits for a reader.
  SampleTable* older = nullptr;
  std::uint8_t** blocks = nullptr;  // capacity slots, right after the table
};

// Sample j of a table, found by shift and mask.
struct BlockRecords {
  std::uint8_t* const* blocks = nullptr;
  std::size_t stride = 0;
  unsigned shift = 0;
  std::size_t mask = 0;
  std::int64_t first = 0;  // Timestamp(0), when there is a sample

  std::int64_t First() const { return first; }
  const std::uint8_t* Record(std::size_t j) const {
    return blocks[j >> shift] + (j & mask) * stride;
  }
  std::int64_t Timestamp(std::size_t j) const {
    std::int64_t t;
    std::memcpy(&t, Record(j), sizeof t);
    return t;
  }
};

// One history's blocks since it was last cleared, with their tables. Owned
// by the store and by every snapshot taken of it; the last owner frees it.
struct SampleBlocks;

// Blocks a store let go of, freed once no read section can still read them.
class RetiredSamples {
 public:
  RetiredSamples() = default;
  explicit RetiredSamples(SampleBlocks* list) : list_(list) {}
  RetiredSamples(RetiredSamples&& other) noexcept : list_(other.list_) { other.list_ = nullptr; }
  RetiredSamples& operator=(RetiredSamples&& other) noexcept;
  // Lets go of the blocks; those nothing else owns are freed once the open
  // read sections have closed: never call it inside a section, nor with
  // historyMutex held.
  ~RetiredSamples();

 private:
  SampleBlocks* list_ = nullptr;
};

// The samples of a history as published at one instant, readable without the
// lock for as long as the snapshot lives: what a save or an export writes
// while the update thread goes on appending and the host goes on calling.
class SampleSnapshot {
 public:
  SampleSnapshot() = default;
  SampleSnapshot(SampleSnapshot&& other) noexcept;
  SampleSnapshot& operator=(SampleSnapshot&& other) noexcept;
  SampleSnapshot(const SampleSnapshot&) = delete;
  SampleSnapshot& operator=(const SampleSnapshot&) = delete;
  ~SampleSnapshot();

  std::size_t size() const { return count_; }
  std::size_t stride() const { return records_.stride; }
  const std::uint8_t* Record(std::size_t i) const { return records_.Record(i); }
  // Calls visit(records, n) for each block's run of samples, oldest first.
  template <typename Visit>
  void ForEachRun(Visit&& visit) const {
    const std::size_t perBlock = records_.mask + 1;
    for (std::size_t first = 0; first < count_; first += perBlock) {
      visit(static_cast<const std::uint8_t*>(records_.blocks[first >> records_.shift]),
            std::min(perBlock, count_ - first));
    }
  }

 private:
  friend class SampleStore;
  SampleSnapshot(const BlockRecords& records, std::size_t count, SampleBlocks* owner)
      : records_(records), count_(count), owner_(owner) {}

  BlockRecords records_;
  std::size_t count_ = 0;
  SampleBlocks* owner_ = nullptr;
};

// A history's samples in fixed-size blocks. The owner calls everything but
// Published() with historyMutex held. Published() may also be called without
// the mutex, from inside a read section: published samples never change, and
// blocks and tables the store lets go of (when it is cleared or assigned) are
// kept until TakeRetired() hands them on.
class SampleStore {
 public:
  struct View {
    BlockRecords records;
    std::size_t count;
    bool ordered;              // every timestamp later than the one before
    std::uint64_t indexScale;  // see SampleTable
  };

  explicit SampleStore(int valueCount = kMaxValues, unsigned blockShift = kBlockShift);
  SampleStore(std::initializer_list<Sample> samples) : SampleStore() {
    Assign(samples.begin(), samples.size());
  }
  SampleStore& operator=(const std::vector<Sample>& samples);
  SampleStore& operator=(std::initializer_list<Sample> samples);
  SampleStore(const SampleStore&) = delete;
  SampleStore& operator=(const SampleStore&) = delete;
  // No read section may remain; lets go of the blocks at once (a snapshot
  // still holding them frees them when it goes).
  ~SampleStore();

  View Published() const {
    const SampleTable* table = table_.load();
    if (table == nullptr) return {{}, 0, true, 0};
    const std::size_t count = table->count.load(std::memory_order_acquire);
    return {{table->blocks, table->stride, table->shift, (std::size_t{1} << table->shift) - 1,
             table->firstTimestamp.load(std::memory_order_relaxed)},
            count,
            count <= table->firstDisorder.load(std::memory_order_relaxed),
            table->indexScale.load(std::memory_order_relaxed)};
  }

  int valueCount() const { return valueCount_; }
  std::size_t stride() const { return SampleRecordSize(static_cast<std::size_t>(valueCount_)); }
  std::size_t blockSamples() const { return std::size_t{1} << shift_; }
  std::size_t size() const { return Published().count; }
  bool empty() const { return size() == 0; }
  // Blocks allocated, the one being filled included.
  std::size_t blockCount() const;
  Sample At(std::size_t i) const;
  operator std::vector<Sample>() const;

  // May throw std::bad_alloc, leaving the store as it was. Only the tail of
  // a sample past the store's value count is dropped.
  void Append(const Sample& sample);
  // Room for samples past the published ones, in the block being filled (a
  // new one when that is full): returns where, with how many fit in room.
  // Commit(n) publishes the first n the caller wrote there. May throw
  // std::bad_alloc, leaving the store as it was.
  std::uint8_t* Room(std::size_t& room);
  void Commit(std::size_t n);
  // Empties the store; its blocks go to TakeRetired().
  void clear();
  // What has been published so far, kept readable after the lock is
  // released. Allocates nothing.
  SampleSnapshot Snapshot() const;

  RetiredSamples TakeRetired();

 private:
  void Assign(const Sample* samples, std::size_t count);
  void AddBlock();

  int valueCount_;
  unsigned shift_;
  std::atomic<SampleTable*> table_{nullptr};
  SampleBlocks* blocks_ = nullptr;   // this store's own reference
  SampleBlocks* retired_ = nullptr;  // let go of, not yet handed on
};

struct SampleHistory {
  explicit SampleHistory(int valueCount = kMaxValues, unsigned blockShift = kBlockShift)
      : samples(valueCount, blockShift) {}
  SampleStore samples;           // changed with historyMutex held
  platform::Mutex historyMutex;  // held only for one operation, never with valueMutex
};

// Appends a copy under historyMutex. When no memory can be had for it the
// sample is dropped and false is returned; nothing is thrown, and every
// sample recorded before stays as it was.
bool AppendSample(SampleHistory& history, const Sample& sample) noexcept;
// inReadSection, here and below: the caller is inside a read section, so the
// published samples are read without historyMutex.
bool HasHistory(SampleHistory& history, bool inReadSection = false);
// Removes every sample and releases the storage.
void ClearHistory(SampleHistory& history);
std::size_t SampleCount(SampleHistory& history);
// Seconds from the first to the last sample (positions, not extremes); may be
// negative when the clock was set back while recording.
double GetHistoryDuration(SampleHistory& history, bool inReadSection = false);

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
// SampleTable).
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

// Writes the 8 + 4 * valueCount byte record of sample (timestamp 0 and invalid
// values when sample is null) into out, resizing out only when its length
// differs.
void WriteSampleRecord(const Sample* sample, int valueCount, ByteArray& out);

// inReadSection: the caller is inside a read section, so the samples are read
// without historyMutex.
void GetSampleAt(SampleHistory& history, int valueCount, double offsetSeconds, ByteArray& out,
                 bool inReadSection = false);

}  // namespace orv

#endif  // ORV_FRAMEWORK_HISTORY_HISTORY_H
