#include "framework/history/blocks.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <new>

#include "platform/platform.h"

namespace orv {
namespace {

constexpr BlockMemory kPages{&platform::ReservePages, &platform::CommitPages,
                             &platform::ReleasePages};
std::atomic<const BlockMemory*> blockMemory{&kPages};

// The unit in which address space is reserved on every system (Windows hands
// it out in 64 KiB): the models' blocks are whole multiples of it.
constexpr std::size_t kReserveUnit = 64 * 1024;

// Address space reserved at a time for a history's blocks: 1 GiB in a 64-bit
// process (it costs no memory, and the blocks of some 40 million samples
// follow one another); one block in a 32-bit one, whose address space is
// what runs out first. Where a large run cannot be had, one block is.
constexpr std::size_t kReserveBytes = sizeof(void*) >= 8 ? std::size_t{1} << 30 : 0;

void FreeTables(BlockTable* table) {
  while (table != nullptr) {
    BlockTable* older = table->older;
    table->~BlockTable();
    ::operator delete(static_cast<void*>(table));
    table = older;
  }
}

// A new run of address space for blocks: a large one where that makes sense
// and can be had, else one block's span. Null when there is none.
std::unique_ptr<ReservedRun> ReserveRun(const SharedBlocks& blocks) {
  auto run = std::make_unique<ReservedRun>();
  const std::size_t span = blocks.blockSpan;
  const std::size_t large = kReserveBytes / span * span;
  if (large > span) {
    run->base = static_cast<std::uint8_t*>(blocks.memory->reserve(large));
    run->bytes = large;
  }
  if (run->base == nullptr) {
    run->base = static_cast<std::uint8_t*>(blocks.memory->reserve(span));
    run->bytes = span;
  }
  if (run->base == nullptr) return nullptr;
  return run;
}

}  // namespace

const BlockMemory* SetBlockMemory(const BlockMemory* memory) {
  const BlockMemory* previous = blockMemory.exchange(memory != nullptr ? memory : &kPages);
  return previous == &kPages ? nullptr : previous;
}

BlockRecords RecordsOf(const BlockTable& table) {
  return {table.blocks, table.stride, table.shift, (std::size_t{1} << table.shift) - 1,
          table.firstTimestamp.load(std::memory_order_relaxed)};
}

SharedBlocks* NewSharedBlocks(std::size_t stride, unsigned shift) {
  auto* blocks = new SharedBlocks();
  blocks->memory = blockMemory.load();
  blocks->blockBytes = stride << shift;
  blocks->blockSpan = (blocks->blockBytes + kReserveUnit - 1) / kReserveUnit * kReserveUnit;
  return blocks;
}

bool DropOwner(SharedBlocks* blocks) {
  return blocks != nullptr && blocks->owners.fetch_sub(1, std::memory_order_acq_rel) == 1;
}

void FreeSharedBlocks(SharedBlocks* blocks) {
  for (ReservedRun* run = blocks->runs; run != nullptr;) {
    ReservedRun* next = run->next;
    blocks->memory->release(run->base, run->bytes);
    delete run;
    run = next;
  }
  FreeTables(blocks->table);
  delete blocks;
}

BlockTable* NewBlockTable(std::size_t capacity, const BlockTable* from, std::size_t stride,
                          unsigned shift) {
  if (capacity >
      (std::numeric_limits<std::size_t>::max() - sizeof(BlockTable)) / sizeof(std::uint8_t*)) {
    throw std::bad_alloc();
  }
  void* raw = ::operator new(sizeof(BlockTable) + capacity * sizeof(std::uint8_t*));
  auto* table = new (raw) BlockTable();
  table->capacity = capacity;
  table->stride = stride;
  table->shift = shift;
  table->blocks = reinterpret_cast<std::uint8_t**>(table + 1);
  std::fill_n(table->blocks, capacity, nullptr);
  if (from != nullptr) {
    std::copy_n(from->blocks, from->capacity, table->blocks);
    table->count.store(from->count.load(std::memory_order_relaxed), std::memory_order_relaxed);
    table->firstDisorder.store(from->firstDisorder.load(std::memory_order_relaxed),
                               std::memory_order_relaxed);
    table->indexScale.store(from->indexScale.load(std::memory_order_relaxed),
                            std::memory_order_relaxed);
    table->firstTimestamp.store(from->firstTimestamp.load(std::memory_order_relaxed),
                                std::memory_order_relaxed);
    table->flat.store(from->flat.load(std::memory_order_relaxed), std::memory_order_relaxed);
  }
  return table;
}

std::uint8_t* CommitBlock(SharedBlocks& blocks) {
  ReservedRun* run = blocks.runs;
  const std::size_t span = blocks.blockSpan;
  if (run == nullptr || run->bytes - run->used < span) {
    std::unique_ptr<ReservedRun> next = ReserveRun(blocks);
    if (next == nullptr) return nullptr;
    next->next = run;
    run = next.release();
    blocks.runs = run;
  }
  std::uint8_t* block = run->base + run->used;
  if (!blocks.memory->commit(block, blocks.blockBytes)) return nullptr;
  run->used += span;
  return block;
}

}  // namespace orv
