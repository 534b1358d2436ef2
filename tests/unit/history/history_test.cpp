// The sample history: selection by time offset, the result record, durations.
#include "framework/history/history.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "framework/core/lock.h"
#include "framework/core/read_sections.h"
#include "framework/core/values.h"
#include "framework/history/sample_query.h"
#include "platform/platform.h"

namespace orv {
namespace {

constexpr std::uint64_t kT0 = 133000000000000000ull;  // a FILETIME count in 2022
constexpr std::uint64_t kSecond = 10000000ull;
constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

Sample MakeSample(std::uint64_t timestamp, float first = 1.0f) {
  Sample s;
  s.timestamp = timestamp;
  for (int i = 0; i < kMaxValues; ++i) s.values[i] = first + static_cast<float>(i);
  return s;
}

std::vector<Sample> SamplesAt(const std::vector<std::uint64_t>& timestamps) {
  std::vector<Sample> samples;
  for (std::uint64_t t : timestamps)
    samples.push_back(MakeSample(t, static_cast<float>(samples.size())));
  return samples;
}

void Fill(SampleHistory& history, const std::vector<Sample>& samples) {
  for (const Sample& s : samples) ASSERT_TRUE(AppendSample(history, s));
}

// Nearest by a linear scan, the later one on a tie; assumes increasing times.
std::ptrdiff_t NearestByScan(const std::vector<Sample>& samples, double offsetSeconds) {
  const std::int64_t target = static_cast<std::int64_t>(samples[0].timestamp) +
                              static_cast<std::int64_t>(offsetSeconds * 1e7);
  std::ptrdiff_t best = 0;
  for (std::size_t j = 1; j < samples.size(); ++j) {
    const std::int64_t t = static_cast<std::int64_t>(samples[j].timestamp);
    const std::int64_t bestT = static_cast<std::int64_t>(samples[best].timestamp);
    if (std::llabs(t - target) <= std::llabs(bestT - target)) best = static_cast<std::ptrdiff_t>(j);
  }
  return best;
}

ByteArray LittleEndian(std::uint64_t timestamp, const std::vector<std::uint32_t>& values) {
  ByteArray bytes;
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(timestamp >> (8 * i)));
  for (std::uint32_t v : values) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  return bytes;
}

TEST(HistoryQuery, EmptyHistoryGivesTimestampZeroAndInvalidValues) {
  SampleHistory history;
  EXPECT_FALSE(HasHistory(history));
  EXPECT_EQ(GetHistoryDuration(history), 0.0);
  for (int n : {4, 6}) {
    const ByteArray expected = LittleEndian(0, std::vector<std::uint32_t>(n, 0x7FFFFFFFu));
    for (double offset : {0.0, -3.0, 1e9, kNaN, kInf}) {
      ByteArray out;
      GetSampleAt(history, n, offset, out);
      EXPECT_EQ(out, expected) << n << " values, offset " << offset;
    }
  }
}

TEST(HistoryQuery, RecordCarriesTimestampAndValueBitsLittleEndian) {
  Sample s;
  s.timestamp = 0x0123456789ABCDEFull;
  const std::uint32_t bits[6] = {0xFFC01234u, 0x80000000u, 0x7F800000u,
                                 0x40A00000u, 0x3F2147AEu, 0x7FFFFFFFu};
  for (int i = 0; i < 6; ++i) s.values[i] = FloatFromBits(bits[i]);
  SampleHistory history;
  Fill(history, {s});
  EXPECT_TRUE(HasHistory(history));
  for (int n : {4, 6}) {
    ByteArray out;
    GetSampleAt(history, n, 0.0, out);
    EXPECT_EQ(out, LittleEndian(s.timestamp, std::vector<std::uint32_t>(bits, bits + n)));
  }
}

TEST(HistoryQuery, OutArrayComesBackExactlyRecordLong) {
  SampleHistory history;
  Fill(history, SamplesAt({kT0, kT0 + kSecond}));
  for (int n : {4, 6}) {
    const std::size_t size = 8 + 4 * static_cast<std::size_t>(n);
    for (std::size_t given :
         {std::size_t{0}, std::size_t{3}, size - 1, size + 1, std::size_t{100}}) {
      ByteArray out(given, 0xAA);
      GetSampleAt(history, n, 1.0, out);
      ASSERT_EQ(out.size(), size) << "given " << given;
      EXPECT_EQ(out[0], static_cast<std::uint8_t>(kT0 + kSecond));
    }
    ByteArray exact(size, 0xAA);
    const std::uint8_t* storage = exact.data();
    GetSampleAt(history, n, 1.0, exact);
    EXPECT_EQ(exact.data(), storage) << "overwritten in place";
    ByteArray fresh;
    GetSampleAt(history, n, 1.0, fresh);
    EXPECT_EQ(exact, fresh);
  }
}

TEST(HistoryQuery, SingleSampleIsSelectedForAnyOffset) {
  const std::vector<Sample> samples = SamplesAt({kT0});
  for (double offset : {-1e9, -1.0, 0.0, 0.5, 1e6, kInf, -kInf, kNaN, 1e300, -1e300}) {
    EXPECT_EQ(SelectSampleIndex(samples.data(), 1, offset), 0) << offset;
  }
}

TEST(HistoryQuery, ThreeSamplesOneSecondApart) {
  const std::vector<Sample> samples = SamplesAt({kT0, kT0 + kSecond, kT0 + 2 * kSecond});
  const struct {
    double offset;
    std::ptrdiff_t index;
  } cases[] = {{0.4, 0},  {0.5, 1},   {-5.0, 0},  {100.0, 2},  {0.0, 0},       {0.6, 1},
               {1.0, 1},  {1.49, 1},  {1.5, 2},   {2.0, 2},    {2.0000001, 2}, {kNaN, 0},
               {kInf, 2}, {-kInf, 0}, {1e300, 2}, {-1e300, 0}, {9.3e11, 2},    {-9.3e11, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(SelectSampleIndex(samples.data(), samples.size(), c.offset), c.index) << c.offset;
  }
  SampleHistory history;
  Fill(history, samples);
  ByteArray out;
  GetSampleAt(history, 4, 0.5, out);
  EXPECT_EQ(out, LittleEndian(kT0 + kSecond, {FloatBits(1.0f), FloatBits(2.0f), FloatBits(3.0f),
                                              FloatBits(4.0f)}));
}

TEST(HistoryQuery, OffsetIsTruncatedToWholeHundredNanoseconds) {
  // Samples 100 ns apart: rounding instead of truncating would pick a later one.
  const std::vector<Sample> samples = SamplesAt({kT0, kT0 + 1, kT0 + 2});
  const struct {
    double offset;
    std::ptrdiff_t index;
  } cases[] = {
      {0.00000005, 0}, {0.00000009, 0}, {-0.00000005, 0}, {0.00000015, 1}, {0.00000019, 1}};
  for (const auto& c : cases) {
    EXPECT_EQ(SelectSampleIndex(samples.data(), samples.size(), c.offset), c.index) << c.offset;
  }
}

TEST(HistoryQuery, SelectionAgreesWithALinearScan) {
  std::vector<std::vector<std::uint64_t>> histories = {
      {kT0, kT0 + kSecond, kT0 + 2 * kSecond, kT0 + 3 * kSecond, kT0 + 100 * kSecond,
       kT0 + 101 * kSecond, kT0 + 1000 * kSecond, kT0 + 1000 * kSecond + 1},
      {}};
  // 500 samples 11 s apart, with the millisecond jitter of a real clock.
  for (std::uint64_t j = 0; j < 500; ++j) {
    histories[1].push_back(kT0 + j * 11 * kSecond + (j * 7 % 3) * 10000);
  }
  for (const auto& timestamps : histories) {
    const std::vector<Sample> samples = SamplesAt(timestamps);
    std::vector<double> offsets;
    for (double offset = -20.0; offset < 5520.0; offset += 0.7) offsets.push_back(offset);
    for (std::size_t j = 1; j < samples.size(); ++j) {  // the midpoints: ties
      offsets.push_back(
          static_cast<double>((samples[j - 1].timestamp + samples[j].timestamp) / 2 - kT0) / 1e7);
    }
    for (double offset : offsets) {
      ASSERT_EQ(SelectSampleIndex(samples.data(), samples.size(), offset),
                NearestByScan(samples, offset))
          << offset << " in " << samples.size();
    }
  }
}

TEST(HistoryQuery, QueriesAgreeWithTheSelectionAsTheHistoryChanges) {
  // Histories of one length but other spans, and of one span but other
  // lengths, one after the other in one store; duplicate timestamps make the
  // answer depend on the estimate, so a stale mean spacing would show.
  const struct {
    int count;
    std::uint64_t spacing;
  } histories[] = {{40, kSecond}, {40, 3 * kSecond}, {40, kSecond}, {41, kSecond}, {2, 0}};
  SampleHistory history;
  for (const auto& h : histories) {
    ClearHistory(history);
    std::vector<std::uint64_t> timestamps;
    for (int j = 0; j < h.count; ++j) timestamps.push_back(kT0 + h.spacing * (j / 3));
    const std::vector<Sample> samples = SamplesAt(timestamps);
    Fill(history, samples);
    for (double offset = -1.0; offset < 50.0; offset += 0.25) {
      ByteArray expected, got;
      WriteSampleRecord(&samples[SelectSampleIndex(samples.data(), samples.size(), offset)], 6,
                        expected);
      GetSampleAt(history, 6, offset, got);
      ASSERT_EQ(got, expected) << h.count << " samples, offset " << offset;
    }
  }
}

TEST(HistoryQuery, HighHalfOfAProductByHalvesIsExact) {
  // The 32-bit builds find where a search starts with the product by halves;
  // every carry between the halves must arrive.
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const struct {
    std::uint64_t a, b, high;
  } cases[] = {{0, kMax, 0},
               {1, kMax, 0},
               {kMax, kMax, kMax - 1},
               {std::uint64_t{1} << 32, std::uint64_t{1} << 32, 1},
               {0xFFFFFFFFu, 0xFFFFFFFFu, 0},
               {0x1FFFFFFFFull, 0xFFFFFFFF80000001ull, 0x1FFFFFFFEull},
               {3'000'000'000'000ull, 1'844'674'407'370ull, 299'999}};
  for (const auto& c : cases) {
    EXPECT_EQ(MultiplyHighByHalves(c.a, c.b), c.high) << c.a << " * " << c.b;
    EXPECT_EQ(MultiplyHigh(c.a, c.b), c.high) << c.a << " * " << c.b;
  }
}

TEST(HistoryQuery, OrderedSearchAgreesWithTheWalkFromAnyStartingGuess) {
  // Timestamps in order: the search from the kept spacing (right, stale,
  // absurd or none) must land where the walk from the mean spacing does.
  std::vector<std::vector<std::uint64_t>> histories = {{kT0, kT0 + 1}, {kT0, kT0 + kSecond}};
  std::vector<std::uint64_t> even, jitter, slowed, gaps;
  for (std::uint64_t j = 0; j < 300; ++j) {
    even.push_back(kT0 + j * kSecond);
    jitter.push_back(kT0 + j * kSecond + (j * 7919 % 13) * 7000);
    slowed.push_back(kT0 + (j < 100 ? j * kSecond : 100 * kSecond + (j - 100) * 10 * kSecond));
    gaps.push_back(kT0 + j * j * j * 1000);
  }
  histories.insert(histories.end(), {even, jitter, slowed, gaps});
  const std::uint64_t top = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  histories.push_back({top - 3 * kSecond, top - kSecond, top});
  for (const auto& timestamps : histories) {
    const std::vector<Sample> samples = SamplesAt(timestamps);
    const std::size_t n = samples.size();
    const double mean = static_cast<double>(n - 1) /
                        static_cast<double>(samples[n - 1].timestamp - samples[0].timestamp);
    std::vector<double> offsets = {kNaN, kInf, -kInf, -1e300, 1e300, 0.0};
    for (const Sample& s : samples) {
      const double at = static_cast<double>(static_cast<std::int64_t>(s.timestamp - kT0)) / 1e7;
      for (double delta : {-1e-7, -0.5e-7, 0.0, 0.5e-7, 1e-7, 0.3, 0.5, 0.7}) {
        offsets.push_back(at + delta);
      }
    }
    for (const double guess : {mean, 0.0, mean * 3, mean / 7, 1e-30, 1e30, mean * (1 + 1e-9)}) {
      for (double offset : offsets) {
        ASSERT_EQ(SelectSampleIndex(samples.data(), n, offset, true, IndexScale(guess)),
                  SelectSampleIndex(samples.data(), n, offset))
            << n << " samples, offset " << offset << ", guess " << guess;
      }
    }
  }
}

TEST(SampleStore, KnowsWhetherEveryTimestampIsLaterThanTheOneBefore) {
  const struct {
    std::vector<std::uint64_t> timestamps;
    bool ordered;
  } cases[] = {{{}, true},
               {{kT0}, true},
               {{kT0, kT0 + 1, kT0 + kSecond}, true},
               {{kT0, kT0 + kSecond, kT0 + kSecond}, false},
               {{kT0, kT0 + kSecond, kT0 + 2 * kSecond, kT0 - kSecond}, false},
               {{kT0 + kSecond, kT0, kT0 + 5 * kSecond}, false}};
  for (const auto& c : cases) {
    const std::vector<Sample> samples = SamplesAt(c.timestamps);
    // Built three ways: appended one by one, assigned whole, restored in
    // blocks of two.
    SampleStore appended, assigned, restored;
    for (const Sample& s : samples) appended.Append(s);
    assigned = samples;
    for (std::size_t first = 0; first < samples.size(); first += 2) {
      const std::size_t count = std::min<std::size_t>(2, samples.size() - first);
      std::size_t free = 0;
      std::uint8_t* p = restored.WritableSlots(free);
      ASSERT_GE(free, count);
      for (std::size_t k = 0; k < count; ++k) StoreNative(samples[first + k], 6, p + 32 * k);
      restored.Publish(count);
    }
    for (const SampleStore* store : {&appended, &assigned, &restored}) {
      const PublishedSamples published = store->ReadPublished();
      EXPECT_EQ(published.count, samples.size());
      EXPECT_EQ(published.ordered, c.ordered) << c.timestamps.size() << " samples";
      const std::vector<Sample> kept = *store;
      EXPECT_TRUE(std::equal(kept.begin(), kept.end(), samples.begin(), samples.end(),
                             [](const Sample& a, const Sample& b) {
                               return a.timestamp == b.timestamp && a.values[5] == b.values[5];
                             }));
    }
  }
}

// Address space reserved and given back, to see that clearing returns it all.
struct CountedBlocks {
  static inline std::atomic<int> live{0};
  static void* Reserve(std::size_t bytes) {
    ++live;
    return platform::ReservePages(bytes);
  }
  static void Release(void* base, std::size_t bytes) {
    --live;
    platform::ReleasePages(base, bytes);
  }
  static constexpr BlockMemory kMemory{&Reserve, &platform::CommitPages, &Release};
};

TEST(SampleStore, BlockEdgesKeepEveryRecordAndEveryQuery) {
  // Four samples a block; counts one short of, at and one past k blocks.
  constexpr unsigned kShift = 2;
  constexpr std::size_t kBlock = 4;
  const BlockMemory* previous = SetBlockMemory(&CountedBlocks::kMemory);
  for (int n : {4, 6}) {
    for (std::size_t k = 1; k <= 3; ++k) {
      for (std::size_t count : {k * kBlock - 1, k * kBlock, k * kBlock + 1}) {
        SCOPED_TRACE(::testing::Message() << n << " values, " << count << " samples");
        std::vector<Sample> samples;
        for (std::size_t j = 0; j < count; ++j) {
          Sample s = MakeSample(kT0 + j * kSecond + (j * 7919 % 13) * 1000, static_cast<float>(j));
          for (int i = n; i < kMaxValues; ++i) s.values[i] = 0.0f;  // not kept
          samples.push_back(s);
        }
        SampleHistory history(n, kShift);
        Fill(history, samples);
        EXPECT_EQ(history.samples.blockCount(), (count + kBlock - 1) / kBlock);
        const std::vector<Sample> kept = history.samples;
        ASSERT_EQ(kept.size(), count);
        for (std::size_t j = 0; j < count; ++j) {
          ASSERT_EQ(LittleEndian(kept[j].timestamp, {FloatBits(kept[j].values[0])}),
                    LittleEndian(samples[j].timestamp, {FloatBits(samples[j].values[0])}));
          ASSERT_EQ(std::memcmp(kept[j].values, samples[j].values, sizeof kept[j].values), 0);
        }
        // A snapshot's runs are the blocks in order, each whole but the last.
        SampleSnapshot snapshot = history.samples.Snapshot();
        std::size_t seen = 0;
        snapshot.ForEachRun([&](const std::uint8_t* records, std::size_t run) {
          EXPECT_EQ(run, std::min(kBlock, count - seen));
          for (std::size_t r = 0; r < run; ++r, ++seen) {
            EXPECT_EQ(LoadNative(records + r * snapshot.stride(), n).timestamp,
                      samples[seen].timestamp);
          }
        });
        EXPECT_EQ(seen, count);
        // The first and last sample of every block, and halfway between blocks.
        ByteArray out, expected;
        for (std::size_t first = 0; first < count; first += kBlock) {
          const std::size_t last = std::min(first + kBlock, count) - 1;
          const double base = static_cast<double>(samples[0].timestamp);
          const double between = last + 1 < count
                                     ? (static_cast<double>(samples[last].timestamp) +
                                        static_cast<double>(samples[last + 1].timestamp)) /
                                           2
                                     : static_cast<double>(samples[last].timestamp) + 5e6;
          for (double at : {static_cast<double>(samples[first].timestamp),
                            static_cast<double>(samples[last].timestamp), between}) {
            const double offset = (at - base) / 1e7;
            GetSampleAt(history, n, offset, out);
            WriteSampleRecord(&samples[SelectSampleIndex(samples.data(), samples.size(), offset)],
                              n, expected);
            ASSERT_EQ(out, expected) << "offset " << offset;
          }
        }
        const int reserved = CountedBlocks::live.load();
        EXPECT_GT(reserved, 0);
        ClearHistory(history);
        EXPECT_EQ(CountedBlocks::live.load(), reserved) << "the snapshot still holds them";
        snapshot = SampleSnapshot();
        EXPECT_EQ(CountedBlocks::live.load(), 0);
      }
    }
  }
  SetBlockMemory(previous);
}

// Blocks handed out one by one from a region reserved beforehand, each
// right after the one before unless a gap is asked for after it.
struct SlicedBlocks {
  static inline std::uint8_t* region = nullptr;
  static inline std::size_t next = 0;    // in block spans
  static inline std::size_t handed = 0;  // blocks handed out
  static inline std::vector<bool> gapAfter;
  static void* Reserve(std::size_t bytes) {
    if (bytes > std::size_t{1} << 20) return nullptr;  // one block at a time
    std::uint8_t* block = region + next * bytes;
    next += handed < gapAfter.size() && gapAfter[handed] ? 2 : 1;
    ++handed;
    return block;
  }
  static void Release(void*, std::size_t) {}
  static constexpr BlockMemory kMemory{&Reserve, &platform::CommitPages, &Release};
};

// The query reads blocks that lie one after the other as one array, and
// others through the table; where they lie never changes an answer. Histories
// of a model's shape (2^15 samples of 32 bytes a block) over three blocks,
// each compared with the search over one contiguous array.
TEST(SampleStore, BlocksInOneRunOrApartGiveTheSameAnswers) {
  constexpr std::size_t kPerBlock = std::size_t{1} << kBlockShift;
  constexpr std::size_t kCount = kPerBlock * 5 / 2;
  const struct {
    const char* blocks;
    std::vector<bool> gapAfter;  // per block
    bool flat;                   // read as one array
  } cases[] = {
      {"one after the other", {false, false, false}, true},
      {"apart", {true, true, true}, false},
      {"apart from the third on", {false, true, false}, false},
  };
  for (const bool ordered : {true, false}) {
    std::vector<std::uint64_t> timestamps;
    for (std::size_t j = 0; j < kCount; ++j) {
      // Jittered but later every time, or with every third time repeated.
      timestamps.push_back(ordered ? kT0 + j * kSecond + (j * 7919 % 13) * 1000
                                   : kT0 + (j / 3) * kSecond);
    }
    const std::vector<Sample> samples = SamplesAt(timestamps);
    for (const auto& c : cases) {
      SCOPED_TRACE(::testing::Message() << c.blocks << (ordered ? ", ordered" : ", repeats"));
      const std::size_t regionBytes = 8 * (std::size_t{32} << kBlockShift);
      SlicedBlocks::region = static_cast<std::uint8_t*>(platform::ReservePages(regionBytes));
      ASSERT_NE(SlicedBlocks::region, nullptr);
      SlicedBlocks::next = 0;
      SlicedBlocks::handed = 0;
      SlicedBlocks::gapAfter = c.gapAfter;
      const BlockMemory* previous = SetBlockMemory(&SlicedBlocks::kMemory);
      {
        SampleHistory history(6);
        for (std::size_t j = 0; j < kCount; ++j) {
          ASSERT_TRUE(AppendSample(history, samples[j]));
          // Two blocks in, the first gap has not yet come.
          if (j + 1 == 2 * kPerBlock) {
            EXPECT_EQ(history.samples.ReadPublished().flat != nullptr, !c.gapAfter[0]);
          }
        }
        const PublishedSamples published = history.samples.ReadPublished();
        EXPECT_EQ(published.flat != nullptr, c.flat);
        ByteArray out, expected;
        const double span = static_cast<double>(timestamps.back() - timestamps.front()) / 1e7;
        std::vector<double> offsets = {kNaN, kInf, -kInf, -1.0, 0.0, span, span + 1.0};
        for (int k = 0; k <= 3000; ++k) offsets.push_back(span * k / 3000.0 + 0.37 * (k % 3));
        for (std::size_t edge : {kPerBlock - 1, kPerBlock, 2 * kPerBlock - 1, 2 * kPerBlock}) {
          offsets.push_back(static_cast<double>(timestamps[edge] - timestamps[0]) / 1e7);
        }
        for (double offset : offsets) {
          GetSampleAt(history, 6, offset, out);
          WriteSampleRecord(&samples[SelectSampleIndex(samples.data(), kCount, offset)], 6,
                            expected);
          ASSERT_EQ(out, expected) << "offset " << offset;
        }
      }
      SetBlockMemory(previous);
      platform::ReleasePages(SlicedBlocks::region, regionBytes);
    }
  }
}

// Waits until done() holds or ten seconds have passed; false then.
template <typename Done>
bool SpinUntil(Done done) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(SampleStore, ReadersWithoutTheLockSeeWholeRecordsWhileItGrowsAndClears) {
  // One thread appends (through many block allocations) and clears; readers
  // query without historyMutex from read sections, and one more reads
  // snapshots as a save or an export does. A record read from a freed or
  // half-written block would not match its timestamp (and the sanitizer
  // builds would report the access). The writer waits for the readers at
  // every step, so that they read while it appends and while it clears.
  SampleHistory history(6, 5);
  // What the history holds between the writer's steps: HasHistory read
  // between two equal loads of it must agree with it.
  enum Phase { kEmpty, kFilled, kChanging };
  std::atomic<int> phase{kEmpty};
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::atomic<long> reads{0}, emptySeen{0}, filledSeen{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&, r] {
      ByteArray out;
      for (double offset = r; !done.load(); offset = offset > 5000.0 ? 0.0 : offset + 37.3) {
        ReadSection section;
        GetSampleAt(history, 6, offset, out, section.entered());
        // Whole seconds of one round, never a span across freed blocks.
        const double span = GetHistoryDuration(history, section.entered());
        if (!(span >= 0.0 && span < 6000.0 && span == static_cast<int>(span))) ++wrong;
        const int before = phase.load();
        const bool has = HasHistory(history, section.entered());
        if (before != kChanging && phase.load() == before) {
          if (has != (before == kFilled)) ++wrong;
          ++(before == kFilled ? filledSeen : emptySeen);
        }
        const std::uint64_t t =
            GetLE32(out.data()) | static_cast<std::uint64_t>(GetLE32(out.data() + 4)) << 32;
        const std::uint32_t first = GetLE32(out.data() + 8);
        if (t == 0 ? first != kInvalidBits
                   : first != FloatBits(static_cast<float>((t - kT0) / kSecond))) {
          ++wrong;
        }
        ++reads;
      }
    });
  }
  readers.emplace_back([&] {
    while (!done.load()) {
      SampleSnapshot snapshot;
      {
        LockGuard lock(history.historyMutex);
        snapshot = history.samples.Snapshot();
      }
      snapshot.ForEachRun([&](const std::uint8_t* records, std::size_t run) {
        for (std::size_t r = 0; r < run; ++r) {
          const Sample s = LoadNative(records + r * snapshot.stride(), 6);
          if (s.values[0] != static_cast<float>((s.timestamp - kT0) / kSecond)) ++wrong;
        }
      });
      ++reads;
    }
  });
  // Until the readers have read a few times more, the writer makes no
  // further step. The writer's steps; what went wrong, or nothing.
  const auto readersCatchUp = [&] {
    const long seen = reads.load();
    return SpinUntil([&] { return reads.load() > seen + 2; });
  };
  const auto write = [&]() -> std::string {
    for (int round = 0; round < 4; ++round) {
      const long empty = emptySeen.load();
      if (!SpinUntil([&] { return emptySeen.load() > empty; })) return "no reader saw it empty";
      phase.store(kChanging);
      for (std::uint64_t j = 0; j < 6000; ++j) {
        if (!AppendSample(history, MakeSample(kT0 + j * kSecond, static_cast<float>(j)))) {
          return "an append failed";
        }
        if (j == 0) phase.store(kFilled);
        if (j % 500 == 0 && !readersCatchUp()) return "the readers stopped while it grew";
      }
      const long filled = filledSeen.load();
      if (!SpinUntil([&] { return filledSeen.load() > filled; })) return "no reader saw it filled";
      phase.store(kChanging);
      ClearHistory(history);
      phase.store(kEmpty);
    }
    return readersCatchUp() ? "" : "the readers stopped after it was cleared";
  };
  const std::string failed = write();
  done.store(true);
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(failed, "");
  EXPECT_EQ(wrong.load(), 0);
}

TEST(ReadSections, AWriterWaitsForTheSectionsOpenWhenItAsks) {
  ReadSections sections;
  // A reader keeps its section open until the writer is about to wait, and
  // a while longer; it says so before it leaves. A wait that returned before
  // the reader left finds it has not yet said so.
  std::atomic<bool> entered{false}, writerWaits{false}, leaving{false};
  std::thread reader([&] {
    const std::size_t slot = sections.Enter();
    ASSERT_NE(slot, ReadSections::kNoSlot);
    entered.store(true);
    while (!writerWaits.load()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    leaving.store(true);
    sections.Leave(slot);
  });
  while (!entered.load()) std::this_thread::yield();
  writerWaits.store(true);
  sections.WaitForReaders();
  EXPECT_TRUE(leaving.load()) << "the wait returned while a section open before it was still open";
  reader.join();
  // Every slot taken: the next reader is told to use the locks instead.
  std::vector<std::size_t> open;
  for (std::size_t k = 0; k < ReadSections::kSlots; ++k) open.push_back(sections.Enter());
  EXPECT_EQ(sections.Enter(), ReadSections::kNoSlot);
  for (std::size_t s : open) sections.Leave(s);
  sections.WaitForReaders();  // returns: nothing is open
}

// A host's threads start their search for a free slot in different slots,
// whatever their stacks' spacing: the host's own threads, and update threads
// with their small stacks. Eight threads, all alive at once, so that no two
// share a stack; the page number modulo the slots put four or all eight in
// one slot, a hash of it rarely puts even three there.
TEST(ReadSections, ThreadsStartTheirSearchInDifferentSlots) {
  constexpr int kThreads = 8;
  const struct {
    const char* threads;
    bool platformThreads;
  } cases[] = {{"std::thread", false}, {"platform::StartThread", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.threads);
    struct Shared {
      std::atomic<int> reported{0};
      std::atomic<bool> release{false};
      std::size_t slots[kThreads] = {};
    } shared;
    struct Start {
      Shared* shared;
      int index;
    } starts[kThreads];
    const auto body = [](void* arg) {
      const Start& start = *static_cast<Start*>(arg);
      start.shared->slots[start.index] = ReadSections::FirstSlot();
      ++start.shared->reported;
      while (!start.shared->release.load()) std::this_thread::yield();
    };
    std::vector<std::thread> threads;
    std::vector<platform::ThreadHandle> handles;
    for (int t = 0; t < kThreads; ++t) {
      starts[t] = {&shared, t};
      if (c.platformThreads) {
        platform::ThreadHandle handle = nullptr;
        std::uint32_t id = 0;
        ASSERT_TRUE(platform::StartThread(body, &starts[t], &handle, &id));
        handles.push_back(handle);
      } else {
        threads.emplace_back(body, &starts[t]);
      }
    }
    while (shared.reported.load() < kThreads) std::this_thread::yield();
    shared.release.store(true);
    for (std::thread& t : threads) t.join();
    for (platform::ThreadHandle h : handles) platform::JoinThread(h);
    int most = 0;
    for (std::size_t slot = 0; slot < ReadSections::kSlots; ++slot) {
      most =
          std::max(most, static_cast<int>(std::count(shared.slots, shared.slots + kThreads, slot)));
    }
    EXPECT_LE(most, 3) << "threads starting in one slot";
  }
}

TEST(HistoryQuery, ClockSetBackStillSelectsWithinTheArray) {
  // The last sample is earlier than the first: any target is either past the
  // last or before the first.
  const std::vector<Sample> samples = SamplesAt({kT0 + 10 * kSecond, kT0 + 20 * kSecond, kT0});
  EXPECT_EQ(SelectSampleIndex(samples.data(), samples.size(), 0.0), 2);
  EXPECT_EQ(SelectSampleIndex(samples.data(), samples.size(), 5.0), 2);
  EXPECT_EQ(SelectSampleIndex(samples.data(), samples.size(), -5.0), 2);
  EXPECT_EQ(SelectSampleIndex(samples.data(), samples.size(), -20.0), 0);
}

TEST(HistoryQuery, TimestampsNearTheEndOfTheRangeSaturate) {
  const std::uint64_t top = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  const std::vector<Sample> samples = SamplesAt({top - 2 * kSecond, top - kSecond, top});
  EXPECT_EQ(SelectSampleIndex(samples.data(), samples.size(), 1e300), 2);
  EXPECT_EQ(SelectSampleIndex(samples.data(), samples.size(), kInf), 2);
  EXPECT_EQ(SelectSampleIndex(samples.data(), samples.size(), 1.0), 1);
}

TEST(HistoryQuery, DurationIsLastMinusFirstByPosition) {
  const struct {
    std::vector<std::uint64_t> timestamps;
    double seconds;
  } cases[] = {{{}, 0.0},
               {{kT0}, 0.0},
               {{kT0, kT0 + 11 * kSecond, kT0 + 22 * kSecond}, 22.0},
               {{kT0, kT0 + 225 * kSecond / 10}, 22.5},
               {{kT0 + 5 * kSecond, kT0}, -5.0},
               {{kT0 + 10 * kSecond, kT0 + 100 * kSecond, kT0, kT0 + 3 * kSecond}, -7.0}};
  for (const auto& c : cases) {
    SampleHistory history;
    Fill(history, SamplesAt(c.timestamps));
    EXPECT_EQ(GetHistoryDuration(history), c.seconds);
  }
}

TEST(HistoryQuery, ClearHistoryEmptiesIt) {
  SampleHistory history;
  Fill(history, SamplesAt({kT0, kT0 + kSecond}));
  ClearHistory(history);
  EXPECT_FALSE(HasHistory(history));
  EXPECT_EQ(SampleCount(history), 0u);
  EXPECT_EQ(history.samples.blockCount(), 0u);
}

}  // namespace
}  // namespace orv
