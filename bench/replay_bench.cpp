// A week of recording replayed: a one-week history at 1 s (604,800 samples)
// of gasctl_sim (4 values) and climate_sim (6 values), exported and saved by
// the plug-in itself, then loaded by Init as a scenario's replay. Reported:
// the load time (Init with the scenario beside Init without one), memory per
// recorded sample against its 8 + 4N bytes (goal: at most 1.05), both as the
// heap counts it and as resident memory,
// and the wall time a device at interval 0 takes to play the whole week on
// the emulated clock at 100000x, beside the 6.05 s the clock itself takes.
//
// About half a minute for each case: --benchmark_filter=ReplayWeek.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "bench/bench_host.h"
#include "platform/platform.h"

namespace orv::bench {
namespace {

constexpr int kWeek = 604800;

std::size_t ResidentBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 6, "VmRSS:") == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

// Bytes the heap has handed out, mapped blocks included.
std::size_t HeapBytes() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

std::atomic<bool> g_ended{false};
std::atomic<bool> g_refused{false};

// The drivers log their scenario lines as log("%s", line).
int ScenarioLog(const char* format, ...) {
  if (std::strcmp(format, "%s") != 0) return 0;
  va_list args;
  va_start(args, format);
  const char* line = va_arg(args, const char*);
  va_end(args);
  if (std::strstr(line, " ended\n") != nullptr) g_ended.store(true);
  if (std::strstr(line, " ignored:") != nullptr) {
    std::fputs(line, stderr);
    g_refused.store(true);
  }
  return 0;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A device with interval 0 and no history, restored from an image.
ByteArray EmptyDeviceImage(const PluginKind& kind) {
  ByteArray image = RecordedImage(kind, 0);
  const std::size_t interval = 8 + std::string(kind.name).size() + 3 + 16;
  std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(interval), 4, 0);
  return image;
}

void BM_ReplayWeek(benchmark::State& state, const PluginKind& kind, bool fromImage) {
  for (const char* dialog : {"portpick", "portconf"}) {
    platform::LoadModule(
        (std::string(ORV_BENCH_PLUGIN_DIR) + "/" + dialog + platform::ModuleSuffix()).c_str());
  }
  const DriverFunctionTable& table = Table(kind);
  platform::WriteEnvironment("ORV_SCENARIO", "");
  platform::WriteEnvironment("ORV_EMU_SPEED", "100000");
  if (table.Init(&ScenarioLog) != 1) return state.SkipWithError("Init failed");
  const std::string folder = "/tmp/orv_replay_bench_" + std::to_string(getpid()) + "/";
  std::string command = "mkdir -p " + folder;
  if (std::system(command.c_str()) != 0) return state.SkipWithError("no folder");
  const std::string recording = folder + (fromImage ? "week.img" : "week.csv");
  {
    const DeviceId source = table.RestoreDevice(RecordedImage(kind, kWeek), 0);
    if (fromImage) {
      ByteArray saved;
      table.SaveDevice(source, saved);
      std::ofstream(recording, std::ios::binary)
          .write(reinterpret_cast<const char*>(saved.data()),
                 static_cast<std::streamsize>(saved.size()));
    } else {
      table.ExportHistory(source, recording, ';', '.');
    }
    table.RemoveDevice(source);
  }
  const std::string scenario = folder + "week.toml";
  WriteFile(scenario, std::string("driver = \"") + kind.name +
                          "\"\n[[event]]\nat = 0\naction = \"replay\"\nfile = \"" + recording +
                          "\"\n");
  const double sampleBytes = 8.0 + 4.0 * kind.valueCount;
  for (auto _ : state) {
    // Init without a scenario, then with it: the difference is the load.
    platform::WriteEnvironment("ORV_SCENARIO", "");
    Clock::time_point at = Clock::now();
    table.Init(&ScenarioLog);
    const double plainInit = SecondsSince(at);
    platform::WriteEnvironment("ORV_SCENARIO", scenario.c_str());
    g_refused.store(false);
    const std::size_t before = ResidentBytes();
    const std::size_t heapBefore = HeapBytes();
    at = Clock::now();
    table.Init(&ScenarioLog);
    const double load = SecondsSince(at);
    const std::size_t after = ResidentBytes();
    const std::size_t heapAfter = HeapBytes();
    if (g_refused.load()) return state.SkipWithError("the recording was refused");
    state.counters["load_s"] = load - plainInit;
    state.counters["rss_per_sample_over_8+4N"] =
        static_cast<double>(after - before) / kWeek / sampleBytes;
    state.counters["heap_per_sample_over_8+4N"] =
        static_cast<double>(heapAfter - heapBefore) / kWeek / sampleBytes;

    g_ended.store(false);
    const DeviceId id = table.RestoreDevice(EmptyDeviceImage(kind), 0);
    at = Clock::now();
    table.SetUpdating(id, true);
    while (!g_ended.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const double replay = SecondsSince(at);
    table.SetUpdating(id, false);
    table.RemoveDevice(id);
    state.counters["replay_week_s"] = replay;
    state.counters["clock_bound_s"] = kWeek / 100000.0;
    state.SetIterationTime(load + replay);
  }
  platform::WriteEnvironment("ORV_SCENARIO", "");
  std::remove(recording.c_str());
  std::remove(scenario.c_str());
  command = "rmdir " + folder;
  if (std::system(command.c_str()) != 0) state.SkipWithError("folder left behind");
}

}  // namespace

BENCHMARK_CAPTURE(BM_ReplayWeek, gasctl_export, kGasctl, false)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_ReplayWeek, climate_export, kClimate, false)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_ReplayWeek, climate_image, kClimate, true)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace orv::bench
