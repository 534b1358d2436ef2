#include "framework/scenario/replay_recording.h"

#include <cstring>

#include "framework/scenario/scenario.h"

namespace orv {
namespace {

// Just under 1 MiB, so that an allocator that maps large blocks page by page
// adds at most its header and no page of rounding.
constexpr std::size_t kChunkBytes = (std::size_t{1} << 20) - 64;

}  // namespace

ReplayRecording::ReplayRecording(std::vector<std::int32_t> indices)
    : indices_(std::move(indices)),
      stride_(SampleBytes(indices_.size())),
      perChunk_(kChunkBytes / stride_) {}

void ReplayRecording::Append(std::int64_t offset, const float* values) {
  const std::size_t slot = count_ % perChunk_;
  if (slot == 0) {
    chunks_.reserve(chunks_.size() + 1);
    chunks_.emplace_back(new std::uint8_t[perChunk_ * stride_]);
    lastChunkBytes_ = perChunk_ * stride_;
  }
  std::uint8_t* p = chunks_.back().get() + slot * stride_;
  std::memcpy(p, &offset, sizeof offset);
  std::memcpy(p + 8, values, 4 * indices_.size());
  ++count_;
}

void ReplayRecording::Complete() {
  if (chunks_.empty()) return;
  const std::size_t used = (count_ - (chunks_.size() - 1) * perChunk_) * stride_;
  if (used == lastChunkBytes_) return;
  std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[used]);
  std::memcpy(exact.get(), chunks_.back().get(), used);
  chunks_.back() = std::move(exact);
  lastChunkBytes_ = used;
  chunks_.shrink_to_fit();
}

std::size_t ReplayRecording::bytes() const {
  if (chunks_.empty()) return 0;
  return (chunks_.size() - 1) * perChunk_ * stride_ + lastChunkBytes_ +
         chunks_.capacity() * sizeof chunks_[0];
}

std::int64_t ReplayRecording::span() const { return count_ == 0 ? 0 : OffsetAt(count_ - 1); }

std::int64_t ReplayRecording::period() const {
  if (count_ < 2) return kTicksPerSecond;
  const std::int64_t step = OffsetAt(count_ - 1) - OffsetAt(count_ - 2);
  const std::int64_t period = span() + step;
  return period > 0 ? period : kTicksPerSecond;
}

std::int64_t ReplayRecording::OffsetAt(std::size_t i) const {
  std::int64_t offset;
  std::memcpy(&offset, Sample(i), sizeof offset);
  return offset;
}

std::size_t ReplayRecording::Find(std::int64_t offset) const {
  // The first sample after offset, by halving; the one before it is the answer.
  std::size_t low = 0;
  std::size_t high = count_;
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    if (OffsetAt(middle) <= offset) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low == 0 ? 0 : low - 1;
}

void ReplayRecording::Apply(std::size_t i, float* values) const {
  const std::uint8_t* p = Sample(i) + 8;
  for (std::size_t k = 0; k < indices_.size(); ++k) {
    std::memcpy(&values[indices_[k]], p + 4 * k, sizeof(float));
  }
}

}  // namespace orv
