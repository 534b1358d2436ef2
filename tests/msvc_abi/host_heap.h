// The host's heap as the MSVC-ABI tests check it: sound, and holding blocks
// laid out the way a host built with Microsoft's library frees them.
#ifndef ORV_TESTS_MSVC_ABI_HOST_HEAP_H
#define ORV_TESTS_MSVC_ABI_HOST_HEAP_H

#include <gtest/gtest.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace orv::msvc {

// The heap ucrtbase's malloc uses, which a host built with Microsoft's
// compiler frees into.
inline HANDLE CrtHeap() { return GetProcessHeap(); }

inline bool HeapIsSound() { return HeapValidate(CrtHeap(), 0, nullptr) != 0; }

// How a host built with Microsoft's library lays out a big block, as the
// probe observed it (CheckOwned in tools/msvc-probe/src/msvc_probe.cpp), set
// down here rather than taken from msvc_abi.h, so that a wrong number there
// fails these tests.
namespace observed {
constexpr std::size_t kBigBlockFrom = 4096;     // bytes from which a block is big
constexpr std::size_t kBigBlockAlignment = 32;  // a big block's first byte
constexpr std::uintptr_t kBackShiftMin = 4;     // malloc's address, 4 to 35 bytes back
constexpr std::uintptr_t kBackShiftMax = 35;
}  // namespace observed

// Checks that a block of the given byte count is one the host can free: below
// the threshold a heap block of its own, from it on a 32-aligned pointer whose
// word before holds malloc's address, a few bytes back, of a heap block holding
// all of its bytes.
inline void ExpectHostBlock(const void* block, std::size_t bytes) {
  ASSERT_NE(block, nullptr);
  const auto user = reinterpret_cast<std::uintptr_t>(block);
  const void* raw = block;
  if (bytes >= observed::kBigBlockFrom) {
    EXPECT_EQ(user % observed::kBigBlockAlignment, 0u) << bytes;
    raw = reinterpret_cast<const void*>(reinterpret_cast<const std::uintptr_t*>(block)[-1]);
    const std::uintptr_t shift = user - reinterpret_cast<std::uintptr_t>(raw);
    EXPECT_GE(shift, observed::kBackShiftMin) << bytes;
    EXPECT_LE(shift, observed::kBackShiftMax) << bytes;
  }
  ASSERT_TRUE(HeapValidate(CrtHeap(), 0, raw)) << "not a block of the host's heap: " << bytes;
  const SIZE_T size = HeapSize(CrtHeap(), 0, raw);
  EXPECT_GE(size, bytes + (user - reinterpret_cast<std::uintptr_t>(raw))) << bytes;
}

}  // namespace orv::msvc

#endif  // ORV_TESTS_MSVC_ABI_HOST_HEAP_H
