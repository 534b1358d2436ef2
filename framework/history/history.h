// history/: the time-stamped sample store of a device and the queries over
// it. Uses core/ and the platform layer, nothing else of the framework.
//
// A history is an append-only series of fixed-size blocks (blocks.h), owned
// by the store (sample_store.h) and by every snapshot of it (snapshot.h), and
// freed when the last owner lets go and no lock-free reader can still see it
// (retired_blocks.h). The sample record and its byte order are in sample.h,
// the search for a time in sample_query.h.
#ifndef ORV_FRAMEWORK_HISTORY_HISTORY_H
#define ORV_FRAMEWORK_HISTORY_HISTORY_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "framework/core/model.h"
#include "framework/history/blocks.h"
#include "framework/history/sample.h"
#include "framework/history/sample_store.h"
#include "orv/driver_api.h"
#include "platform/platform.h"

namespace orv {

struct SampleHistory {
  explicit SampleHistory(int valueCount = kMaxValues, unsigned blockShift = kBlockShift)
      : samples(valueCount, blockShift) {}
  SampleStore samples;           // changed with historyMutex held
  platform::Mutex historyMutex;  // held only for one operation, never with valueMutex
  // How often ClearHistory emptied it: a new history begins at each.
  std::atomic<std::uint64_t> clears{0};
};

// Appends a copy under historyMutex. When no memory can be had for it the
// sample is dropped and false is returned; nothing is thrown, and every
// sample recorded before stays as it was.
bool AppendSample(SampleHistory& history, const Sample& sample) noexcept;
// inReadSection, here and below: the caller is inside a read section, so the
// published samples are read without historyMutex.
bool HasHistory(SampleHistory& history, bool inReadSection = false);
// Removes every sample and releases the storage.
void ClearHistory(SampleHistory& history);
std::size_t SampleCount(SampleHistory& history);
// Seconds from the first to the last sample (positions, not extremes); may be
// negative when the clock was set back while recording.
double GetHistoryDuration(SampleHistory& history, bool inReadSection = false);

// Index of the sample nearest to offsetSeconds after the first sample (the
// later of two equally near ones), or -1 for an empty history. Offsets before
// the first sample select it, offsets past the last select the last. A NaN
// offset counts as 0; offsets beyond the 64-bit range of 100 ns units
// saturate. The search starts from the index the mean spacing predicts and
// walks to the nearest sample; where timestamps repeat or go back, where it
// starts decides among them. ordered says every timestamp is later than the
// one before: then the answer is one whatever the start, and a finer start
// spares the walk.
// indexScale, when not 0, says where an ordered search starts (see
// BlockTable).
std::ptrdiff_t SelectSampleIndex(const Sample* samples, std::size_t count, double offsetSeconds,
                                 bool ordered = false, std::uint64_t indexScale = 0);

// Writes the 8 + 4 * valueCount byte record of sample (timestamp 0 and invalid
// values when sample is null) into out, resizing out only when its length
// differs.
void WriteSampleRecord(const Sample* sample, int valueCount, ByteArray& out);

void GetSampleAt(SampleHistory& history, int valueCount, double offsetSeconds, ByteArray& out,
                 bool inReadSection = false);

}  // namespace orv

#endif  // ORV_FRAMEWORK_HISTORY_HISTORY_H
