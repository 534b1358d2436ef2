// How long a host waits to stop its updating devices: 1, 100 and 1,000
// devices on real threads and the real clock, removed one after the other
// from one thread, as a host does when it closes. The devices are removed
// 300 ms after they started, while their threads are in the one-second sleep
// that follows the first tick. Counters: the longest single removal, the
// total, and the bound the total must stay under (20 ms for one device, 2 ms
// a device beyond that: 2 s for 1,000) with the ratio of total to bound.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "framework/devices/driver.h"
#include "framework/devices/update_thread.h"
#include "framework/timing/runtime.h"
#include "models/co2/co2_model.h"

namespace {

using Clock = std::chrono::steady_clock;

double BoundMs(int devices) { return std::max(20.0, 2.0 * devices); }

void BM_StopUpdatingDevices(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  orv::Driver driver(orv::co2::kModel, orv::SystemRuntime());
  double worstMs = 0.0;
  double totalMs = 0.0;
  for (auto _ : state) {
    std::vector<DeviceId> ids;
    for (int i = 0; i < count; ++i) {
      std::shared_ptr<orv::EmuDevice> device = driver.NewDevice();
      if (device == nullptr) {
        state.SkipWithError("cannot create a device");
        return;
      }
      ids.push_back(driver.Register(device));
      orv::SetUpdating(*device, true);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const Clock::time_point start = Clock::now();
    for (DeviceId id : ids) {
      const Clock::time_point before = Clock::now();
      driver.RemoveDevice(id);
      const std::chrono::duration<double, std::milli> one = Clock::now() - before;
      worstMs = std::max(worstMs, one.count());
    }
    const std::chrono::duration<double> all = Clock::now() - start;
    state.SetIterationTime(all.count());
    totalMs = std::max(totalMs, all.count() * 1e3);
  }
  state.counters["worst_stop_ms"] = worstMs;
  state.counters["worst_total_ms"] = totalMs;
  state.counters["bound_ms"] = BoundMs(count);
  state.counters["ratio"] = totalMs / BoundMs(count);
}

}  // namespace

BENCHMARK(BM_StopUpdatingDevices)
    ->Arg(1)
    ->Iterations(10)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StopUpdatingDevices)
    ->Arg(100)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StopUpdatingDevices)
    ->Arg(1000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
