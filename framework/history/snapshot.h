// A history's samples as published at one instant, readable without the lock
// for as long as the snapshot lives: what a save or an export writes while
// the update thread goes on appending and the host goes on calling.
#ifndef ORV_FRAMEWORK_HISTORY_SNAPSHOT_H
#define ORV_FRAMEWORK_HISTORY_SNAPSHOT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "framework/history/blocks.h"

namespace orv {

// Holds one owner count of the history's SharedBlocks: a history cleared
// meanwhile keeps its blocks until the snapshot goes, which then frees them
// (after the open read sections have closed) when it was the last owner.
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
  // Takes over one owner count of owner.
  SampleSnapshot(const BlockRecords& records, std::size_t count, SharedBlocks* owner)
      : records_(records), count_(count), owner_(owner) {}

  BlockRecords records_;
  std::size_t count_ = 0;
  SharedBlocks* owner_ = nullptr;
};

}  // namespace orv

#endif  // ORV_FRAMEWORK_HISTORY_SNAPSHOT_H
