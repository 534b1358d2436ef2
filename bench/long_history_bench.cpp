// Months of history: one gasctl_sim device records on the emulated clock
// (ORV_EMU_SPEED=100000, interval 0) while another thread calls HasHistory
// in a loop, as a host's display would. Reported: the longest HasHistory
// call while recording, the calls over 10 ms, resident memory per recorded
// sample at 1M, 4M and 16M samples (and its peak) against the samples' own
// 24 bytes, and the longest HasHistory call during a SaveDevice and an
// ExportHistory of the whole history while it goes on recording.
//
// Minutes long: run it on its own, --benchmark_filter=LongHistory.
// ORV_BENCH_LONG_SAMPLES sets the last count (default 16,777,216).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "bench/bench_host.h"
#include "platform/platform.h"

namespace orv::bench {
namespace {

// Resident and peak resident bytes of this process.
std::size_t ResidentBytes(const char* field) {
  std::ifstream status("/proc/self/status");
  const std::string key = std::string(field) + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, key.size(), key) == 0) return std::stoull(line.substr(key.size())) * 1024;
  }
  return 0;
}

int QuietLog(const char*, ...) { return 0; }

// HasHistory called back to back; the longest call since the last Reset.
class Prober {
 public:
  explicit Prober(const DriverFunctionTable& table, DeviceId id)
      : thread_([this, &table, id] {
          while (!stop_.load()) {
            const Clock::time_point start = Clock::now();
            benchmark::DoNotOptimize(table.HasHistory(id));
            const double seconds = SecondsSince(start);
            if (seconds > 0.010) ++over10ms_;
            double longest = longest_.load();
            while (seconds > longest && !longest_.compare_exchange_weak(longest, seconds)) {
            }
          }
        }) {}
  ~Prober() {
    stop_.store(true);
    thread_.join();
  }
  double TakeLongest() { return longest_.exchange(0.0); }
  int over10ms() const { return over10ms_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<double> longest_{0.0};
  std::atomic<int> over10ms_{0};
  std::thread thread_;
};

void BM_LongHistory(benchmark::State& state) {
  const char* last = std::getenv("ORV_BENCH_LONG_SAMPLES");
  const std::size_t target = last != nullptr ? std::strtoull(last, nullptr, 10) : 16777216;
  platform::WriteEnvironment("ORV_EMU_SPEED", "100000");
  // The dialog modules by full path first, so that Init's load by name finds them.
  for (const char* dialog : {"portpick", "portconf"}) {
    platform::LoadModule(
        (std::string(ORV_BENCH_PLUGIN_DIR) + "/" + dialog + platform::ModuleSuffix()).c_str());
  }
  const DriverFunctionTable& table = Table(kGasctl);
  if (table.Init(&QuietLog) != 1) return state.SkipWithError("Init failed");
  ByteArray image = RecordedImage(kGasctl, 0);
  // Interval 0, one sample a second of the device's clock: the interval
  // follows the length, the name, the versions and the two settings.
  const std::size_t interval = 8 + std::string(kGasctl.name).size() + 3 + 16;
  std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(interval), 4, 0);
  for (auto _ : state) {
    const std::size_t before = ResidentBytes("VmRSS");
    const DeviceId id = table.RestoreDevice(image, 0);
    table.SetRecording(id, true);
    Prober prober(table, id);
    const Clock::time_point start = Clock::now();
    table.SetUpdating(id, true);
    auto samples = [&] { return static_cast<std::size_t>(table.GetHistoryDuration(id)) + 1; };
    for (const std::size_t mark : {std::size_t{1} << 20, std::size_t{1} << 22, target}) {
      while (samples() < mark) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const std::size_t count = samples();
      const double perSample =
          static_cast<double>(ResidentBytes("VmRSS") - before) / static_cast<double>(count) / 24;
      state.counters["rss_per_sample_" + std::to_string(mark >> 20) + "M"] = perSample;
    }
    state.counters["peak_per_sample"] =
        static_cast<double>(ResidentBytes("VmHWM") - before) / static_cast<double>(samples()) / 24;
    state.counters["recorded_M"] = static_cast<double>(samples()) / 1048576.0;
    state.counters["recording_s"] = SecondsSince(start);
    state.counters["longest_hashistory_ms"] = prober.TakeLongest() * 1e3;
    state.counters["calls_over_10ms"] = prober.over10ms();

    Clock::time_point at = Clock::now();
    ByteArray saved;
    table.SaveDevice(id, saved);
    state.counters["save_ms"] = SecondsSince(at) * 1e3;
    state.counters["hashistory_wait_save_ms"] = prober.TakeLongest() * 1e3;
    ByteArray().swap(saved);

    const std::string path = "/tmp/orv_long_history_" + std::to_string(getpid()) + ".txt";
    at = Clock::now();
    table.ExportHistory(id, path, ';', '.');
    state.counters["export_ms"] = SecondsSince(at) * 1e3;
    state.counters["hashistory_wait_export_ms"] = prober.TakeLongest() * 1e3;
    std::remove(path.c_str());

    table.SetUpdating(id, false);
    state.SetIterationTime(SecondsSince(start));
    table.RemoveDevice(id);
  }
}

}  // namespace

BENCHMARK(BM_LongHistory)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace orv::bench
