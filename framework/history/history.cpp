#include "framework/history/history.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <new>

#include "framework/core/lock.h"
#include "framework/core/values.h"
#include "framework/core/read_sections.h"
#include "framework/history/sample_query.h"
#include "platform/platform.h"

namespace orv {

// A run of reserved address space and how much of it holds blocks.
struct Reservation {
  std::uint8_t* base = nullptr;
  std::size_t bytes = 0;
  std::size_t used = 0;
  Reservation* next = nullptr;  // the one before
};

struct SampleBlocks {
  std::atomic<std::size_t> owners{1};
  const BlockMemory* memory = nullptr;
  std::size_t blockBytes = 0;
  std::size_t blockSpan = 0;           // blockBytes in whole 64 KiB units
  std::size_t blockCount = 0;          // all in table's first slots
  SampleTable* table = nullptr;        // the newest; it chains the older ones
  Reservation* reservation = nullptr;  // the newest; it chains the older ones
  SampleBlocks* nextRetired = nullptr;
};

namespace {

constexpr BlockMemory kPages{&platform::ReservePages, &platform::CommitPages,
                             &platform::ReleasePages};
std::atomic<const BlockMemory*> blockMemory{&kPages};

// A table's first slots when a history starts: 2^6 blocks, two million
// samples, before the first regrowth.
constexpr std::size_t kFirstSlots = 64;

// The unit in which address space is reserved on every system (Windows hands
// it out in 64 KiB): the models' blocks are whole multiples of it.
constexpr std::size_t kReserveUnit = 64 * 1024;

// Address space reserved at a time for a history's blocks: 1 GiB in a 64-bit
// process (it costs no memory, and the blocks of some 40 million samples
// follow one another); one block in a 32-bit one, whose address space is
// what runs out first. Where a large run cannot be had, one block is.
constexpr std::size_t kReserveBytes = sizeof(void*) >= 8 ? std::size_t{1} << 30 : 0;

SampleTable* NewTable(std::size_t capacity, const SampleTable* from, std::size_t stride,
                      unsigned shift) {
  if (capacity >
      (std::numeric_limits<std::size_t>::max() - sizeof(SampleTable)) / sizeof(std::uint8_t*)) {
    throw std::bad_alloc();
  }
  void* raw = ::operator new(sizeof(SampleTable) + capacity * sizeof(std::uint8_t*));
  auto* table = new (raw) SampleTable();
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
  }
  return table;
}

void FreeTables(SampleTable* table) {
  while (table != nullptr) {
    SampleTable* older = table->older;
    table->~SampleTable();
    ::operator delete(static_cast<void*>(table));
    table = older;
  }
}

void FreeBlocks(SampleBlocks* blocks) {
  for (Reservation* r = blocks->reservation; r != nullptr;) {
    Reservation* next = r->next;
    blocks->memory->release(r->base, r->bytes);
    delete r;
    r = next;
  }
  FreeTables(blocks->table);
  delete blocks;
}

// The next block's memory: committed in the newest reservation, or in a new
// one when that is full. Null when the system has none to give.
std::uint8_t* CommitBlock(SampleBlocks& blocks) {
  Reservation* r = blocks.reservation;
  const std::size_t span = blocks.blockSpan;
  if (r == nullptr || r->bytes - r->used < span) {
    auto next = std::make_unique<Reservation>();
    const std::size_t large = kReserveBytes / span * span;
    if (large > span) {
      next->base = static_cast<std::uint8_t*>(blocks.memory->reserve(large));
      next->bytes = large;
    }
    if (next->base == nullptr) {
      next->base = static_cast<std::uint8_t*>(blocks.memory->reserve(span));
      next->bytes = span;
    }
    if (next->base == nullptr) return nullptr;
    next->next = r;
    r = next.release();
    blocks.reservation = r;
  }
  std::uint8_t* block = r->base + r->used;
  if (!blocks.memory->commit(block, blocks.blockBytes)) return nullptr;
  r->used += span;
  return block;
}

// Drops one owner; true when that was the last.
bool LetGo(SampleBlocks* blocks) {
  return blocks != nullptr && blocks->owners.fetch_sub(1, std::memory_order_acq_rel) == 1;
}

BlockRecords RecordsOf(const SampleTable* table) {
  return {table->blocks, table->stride, table->shift, (std::size_t{1} << table->shift) - 1,
          table->firstTimestamp.load(std::memory_order_relaxed)};
}

std::uint64_t ScaleOf(const BlockRecords& records, std::size_t count) {
  if (count < 2) return 0;
  const double span =
      static_cast<double>(records.Timestamp(count - 1)) - static_cast<double>(records.Timestamp(0));
  return IndexScale(static_cast<double>(count - 1) / span);
}

// The first out-of-order index among [from, to), given the one known for
// [0, from).
std::size_t FirstDisorder(const BlockRecords& records, std::size_t from, std::size_t to,
                          std::size_t known) {
  if (known != SampleTable::kOrdered) return known;
  std::int64_t previous = from == 0 ? 0 : records.Timestamp(from - 1);
  for (std::size_t i = from; i < to; ++i) {
    const std::int64_t t = records.Timestamp(i);
    if (i != 0 && t <= previous) return i;
    previous = t;
  }
  return SampleTable::kOrdered;
}

}  // namespace

