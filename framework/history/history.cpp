#include "framework/history/history.h"

#include <new>

#include "framework/core/lock.h"
#include "framework/history/sample_query.h"

namespace orv {

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
  RetiredBlocks released;
  {
    LockGuard lock(history.historyMutex);
    history.samples.clear();
    released = history.samples.TakeRetiredBlocks();
    history.clears.fetch_add(1);
  }
  // The storage is freed here, outside the lock.
}

std::size_t SampleCount(SampleHistory& history) {
  LockGuard lock(history.historyMutex);
  return history.samples.size();
}

namespace {

double DurationOf(const PublishedSamples& published) {
  if (published.count == 0) return 0.0;
  const std::int64_t span =
      Difference(static_cast<std::uint64_t>(published.records.Timestamp(published.count - 1)),
                 static_cast<std::uint64_t>(published.records.Timestamp(0)));
  return static_cast<double>(span) / 10000000.0;
}

}  // namespace

double GetHistoryDuration(SampleHistory& history, bool inReadSection) {
  if (inReadSection) return DurationOf(history.samples.ReadPublished());
  LockGuard lock(history.historyMutex);
  return DurationOf(history.samples.ReadPublished());
}

std::ptrdiff_t SelectSampleIndex(const Sample* samples, std::size_t count, double offsetSeconds,
                                 bool ordered, std::uint64_t indexScale) {
  return SelectIndex(SampleArray{samples}, count, offsetSeconds, ordered, indexScale);
}

void WriteSampleRecord(const Sample* sample, int valueCount, ByteArray& out) {
  SizeRecord(valueCount, out);
  WriteRecord(sample, valueCount, out.data());
}

void GetSampleAt(SampleHistory& history, int valueCount, double offsetSeconds, ByteArray& out,
                 bool inReadSection) {
  // Sized before the lock is taken: only this may allocate.
  SizeRecord(valueCount, out);
  WriteSampleAt(history, valueCount, offsetSeconds, out.data(), inReadSection);
}

}  // namespace orv
