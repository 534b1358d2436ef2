#include "framework/history.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "framework/lock.h"
#include "framework/read_sections.h"
#include "framework/values.h"

namespace orv {
namespace {

// Timestamps are compared as signed 64-bit numbers; differences wrap instead
// of overflowing so that a damaged restored history cannot cause undefined
// behaviour.
std::int64_t AsSigned(std::uint64_t t) { return static_cast<std::int64_t>(t); }
std::int64_t Difference(std::uint64_t later, std::uint64_t earlier) {
  return static_cast<std::int64_t>(later - earlier);
}

// Truncates toward zero to a signed 64-bit count, saturating at its ends.
std::int64_t TruncateSaturated(double d) {
  if (!(d == d)) return 0;
  if (d >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (d <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(d);
}

std::int64_t AddSaturated(std::int64_t a, std::int64_t b) {
  std::int64_t sum;
  if (__builtin_add_overflow(a, b, &sum)) {
    return b > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
  }
  return sum;
}

}  // namespace

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

float InverseSpacing(const Sample* samples, std::size_t count) {
  if (count < 2) return 0.0f;
  const double span = static_cast<double>(AsSigned(samples[count - 1].timestamp)) -
                      static_cast<double>(AsSigned(samples[0].timestamp));
  const double inverse = static_cast<double>(count - 1) / span;
  // Only a finite, positive float that fits is worth keeping.
  return inverse > 1e-30 && inverse < 1e30 ? static_cast<float>(inverse) : 0.0f;
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
    next->inverseSpacing.store(InverseSpacing(next->samples(), count), std::memory_order_relaxed);
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
    next->inverseSpacing.store(buffer->inverseSpacing.load(std::memory_order_relaxed),
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
  buffer->inverseSpacing.store(InverseSpacing(buffer->samples(), count + n),
                               std::memory_order_relaxed);
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

namespace {

// The bodies of SelectSampleIndex and WriteSampleRecord, inlined into
// GetSampleAt: a host calls it thousands of times a second, and two calls
// more cost it a fifth of its time.
[[gnu::always_inline]] inline std::ptrdiff_t SelectIndex(const Sample* samples, std::size_t count,
                                                         double offsetSeconds, bool ordered,
                                                         float inverseSpacing) {
  if (count == 0) return -1;
  const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(count);
  const std::int64_t t0 = AsSigned(samples[0].timestamp);
  const std::int64_t tn = AsSigned(samples[n - 1].timestamp);
  double d = offsetSeconds * 10000000.0;
  if (!(d == d)) d = 0.0;
  const std::int64_t target = AddSaturated(t0, TruncateSaturated(d));

  if (target > tn) return n - 1;
  if (target < t0) return 0;

  std::ptrdiff_t j = 0;
  if (ordered) {
    // The first sample not earlier than the target, then the nearer of it
    // and the one before. The start assumes even spacing; with the
    // timestamps in order the walks cannot change the answer, only its cost.
    if (n == 1) return 0;
    const double perTick =
        inverseSpacing != 0.0f
            ? static_cast<double>(inverseSpacing)
            : static_cast<double>(n - 1) / (static_cast<double>(tn) - static_cast<double>(t0));
    // d * perTick is the target's fractional index; one past its whole part
    // is the first sample not earlier, unless it falls on a sample.
    double estimate = d * perTick + 1.0;
    if (!(estimate >= 0.0)) estimate = 0.0;
    if (estimate > static_cast<double>(n - 1)) estimate = static_cast<double>(n - 1);
    // Never below 1, so that the sample before is there to read; in a long
    // history both reads miss the cache, and are issued together.
    j = std::max<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(estimate), 1);
    const std::int64_t previous = AsSigned(samples[j - 1].timestamp);
    const std::int64_t current = AsSigned(samples[j].timestamp);
    if (previous >= target || current < target) {
      while (j < n - 1 && AsSigned(samples[j].timestamp) < target) ++j;
      while (j > 0 && AsSigned(samples[j - 1].timestamp) >= target) --j;
    }
  } else {
    const std::int64_t span = Difference(samples[n - 1].timestamp, samples[0].timestamp);
    if (span != 0) {
      const double spacing = static_cast<double>(span) / static_cast<double>(n);
      double estimate = d / spacing + 0.5;
      // t0 <= target <= tn keeps the estimate near 0..n; clamp before the
      // conversion so that no value can overflow it.
      if (!(estimate >= 0.0)) estimate = 0.0;
      if (estimate > static_cast<double>(n - 1)) estimate = static_cast<double>(n - 1);
      j = static_cast<std::ptrdiff_t>(estimate);
    }
    // The walks and the final comparison mostly read samples j and j - 1; in
    // a long history both are far apart in memory from the last query, so
    // fetch them together rather than one after the other.
    if (j > 0) __builtin_prefetch(&samples[j - 1]);
    // The first sample is not later than the target and the last not earlier,
    // so both walks stay inside the array.
    while (j > 0 && AsSigned(samples[j].timestamp) > target) --j;
    while (j < n - 1 && AsSigned(samples[j].timestamp) < target) ++j;
  }
  if (j > 0) {
    const std::int64_t after = Difference(samples[j].timestamp, static_cast<std::uint64_t>(target));
    const std::int64_t before =
        Difference(static_cast<std::uint64_t>(target), samples[j - 1].timestamp);
    j -= before < after ? 1 : 0;
  }
  return j;
}

// Gives out the length of a record, reallocating only when it differs.
void SizeRecord(int valueCount, ByteArray& out) {
  const std::size_t size = SampleRecordSize(static_cast<std::size_t>(valueCount));
  if (out.size() != size) {
    out.clear();
    out.resize(size, 0);
  }
}

// Writes the record into out, already sized by SizeRecord.
[[gnu::always_inline]] inline void WriteRecord(const Sample* sample, int valueCount,
                                               ByteArray& out) {
  if (sample != nullptr) {
    EncodeSampleRecord(*sample, valueCount, out.data());
    return;
  }
  std::uint8_t* p = out.data();
  PutLE32(p, 0);
  PutLE32(p + 4, 0);
  for (int i = 0; i < valueCount; ++i) PutLE32(p + 8 + 4 * i, kInvalidBits);
}

[[gnu::always_inline]] inline void WriteNearest(const SampleStore::View& view, double offsetSeconds,
                                                int valueCount, ByteArray& out) {
  const std::ptrdiff_t index =
      SelectIndex(view.samples, view.count, offsetSeconds, view.ordered, view.inverseSpacing);
  WriteRecord(index >= 0 ? &view.samples[index] : nullptr, valueCount, out);
}

}  // namespace

std::ptrdiff_t SelectSampleIndex(const Sample* samples, std::size_t count, double offsetSeconds,
                                 bool ordered, float inverseSpacing) {
  return SelectIndex(samples, count, offsetSeconds, ordered, inverseSpacing);
}

void WriteSampleRecord(const Sample* sample, int valueCount, ByteArray& out) {
  SizeRecord(valueCount, out);
  WriteRecord(sample, valueCount, out);
}

void GetSampleAt(SampleHistory& history, int valueCount, double offsetSeconds, ByteArray& out,
                 bool inReadSection) {
  // Sized before the lock is taken: only this may allocate.
  SizeRecord(valueCount, out);
  if (inReadSection)
    return WriteNearest(history.samples.Published(), offsetSeconds, valueCount, out);
  LockGuard lock(history.historyMutex);
  WriteNearest(history.samples.Published(), offsetSeconds, valueCount, out);
}

}  // namespace orv
