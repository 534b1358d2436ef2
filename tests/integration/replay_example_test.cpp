// The replay example: its recording is the emulator's own night, made again
// from its scenario line for line, and the example plays that night on the
// CO2 controller, each recorded sample on the tick after it.
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/integration/scenario_support.h"

namespace orv::it {
namespace {

constexpr double kNight = 28800.0;  // 22:00 to 06:00
constexpr int kInterval = 60;       // a tick every 61 s

std::string Recording() {
  return std::string(ORV_SOURCE_DIR) + "/scenarios/recordings/co2_night.csv";
}

// The export's lines up to the night's last second.
std::vector<std::string> UpTo(std::vector<std::string> lines, double seconds) {
  std::size_t keep = 1;
  while (keep < lines.size() && std::strtod(Column(lines[keep], 0).c_str(), nullptr) <= seconds) {
    ++keep;
  }
  lines.resize(keep);
  return lines;
}

TEST(IntegrationReplayExample, TheRecordingIsTheEmulatorsOwnNight) {
  ScopedVariable speed("ORV_EMU_SPEED", "100000");
  ScopedVariable scenario("ORV_SCENARIO", ExampleScenario("recordings/co2_night_make.toml"));
  auto plugin = LoadReady(kModels[kGasctl]);
  const std::vector<std::string> night =
      UpTo(ExportLines(*plugin, RunRecording(*plugin, kNight, kInterval)), kNight);
  // ORV_REMAKE_RECORDING=1 writes it anew, for a change of the models.
  if (std::getenv("ORV_REMAKE_RECORDING") != nullptr) {
    std::ofstream out(Recording(), std::ios::binary);
    for (const std::string& line : night) out << line << '\n';
  }
  EXPECT_EQ(LinesStartingWith(DriverLog(), "Scenario (").size(), 33u);
  EXPECT_EQ(night, ReadLines(Recording()));
  EXPECT_EQ(night.size(), 474u);  // the header and a sample every 61 s
}

TEST(IntegrationReplayExample, TheExamplePlaysTheNightOnTheCo2Controller) {
  ScopedVariable speed("ORV_EMU_SPEED", "100000");
  const std::string file = ExampleScenario("replay_co2_night.toml");
  ScopedVariable scenario("ORV_SCENARIO", file);
  auto plugin = LoadReady(kModels[kGasctl]);
  const std::vector<std::string> night = ReadLines(Recording());
  ASSERT_EQ(night.size(), 474u);
  const std::vector<std::string> lines =
      ExportLines(*plugin, RunRecording(*plugin, kNight + 200, kInterval));
  ASSERT_GE(lines.size(), night.size() + 1);
  // The replay starts at the first tick at or after second 60, the one at
  // 61: a second into the recording, its first sample. Tick k plays sample
  // k - 1 from there on.
  for (std::size_t k = 1; k < night.size(); ++k) {
    const std::string& line = lines[k + 1];
    const std::string& recorded = night[k];
    ASSERT_EQ(line.substr(line.find(';')), recorded.substr(recorded.find(';'))) << "line " << k + 2;
  }
  const std::vector<std::string> log = DriverLog();
  EXPECT_EQ(log[1], "Scenario ORV_SCENARIO=\"" + file + "\": 1 of 1 events is for this driver.\n");
  EXPECT_EQ(log[2],
            "Scenario (CO2-Ctrl EMU): device 1 at second 61: replay recordings/co2_night.csv on 0 "
            "(CO2), 1 (CO2 Nominal), 2 (CO2 Regulator), 3 (Pump Level) for 28792 s; last night's "
            "oscillating CO2 loop\n");
  EXPECT_EQ(log[3],
            "Scenario (CO2-Ctrl EMU): device 1 at second 28853: replay recordings/co2_night.csv "
            "ended\n");
}

}  // namespace
}  // namespace orv::it
