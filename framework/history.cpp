#include "framework/history.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "framework/lock.h"
#include "framework/read_sections.h"
#include "framework/sample_query.h"
#include "framework/values.h"

namespace orv {
namespace {

// A buffer on a cache-line boundary. Plain operator new with room to align
// (not the aligned form), so that a host's or a test's replacement of it
// sees every allocation.
SampleBuffer* NewBuffer(std::size_t capacity) {
  constexpr std::size_t kAlign = alignof(SampleBuffer);
  constexpr std::size_t kMax =
      (std::numeric_limits<std::size_t>::max() - sizeof(SampleBuffer) - kAlign) / sizeof(Sample);
  if (capacity > kMax) throw std::bad_alloc();
  void* raw = ::operator new(sizeof(SampleBuffer) + capacity * sizeof(Sample) + kAlign);
  const std::uintptr_t at = (reinterpret_cast<std::uintptr_t>(raw) + kAlign - 1) & ~(kAlign - 1);
  SampleBuffer* buffer = new (reinterpret_cast<void*>(at)) SampleBuffer();
  buffer->allocation = raw;
  buffer->capacity = capacity;
  return buffer;
}

void FreeBuffer(SampleBuffer* buffer) {
  void* raw = buffer->allocation;
  buffer->~SampleBuffer();
  ::operator delete(raw);
}

void FreeList(SampleBuffer* list) {
  while (list != nullptr) {
    SampleBuffer* next = list->nextRetired;
    FreeBuffer(list);
    list = next;
  }
}

std::uint64_t ScaleOf(const Sample* samples, std::size_t count) {
  if (count < 2) return 0;
  const double span = static_cast<double>(AsSigned(samples[count - 1].timestamp)) -
                      static_cast<double>(AsSigned(samples[0].timestamp));
  return IndexScale(static_cast<double>(count - 1) / span);
}

// The first out-of-order index among samples[from, to), given the one known
// for samples[0, from).
std::size_t FirstDisorder(const Sample* samples, std::size_t from, std::size_t to,
                          std::size_t known) {
  if (known != SampleBuffer::kOrdered) return known;
  for (std::size_t i = from == 0 ? 1 : from; i < to; ++i) {
    if (AsSigned(samples[i].timestamp) <= AsSigned(samples[i - 1].timestamp)) return i;
  }
  return SampleBuffer::kOrdered;
}

}  // namespace

RetiredSamples& RetiredSamples::operator=(RetiredSamples&& other) noexcept {
  if (this != &other) {
    RetiredSamples old(std::move(*this));
    list_ = other.list_;
    other.list_ = nullptr;
  }
  return *this;
}

RetiredSamples::~RetiredSamples() {
  if (list_ == nullptr) return;
  SharedReadSections().WaitForReaders();
  FreeList(list_);
}

SampleStore& SampleStore::operator=(const std::vector<Sample>& samples) {
  Assign(samples.data(), samples.size());
  return *this;
}

SampleStore& SampleStore::operator=(std::initializer_list<Sample> samples) {
  Assign(samples.begin(), samples.size());
  return *this;
}

SampleStore::~SampleStore() {
  SampleBuffer* buffer = buffer_.load(std::memory_order_relaxed);
  if (buffer != nullptr) FreeBuffer(buffer);
  FreeList(retired_);
}

std::size_t SampleStore::capacity() const {
  const SampleBuffer* buffer = buffer_.load(std::memory_order_relaxed);
  return buffer != nullptr ? buffer->capacity : 0;
}

void SampleStore::Replace(SampleBuffer* next) {
  SampleBuffer* old = buffer_.load(std::memory_order_relaxed);
  // Sequentially consistent, so that the wait for readers that follows sees
  // every section that may have loaded the old buffer.
  buffer_.store(next);
  if (old != nullptr) {
    old->nextRetired = retired_;
    retired_ = old;
  }
}

void SampleStore::Assign(const Sample* samples, std::size_t count) {
  SampleBuffer* next = nullptr;
  if (count != 0) {
    next = NewBuffer(count);
    std::copy(samples, samples + count, next->samples());
    next->firstDisorder.store(FirstDisorder(next->samples(), 0, count, SampleBuffer::kOrdered),
                              std::memory_order_relaxed);
    next->indexScale.store(ScaleOf(next->samples(), count), std::memory_order_relaxed);
    next->count.store(count, std::memory_order_relaxed);
  }
  Replace(next);
}

void SampleStore::reserve(std::size_t capacity) {
  SampleBuffer* buffer = buffer_.load(std::memory_order_relaxed);
  const std::size_t current = buffer != nullptr ? buffer->capacity : 0;
  if (capacity <= current) return;
  SampleBuffer* next = NewBuffer(capacity);
  if (buffer != nullptr) {
    const std::size_t count = buffer->count.load(std::memory_order_relaxed);
    std::copy(buffer->samples(), buffer->samples() + count, next->samples());
    next->firstDisorder.store(buffer->firstDisorder.load(std::memory_order_relaxed),
                              std::memory_order_relaxed);
    next->indexScale.store(buffer->indexScale.load(std::memory_order_relaxed),
                           std::memory_order_relaxed);
    next->count.store(count, std::memory_order_relaxed);
  }
  Replace(next);
}

Sample* SampleStore::Grow(std::size_t n) {
  const std::size_t count = size();
  if (n > std::numeric_limits<std::size_t>::max() - count) throw std::bad_alloc();
  if (count + n > capacity()) reserve(std::max(count + n, 2 * count));
  return buffer_.load(std::memory_order_relaxed)->samples() + count;
}

void SampleStore::Commit(std::size_t n) {
  if (n == 0) return;
  SampleBuffer* buffer = buffer_.load(std::memory_order_relaxed);
  const std::size_t count = buffer->count.load(std::memory_order_relaxed);
  buffer->firstDisorder.store(FirstDisorder(buffer->samples(), count, count + n,
                                            buffer->firstDisorder.load(std::memory_order_relaxed)),
                              std::memory_order_relaxed);
  buffer->indexScale.store(ScaleOf(buffer->samples(), count + n), std::memory_order_relaxed);
  buffer->count.store(count + n, std::memory_order_release);
}

void SampleStore::push_back(const Sample& sample) {
  *Grow(1) = sample;
  Commit(1);
}

void SampleStore::clear() { Replace(nullptr); }

RetiredSamples SampleStore::TakeRetired() {
  SampleBuffer* list = retired_;
  retired_ = nullptr;
  return RetiredSamples(list);
}

bool AppendSample(SampleHistory& history, const Sample& sample) noexcept {
  // Declared first, so that a buffer the append replaced is freed after the
  // mutex is released.
  RetiredSamples retired;
  LockGuard lock(history.historyMutex);
  try {
    history.samples.push_back(sample);
    retired = history.samples.TakeRetired();
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (...) {
    return false;
  }
}

bool HasHistory(SampleHistory& history) {
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

double GetHistoryDuration(SampleHistory& history) {
  LockGuard lock(history.historyMutex);
  if (history.samples.empty()) return 0.0;
  const std::int64_t span =
      Difference(history.samples.back().timestamp, history.samples.front().timestamp);
  return static_cast<double>(span) / 10000000.0;
}

std::ptrdiff_t SelectSampleIndex(const Sample* samples, std::size_t count, double offsetSeconds,
                                 bool ordered, std::uint64_t indexScale) {
  return SelectIndex(samples, count, offsetSeconds, ordered, indexScale);
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
