// The time-stamped sample store of a device and the queries over it.
#ifndef ORV_FRAMEWORK_HISTORY_H
#define ORV_FRAMEWORK_HISTORY_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "framework/model.h"
#include "orv/driver_api.h"
#include "platform/platform.h"

namespace orv {

// One tick's values: a FILETIME count of local time and N floats (the unused
// tail of values is never read or written out).
struct Sample {
  std::uint64_t timestamp = 0;
  float values[kMaxValues] = {};
};

struct SampleHistory {
  std::vector<Sample> samples;   // guarded by historyMutex
  platform::Mutex historyMutex;  // held only for one operation, never with valueMutex
};

// Appends a copy under historyMutex. When no memory can be had for it the
// sample is dropped and false is returned; nothing is thrown.
bool AppendSample(SampleHistory& history, const Sample& sample) noexcept;
bool HasHistory(SampleHistory& history);
// Removes every sample and releases the storage.
void ClearHistory(SampleHistory& history);
std::size_t SampleCount(SampleHistory& history);
// Seconds from the first to the last sample (positions, not extremes); may be
// negative when the clock was set back while recording.
double GetHistoryDuration(SampleHistory& history);

// Index of the sample nearest to offsetSeconds after the first sample (the
// later of two equally near ones), or -1 for an empty history. Offsets before
// the first sample select it, offsets past the last select the last. A NaN
// offset counts as 0; offsets beyond the 64-bit range of 100 ns units
// saturate.
std::ptrdiff_t SelectSampleIndex(const Sample* samples, std::size_t count, double offsetSeconds);

// Writes the 8 + 4 * valueCount byte record of sample (timestamp 0 and invalid
// values when sample is null) into out, resizing out only when its length
// differs.
void WriteSampleRecord(const Sample* sample, int valueCount, ByteArray& out);

void GetSampleAt(SampleHistory& history, int valueCount, double offsetSeconds, ByteArray& out);

}  // namespace orv

#endif  // ORV_FRAMEWORK_HISTORY_H
