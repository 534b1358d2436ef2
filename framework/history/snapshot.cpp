#include "framework/history/snapshot.h"

#include <utility>

#include "framework/core/read_sections.h"

namespace orv {

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
  if (!DropOwner(owner_)) return;
  // The history let go first (it was cleared or is gone): a query that
  // loaded its table may still be reading.
  SharedReadSections().WaitForReaders();
  FreeSharedBlocks(owner_);
}

}  // namespace orv
