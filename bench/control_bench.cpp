// Figures of the control endpoint (ORV_CONTROL), through the table of the
// built climate_sim plug-in: the host's GetSampleAt and HasHistory without an
// endpoint and beside one that clients poll, and a day of device time passed
// on ten devices by the manual clock's advance beside the emulated clock at
// its top speed. Run with the dialog modules on the loader's path
// (tools/bench_control.sh).
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_host.h"
#include "platform/platform.h"

namespace orv::bench {
namespace {

namespace fs = std::filesystem;

int Quiet(const char*, ...) { return 0; }

// The plug-in initialised with ORV_CONTROL and ORV_EMU_SPEED as given, its
// connection file in a folder of its own; shut down at the end.
class Session {
 public:
  Session(const std::string& control, const std::string& speed)
      : table_(Table(kClimate)),
        folder_(fs::temp_directory_path() / ("orv-control-bench-" + std::to_string(++count_))) {
    fs::create_directories(folder_);
    platform::WriteEnvironment("XDG_RUNTIME_DIR", folder_.c_str());
    platform::WriteEnvironment("ORV_CONTROL", control.c_str());
    platform::WriteEnvironment("ORV_EMU_SPEED", speed.c_str());
    if (table_.Init(&Quiet) != 1) {
      std::fprintf(stderr, "Init failed: the dialog modules must be on the loader's path\n");
      std::exit(1);
    }
    for (const auto& entry : fs::directory_iterator(folder_ / "orv-emu" / "control", error_)) {
      const nlohmann::json info = nlohmann::json::parse(std::ifstream(entry.path()));
      port_ = info["port"];
      token_ = info["token"];
    }
  }
  ~Session() {
    table_.Shutdown();
    platform::WriteEnvironment("ORV_CONTROL", "");
    platform::WriteEnvironment("ORV_EMU_SPEED", "");
    fs::remove_all(folder_, error_);
  }
  httplib::Client Client() const {
    httplib::Client client("127.0.0.1", port_);
    client.set_bearer_token_auth(token_);
    client.set_read_timeout(600, 0);
    return client;
  }
  bool endpoint() const { return port_ != 0; }

 private:
  const DriverFunctionTable& table_;
  fs::path folder_;
  std::error_code error_;
  int port_ = 0;
  std::string token_;
  static inline int count_ = 0;
};

// Clients polling GET /devices, each every pollMs (0: as fast as it can).
class Pollers {
 public:
  Pollers(const Session& session, int clients, int pollMs) {
    for (int i = 0; i < clients; ++i) {
      threads_.emplace_back([this, &session, pollMs] {
        httplib::Client client = session.Client();
        client.set_keep_alive(true);
        while (!stop_) {
          if (client.Get("/devices")) ++answered_;
          if (pollMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
        }
      });
    }
  }
  ~Pollers() {
    stop_ = true;
    for (std::thread& thread : threads_) thread.join();
  }
  long answered() const { return answered_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<long> answered_{0};
  std::vector<std::thread> threads_;
};

int PollMs() {
  const char* text = std::getenv("ORV_BENCH_POLL_MS");
  return text != nullptr ? std::atoi(text) : 50;
}

// GetSampleAt and HasHistory on a million-sample history: without an
// endpoint (0), and beside one that 20 clients poll (1).
void BM_HostCallsBesideTheEndpoint(benchmark::State& state) {
  constexpr int kBatch = 1000;
  constexpr int kSamples = 1000000;
  const bool control = state.range(0) != 0;
  const DriverFunctionTable& table = Table(kClimate);
  Session session(control ? "0" : "", "");
  if (control != session.endpoint()) return state.SkipWithError("the endpoint did not start");
  RecordedDevice device(kClimate, kSamples);
  Pollers pollers(session, control ? 20 : 0, PollMs());
  ByteArray out;
  double offset = 0;
  std::vector<double> sample, has;
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    for (int k = 0; k < kBatch; ++k) {
      offset += 7919.3;
      if (offset > kSamples - 1) offset -= kSamples - 1;
      table.GetSampleAt(device.id(), offset, out);
    }
    sample.push_back(SecondsSince(start) / kBatch);
    start = Clock::now();
    bool any = false;
    for (int k = 0; k < kBatch; ++k) any |= table.HasHistory(device.id());
    has.push_back(SecondsSince(start) / kBatch);
    benchmark::DoNotOptimize(any);
    state.SetIterationTime(sample.back() * kBatch);
  }
  std::sort(sample.begin(), sample.end());
  std::sort(has.begin(), has.end());
  state.counters["GetSampleAt_ns"] = sample[sample.size() / 2] * 1e9;
  state.counters["HasHistory_ns"] = has[has.size() / 2] * 1e9;
  state.counters["polls_answered"] = static_cast<double>(pollers.answered());
}

// Ten devices at interval 0, recording, from second 0 to 86400.
struct TenDevices {
  TenDevices() : table(Table(kClimate)) {
    for (int i = 0; i < 10; ++i) {
      ids.push_back(table.RestoreDevice(RecordedImage(kClimate, 0, false, 0), 0));
      table.SetRecording(ids.back(), true);
      table.SetUpdating(ids.back(), true);
    }
  }
  ~TenDevices() {
    for (DeviceId id : ids) table.RemoveDevice(id);
  }
  double Shortest() const {
    double shortest = 1e300;
    for (DeviceId id : ids) shortest = std::min(shortest, table.GetHistoryDuration(id));
    return shortest;
  }
  const DriverFunctionTable& table;
  std::vector<DeviceId> ids;
};

void BM_DayOnTenDevicesManualAdvance(benchmark::State& state) {
  for (auto _ : state) {
    Session session("0", "manual");
    TenDevices devices;
    httplib::Client client = session.Client();
    const Clock::time_point start = Clock::now();
    const auto answer = client.Post("/clock/advance", R"({"seconds": 86400})", "application/json");
    state.SetIterationTime(SecondsSince(start));
    if (!answer || answer->status != 200 || devices.Shortest() != 86400.0) {
      return state.SkipWithError("the advance did not land on second 86400");
    }
  }
}

void BM_DayOnTenDevicesEmulatedTopSpeed(benchmark::State& state) {
  for (auto _ : state) {
    Session session("", "100000");
    const Clock::time_point start = Clock::now();
    TenDevices devices;
    while (devices.Shortest() < 86400.0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    state.SetIterationTime(SecondsSince(start));
  }
}

}  // namespace
}  // namespace orv::bench

BENCHMARK(orv::bench::BM_HostCallsBesideTheEndpoint)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(orv::bench::BM_DayOnTenDevicesManualAdvance)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(orv::bench::BM_DayOnTenDevicesEmulatedTopSpeed)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
