// Devices of the three plug-ins running side by side on the real clock.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include "tests/integration/plugin_fixture.h"

namespace orv::it {
namespace {

constexpr char kCreated[] = "Update Thread created (TID: 0x%X).\n";
constexpr char kStopped[] = "Update Thread stopped (TID: 0x%X).\n";
constexpr double kTicksPerSecond = 10000000.0;

struct Running {
  std::unique_ptr<Plugin> plugin;
  DeviceId id = 0;
  std::uint64_t startedAt = 0;  // local clock, FILETIME units
  unsigned tid = 0;
  bool stoppedLineBeforeReturn = false;
};

// Starts one device with interval 0 and recording on; returns its thread id.
unsigned StartDevice(Dialogs& dialogs, Running& r) {
  const DriverFunctionTable& api = r.plugin->api();
  const PluginModel& model = r.plugin->model();
  r.id = r.plugin->Add(3, 4);
  dialogs.AnswerSettings(model, 1, true, 0);
  api.ShowSettings(r.id);
  EXPECT_EQ(dialogs.LastSettingsCall(model).hasValues, 0) << model.name;
  api.SetRecording(r.id, true);
  const std::size_t before = LogLines().size();
  r.startedAt = platform::LocalFileTimeNow();
  api.SetUpdating(r.id, true);
  EXPECT_TRUE(api.IsUpdating(r.id));
  api.SetUpdating(r.id, true);  // already running: no second thread
  const std::vector<std::string> lines = LogLines();
  EXPECT_EQ(lines.size(), before + 1) << model.name;
  unsigned tid = 0;
  if (lines.size() > before && std::sscanf(lines[before].c_str(), kCreated, &tid) == 1) {
    EXPECT_EQ(lines[before], FormatTid(kCreated, tid));
  }
  EXPECT_NE(tid, 0u) << model.name;
  return tid;
}

void CheckHistory(const Running& r) {
  const PluginModel& model = r.plugin->model();
  SCOPED_TRACE(model.name);
  const DeviceImageData image = r.plugin->Save(r.id);
  ASSERT_GE(image.samples.size(), 2u);
  ASSERT_LE(image.samples.size(), 3u);
  const auto firstDelay =
      static_cast<std::int64_t>(image.samples.front().timestamp - r.startedAt) / kTicksPerSecond;
  EXPECT_GE(firstDelay, 0.0);
  EXPECT_LE(firstDelay, 0.25) << "the first tick comes at once";
  for (std::size_t j = 1; j < image.samples.size(); ++j) {
    const double gap =
        (image.samples[j].timestamp - image.samples[j - 1].timestamp) / kTicksPerSecond;
    EXPECT_GE(gap, 0.95);
    EXPECT_LE(gap, 1.5);
  }
  const auto span =
      static_cast<std::int64_t>(image.samples.back().timestamp - image.samples.front().timestamp);
  EXPECT_EQ(r.plugin->api().GetHistoryDuration(r.id), span / kTicksPerSecond);
  ByteArray record(5, 0xEE);
  r.plugin->api().GetSampleAt(r.id, 0.0, record);
  EXPECT_EQ(record, SampleRecord(image.samples.front()));
  const std::vector<std::uint32_t> first(model.firstTick, model.firstTick + model.n);
  EXPECT_EQ(image.samples.front().values, first);
}

TEST(IntegrationRealTime, DevicesTickEverySecondAndStopWithTheirLastLogLine) {
  Dialogs& dialogs = Dialogs::Get();
  ASSERT_TRUE(dialogs.ok);
  dialogs.ResetAll();
  ClearLog();
  std::vector<Running> devices(3);
  for (int i = 0; i < 3; ++i) {
    devices[i].plugin = std::make_unique<Plugin>(kModels[i]);
    ASSERT_TRUE(devices[i].plugin->loaded());
    ASSERT_EQ(devices[i].plugin->Init(), 1);
  }
  const auto start = std::chrono::steady_clock::now();
  for (Running& r : devices) r.tid = StartDevice(dialogs, r);

  for (Running& r : devices) {
    const DriverFunctionTable& api = r.plugin->api();
    EXPECT_TRUE(WaitUntil([&] { return !api.HasNoValidValues(r.id); }, 2000));
    api.ShowSettings(r.id);
    EXPECT_EQ(dialogs.LastSettingsCall(r.plugin->model()).hasValues, 1);
    EXPECT_EQ(dialogs.LastSettingsCall(r.plugin->model()).intervalOnEntry, 0);
  }
  std::this_thread::sleep_until(start + std::chrono::milliseconds(2500));
  for (const Running& r : devices) CheckHistory(r);

  // Stopping waits for the thread's end, so its last line is already written.
  // One device is removed while it runs; the stops run in parallel to save time.
  std::vector<std::thread> stoppers;
  for (int i = 0; i < 3; ++i) {
    stoppers.emplace_back([&r = devices[i], i] {
      if (i == 1) {
        r.plugin->api().RemoveDevice(r.id);
      } else {
        r.plugin->api().SetUpdating(r.id, false);
      }
      const std::vector<std::string> lines = LogLines();
      r.stoppedLineBeforeReturn =
          std::find(lines.begin(), lines.end(), FormatTid(kStopped, r.tid)) != lines.end();
    });
  }
  for (std::thread& t : stoppers) t.join();
  for (const Running& r : devices) {
    EXPECT_TRUE(r.stoppedLineBeforeReturn) << r.plugin->model().name;
    EXPECT_FALSE(r.plugin->api().IsUpdating(r.id));
  }
  const std::size_t lines = LogLines().size();
  devices[0].plugin->api().SetUpdating(devices[0].id, false);
  EXPECT_EQ(LogLines().size(), lines);
  EXPECT_EQ(lines, 6u) << "one created and one stopped line per device";
}

TEST(IntegrationRealTime, StopDuringTheSleepOrANapReturnsAtOnceWithoutAnotherTick) {
  // Every device ticks once at its start; the second tick would come at 2 s
  // (interval 1) or 11 s (interval 10). Each is stopped well before that.
  const struct {
    const char* what;
    int model;
    std::int32_t interval;
    int stopAtMs;  // after the device's start
    bool remove;   // RemoveDevice rather than SetUpdating(false)
  } cases[] = {
      {"SetUpdating(false) during the one-second sleep", 0, 10, 300, false},
      {"RemoveDevice during the one-second sleep", 1, 10, 400, true},
      {"SetUpdating(false) during a nap", 2, 1, 1250, false},
      {"RemoveDevice during a nap", 0, 1, 1350, true},
      {"SetUpdating(false) during a nap of a long pause", 1, 10, 1450, false},
  };
  constexpr double kBoundMs = 50.0;
  Dialogs& dialogs = Dialogs::Get();
  ASSERT_TRUE(dialogs.ok);
  dialogs.ResetAll();
  ClearLog();
  std::vector<std::unique_ptr<Plugin>> plugins;
  for (const PluginModel& model : kModels) {
    plugins.push_back(std::make_unique<Plugin>(model));
    ASSERT_TRUE(plugins.back()->loaded());
    ASSERT_EQ(plugins.back()->Init(), 1);
  }
  std::vector<DeviceId> ids;
  std::vector<std::chrono::steady_clock::time_point> started;
  for (const auto& c : cases) {
    Plugin& plugin = *plugins[c.model];
    ids.push_back(plugin.Add());
    dialogs.AnswerSettings(plugin.model(), 1, true, c.interval);
    plugin.api().ShowSettings(ids.back());
    plugin.api().SetRecording(ids.back(), true);
    started.push_back(std::chrono::steady_clock::now());
    plugin.api().SetUpdating(ids.back(), true);
  }
  std::vector<std::size_t> samplesAtStop;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.what);
    const DriverFunctionTable& api = plugins[c.model]->api();
    std::this_thread::sleep_until(started[i] + std::chrono::milliseconds(c.stopAtMs));
    samplesAtStop.push_back(c.remove ? 0 : plugins[c.model]->Save(ids[i]).samples.size());
    const auto before = std::chrono::steady_clock::now();
    if (c.remove) {
      api.RemoveDevice(ids[i]);
    } else {
      api.SetUpdating(ids[i], false);
    }
    const std::chrono::duration<double, std::milli> took =
        std::chrono::steady_clock::now() - before;
    EXPECT_LE(took.count(), kBoundMs) << "ms to stop";
    EXPECT_FALSE(api.IsUpdating(ids[i]));
  }
  // Past the moment an interval-1 device would have ticked again.
  std::this_thread::sleep_until(started.back() + std::chrono::milliseconds(2300));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    if (cases[i].remove) continue;
    SCOPED_TRACE(cases[i].what);
    EXPECT_EQ(samplesAtStop[i], 1u);
    EXPECT_EQ(plugins[cases[i].model]->Save(ids[i]).samples.size(), 1u);
  }
  EXPECT_EQ(LogLines().size(), 2 * std::size(cases)) << "one created and one stopped line each";
}

}  // namespace
}  // namespace orv::it
