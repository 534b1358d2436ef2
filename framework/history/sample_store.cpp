#include "framework/history/sample_store.h"

#include <algorithm>
#include <limits>
#include <new>

namespace orv {
namespace {

// A table's first slots when a history starts: 2^6 blocks, two million
// samples, before the first regrowth.
constexpr std::size_t kFirstSlots = 64;

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
  if (known != BlockTable::kOrdered) return known;
  std::int64_t previous = from == 0 ? 0 : records.Timestamp(from - 1);
  for (std::size_t i = from; i < to; ++i) {
    const std::int64_t t = records.Timestamp(i);
    if (i != 0 && t <= previous) return i;
    previous = t;
  }
  return BlockTable::kOrdered;
}

}  // namespace

std::uint64_t IndexScale(double samplesPerTick) {
  const double scaled = samplesPerTick * 18446744073709551616.0;  // 2^64
  if (!(scaled >= 1.0)) return 0;
  if (scaled >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(scaled);
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
  if (DropOwner(shared_)) FreeSharedBlocks(shared_);
  RetiredBlocks released(retired_);
}

std::size_t SampleStore::blockCount() const { return shared_ != nullptr ? shared_->blockCount : 0; }

Sample SampleStore::At(std::size_t i) const {
  return LoadNative(ReadPublished().records.Record(i), valueCount_);
}

SampleStore::operator std::vector<Sample>() const {
  const PublishedSamples published = ReadPublished();
  std::vector<Sample> samples;
  samples.reserve(published.count);
  for (std::size_t i = 0; i < published.count; ++i) {
    samples.push_back(LoadNative(published.records.Record(i), valueCount_));
  }
  return samples;
}

void SampleStore::AddBlock() {
  if (shared_ == nullptr) shared_ = NewSharedBlocks(stride(), shift_);
  SharedBlocks& blocks = *shared_;
  BlockTable* table = blocks.table;
  if (table == nullptr || blocks.blockCount == table->capacity) {
    // A larger table first, so that a block is never had without a slot.
    BlockTable* larger = NewBlockTable(table == nullptr ? kFirstSlots : 2 * table->capacity, table,
                                       stride(), shift_);
    larger->older = table;
    blocks.table = larger;
    // Published with the same samples as the table it replaces; readers of
    // that one keep reading it until the history's blocks are freed.
    table_.store(larger);
    table = larger;
  }
  std::uint8_t* block = CommitBlock(blocks);
  if (block == nullptr) throw std::bad_alloc();
  // Readers look at a slot, and at flat as it covers the block, only once a
  // count that covers it is published.
  const std::size_t k = blocks.blockCount;
  std::uint8_t* flat = k == 0 ? block : table->flat.load(std::memory_order_relaxed);
  if (flat != nullptr && block != flat + k * blocks.blockBytes) flat = nullptr;
  table->flat.store(flat, std::memory_order_relaxed);
  table->blocks[blocks.blockCount++] = block;
}

std::uint8_t* SampleStore::WritableSlots(std::size_t& count) {
  const BlockTable* table = table_.load(std::memory_order_relaxed);
  const std::size_t published = table != nullptr ? table->count.load(std::memory_order_relaxed) : 0;
  const std::size_t block = published >> shift_;
  if (block >= blockCount()) AddBlock();
  table = table_.load(std::memory_order_relaxed);
  const std::size_t slot = published & (blockSamples() - 1);
  count = blockSamples() - slot;
  return table->blocks[block] + slot * stride();
}

void SampleStore::Publish(std::size_t n) {
  if (n == 0) return;
  BlockTable* table = table_.load(std::memory_order_relaxed);
  const std::size_t count = table->count.load(std::memory_order_relaxed);
  const BlockRecords records = RecordsOf(*table);
  table->firstDisorder.store(FirstDisorder(records, count, count + n,
                                           table->firstDisorder.load(std::memory_order_relaxed)),
                             std::memory_order_relaxed);
  table->indexScale.store(ScaleOf(records, count + n), std::memory_order_relaxed);
  if (count == 0) table->firstTimestamp.store(records.Timestamp(0), std::memory_order_relaxed);
  table->count.store(count + n, std::memory_order_release);
}

void SampleStore::Append(const Sample& sample) {
  std::size_t free = 0;
  StoreNative(sample, valueCount_, WritableSlots(free));
  Publish(1);
}

void SampleStore::Assign(const Sample* samples, std::size_t count) {
  clear();
  for (std::size_t i = 0; i < count; ++i) Append(samples[i]);
}

void SampleStore::clear() {
  // Sequentially consistent, so that the wait for readers that follows sees
  // every section that may have loaded the table.
  table_.store(nullptr);
  if (shared_ != nullptr) {
    shared_->nextRetired = retired_;
    retired_ = shared_;
    shared_ = nullptr;
  }
}

SampleSnapshot SampleStore::Snapshot() const {
  const BlockTable* table = table_.load(std::memory_order_relaxed);
  if (table == nullptr) return {};
  shared_->owners.fetch_add(1, std::memory_order_relaxed);
  return SampleSnapshot(RecordsOf(*table), table->count.load(std::memory_order_relaxed), shared_);
}

RetiredBlocks SampleStore::TakeRetiredBlocks() {
  SharedBlocks* list = retired_;
  retired_ = nullptr;
  return RetiredBlocks(list);
}

}  // namespace orv
