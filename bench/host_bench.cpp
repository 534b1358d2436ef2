// Figures of the reference host's dashboard, over the built plug-ins:
//   HostCpuWithPageOpen  the host's CPU share with 3 plug-ins x 10 updating,
//                        recording devices while a page polls it as the
//                        dashboard does (state every second, every chart
//                        every two seconds)
//   ChartRequest1M       one chart request (1000 points) over a history of
//                        1,000,000 samples, through HTTP
// Run from the build: build/bench/bin/orv_host_bench
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "host/refhost/session.h"
#include "host/web/web_server.h"
#include "platform/platform.h"
#include "tests/integration/device_image.h"

namespace {

using orv::refhost::Session;
using orv::web::WebServer;

int Quiet(const char*, ...) { return 0; }

std::string Plugin(const char* name) {
  return (std::filesystem::path(ORV_BENCH_BIN_DIR) /
          (std::string(name) + orv::platform::ModuleSuffix()))
      .string();
}

// A session over the three plug-ins with a dashboard server on a free port.
struct Dashboard {
  Dashboard() {
    if (!session
             .Open({Plugin("gasctl_sim"), Plugin("twotemp_sim"), Plugin("climate_sim")},
                   ORV_BENCH_BIN_DIR, &Quiet)
             .ok()) {
      std::abort();
    }
    orv::web::WebOptions options;
    options.port = 0;
    server = std::make_unique<WebServer>(session, options);
    std::string error;
    if (!server->Bind(error)) std::abort();
    serving = std::thread([this] { server->Serve(); });
    while (!server->running()) orv::platform::SleepMs(1);
    client = std::make_unique<httplib::Client>("127.0.0.1", server->port());
  }
  ~Dashboard() {
    server->Stop();
    serving.join();
    session.Close();
  }
  Session session;
  std::unique_ptr<WebServer> server;
  std::thread serving;
  std::unique_ptr<httplib::Client> client;
};

void HostCpuWithPageOpen(benchmark::State& state) {
  const double seconds = std::getenv("ORV_HOST_BENCH_SECONDS") != nullptr
                             ? std::atof(std::getenv("ORV_HOST_BENCH_SECONDS"))
                             : 20.0;
  for (auto _ : state) {
    Dashboard dashboard;
    std::vector<std::string> charts;
    for (int driver = 0; driver < 3; ++driver) {
      for (int n = 0; n < 10; ++n) {
        orv::refhost::AddRequest add;  // interval 0: one tick a second, recording
        DeviceId id = 0;
        dashboard.session.AddDevice(driver, add, id);
        charts.push_back("/api/drivers/" + std::to_string(driver) + "/devices/" +
                         std::to_string(id) + "/chart?from=0&to=60&points=600");
      }
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const std::clock_t cpuStart = std::clock();
    for (int tick = 0; Clock::now() - start < std::chrono::duration<double>(seconds); ++tick) {
      dashboard.client->Get("/api/state");
      if (tick % 2 == 0) {
        for (const std::string& chart : charts) dashboard.client->Get(chart.c_str());
      }
      std::this_thread::sleep_until(start + std::chrono::seconds(tick + 1));
    }
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(wall);
    // The page's side (this client) runs in the same process and is counted too.
    state.counters["cpu_percent"] = 100.0 * cpu / wall;
  }
}
BENCHMARK(HostCpuWithPageOpen)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

void ChartRequest1M(benchmark::State& state) {
  Dashboard dashboard;
  // A saved gasctl device with its history replaced by 1,000,000 samples a second apart.
  orv::refhost::AddRequest add;
  add.start = false;
  DeviceId id = 0;
  dashboard.session.AddDevice(0, add, id);
  ByteArray bytes;
  dashboard.session.Save(0, id, bytes);
  orv::it::DeviceImageData image;
  if (!orv::it::DecodeImage(bytes, 4, false, &image)) std::abort();
  constexpr std::uint64_t kStart = 133000000000000000ULL;
  image.samples.resize(1000000);
  for (std::size_t i = 0; i < image.samples.size(); ++i) {
    const float co2 = 5.0f + static_cast<float>(i % 100) / 100.0f;
    image.samples[i] = {
        kStart + i * 10000000ULL,
        {orv::it::Bits(co2), orv::it::Bits(5.0f), orv::it::Bits(1.0f), orv::it::Bits(1.0f)}};
  }
  DeviceId big = 0;
  if (!dashboard.session.Restore(0, orv::it::EncodeImage(image), big).ok()) std::abort();
  const std::string path = "/api/drivers/0/devices/" + std::to_string(big) +
                           "/chart?from=0&to=999999&points=" + std::to_string(state.range(0));
  for (auto _ : state) {
    const auto answer = dashboard.client->Get(path.c_str());
    if (!answer || answer->status != 200) state.SkipWithError("chart request failed");
    benchmark::DoNotOptimize(answer->body.size());
  }
}
BENCHMARK(ChartRequest1M)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
