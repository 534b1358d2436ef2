// The host's heap for the MSVC-ABI flavour: ucrtbase.dll's malloc and free,
// with the host library's rule for big blocks, and the string growth on top.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>

#include "framework/boundary/msvc_abi.h"
#include "platform/platform.h"

namespace orv::msvc {
namespace {

using MallocFn = void* (*)(std::size_t);
using FreeFn = void (*)(void*);

struct HostHeap {
  MallocFn malloc = nullptr;
  FreeFn free = nullptr;
};

// Bound on first use. ucrtbase.dll is loaded by every program built with
// Microsoft's compiler since 2015, so in such a host this only finds it; the
// module stays loaded with the plug-in, as the blocks outlive any one call.
const HostHeap& Heap() noexcept {
  static const HostHeap heap = [] {
    HostHeap h;
    platform::ModuleHandle crt = platform::LoadModule("ucrtbase.dll");
    if (crt == nullptr) return h;
    auto m = reinterpret_cast<MallocFn>(platform::FindSymbol(crt, "malloc"));
    auto f = reinterpret_cast<FreeFn>(platform::FindSymbol(crt, "free"));
    if (m != nullptr && f != nullptr) {
      h.malloc = m;
      h.free = f;
    }
    return h;
  }();
  return heap;
}

}  // namespace

bool BindHostHeap() noexcept { return Heap().malloc != nullptr; }

void* Allocate(std::size_t bytes) {
  if (bytes == 0) return nullptr;
  const HostHeap& heap = Heap();
  if (heap.malloc == nullptr) throw std::bad_alloc();
  if (bytes < kBigAllocationThreshold) {
    void* block = heap.malloc(bytes);
    if (block == nullptr) throw std::bad_alloc();
    return block;
  }
  if (bytes > std::numeric_limits<std::size_t>::max() - kBigAllocationExtra) throw std::bad_alloc();
  void* raw = heap.malloc(bytes + kBigAllocationExtra);
  if (raw == nullptr) throw std::bad_alloc();
  const std::uintptr_t user = (reinterpret_cast<std::uintptr_t>(raw) + kBigAllocationExtra) &
                              ~static_cast<std::uintptr_t>(kBigAllocationAlignment - 1);
  auto* header = reinterpret_cast<std::uintptr_t*>(user);
  header[-1] = reinterpret_cast<std::uintptr_t>(raw);
  header[-2] = kBigAllocationMarker;
  return reinterpret_cast<void*>(user);
}

void* RawBlock(void* block, std::size_t bytes) noexcept {
  if (block == nullptr || bytes < kBigAllocationThreshold) return block;
  return reinterpret_cast<void*>(static_cast<std::uintptr_t*>(block)[-1]);
}

void Deallocate(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  const HostHeap& heap = Heap();
  // A block exists only if malloc was bound, by this plug-in or by the host.
  if (heap.free != nullptr) heap.free(RawBlock(block, bytes));
}

void String::Assign(std::string_view text) {
  const std::size_t length = text.size();
  if (length <= capacity) {
    char* target = data();
    // The text may lie in this very buffer.
    std::memmove(target, text.data(), length);
    target[length] = '\0';
    size = length;
    return;
  }
  // The host library's growth: the length rounded up to 16n - 1, at least one
  // and a half times the old capacity.
  std::size_t grown = length | kSmallCapacity;
  if (capacity <= std::numeric_limits<std::size_t>::max() / 3 * 2)
    grown = std::max(grown, capacity + capacity / 2);
  if (grown == std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
  char* block = static_cast<char*>(Allocate(grown + 1));
  std::memcpy(block, text.data(), length);
  block[length] = '\0';
  Release();
  storage.pointer = block;
  size = length;
  capacity = grown;
}

}  // namespace orv::msvc
