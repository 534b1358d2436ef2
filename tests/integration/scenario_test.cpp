// Scenarios (ORV_SCENARIO) through the built plug-ins on the emulated clock:
// each action lands at its exact second of the export, the examples repeat
// line for line, and a missing or refused file leaves the plug-in as it was.
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

// A recording device at interval 0, run until its history spans the seconds
// asked for; then its export. Its first tick is its clock's second 0.
std::vector<std::string> RunAndExport(Plugin& plugin, double seconds) {
  const DeviceId id = plugin.Add();
  Dialogs::Get().AnswerSettings(plugin.model(), 1, true, 0);
  plugin.api().ShowSettings(id);
  plugin.api().SetRecording(id, true);
  plugin.api().SetUpdating(id, true);
  const bool done =
      WaitUntil([&] { return plugin.api().GetHistoryDuration(id) >= seconds; }, 120000);
  plugin.api().SetUpdating(id, false);
  EXPECT_TRUE(done) << "the history reached " << plugin.api().GetHistoryDuration(id) << " s";
  const std::string path = TempPath("scenario-export.txt");
  plugin.api().ExportHistory(id, path, ';', '.');
  std::vector<std::string> lines = ReadLines(path);
  std::remove(path.c_str());
  return lines;
}

std::string Field(const std::string& line, int column) {
  std::size_t start = 0;
  for (int i = 0; i < column; ++i) start = line.find(';', start) + 1;
  return line.substr(start, line.find(';', start) - start);
}

