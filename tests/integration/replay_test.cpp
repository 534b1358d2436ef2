// Replays through the built plug-ins on the emulated clock: a device's
// eventful run, exported or saved, replayed on a fresh device of the same
// driver and interval, exports again line for line (and, from the image, bit
// for bit); a refused recording leaves the plug-in as with no scenario.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/integration/scenario_support.h"

namespace orv::it {
namespace {

constexpr double kSeconds = 300.0;
constexpr std::ptrdiff_t kCommon = 302;

// On every model: value 1 (a nominal) set at 20 s, the value `held` forced
// invalid (or on) from 40 s for 10 s, value 1 ramped from 60 s for 30 s.
std::string EventfulScenario(const PluginModel& model, int held, const char* value) {
  return std::string("driver = \"") + model.name +
         "\"\n"
         "[[event]]\nat = 20\naction = \"set\"\nindex = 1\nvalue = 7\n"
         "[[event]]\nat = 40\naction = \"hold\"\nindex = " +
         std::to_string(held) + "\nvalue = " + value +
         "\nduration = 10\n"
         "[[event]]\nat = 60\naction = \"ramp\"\nindex = 1\nrate = 0.25\nduration = 30\n";
}

struct Original {
  std::vector<std::string> lines;  // its export
  std::string exportPath, imagePath;
  DeviceImageData image;
};

// Records the eventful run and keeps its export and its image as files.
Original Record(const PluginModel& model, int held, const char* value) {
  ScopedVariable scenario("ORV_SCENARIO",
                          WriteTemp("replay-eventful.toml", EventfulScenario(model, held, value)));
  auto plugin = LoadReady(model);
  const DeviceId id = RunRecording(*plugin, kSeconds);
  Original original;
  original.exportPath = TempPath(std::string("replay-original-") + model.name + ".csv");
  ExportTo(*plugin, id, original.exportPath);
  original.lines = ReadLines(original.exportPath);
  ByteArray bytes;
  plugin->api().SaveDevice(id, bytes);
  original.imagePath = TempPath(std::string("replay-original-") + model.name + ".img");
  std::ofstream(original.imagePath, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  EXPECT_TRUE(DecodeImage(bytes, model.n, model.channelNames(), &original.image));
  EXPECT_EQ(LinesStartingWith(DriverLog(), "Scenario (").size(), 3u);
  return original;
}

struct Replayed {
  std::vector<std::string> lines;
  DeviceImageData image;
  std::vector<std::string> log;
};

// A fresh device of the same driver and interval replaying file from its
// first second, run until its history spans seconds (the original's span).
Replayed Replay(const PluginModel& model, const std::string& file, double seconds) {
  // A literal string: a Windows path's backslashes are no escapes.
  const std::string text = std::string("driver = \"") + model.name +
                           "\"\n[[event]]\nat = 0\naction = \"replay\"\nfile = '" + file + "'\n";
  ScopedVariable scenario("ORV_SCENARIO", WriteTemp("replay-replay.toml", text));
  auto plugin = LoadReady(model);
  const DeviceId id = RunRecording(*plugin, seconds);
  Replayed replayed;
  replayed.lines = ExportLines(*plugin, id);
  replayed.image = plugin->Save(id);
  replayed.log = DriverLog();
  return replayed;
}

// For tools/test_replay_exchange.sh: the replayed export from this platform.
void KeepForExchange(const std::string& name, const std::vector<std::string>& lines) {
  const char* dir = std::getenv("ORV_REPLAY_EXCHANGE_DIR");
  if (dir == nullptr) return;
  const char* side = std::string(platform::ModuleSuffix()) == ".dll" ? "win32" : "linux";
  std::ofstream out(std::string(dir) + "/" + name + "-" + side + ".txt", std::ios::binary);
  for (const std::string& line : lines) out << line << '\n';
  ASSERT_TRUE(out.good());
}

TEST(IntegrationReplay, AnExportAndAnImageReplayTheRunLineForLineAndBitForBit) {
  ScopedVariable speed("ORV_EMU_SPEED", "1000");
  const struct {
    int model;
    int held;
    const char* value;
  } cases[] = {{kGasctl, 0, "\"invalid\""}, {kTwoTemp, 3, "\"invalid\""}, {kClimate, 5, "1"}};
  for (const auto& c : cases) {
    const PluginModel& model = kModels[c.model];
    SCOPED_TRACE(model.name);
    const Original original = Record(model, c.held, c.value);
    const std::size_t n = original.lines.size();
    ASSERT_GE(n, static_cast<std::size_t>(kSeconds) + 2);
    const double span = std::strtod(Column(original.lines.back(), 0).c_str(), nullptr);

    // The export, replayed: every line of the original again, header and
    // seconds included, then the last sample held.
    const Replayed fromExport = Replay(model, original.exportPath, span);
    ASSERT_GE(fromExport.lines.size(), n);
    for (std::size_t k = 0; k < n; ++k) {
      ASSERT_EQ(fromExport.lines[k], original.lines[k]) << "line " << k + 1;
    }
    const std::vector<std::string> lines =
        LinesStartingWith(fromExport.log, std::string("Scenario (") + model.shortName + ")");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(
        lines[0].rfind(std::string("Scenario (") + model.shortName +
                           "): device 1 at second 0: replay " + original.exportPath + " on 0 (",
                       0),
        0u)
        << lines[0];
    EXPECT_EQ(lines[1], std::string("Scenario (") + model.shortName + "): device 1 at second " +
                            Column(original.lines.back(), 0) + ": replay " + original.exportPath +
                            " ended\n");
    // The header and seconds 0 to 300, which every run records.
    KeepForExchange(model.name, std::vector<std::string>(fromExport.lines.begin(),
                                                         fromExport.lines.begin() + kCommon));

    // The image, replayed: the same value bits, sample by sample, and the
    // same times from the first sample.
    const Replayed fromImage = Replay(model, original.imagePath, span);
    const auto& want = original.image.samples;
    const auto& got = fromImage.image.samples;
    ASSERT_GE(got.size(), want.size());
    for (std::size_t k = 0; k < want.size(); ++k) {
      ASSERT_EQ(got[k].values, want[k].values) << "sample " << k;
      ASSERT_EQ(got[k].timestamp - got[0].timestamp, want[k].timestamp - want[0].timestamp);
    }
    std::remove(original.exportPath.c_str());
    std::remove(original.imagePath.c_str());
  }
}

TEST(IntegrationReplay, ARefusedRecordingLeavesThePluginAsWithNoScenario) {
  ScopedVariable speed("ORV_EMU_SPEED", "1000");
  std::vector<std::string> plain;
  {
    ScopedVariable none("ORV_SCENARIO", "");
    auto plugin = LoadReady(kModels[kGasctl]);
    plain = ExportLines(*plugin, RunRecording(*plugin, 60.0));
    plain.resize(62);
  }
  // A climate controller's image: another driver's, of another version.
  std::string climateImage;
  {
    ScopedVariable none("ORV_SCENARIO", "");
    auto climate = LoadReady(kModels[kClimate]);
    ByteArray bytes;
    climate->api().SaveDevice(RunRecording(*climate, 5.0), bytes);
    climateImage = TempPath("replay-climate.img");
    std::ofstream(climateImage, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  const std::string folder = TempPath("replay-folder");
  std::filesystem::create_directories(folder);
  const struct {
    std::string file;
    std::string reason;
  } cases[] = {
      {WriteTemp("replay-back.csv", "Second;CO2\n0;1\n10;1\n9;1\n"),
       "line 4: the seconds go back, from 10 to 9"},
      {WriteTemp("replay-columns.csv", "Second;CO2;CO2_Nominal\n0;1;2\n1;1\n"),
       "line 3: 2 columns where the header has 3"},
      {climateImage,
       "the saved format is not compatible with the loaded driver (saved by version 1.1 of its "
       "driver, this is 1.2)"},
      {folder, "not a regular file (a folder, a device or a pipe)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    const std::string file = WriteTemp(
        "replay-refused.toml", "[[event]]\nat = 0\naction = \"replay\"\nfile = '" + c.file + "'\n");
    ScopedVariable scenario("ORV_SCENARIO", file);
    auto plugin = LoadReady(kModels[kGasctl]);
    std::vector<std::string> lines = ExportLines(*plugin, RunRecording(*plugin, 60.0));
    lines.resize(62);
    EXPECT_EQ(lines, plain);
    const std::vector<std::string> log = DriverLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[1], "Scenario ORV_SCENARIO=\"" + file + "\" ignored: line 4: `file` \"" + c.file +
                          "\": " + c.reason + "; no scenario is used.\n");
    EXPECT_TRUE(LinesStartingWith(log, "Scenario (").empty());
  }
  std::remove(climateImage.c_str());
  std::filesystem::remove(folder);
}

}  // namespace
}  // namespace orv::it
