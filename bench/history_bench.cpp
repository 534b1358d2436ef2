// Figures for the operations that walk a whole history: SaveDevice,
// RestoreDevice, ExportHistory and GetSampleAt on 1,000,000-sample
// histories. Each save/export case also runs a recorder thread that appends a
// sample every millisecond and reports the longest time it waited for
// historyMutex: how long a recording device's update thread can be held up.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "framework/driver.h"
#include "framework/export.h"
#include "framework/image.h"
#include "framework/values.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"
#include "tests/support/quiet_runtime.h"

namespace {

constexpr int kSamples = 1000000;

orv::testing::QuietRuntime gRuntime;

std::shared_ptr<orv::EmuDevice> Recorded(orv::Driver& driver, int samples) {
  std::shared_ptr<orv::EmuDevice> device = driver.NewDevice();
  device->history.samples.reserve(static_cast<std::size_t>(samples));
  for (int s = 0; s < samples; ++s) {
    orv::Sample sample;
    sample.timestamp = 133000000000000000ULL + 10000000ULL * static_cast<std::uint64_t>(s);
    for (int i = 0; i < driver.model().valueCount; ++i) {
      sample.values[i] = 5.0f + 0.05f * static_cast<float>((s + i) % 40);
    }
    device->history.samples.push_back(sample);
  }
  driver.Register(device);
  return device;
}

// Appends a sample every millisecond to a separate history guarded the same
// way, measuring how long each append waited for the shared mutex.
class Recorder {
 public:
  explicit Recorder(orv::SampleHistory& history) : history_(history), thread_([this] { Run(); }) {}
  ~Recorder() {
    stop_.store(true);
    thread_.join();
  }
  double maxWaitMs() const { return maxWaitNs_.load() / 1e6; }

 private:
  void Run() {
    orv::Sample sample;
    while (!stop_.load()) {
      const auto start = std::chrono::steady_clock::now();
      history_.historyMutex.lock();
      const auto waited = std::chrono::steady_clock::now() - start;
      history_.historyMutex.unlock();
      const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(waited).count();
      if (ns > maxWaitNs_.load()) maxWaitNs_.store(ns);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    (void)sample;
  }

  orv::SampleHistory& history_;
  std::atomic<bool> stop_{false};
  std::atomic<long long> maxWaitNs_{0};
  std::thread thread_;
};

template <const orv::ModelDescription& kModel>
void BM_SaveDevice(benchmark::State& state) {
  orv::Driver driver(kModel, gRuntime);
  std::shared_ptr<orv::EmuDevice> device = Recorded(driver, kSamples);
  ByteArray image;
  double worst = 0.0;
  for (auto _ : state) {
    Recorder recorder(device->history);
    orv::SaveDevice(driver, *device, image);
    benchmark::DoNotOptimize(image.data());
    worst = std::max(worst, recorder.maxWaitMs());
  }
  state.counters["image_MB"] = static_cast<double>(image.size()) / 1e6;
  state.counters["max_append_wait_ms"] = worst;
}

template <const orv::ModelDescription& kModel>
void BM_RestoreDevice(benchmark::State& state) {
  orv::Driver driver(kModel, gRuntime);
  std::shared_ptr<orv::EmuDevice> device = Recorded(driver, kSamples);
  ByteArray image;
  orv::SaveDevice(driver, *device, image);
  for (auto _ : state) {
    const DeviceId id = orv::RestoreDevice(driver, image, 0);
    state.PauseTiming();
    driver.RemoveDevice(id);
    state.ResumeTiming();
  }
}

template <const orv::ModelDescription& kModel>
void BM_ExportHistory(benchmark::State& state) {
  orv::Driver driver(kModel, gRuntime);
  std::shared_ptr<orv::EmuDevice> device = Recorded(driver, kSamples);
  const std::string path = "orv_bench_export.csv";
  const auto descriptors = driver.GetChannelDescriptors(device->id);
  double worst = 0.0;
  for (auto _ : state) {
    Recorder recorder(device->history);
    orv::ExportHistory(gRuntime, *device, descriptors, path, ';', ',');
    worst = std::max(worst, recorder.maxWaitMs());
  }
  std::remove(path.c_str());
  state.counters["max_append_wait_ms"] = worst;
}

void BM_GetSampleAt(benchmark::State& state) {
  orv::Driver driver(orv::climate::kModel, gRuntime);
  std::shared_ptr<orv::EmuDevice> device = Recorded(driver, kSamples);
  ByteArray out;
  double offset = 0.0;
  for (auto _ : state) {
    orv::GetSampleAt(device->history, 6, offset, out);
    benchmark::DoNotOptimize(out.data());
    offset += 7919.3;
    if (offset > kSamples) offset -= kSamples;
  }
}

}  // namespace

BENCHMARK_TEMPLATE(BM_SaveDevice, orv::co2::kModel)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_SaveDevice, orv::climate::kModel)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_RestoreDevice, orv::co2::kModel)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_RestoreDevice, orv::climate::kModel)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_ExportHistory, orv::co2::kModel)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_ExportHistory, orv::climate::kModel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetSampleAt);

BENCHMARK_MAIN();
