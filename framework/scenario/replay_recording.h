// The samples a replay plays: read and checked whole when the scenario
// loads, then shared, unchanged, by the update threads of every device the
// replay drives.
#ifndef ORV_FRAMEWORK_SCENARIO_REPLAY_RECORDING_H
#define ORV_FRAMEWORK_SCENARIO_REPLAY_RECORDING_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace orv {

// Each sample is 8 + 4M bytes, as a history record is: its offset from the
// first sample in 100 ns units, then the M driven values. Samples lie in
// chunks of just under 1 MiB, so a long recording needs no single large
// block of a 32-bit host's address space, and the last chunk is cut to its
// samples when the recording is complete.
class ReplayRecording {
 public:
  // indices[k] is the value index that column k of a sample drives.
  explicit ReplayRecording(std::vector<std::int32_t> indices);
  ReplayRecording(const ReplayRecording&) = delete;
  ReplayRecording& operator=(const ReplayRecording&) = delete;

  // Appends a sample of indices().size() values; offsets must not go back
  // (the readers check that first). May throw std::bad_alloc.
  void Append(std::int64_t offset, const float* values);
  // Cuts the last chunk to its samples; then the recording is complete.
  // May throw std::bad_alloc.
  void Complete();

  const std::vector<std::int32_t>& indices() const { return indices_; }
  std::size_t size() const { return count_; }
  std::size_t sampleBytes() const { return stride_; }
  // What a sample would add: the size a budget counts.
  static std::size_t SampleBytes(std::size_t columns) { return 8 + 4 * columns; }
  // Bytes held by the samples' chunks and the table of chunks.
  std::size_t bytes() const;
  // The last sample's offset.
  std::int64_t span() const;
  // How long one pass lasts when the recording loops: its span and the
  // step before the last sample again (one second for a single sample), so
  // each sample is held as long as it was.
  std::int64_t period() const;

  std::int64_t OffsetAt(std::size_t i) const;
  // The last sample at or before offset; the first for an earlier offset.
  std::size_t Find(std::int64_t offset) const;
  // Writes sample i's values to the indices they drive.
  void Apply(std::size_t i, float* values) const;

 private:
  const std::uint8_t* Sample(std::size_t i) const {
    return chunks_[i / perChunk_].get() + (i % perChunk_) * stride_;
  }

  std::vector<std::int32_t> indices_;
  std::size_t stride_;
  std::size_t perChunk_;
  std::vector<std::unique_ptr<std::uint8_t[]>> chunks_;
  std::size_t count_ = 0;
  std::size_t lastChunkBytes_ = 0;  // allocated for the last chunk
};

}  // namespace orv

#endif  // ORV_FRAMEWORK_SCENARIO_REPLAY_RECORDING_H
