// SaveDevice, RestoreDevice and GetSampleAt through the table of the built
// plug-ins, each beside its bound: a memcpy of the same bytes into a vector
// for the image operations, one copy of the samples for the longest wait of
// another history-lock call during a save, and "lock a mutex, copy the record
// at a known index" for GetSampleAt.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "bench/bench_host.h"
#include "platform/platform.h"

namespace orv::bench {
namespace {

constexpr int kSamples = 1000000;

// A sample as the framework keeps it: what "one copy of the samples" copies.
struct Record {
  std::uint64_t timestamp;
  float values[6];
};

std::vector<Record> Records(const PluginKind& kind, int samples) {
  std::vector<Record> records(static_cast<std::size_t>(samples));
  for (int s = 0; s < samples; ++s) {
    records[s].timestamp = RecordedTimestamp(s);
    for (int i = 0; i < 6; ++i)
      records[s].values[i] = i < kind.valueCount ? RecordedValue(s, i) : 0;
  }
  return records;
}

void SetRatio(benchmark::State& state, const char* boundName, const Paired& times) {
  state.counters[boundName] = times.MedianBound() * 1e3;
  state.counters["ratio"] = times.MedianRatio();
}

template <const PluginKind& kKind>
void BM_SaveDevice(benchmark::State& state) {
  const DriverFunctionTable& table = Table(kKind);
  RecordedDevice device(kKind, kSamples);
  ByteArray reference;
  table.SaveDevice(device.id(), reference);
  Paired times;
  for (auto _ : state) {
    ByteArray image;
    Clock::time_point start = Clock::now();
    table.SaveDevice(device.id(), image);
    const double save = SecondsSince(start);
    start = Clock::now();
    ByteArray copy(reference.begin(), reference.end());
    times.Add(save, SecondsSince(start));
    benchmark::DoNotOptimize(image.data());
    benchmark::DoNotOptimize(copy.data());
    if (image != reference) state.SkipWithError("the image changed");
    state.SetIterationTime(save);
  }
  state.counters["image_MB"] = static_cast<double>(reference.size()) / 1e6;
  SetRatio(state, "memcpy_ms", times);
}

// Beside the copy into a new vector (which the heap serves from memory it
// has used before), a copy into pages fresh from the system, as a restored
// history's blocks are: the page faults are the larger part of either.
template <const PluginKind& kKind>
void BM_RestoreDevice(benchmark::State& state) {
  const DriverFunctionTable& table = Table(kKind);
  const ByteArray image = RecordedImage(kKind, kSamples);
  Paired times, fresh;
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    const DeviceId id = table.RestoreDevice(image, 0);
    const double restore = SecondsSince(start);
    start = Clock::now();
    ByteArray copy(image.begin(), image.end());
    times.Add(restore, SecondsSince(start));
    start = Clock::now();
    void* pages = platform::ReservePages(image.size());
    if (pages == nullptr || !platform::CommitPages(pages, image.size())) {
      state.SkipWithError("no pages");
    } else {
      std::memcpy(pages, image.data(), image.size());
    }
    fresh.Add(restore, SecondsSince(start));
    platform::ReleasePages(pages, image.size());
    benchmark::DoNotOptimize(copy.data());
    if (id == 0) state.SkipWithError("image refused");
    table.RemoveDevice(id);
    state.SetIterationTime(restore);
  }
  SetRatio(state, "memcpy_ms", times);
  state.counters["fresh_memcpy_ms"] = fresh.MedianBound() * 1e3;
  state.counters["ratio_fresh"] = fresh.MedianRatio();
}

// Another thread calls HasHistory about every 100 us while SaveDevice runs;
// the longest of those calls (per save; the median over the saves) is set
// beside one copy of the samples into a new vector.
void BM_SaveDeviceLockWait(benchmark::State& state) {
  const DriverFunctionTable& table = Table(kClimate);
  RecordedDevice device(kClimate, kSamples);
  const std::vector<Record> samples = Records(kClimate, kSamples);
  Paired times;  // the longest wait of each save, one copy
  for (auto _ : state) {
    std::atomic<bool> saving{true};
    std::atomic<bool> probing{false};
    double wait = 0.0;
    std::thread prober([&] {
      while (saving.load()) {
        const Clock::time_point start = Clock::now();
        benchmark::DoNotOptimize(table.HasHistory(device.id()));
        wait = std::max(wait, SecondsSince(start));
        probing.store(true);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    });
    while (!probing.load()) std::this_thread::yield();
    ByteArray image;
    const Clock::time_point start = Clock::now();
    table.SaveDevice(device.id(), image);
    state.SetIterationTime(SecondsSince(start));
    saving.store(false);
    prober.join();
    const Clock::time_point copyStart = Clock::now();
    std::vector<Record> copy = samples;
    times.Add(wait, SecondsSince(copyStart));
    benchmark::DoNotOptimize(copy.data());
  }
  state.counters["max_wait_ms"] = times.MedianOperation() * 1e3;
  SetRatio(state, "copy_ms", times);
}

// Offsets step through the history in strides that are no multiple of the
// spacing, so that the 1,000,000-sample case reaches memory, not the cache.
struct OffsetWalk {
  explicit OffsetWalk(int samples)
      : span(samples - 1), step(static_cast<double>(samples) * 0.0079193 + 0.3) {}
  double Next() {
    offset += step;
    if (offset > span) offset -= span;
    return offset;
  }
  double span;
  double step;
  double offset = 0.0;
};

void BM_GetSampleAt(benchmark::State& state) {
  constexpr int kBatch = 1000;
  const int samples = static_cast<int>(state.range(0));
  const DriverFunctionTable& table = Table(kClimate);
  RecordedDevice device(kClimate, samples);
  const std::vector<Record> records = Records(kClimate, samples);
  platform::Mutex mutex;
  ByteArray out, floorOut(SampleRecordSize(6));
  OffsetWalk calls(samples), floors(samples);
  Paired times;
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    for (int k = 0; k < kBatch; ++k) table.GetSampleAt(device.id(), calls.Next(), out);
    const double query = SecondsSince(start);
    start = Clock::now();
    for (int k = 0; k < kBatch; ++k) {
      const std::size_t index = static_cast<std::size_t>(floors.Next() + 0.5);
      mutex.lock();
      std::memcpy(floorOut.data(), &records[index], SampleRecordSize(6));
      mutex.unlock();
    }
    times.Add(query, SecondsSince(start));
    benchmark::DoNotOptimize(out.data());
    benchmark::DoNotOptimize(floorOut.data());
    state.SetIterationTime(query);
  }
  if (out != floorOut) state.SkipWithError("the last records differ");
  state.counters["ns_per_call"] = times.MedianOperation() / kBatch * 1e9;
  state.counters["floor_ns"] = times.MedianBound() / kBatch * 1e9;
  state.counters["ratio"] = times.MedianRatio();
}

// GetSampleAt on one device from several host threads at once, as a host's
// chart threads call it: each call enters a read section, and threads whose
// sections share a slot share its cache line. Items per second over all the
// threads.
void BM_GetSampleAtThreads(benchmark::State& state) {
  constexpr int kBatch = 1000;
  const DriverFunctionTable& table = Table(kClimate);
  static const RecordedDevice* const device = new RecordedDevice(kClimate, 1000);
  ByteArray out;
  OffsetWalk calls(1000);
  for (int k = 0; k < state.thread_index() * 97; ++k) calls.Next();
  for (auto _ : state) {
    for (int k = 0; k < kBatch; ++k) table.GetSampleAt(device->id(), calls.Next(), out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

}  // namespace

BENCHMARK_TEMPLATE(BM_SaveDevice, kGasctl)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_SaveDevice, kClimate)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_RestoreDevice, kGasctl)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_RestoreDevice, kClimate)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveDeviceLockWait)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetSampleAt)->Arg(1000)->Arg(kSamples)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetSampleAtThreads)
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace orv::bench