std::string WriteScenario(const std::string& text) {
  const std::string path = TempPath("scenario.toml");
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::string Example(const char* name) { return std::string(ORV_SOURCE_DIR) + "/scenarios/" + name; }

// The log without the update threads' own lines.
std::vector<std::string> ScenarioLog() {
  std::vector<std::string> lines;
  for (const std::string& line : LogLines()) {
    if (line.rfind("Update Thread", 0) != 0) lines.push_back(line);
  }
  return lines;
}

int AppliedEvents(const std::vector<std::string>& log) {
  int n = 0;
  for (const std::string& line : log) n += line.rfind("Scenario (", 0) == 0;
  return n;
}

TEST(IntegrationScenario, EachActionLandsOnItsExactSecondsInTheExport) {
  ScopedVariable speed("ORV_EMU_SPEED", "1000");
  // On every model: value 1 (a nominal the model never moves) set to 7 at
  // second 20, the value `held` forced to `shown` for 10 s from second 40,
  // value 1 ramped by 0.5 per second for 10 s from second 60.
  const struct {
    int model;
    int held;
    const char* value;  // as the file writes it
    const char* shown;  // as the export writes it
  } cases[] = {
      {kGasctl, 0, "\"invalid\"", ""},
      {kTwoTemp, 3, "\"invalid\"", ""},
      {kClimate, 5, "1", "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(kModels[c.model].name);
    const std::string idx = std::to_string(c.held);
    ScopedVariable scenario(
        "ORV_SCENARIO",
        WriteScenario("[[event]]\nat = 20\naction = \"set\"\nindex = 1\nvalue = 7\n"
                      "[[event]]\nat = 40\naction = \"hold\"\nindex = " +
                      idx + "\nvalue = " + c.value +
                      "\nduration = 10\n"
                      "[[event]]\nat = 60\naction = \"ramp\"\nindex = 1\nrate = 0.5\n"
                      "duration = 10\nnote = \"drift\"\n"));
    auto plugin = LoadReady(kModels[c.model]);
    const std::vector<std::string> lines = RunAndExport(*plugin, 80.0);
    ASSERT_GE(lines.size(), 82u);
    for (int s = 0; s <= 80; ++s) {
      const std::string& line = lines[static_cast<std::size_t>(s) + 1];
      ASSERT_EQ(Field(line, 0), std::to_string(s));
      // Value 1: the fallback 5 (37 on twotemp), 7 from second 20, then from
      // second 60 half a unit more each second, up to 12 at second 70.
      const float base = c.model == kTwoTemp ? 37.0f : 5.0f;
      float nominal = s < 20 ? base : 7.0f;
      for (int k = 61; k <= std::min(s, 70); ++k) nominal += 0.5f;
      EXPECT_EQ(std::strtof(Field(line, 2).c_str(), nullptr), nominal) << line;
      const bool held = s >= 40 && s < 50;
      if (held) EXPECT_EQ(Field(line, c.held + 1), c.shown) << line;
      // The model keeps a forced overheat until its own draw clears it.
      if (s == 39 || (s == 50 && c.model != kClimate))
        EXPECT_NE(Field(line, c.held + 1), c.shown) << line;
    }
    const std::string shortName = kModels[c.model].shortName;
    const std::vector<std::string> log = ScenarioLog();
    ASSERT_EQ(log.size(), 5u);  // clock, scenario, three events
    EXPECT_EQ(log[2], "Scenario (" + shortName + "): device 1 at second 20: set 1 (" +
                          (c.model == kTwoTemp ? "Nominal" : "CO2 Nominal") + ") to 7\n");
    EXPECT_NE(log[3].find("device 1 at second 40: hold " + idx), std::string::npos) << log[3];
    EXPECT_NE(log[4].find("device 1 at second 60: ramp 1"), std::string::npos) << log[4];
    EXPECT_NE(log[4].find("by 0.5 per second for 10 s; drift\n"), std::string::npos) << log[4];
  }
}

// For tools/test_scenario_exchange.sh: the run's lines from this platform.
void KeepForExchange(const std::string& name, const std::vector<std::string>& lines) {
  const char* dir = std::getenv("ORV_SCENARIO_EXCHANGE_DIR");
  if (dir == nullptr) return;
  const char* side = std::string(platform::ModuleSuffix()) == ".dll" ? "win32" : "linux";
  std::ofstream out(std::string(dir) + "/" + name + "-" + side + ".txt", std::ios::binary);
  for (const std::string& line : lines) out << line << '\n';
  ASSERT_TRUE(out.good());
}

TEST(IntegrationScenario, EachExampleExportsTheSameLinesTwice) {
  const struct {
    const char* file;
    int model;
    double seconds;  // past the example's last event
    int events;      // applied in that time
  } cases[] = {
      {"co2_door.toml", kGasctl, 2200, 3},
      {"twotemp_sensor_failure.toml", kTwoTemp, 1600, 2},
      {"climate_overheat.toml", kClimate, 1000, 3},
  };
  ScopedVariable speed("ORV_EMU_SPEED", "1000");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    ScopedVariable scenario("ORV_SCENARIO", Example(c.file));
    std::vector<std::string> runs[2];
    for (auto& lines : runs) {
      const auto began = std::chrono::steady_clock::now();
      auto plugin = LoadReady(kModels[c.model]);
      lines = RunAndExport(*plugin, c.seconds);
      const double wall =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
      std::printf("%s: %d events applied, %.0f s of device clock in %.2f s of wall time\n", c.file,
                  AppliedEvents(LogLines()), c.seconds, wall);
      EXPECT_EQ(AppliedEvents(LogLines()), c.events);
    }
    const std::size_t common = std::min(runs[0].size(), runs[1].size());
    ASSERT_GE(common, static_cast<std::size_t>(c.seconds) + 2);
    runs[0].resize(common);
    runs[1].resize(common);
    EXPECT_EQ(runs[0], runs[1]);
    KeepForExchange(std::string(c.file).substr(0, std::string(c.file).find('.')), runs[0]);
  }
}

TEST(IntegrationScenario, AMissingOrRefusedFileLeavesTheExportAsWithout) {
  ScopedVariable speed("ORV_EMU_SPEED", "1000");
  std::vector<std::string> plain;
  {
    ScopedVariable none("ORV_SCENARIO", "");
    auto plugin = LoadReady(kModels[kClimate]);
    plain = RunAndExport(*plugin, 120.0);
    plain.resize(122);
    for (const std::string& line : LogLines()) EXPECT_EQ(line.find("Scenario"), std::string::npos);
  }
  const std::string missing = TempPath("no-such-scenario.toml");
  const std::string elsewhere = WriteScenario(
      "[[event]]\nat = 0\ndevices = [2, 3]\naction = \"set\"\nindex = 1\nvalue = 9\n");
  const std::string head = "Scenario ORV_SCENARIO=\"";
  const struct {
    std::string text;  // the file's contents; empty: the missing file
    std::string line;  // what Init logs after the clock's line
  } cases[] = {
      {"", head + missing + "\" ignored: the file cannot be opened; no scenario is used.\n"},
      {"[[event]]\nat = 1\naction = \"set\"\nindex = 6\nvalue = 1\n",
       head + TempPath("scenario.toml") +
           "\" ignored: line 4: `index` 6 is outside 0 to 5 of VKA-Ctrl EMU; no scenario is "
           "used.\n"},
      {"[[event]]\nat = 1\nnote = \"%s%n%s\"\naction = ",
       head + TempPath("scenario.toml") + "\" ignored: line 4: "},
      {"[[event]]\nat = 0\ndevices = [2, 3]\naction = \"set\"\nindex = 1\nvalue = 9\n",
       head + elsewhere + "\": 1 event loaded.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    ScopedVariable scenario("ORV_SCENARIO", c.text.empty() ? missing : WriteScenario(c.text));
    auto plugin = LoadReady(kModels[kClimate]);
    std::vector<std::string> lines = RunAndExport(*plugin, 120.0);
    lines.resize(122);
    EXPECT_EQ(lines, plain);
    const std::vector<std::string> log = ScenarioLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[1].substr(0, c.line.size()), c.line);
    EXPECT_EQ(AppliedEvents(log), 0);
  }
}

}  // namespace
}  // namespace orv::it
