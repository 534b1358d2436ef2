// The memory of a history: fixed-size blocks of samples, the block tables
// that list them, and who owns both until when. A block, once full, never
// changes and never moves; growing adds a block and a slot in a table.
#ifndef ORV_FRAMEWORK_HISTORY_BLOCKS_H
#define ORV_FRAMEWORK_HISTORY_BLOCKS_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orv {

// Samples per block, as a power of two: an index splits into its block and
// its slot by a shift and a mask. 2^15 samples make blocks of 768 KiB (four
// values) and 1 MiB (six), whole multiples of the 64 KiB in which Windows
// hands out address space: large enough that a year of one-second samples
// needs about a thousand of them, small enough that the one partly filled
// block is a rounding error from a day of samples on.
constexpr unsigned kBlockShift = 15;

// Where blocks come from: by default address space reserved from the
// operating system in large runs and committed a block at a time
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

// The list of a history's blocks in order, and how many samples they hold as
// published. Each sample is 8 + 4N bytes, the timestamp and the N values in
// the processor's own byte order (so on little-endian machines exactly the
// record of GetSampleAt and of the image). Published samples are never written
// again and blocks never move, so a reader that loaded a table reads its first
// count samples without a lock. A table owns neither its blocks nor the table
// it replaced: SharedBlocks owns them all.
struct BlockTable {
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
  // The first block while every block lies right after the one before (as
  // the blocks of one reserved run do), or null once one does not: then
  // sample j is at flat + j * stride, one array, with no look-up in the
  // table. Set with each block before a count that covers it is published,
  // and once null it stays null.
  std::atomic<std::uint8_t*> flat{nullptr};
  std::size_t capacity = 0;  // block slots
  std::size_t stride = 0;    // bytes per sample
  unsigned shift = 0;        // 2^shift samples per block
  // The table this one replaced when the blocks outgrew it: kept, like the
  // blocks, until the last owner of the history's blocks lets go, so growing
  // frees nothing and never waits for a reader.
  BlockTable* older = nullptr;
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

BlockRecords RecordsOf(const BlockTable& table);

// A run of address space reserved from a BlockMemory, and how much of it
// holds committed blocks. Released with the SharedBlocks that chains it.
struct ReservedRun {
  std::uint8_t* base = nullptr;
  std::size_t bytes = 0;
  std::size_t used = 0;
  ReservedRun* next = nullptr;  // the one reserved before
};

// Everything one history allocated since it was last cleared: the reserved
// runs with the blocks committed in them, and every block table it grew
// through. Shared by the store and every snapshot taken of it: each holds one
// owner count, and the last to drop it frees everything (FreeSharedBlocks),
// once no read section can still be reading.
struct SharedBlocks {
  std::atomic<std::size_t> owners{1};
  const BlockMemory* memory = nullptr;
  std::size_t blockBytes = 0;
  std::size_t blockSpan = 0;            // blockBytes in whole 64 KiB units
  std::size_t blockCount = 0;           // all in table's first slots
  BlockTable* table = nullptr;          // the newest; it chains the older ones
  ReservedRun* runs = nullptr;          // the newest; it chains the older ones
  SharedBlocks* nextRetired = nullptr;  // in a RetiredBlocks list
};

// The blocks of a new history of stride-byte samples, 2^shift to a block,
// drawn from the current BlockMemory; one owner. May throw std::bad_alloc.
SharedBlocks* NewSharedBlocks(std::size_t stride, unsigned shift);
// Drops one owner; true when that was the last, and the caller frees.
bool DropOwner(SharedBlocks* blocks);
// Releases the runs to their memory and deletes the tables. The caller has
// made sure that no read section can still be reading them.
void FreeSharedBlocks(SharedBlocks* blocks);

// A table of capacity slots holding from's blocks and counts (from may be
// null). May throw std::bad_alloc.
BlockTable* NewBlockTable(std::size_t capacity, const BlockTable* from, std::size_t stride,
                          unsigned shift);
// Commits the next block's memory, in the newest run or a new one when that
// is full. Null when the system has none to give.
std::uint8_t* CommitBlock(SharedBlocks& blocks);

}  // namespace orv

#endif  // ORV_FRAMEWORK_HISTORY_BLOCKS_H
