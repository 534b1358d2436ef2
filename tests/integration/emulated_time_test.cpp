// The emulated clock (ORV_EMU_SPEED) through the built plug-ins: exact
// timestamps at any speed, repeatable runs, and the fallback to the real clock.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/integration/plugin_fixture.h"
#include "tests/integration/scenario_support.h"

namespace orv::it {
namespace {

constexpr std::uint64_t kSecond = 10000000;  // FILETIME units
constexpr char kSpeed[] = "ORV_EMU_SPEED";

DeviceId AddRecording(Plugin& plugin, std::int32_t interval) {
  const DeviceId id = plugin.Add();
  Dialogs::Get().AnswerSettings(plugin.model(), 1, true, interval);
  plugin.api().ShowSettings(id);
  plugin.api().SetRecording(id, true);
  return id;
}

// Runs the device until its history spans the seconds asked for, or the
// time limit passes, then stops it; false on the time limit.
bool RunFor(Plugin& plugin, DeviceId id, double seconds, int limitMs) {
  plugin.api().SetUpdating(id, true);
  const bool done =
      WaitUntil([&] { return plugin.api().GetHistoryDuration(id) >= seconds; }, limitMs);
  plugin.api().SetUpdating(id, false);
  return done;
}

std::vector<std::string> Export(Plugin& plugin, DeviceId id, const std::string& name) {
  const std::string path = TempPath(name);
  plugin.api().ExportHistory(id, path, ';', '.');
  std::vector<std::string> lines = ReadLines(path);
  std::remove(path.c_str());
  return lines;
}

void ExpectStepsOf(const DeviceImageData& image, std::uint64_t step) {
  for (std::size_t i = 1; i < image.samples.size(); ++i) {
    ASSERT_EQ(image.samples[i].timestamp - image.samples[i - 1].timestamp, step) << "sample " << i;
  }
}

TEST(IntegrationEmulatedTime, TwoTempCoolsIn361TicksOneSecondApart) {
  ScopedVariable speed(kSpeed, "1000");
  auto plugin = LoadReady(kModels[kTwoTemp]);
  ASSERT_EQ(LogLines(),
            std::vector<std::string>{"Emulated time on: device clocks run 1000 times as "
                                     "fast as real time (ORV_EMU_SPEED=1000).\n"});
  const DeviceId id = AddRecording(*plugin, 0);
  const float start[] = {37.0f, 37.0f, 0.0f};  // channel 1 cooling, heating off
  for (int i = 0; i < 3; ++i) plugin->api().SetValue(id, i, start[i]);
  const auto began = std::chrono::steady_clock::now();
  ASSERT_TRUE(RunFor(*plugin, id, 361.0, 10000));
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  EXPECT_LT(wall, 2.0);
  const DeviceImageData image = plugin->Save(id);
  ASSERT_GE(image.samples.size(), 362u);
  ExpectStepsOf(image, kSecond);
  // The host's writes hold the first tick's result back, so cooling from the
  // written values starts at the second tick.
  EXPECT_EQ(image.samples[0].values[0], image.samples[1].values[0]);
  EXPECT_GT(image.samples[360].values[0], 0x41980000u) << "still above 19 after 360 ticks";
  EXPECT_EQ(image.samples[361].values[0], 0x41979A2Au) << "18.950275 after 361 ticks";
}

TEST(IntegrationEmulatedTime, IntervalSetsTheNominalStepAndStopsStayFast) {
  const struct {
    std::int32_t interval;
    std::uint64_t step;
  } cases[] = {{0, kSecond}, {2, 3 * kSecond}, {10, 11 * kSecond}};
  ScopedVariable speed(kSpeed, "1000");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.interval);
    auto plugin = LoadReady(kModels[kGasctl]);
    const DeviceId id = AddRecording(*plugin, c.interval);
    plugin->api().SetUpdating(id, true);
    ASSERT_TRUE(WaitUntil(
        [&] { return plugin->api().GetHistoryDuration(id) >= 5.0 * c.step / kSecond; }, 10000));
    const auto before = std::chrono::steady_clock::now();
    plugin->api().SetUpdating(id, false);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));
    ExpectStepsOf(plugin->Save(id), c.step);
  }
}

