// Short lock-free read sections, and the wait a writer makes before it frees
// what such a section may still be reading.
//
// A reader enters a section, loads a published pointer (a registry snapshot,
// a sample buffer), reads through it and leaves. A writer publishes the
// replacement first, then waits until every section that was open at that
// moment has closed; only then does it free the old object. Entering costs
// one atomic read-modify-write on a slot of its own cache line, the same as
// taking an uncontended mutex, and leaving is a plain store; the writer's
// wait is rare (a registry change, a history that outgrows its buffer).
#ifndef ORV_FRAMEWORK_CORE_READ_SECTIONS_H
#define ORV_FRAMEWORK_CORE_READ_SECTIONS_H

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace orv {

class ReadSections {
 public:
  static constexpr unsigned kSlotBits = 5;
  static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
  static constexpr std::size_t kNoSlot = kSlots;

  constexpr ReadSections() = default;
  ReadSections(const ReadSections&) = delete;
  ReadSections& operator=(const ReadSections&) = delete;

  // Opens a section in a free slot and returns its index, or kNoSlot when
  // every slot is taken (the caller then reads under its locks instead).
  // The section is visible to WaitForReaders before any load that follows.
  std::size_t Enter() {
    const std::size_t first = FirstSlot();
    std::uint64_t sequence = slots_[first].sequence.load(std::memory_order_relaxed);
    // Sequentially consistent: either a writer's scan sees this section, or
    // the section's loads see what the writer published before the scan.
    if ((sequence & 1) == 0 &&
        slots_[first].sequence.compare_exchange_strong(sequence, sequence + 1))
      return first;
    return EnterAfter(first);
  }
  void Leave(std::size_t slot) {
    const std::uint64_t sequence = slots_[slot].sequence.load(std::memory_order_relaxed);
    slots_[slot].sequence.store(sequence + 1, std::memory_order_release);
  }
  // Where the calling thread's search for a free slot starts: its stack's
  // page, hashed. Threads' stacks lie a power of two apart, so the page
  // number itself (modulo the slots) would send most threads to one slot; a
  // Fibonacci hash spreads them, so that a host's few threads rarely share
  // one (and its cache line).
  static std::size_t FirstSlot() {
    int marker;
    const auto page = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&marker) >> 12);
    return (page * 0x9E3779B9u) >> (32 - kSlotBits);
  }
  // Returns once every section open when it was called has closed. Must not
  // be called from inside a section, nor with a lock that a section may wait
  // for.
  void WaitForReaders() const;

 private:
  // Enter's search past its first slot.
  std::size_t EnterAfter(std::size_t first);

  // Odd while a section is open in the slot; every enter and leave adds one,
  // so a reopened slot never looks like the section the writer waits for.
  struct alignas(64) Slot {
    std::atomic<std::uint64_t> sequence{0};
  };
  Slot slots_[kSlots];
};

// The sections of this module: one set for all its drivers and devices.
extern ReadSections sharedReadSections;
inline ReadSections& SharedReadSections() { return sharedReadSections; }

// A section for the lifetime of the guard, when a slot was free.
class ReadSection {
 public:
  ReadSection() : slot_(SharedReadSections().Enter()) {}
  ~ReadSection() {
    if (entered()) SharedReadSections().Leave(slot_);
  }
  ReadSection(const ReadSection&) = delete;
  ReadSection& operator=(const ReadSection&) = delete;

  bool entered() const { return slot_ != ReadSections::kNoSlot; }

 private:
  std::size_t slot_;
};

}  // namespace orv

#endif  // ORV_FRAMEWORK_CORE_READ_SECTIONS_H