const BlockMemory* SetBlockMemory(const BlockMemory* memory) {
  const BlockMemory* previous = blockMemory.exchange(memory != nullptr ? memory : &kPages);
  return previous == &kPages ? nullptr : previous;
}

RetiredSamples& RetiredSamples::operator=(RetiredSamples&& other) noexcept {
  if (this != &other) {
    RetiredSamples old(std::move(*this));
    list_ = other.list_;
    other.list_ = nullptr;
  }
  return *this;
}

RetiredSamples::~RetiredSamples() {
  SampleBlocks* unowned = nullptr;
  while (list_ != nullptr) {
    SampleBlocks* next = list_->nextRetired;
    if (LetGo(list_)) {
      list_->nextRetired = unowned;
      unowned = list_;
    }
    list_ = next;
  }
  if (unowned == nullptr) return;
  SharedReadSections().WaitForReaders();
  while (unowned != nullptr) {
    SampleBlocks* next = unowned->nextRetired;
    FreeBlocks(unowned);
    unowned = next;
  }
}

SampleSnapshot::SampleSnapshot(SampleSnapshot&& other) noexcept
    : records_(other.records_), count_(other.count_), owner_(other.owner_) {
  other.count_ = 0;
  other.owner_ = nullptr;
}

SampleSnapshot& SampleSnapshot::operator=(SampleSnapshot&& other) noexcept {
  if (this != &other) {
    SampleSnapshot old(std::move(*this));
    records_ = other.records_;
    count_ = other.count_;
    owner_ = other.owner_;
    other.count_ = 0;
    other.owner_ = nullptr;
  }
  return *this;
}

SampleSnapshot::~SampleSnapshot() {
  if (!LetGo(owner_)) return;
  // The history let go first (it was cleared or is gone): a query that
  // loaded its table may still be reading.
  SharedReadSections().WaitForReaders();
  FreeBlocks(owner_);
}

SampleStore::SampleStore(int valueCount, unsigned blockShift)
    : valueCount_(std::clamp(valueCount, 0, kMaxValues)), shift_(std::min(blockShift, 24u)) {}

SampleStore& SampleStore::operator=(const std::vector<Sample>& samples) {
  Assign(samples.data(), samples.size());
  return *this;
}

SampleStore& SampleStore::operator=(std::initializer_list<Sample> samples) {
  Assign(samples.begin(), samples.size());
  return *this;
}

SampleStore::~SampleStore() {
  if (LetGo(blocks_)) FreeBlocks(blocks_);
  RetiredSamples released(retired_);
}

std::size_t SampleStore::blockCount() const { return blocks_ != nullptr ? blocks_->blockCount : 0; }

Sample SampleStore::At(std::size_t i) const {
  return LoadNative(Published().records.Record(i), valueCount_);
}

SampleStore::operator std::vector<Sample>() const {
  const View view = Published();
  std::vector<Sample> samples;
  samples.reserve(view.count);
  for (std::size_t i = 0; i < view.count; ++i) {
    samples.push_back(LoadNative(view.records.Record(i), valueCount_));
  }
  return samples;
}

void SampleStore::AddBlock() {
  if (blocks_ == nullptr) {
    auto* blocks = new SampleBlocks();
    blocks->memory = blockMemory.load();
    blocks->blockBytes = stride() << shift_;
    blocks->blockSpan = (blocks->blockBytes + kReserveUnit - 1) / kReserveUnit * kReserveUnit;
    blocks_ = blocks;
  }
  SampleBlocks& blocks = *blocks_;
  SampleTable* table = blocks.table;
  if (table == nullptr || blocks.blockCount == table->capacity) {
    // A larger table first, so that a block is never had without a slot.
    SampleTable* larger =
        NewTable(table == nullptr ? kFirstSlots : 2 * table->capacity, table, stride(), shift_);
    larger->older = table;
    blocks.table = larger;
    // Published with the same samples as the table it replaces; readers of
    // that one keep reading it until the history lets go of them both.
    table_.store(larger);
    table = larger;
  }
  std::uint8_t* block = CommitBlock(blocks);
  if (block == nullptr) throw std::bad_alloc();
  // Readers look at a slot only once a count that covers it is published.
  table->blocks[blocks.blockCount++] = block;
}

