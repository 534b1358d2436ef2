// Reclamation: blocks a history let go of (it was cleared, restored over or
// destroyed) are freed only once no lock-free reader can still hold them.
#ifndef ORV_FRAMEWORK_HISTORY_RETIRED_BLOCKS_H
#define ORV_FRAMEWORK_HISTORY_RETIRED_BLOCKS_H

#include "framework/history/blocks.h"

namespace orv {

// A list of SharedBlocks a store let go of, each still holding the store's
// owner count. Destroying the list drops those counts; the blocks nothing
// else owns (no snapshot) are freed then, after every read section open at
// that moment has closed.
class RetiredBlocks {
 public:
  RetiredBlocks() = default;
  explicit RetiredBlocks(SharedBlocks* list) : list_(list) {}
  RetiredBlocks(RetiredBlocks&& other) noexcept : list_(other.list_) { other.list_ = nullptr; }
  RetiredBlocks& operator=(RetiredBlocks&& other) noexcept;
  // Waits for the open read sections when it frees anything: never destroy
  // one inside a section, nor with historyMutex held.
  ~RetiredBlocks();

 private:
  SharedBlocks* list_ = nullptr;
};

}  // namespace orv

#endif  // ORV_FRAMEWORK_HISTORY_RETIRED_BLOCKS_H
