#include "framework/core/read_sections.h"

#include <thread>

namespace orv {

constinit ReadSections sharedReadSections;

std::size_t ReadSections::EnterAfter(std::size_t first) {
  for (std::size_t k = 1; k < kSlots; ++k) {
    const std::size_t i = (first + k) % kSlots;
    std::uint64_t sequence = slots_[i].sequence.load(std::memory_order_relaxed);
    if ((sequence & 1) == 0 && slots_[i].sequence.compare_exchange_strong(sequence, sequence + 1))
      return i;
  }
  return kNoSlot;
}

void ReadSections::WaitForReaders() const {
  for (const Slot& slot : slots_) {
    const std::uint64_t open = slot.sequence.load();
    if ((open & 1) == 0) continue;
    while (slot.sequence.load(std::memory_order_acquire) == open) std::this_thread::yield();
  }
}

}  // namespace orv
