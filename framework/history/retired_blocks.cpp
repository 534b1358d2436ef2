#include "framework/history/retired_blocks.h"

#include <utility>

#include "framework/core/read_sections.h"

namespace orv {

RetiredBlocks& RetiredBlocks::operator=(RetiredBlocks&& other) noexcept {
  if (this != &other) {
    RetiredBlocks old(std::move(*this));
    list_ = other.list_;
    other.list_ = nullptr;
  }
  return *this;
}

RetiredBlocks::~RetiredBlocks() {
  SharedBlocks* unowned = nullptr;
  while (list_ != nullptr) {
    SharedBlocks* next = list_->nextRetired;
    if (DropOwner(list_)) {
      list_->nextRetired = unowned;
      unowned = list_;
    }
    list_ = next;
  }
  if (unowned == nullptr) return;
  SharedReadSections().WaitForReaders();
  while (unowned != nullptr) {
    SharedBlocks* next = unowned->nextRetired;
    FreeSharedBlocks(unowned);
    unowned = next;
  }
}

}  // namespace orv