TEST(IntegrationEmulatedTime, AWeekRecordsSavesRestoresAndExportsAtTheHighestSpeed) {
  // 604,800 samples, one a second: a week of history through many blocks.
  ScopedVariable speed(kSpeed, "100000");
  auto plugin = LoadReady(kModels[kClimate]);
  const DeviceId id = AddRecording(*plugin, 0);
  const auto began = std::chrono::steady_clock::now();
  const bool wholeWeek = RunFor(*plugin, id, 604799.0, 60000);
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  ::testing::Test::RecordProperty("wall_seconds", std::to_string(wall));
  std::printf("a week of samples: %.2f s of wall time\n", wall);
#if ORV_FULL_SPEED_RUN
  EXPECT_TRUE(wholeWeek);
#endif
  const auto save = [&](DeviceId device) {
    ByteArray bytes;
    plugin->api().SaveDevice(device, bytes);
    return bytes;
  };
  const ByteArray saved = save(id);
  const DeviceId restored = plugin->Restore(saved);
  ASSERT_NE(restored, 0);
  EXPECT_TRUE(save(restored) == saved);
  const DeviceImageData image = plugin->Save(restored);
  ASSERT_GE(image.samples.size(), 1000u);
  ExpectStepsOf(image, kSecond);
  const std::vector<std::string> lines = Export(*plugin, restored, "week.txt");
  ASSERT_EQ(lines.size(), image.samples.size() + 1);
  const std::string last = lines.back().substr(0, lines.back().find(';'));
  EXPECT_EQ(last, std::to_string(image.samples.size() - 1));
  if (wholeWeek) {
    EXPECT_EQ(lines[86400].substr(0, 6), "86399;");
    EXPECT_EQ(lines[604800].substr(0, 7), "604799;");
  }
}

TEST(IntegrationEmulatedTime, TwoRunsOfAClimateDeviceExportTheSameLines) {
  ScopedVariable speed(kSpeed, "1000");
  std::vector<std::string> runs[2];
  for (auto& lines : runs) {
    auto plugin = LoadReady(kModels[kClimate]);
    const DeviceId id = AddRecording(*plugin, 0);
    ASSERT_EQ(id, 1);  // the same seed in both runs
    // Written before the start, so both runs see it at the same tick: a
    // heating level above 2 lets the drawn overheat indication come on.
    plugin->api().SetValue(id, 4, 3.0f);
    ASSERT_TRUE(RunFor(*plugin, id, 300.0, 10000));
    lines = Export(*plugin, id, "climate.txt");
  }
  // For the comparison across platforms (tools/test_emulated_exchange.sh):
  // the same run's lines from this platform's plug-in.
  if (const char* dir = std::getenv("ORV_EMULATED_EXCHANGE_DIR")) {
    const char* side = std::string(platform::ModuleSuffix()) == ".dll" ? "win32" : "linux";
    std::ofstream out(std::string(dir) + "/climate-" + side + ".txt", std::ios::binary);
    for (const std::string& line : runs[0]) out << line << '\n';
    ASSERT_TRUE(out.good());
  }
  const std::size_t common = std::min(runs[0].size(), runs[1].size());
  ASSERT_GE(common, 302u);
  runs[0].resize(common);
  runs[1].resize(common);
  EXPECT_EQ(runs[0], runs[1]);
  bool overheat = false;  // the drawn indication, last column, does show up
  for (const std::string& line : runs[0])
    overheat |= line.size() > 2 && line.compare(line.size() - 2, 2, ";1") == 0;
  EXPECT_TRUE(overheat);
}

TEST(IntegrationEmulatedTime, InvalidSettingsLeaveTheRealClock) {
  const std::string tail = " (a factor from 1 to 100000 is expected); the real clock is used.\n";
  const struct {
    std::string value;
    std::string line;  // empty: nothing logged
  } cases[] = {
      {"", ""},
      {"1", ""},
      {"abc", "ORV_EMU_SPEED=\"abc\" ignored: not a number" + tail},
      {"nan", "ORV_EMU_SPEED=\"nan\" ignored: not a number" + tail},
      {"12 ", "ORV_EMU_SPEED=\"12 \" ignored: not a number" + tail},
      {"0.5", "ORV_EMU_SPEED=\"0.5\" ignored: below 1" + tail},
      {"-7", "ORV_EMU_SPEED=\"-7\" ignored: below 1" + tail},
      {"100001", "ORV_EMU_SPEED=\"100001\" ignored: above 100000" + tail},
      {"inf", "ORV_EMU_SPEED=\"inf\" ignored: above 100000" + tail},
      {"1e999", "ORV_EMU_SPEED=\"1e999\" ignored: above 100000" + tail},
      {"%s%n\x01", "ORV_EMU_SPEED=\"%s%n?\" ignored: not a number" + tail},
      {std::string(70, '9'),
       "ORV_EMU_SPEED=\"" + std::string(63, '9') + "...\" ignored: too long" + tail},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    ScopedVariable speed(kSpeed, c.value);
    auto plugin = LoadReady(kModels[kGasctl]);
    EXPECT_EQ(LogLines(),
              c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line});
    const DeviceId id = AddRecording(*plugin, 0);
    const std::uint64_t before = platform::LocalFileTimeNow();
    plugin->api().SetUpdating(id, true);
    ASSERT_TRUE(WaitUntil([&] { return plugin->api().HasHistory(id); }, 5000));
    plugin->api().SetUpdating(id, false);
    const std::uint64_t after = platform::LocalFileTimeNow();
    const DeviceImageData image = plugin->Save(id);
    ASSERT_EQ(image.samples.size(), 1u);
    EXPECT_GE(image.samples[0].timestamp + kSecond / 100, before);
    EXPECT_LE(image.samples[0].timestamp, after + kSecond / 100);
  }
}

}  // namespace
}  // namespace orv::it
