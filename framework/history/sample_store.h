// A history's samples in fixed-size blocks: appended by one writer under
// historyMutex, read lock-free by queries, snapshotted by saves and exports.
#ifndef ORV_FRAMEWORK_HISTORY_SAMPLE_STORE_H
#define ORV_FRAMEWORK_HISTORY_SAMPLE_STORE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "framework/core/model.h"
#include "framework/history/blocks.h"
#include "framework/history/retired_blocks.h"
#include "framework/history/sample.h"
#include "framework/history/snapshot.h"
#include "orv/driver_api.h"

namespace orv {

// What a reader loads in one go: the records, how many are published, and
// what the search for a time needs to know of them.
struct PublishedSamples {
  BlockRecords records;
  std::size_t count;
  bool ordered;              // every timestamp later than the one before
  std::uint64_t indexScale;  // see BlockTable
  const std::uint8_t* flat;  // the samples as one array, or null (see BlockTable)
};

// The store owns one owner count of its current SharedBlocks, and a list of
// those it let go of (cleared or assigned over) until TakeRetiredBlocks hands
// them on. The owner calls everything but ReadPublished() with historyMutex
// held. ReadPublished() may also be called without the mutex, from inside a
// read section: published samples never change, and what the store lets go
// of is freed only after the sections have closed.
class SampleStore {
 public:
  explicit SampleStore(int valueCount = kMaxValues, unsigned blockShift = kBlockShift);
  SampleStore(std::initializer_list<Sample> samples) : SampleStore() {
    Assign(samples.begin(), samples.size());
  }
  SampleStore& operator=(const std::vector<Sample>& samples);
  SampleStore& operator=(std::initializer_list<Sample> samples);
  SampleStore(const SampleStore&) = delete;
  SampleStore& operator=(const SampleStore&) = delete;
  // No read section may remain; drops the store's owner counts at once (a
  // snapshot still holding the blocks frees them when it goes).
  ~SampleStore();

  PublishedSamples ReadPublished() const {
    const BlockTable* table = table_.load();
    if (table == nullptr) return {{}, 0, true, 0, nullptr};
    const std::size_t count = table->count.load(std::memory_order_acquire);
    return {{table->blocks, table->stride, table->shift, (std::size_t{1} << table->shift) - 1,
             table->firstTimestamp.load(std::memory_order_relaxed)},
            count,
            count <= table->firstDisorder.load(std::memory_order_relaxed),
            table->indexScale.load(std::memory_order_relaxed),
            table->flat.load(std::memory_order_relaxed)};
  }

  int valueCount() const { return valueCount_; }
  std::size_t stride() const { return SampleRecordSize(static_cast<std::size_t>(valueCount_)); }
  std::size_t blockSamples() const { return std::size_t{1} << shift_; }
  std::size_t size() const { return ReadPublished().count; }
  bool empty() const { return size() == 0; }
  // Blocks allocated, the one being filled included.
  std::size_t blockCount() const;
  Sample At(std::size_t i) const;
  operator std::vector<Sample>() const;

  // May throw std::bad_alloc, leaving the store as it was. Only the tail of
  // a sample past the store's value count is dropped.
  void Append(const Sample& sample);
  // The free slots past the published samples in the block being filled (a
  // new block when that is full): returns where they start, with how many
  // there are in count. Publish(n) then publishes the first n the caller
  // wrote there. May throw std::bad_alloc, leaving the store as it was.
  std::uint8_t* WritableSlots(std::size_t& count);
  void Publish(std::size_t n);
  // Empties the store; its blocks go to the retired list.
  void clear();
  // What has been published so far, kept readable after the lock is
  // released. Allocates nothing.
  SampleSnapshot Snapshot() const;

  // The blocks let go of since the last call, to be destroyed outside
  // historyMutex.
  RetiredBlocks TakeRetiredBlocks();

 private:
  void Assign(const Sample* samples, std::size_t count);
  void AddBlock();

  int valueCount_;
  unsigned shift_;
  std::atomic<BlockTable*> table_{nullptr};  // the newest table of shared_
  SharedBlocks* shared_ = nullptr;           // one owner count
  SharedBlocks* retired_ = nullptr;          // let go of, not yet handed on
};

// samplesPerTick (at most 1 where timestamps only go forward) as a fraction
// of 2^64, so that the index of a time is one multiplication of integers
// away: the largest fraction for 1 or more, 0 for what is not a positive
// number or rounds to nothing.
std::uint64_t IndexScale(double samplesPerTick);

}  // namespace orv

#endif  // ORV_FRAMEWORK_HISTORY_SAMPLE_STORE_H
