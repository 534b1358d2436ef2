// The host's containers of the MSVC-ABI flavour against ucrtbase's heap: every
// block must be one the host's free accepts, and blocks made, regrown and freed
// on either side must leave the heap sound.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "framework/boundary/msvc_abi.h"
#include "tests/msvc_abi/host_heap.h"

namespace orv::msvc {
namespace {

std::string Text(std::size_t length, char first = 'a') {
  std::string text(length, ' ');
  for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>(first + i % 23);
  return text;
}

TEST(MsvcAbi, HostHeapIsBound) { ASSERT_TRUE(BindHostHeap()); }

TEST(MsvcAbi, EmptyContainersOwnNothing) {
  String s;
  EXPECT_EQ(s.size, 0u);
  EXPECT_EQ(s.capacity, String::kSmallCapacity);
  EXPECT_EQ(s.data(), s.storage.buffer);
  EXPECT_EQ(s.data()[0], '\0');
  s.Assign("");
  EXPECT_TRUE(s.IsInline());

  ByteArray bytes;
  EXPECT_EQ(bytes.first, nullptr);
  EXPECT_EQ(bytes.last, nullptr);
  EXPECT_EQ(bytes.end, nullptr);
  bytes.AssignCopy(nullptr, 0);
  EXPECT_EQ(bytes.first, nullptr);
  EXPECT_EQ(Allocate(0), nullptr);
  Deallocate(nullptr, 5000);  // the host frees an empty container like this
  EXPECT_TRUE(HeapIsSound());
}

// Short texts stay in the object, longer ones get a block of capacity + 1
// bytes (big from a capacity of 4,095 on), always NUL-terminated.
TEST(MsvcAbi, StringsSmallAndLarge) {
  for (std::size_t length : {0u, 1u, 15u, 16u, 31u, 32u, 200u, 4094u, 4095u, 4096u, 9000u}) {
    SCOPED_TRACE(length);
    const std::string text = Text(length);
    String s(text);
    EXPECT_EQ(s.view(), text);
    EXPECT_EQ(s.size, length);
    EXPECT_EQ(s.data()[length], '\0');
    EXPECT_EQ(s.IsInline(), length <= String::kSmallCapacity);
    EXPECT_GE(s.capacity, length);
    if (!s.IsInline()) {
      EXPECT_EQ(s.capacity % 16, 15u) << "capacity rounds up to 16n - 1";
      ExpectHostBlock(s.data(), s.capacity + 1);
    }
  }
  EXPECT_TRUE(HeapIsSound());
}

// A string the host made and hands in is overwritten in place when the text
// fits and otherwise regrown, the old block freed into the host's heap.
TEST(MsvcAbi, HostStringsRegrownAndFreed) {
  struct Case {
    std::size_t before;
    std::size_t after;
    bool sameBlock;
  };
  const Case cases[] = {
      {0, 10, true},       {0, 40, false},     {40, 10, true},    {40, 47, true},
      {40, 48, false},     {100, 5000, false}, {5000, 100, true}, {5000, 9000, false},
      {4000, 4100, false}, {9000, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.before << " -> " << c.after);
    String s(Text(c.before, 'A'));
    const char* before = s.data();
    const std::size_t capacityBefore = s.capacity;
    const std::string text = Text(c.after, 'k');
    s.Assign(text);
    EXPECT_EQ(s.view(), text);
    EXPECT_EQ(s.data()[c.after], '\0');
    EXPECT_EQ(s.data() == before, c.sameBlock);
    if (!c.sameBlock) EXPECT_GE(s.capacity, capacityBefore + capacityBefore / 2);
    if (!s.IsInline()) ExpectHostBlock(s.data(), s.capacity + 1);
  }
  EXPECT_TRUE(HeapIsSound());
}

TEST(MsvcAbi, StringAssignsPartOfItself) {
  String s(Text(100));
  const std::string tail(s.view().substr(30));
  s.Assign(s.view().substr(30));
  EXPECT_EQ(s.view(), tail);
}

// Byte arrays below and above 4,096 bytes, from arrays the host made empty,
// small or big: a larger content gets a block of exactly its size.
TEST(MsvcAbi, ByteArraysBelowAndAboveThreshold) {
  for (std::size_t before : {0u, 3u, 7u, 4096u, 5000u}) {
    for (std::size_t after : {0u, 3u, 8u, 4095u, 4096u, 5000u, 70000u}) {
      SCOPED_TRACE(testing::Message() << before << " -> " << after);
      ByteArray bytes;
      const std::vector<std::uint8_t> old(before, 0xEE);
      bytes.AssignCopy(old.data(), old.size());
      if (before != 0) ExpectHostBlock(bytes.first, bytes.capacity());
      const std::uint8_t* block = bytes.first;

      std::vector<std::uint8_t> data(after);
      for (std::size_t i = 0; i < after; ++i) data[i] = static_cast<std::uint8_t>(i * 7);
      bytes.AssignCopy(data.data(), data.size());
      ASSERT_EQ(bytes.size(), after);
      EXPECT_EQ(std::vector<std::uint8_t>(bytes.first, bytes.last), data);
      if (after <= before) {
        EXPECT_EQ(bytes.first, block) << "a block that fits is kept";
      } else {
        EXPECT_EQ(bytes.capacity(), after);
        ExpectHostBlock(bytes.first, after);
      }
    }
  }
  EXPECT_TRUE(HeapIsSound());
}

// Records with strings: growing the array moves them (their heap texts with
// them) and resetting frees every block, the array's big one included.
TEST(MsvcAbi, RecordVectorsGrowAndFree) {
  for (std::size_t count : {1u, 2u, 93u, 94u, 300u}) {  // 94 records: 4,136 bytes
    SCOPED_TRACE(count);
    Vector<ChannelDescriptor> list;
    for (std::size_t i = 0; i < count; ++i) {
      ChannelDescriptor d;
      d.kind = static_cast<std::int32_t>(i);
      d.name.Assign(Text(i % 40, 'b'));
      list.PushBack(std::move(d));
    }
    ASSERT_EQ(list.size(), count);
    ExpectHostBlock(list.first, list.capacity() * sizeof(ChannelDescriptor));
    for (std::size_t i = 0; i < count; ++i) {
      EXPECT_EQ(list[i].kind, static_cast<std::int32_t>(i));
      EXPECT_EQ(list[i].name.view(), Text(i % 40, 'b'));
      if (!list[i].name.IsInline()) ExpectHostBlock(list[i].name.data(), list[i].name.capacity + 1);
    }
    list.Reset();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.first, nullptr);
  }
  EXPECT_TRUE(HeapIsSound());
}

// A moved-from container owns nothing, so the host's destruction of both
// frees every block once.
TEST(MsvcAbi, MovesTransferOwnership) {
  String a(Text(50));
  String b(std::move(a));
  EXPECT_EQ(a.size, 0u);
  EXPECT_TRUE(a.IsInline());
  EXPECT_EQ(b.view(), Text(50));

  IntList ints;
  const std::int32_t values[] = {4, 5, 6};
  ints.AssignCopy(values, 3);
  IntList other;
  other = std::move(ints);
  EXPECT_EQ(ints.first, nullptr);
  ASSERT_EQ(other.size(), 3u);
  EXPECT_EQ(other[2], 6);
  EXPECT_TRUE(HeapIsSound());
}

}  // namespace
}  // namespace orv::msvc
