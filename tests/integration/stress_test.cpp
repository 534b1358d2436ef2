// Host threads hammering running devices of all three plug-ins at once; meant
// to be run under the thread sanitizer as well.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <limits>
#include <random>
#include <thread>

#include "tests/integration/plugin_fixture.h"

namespace orv::it {
namespace {

constexpr int kDevicesPerPlugin = 8;
constexpr int kHostThreads = 4;
constexpr auto kDuration = std::chrono::seconds(3);

struct Target {
  Plugin* plugin;
  DeviceId id;
};

// One random table call on a running device. Returns false when a result has
// a shape no call may ever give.
bool RandomCall(Target& t, std::mt19937& rng, const std::string& exportPath) {
  const DriverFunctionTable& api = t.plugin->api();
  const int n = t.plugin->model().n;
  const auto index = static_cast<std::int32_t>(rng() % static_cast<unsigned>(n));
  const float values[] = {0.0f, 1.0f, 2.6f, 5.5f, 37.0f, std::numeric_limits<float>::quiet_NaN()};
  switch (rng() % 14) {
    case 0:
      api.GetValue(t.id, index);
      return true;
    case 1:
      api.SetValue(t.id, index, values[rng() % 6]);
      return true;
    case 2:
      api.HasNoValidValues(t.id);
      return true;
    case 3:
      api.SetRecording(t.id, rng() % 8 != 0);  // off to on clears while the thread appends
      return true;
    case 4:
      api.IsRecording(t.id);
      return true;
    case 5:
      api.HasHistory(t.id);
      return true;
    case 6:
      return api.GetHistoryDuration(t.id) >= 0.0;
    case 7: {
      ByteArray record(rng() % 40);
      api.GetSampleAt(t.id, (rng() % 5000) / 1000.0 - 1.0, record);
      return record.size() == SampleRecordSize(n);
    }
    case 8: {
      ByteArray image;
      api.SaveDevice(t.id, image);
      DeviceImageData data;
      return DecodeImage(image, n, t.plugin->model().channelNames(), &data);
    }
    case 9: {
      const ChannelConfig config = api.GetChannelConfig(t.id, index);
      api.SetChannelConfig(t.id, index, &config);
      return true;
    }
    case 10: {
      ChannelConfig config{static_cast<std::uint8_t>(rng()), {1, 2, 3}, 0.1f, 0.2f, 0.3f};
      api.SetChannelConfig(t.id, index, &config);
      return true;
    }
    case 11:
      api.ExportHistory(t.id, exportPath, '\t', ',');
      return true;
    case 12:
      return api.IsUpdating(t.id);
    default:
      api.ClearHistory(t.id);
      return true;
  }
}

TEST(IntegrationStress, HostThreadsAndUpdateThreadsShareDevicesSafely) {
  Dialogs& dialogs = Dialogs::Get();
  ASSERT_TRUE(dialogs.ok);
  dialogs.ResetAll();
  ClearLog();
  std::vector<std::unique_ptr<Plugin>> plugins;
  std::vector<std::unique_ptr<Target>> targets;
  for (const PluginModel& model : kModels) {
    plugins.push_back(std::make_unique<Plugin>(model));
    Plugin& plugin = *plugins.back();
    ASSERT_TRUE(plugin.loaded());
    ASSERT_EQ(plugin.Init(), 1);
    dialogs.AnswerSettings(model, 1, true, 0);
    for (int i = 0; i < kDevicesPerPlugin; ++i) {
      targets.push_back(std::make_unique<Target>());
      targets.back()->plugin = &plugin;
      targets.back()->id = plugin.Add(i, -i);
      plugin.api().ShowSettings(targets.back()->id);
      plugin.api().SetRecording(targets.back()->id, true);
      plugin.api().SetUpdating(targets.back()->id, true);
    }
  }

  std::atomic<int> badResults{0};
  std::atomic<long> calls{0};
  const auto deadline = std::chrono::steady_clock::now() + kDuration;
  std::vector<std::thread> hosts;
  std::vector<std::string> exportPaths;
  for (int h = 0; h < kHostThreads; ++h) {
    exportPaths.push_back(TempPath("stress_" + std::to_string(h) + ".txt"));
  }
  for (int h = 0; h < kHostThreads; ++h) {
    hosts.emplace_back([&, h] {
      std::mt19937 rng(1234u + static_cast<unsigned>(h));
      long made = 0;
      while (std::chrono::steady_clock::now() < deadline) {
        Target& t = *targets[rng() % targets.size()];
        if (!RandomCall(t, rng, exportPaths[h])) ++badResults;
        ++made;
      }
      calls += made;
    });
  }
  for (std::thread& t : hosts) t.join();
  for (const std::string& path : exportPaths) std::remove(path.c_str());

  // Every device still ticks and records: with recording on, the next tick
  // (at most a second away) leaves a sample.
  for (auto& t : targets) t->plugin->api().SetRecording(t->id, true);
  for (auto& t : targets) {
    const DriverFunctionTable& api = t->plugin->api();
    EXPECT_TRUE(WaitUntil([&] { return api.HasHistory(t->id); }, 2500))
        << t->plugin->model().name << " device " << t->id;
  }

  // Stop in parallel: each stop waits up to a second for its thread.
  std::vector<std::thread> stoppers;
  for (auto& t : targets) {
    stoppers.emplace_back([&t] { t->plugin->api().SetUpdating(t->id, false); });
  }
  for (std::thread& t : stoppers) t.join();
  for (auto& t : targets) {
    SCOPED_TRACE(std::string(t->plugin->model().name) + " device " + std::to_string(t->id));
    EXPECT_FALSE(t->plugin->api().IsUpdating(t->id));
    EXPECT_FALSE(t->plugin->api().HasNoValidValues(t->id));
    t->plugin->api().RemoveDevice(t->id);
  }
  EXPECT_EQ(badResults.load(), 0);
  EXPECT_GT(calls.load(), 1000);
  const std::size_t threads = targets.size();
  EXPECT_EQ(LogLines().size(), 2 * threads) << "one created and one stopped line per device";
}

}  // namespace
}  // namespace orv::it