std::uint8_t* SampleStore::Room(std::size_t& room) {
  const SampleTable* table = table_.load(std::memory_order_relaxed);
  const std::size_t count = table != nullptr ? table->count.load(std::memory_order_relaxed) : 0;
  const std::size_t block = count >> shift_;
  if (block >= blockCount()) AddBlock();
  table = table_.load(std::memory_order_relaxed);
  const std::size_t slot = count & (blockSamples() - 1);
  room = blockSamples() - slot;
  return table->blocks[block] + slot * stride();
}

void SampleStore::Commit(std::size_t n) {
  if (n == 0) return;
  SampleTable* table = table_.load(std::memory_order_relaxed);
  const std::size_t count = table->count.load(std::memory_order_relaxed);
  const BlockRecords records = RecordsOf(table);
  table->firstDisorder.store(FirstDisorder(records, count, count + n,
                                           table->firstDisorder.load(std::memory_order_relaxed)),
                             std::memory_order_relaxed);
  table->indexScale.store(ScaleOf(records, count + n), std::memory_order_relaxed);
  if (count == 0) table->firstTimestamp.store(records.Timestamp(0), std::memory_order_relaxed);
  table->count.store(count + n, std::memory_order_release);
}

void SampleStore::Append(const Sample& sample) {
  std::size_t room = 0;
  StoreNative(sample, valueCount_, Room(room));
  Commit(1);
}

void SampleStore::Assign(const Sample* samples, std::size_t count) {
  clear();
  for (std::size_t i = 0; i < count; ++i) Append(samples[i]);
}

void SampleStore::clear() {
  // Sequentially consistent, so that the wait for readers that follows sees
  // every section that may have loaded the table.
  table_.store(nullptr);
  if (blocks_ != nullptr) {
    blocks_->nextRetired = retired_;
    retired_ = blocks_;
    blocks_ = nullptr;
  }
}

SampleSnapshot SampleStore::Snapshot() const {
  const SampleTable* table = table_.load(std::memory_order_relaxed);
  if (table == nullptr) return {};
  blocks_->owners.fetch_add(1, std::memory_order_relaxed);
  return SampleSnapshot(RecordsOf(table), table->count.load(std::memory_order_relaxed), blocks_);
}

RetiredSamples SampleStore::TakeRetired() {
  SampleBlocks* list = retired_;
  retired_ = nullptr;
  return RetiredSamples(list);
}

bool AppendSample(SampleHistory& history, const Sample& sample) noexcept {
  // Growing allocates a block, never moves a sample and frees nothing, so
  // the lock is held for one copy of a sample at most plus an allocation.
  LockGuard lock(history.historyMutex);
  try {
    history.samples.Append(sample);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (...) {
    return false;
  }
}

bool HasHistory(SampleHistory& history, bool inReadSection) {
  if (inReadSection) return !history.samples.empty();
  LockGuard lock(history.historyMutex);
  return !history.samples.empty();
}

void ClearHistory(SampleHistory& history) {
  RetiredSamples released;
  {
    LockGuard lock(history.historyMutex);
    history.samples.clear();
    released = history.samples.TakeRetired();
  }
  // The storage is freed here, outside the lock.
}

std::size_t SampleCount(SampleHistory& history) {
  LockGuard lock(history.historyMutex);
  return history.samples.size();
}

namespace {

double DurationOf(const SampleStore::View& view) {
  if (view.count == 0) return 0.0;
  const std::int64_t span =
      Difference(static_cast<std::uint64_t>(view.records.Timestamp(view.count - 1)),
                 static_cast<std::uint64_t>(view.records.Timestamp(0)));
  return static_cast<double>(span) / 10000000.0;
}

}  // namespace

double GetHistoryDuration(SampleHistory& history, bool inReadSection) {
  if (inReadSection) return DurationOf(history.samples.Published());
  LockGuard lock(history.historyMutex);
  return DurationOf(history.samples.Published());
}

std::ptrdiff_t SelectSampleIndex(const Sample* samples, std::size_t count, double offsetSeconds,
                                 bool ordered, std::uint64_t indexScale) {
  return SelectIndex(SampleArray{samples}, count, offsetSeconds, ordered, indexScale);
}

std::uint64_t IndexScale(double samplesPerTick) {
  const double scaled = samplesPerTick * 18446744073709551616.0;  // 2^64
  if (!(scaled >= 1.0)) return 0;
  if (scaled >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(scaled);
}

void WriteSampleRecord(const Sample* sample, int valueCount, ByteArray& out) {
  SizeRecord(valueCount, out);
  WriteRecord(sample, valueCount, out.data());
}

void GetSampleAt(SampleHistory& history, int valueCount, double offsetSeconds, ByteArray& out,
                 bool inReadSection) {
  // Sized before the lock is taken: only this may allocate.
  SizeRecord(valueCount, out);
  if (inReadSection)
    return WriteNearest(history.samples.Published(), offsetSeconds, valueCount, out.data());
  LockGuard lock(history.historyMutex);
  WriteNearest(history.samples.Published(), offsetSeconds, valueCount, out.data());
}

}  // namespace orv
