// One scenario file for the three plug-ins in one process, as a host that
// loads them all sets ORV_SCENARIO for each: every plug-in plays only the
// events that name it (or no driver), and says how many it kept.
#include <memory>
#include <string>
#include <vector>

#include "tests/integration/scenario_support.h"

namespace orv::it {
namespace {

struct ThreePlugins {
  // Loaded and initialised one after the other, the log kept from all three.
  ThreePlugins() {
    Dialogs::Get().ResetAll();
    ClearLog();
    for (int m : {kGasctl, kTwoTemp, kClimate}) {
      plugins[m] = std::make_unique<Plugin>(kModels[m]);
      EXPECT_TRUE(plugins[m]->loaded());
      EXPECT_EQ(plugins[m]->Init(), 1);
    }
  }
  std::unique_ptr<Plugin> plugins[3];
};

std::vector<std::string> AppliedBy(const PluginModel& model) {
  return LinesStartingWith(DriverLog(), std::string("Scenario (") + model.shortName + ")");
}

TEST(IntegrationDriverScenario, TheClimateExamplePlaysOnTheClimateControllerAlone) {
  ScopedVariable speed("ORV_EMU_SPEED", "1000");
  const std::string file = ExampleScenario("climate_overheat.toml");
  ScopedVariable scenario("ORV_SCENARIO", file);
  ThreePlugins host;
  const std::string head = "Scenario ORV_SCENARIO=\"" + file + "\": ";
  const std::vector<std::string> loads = LinesStartingWith(DriverLog(), head);
  ASSERT_EQ(loads.size(), 3u);
  EXPECT_EQ(loads[0], head + "0 of 3 events are for this driver; nothing is loaded.\n");
  EXPECT_EQ(loads[1], head + "0 of 3 events are for this driver; nothing is loaded.\n");
  EXPECT_EQ(loads[2], head + "3 of 3 events are for this driver.\n");

  std::vector<std::string> exports[3];
  for (int m : {kGasctl, kTwoTemp, kClimate}) {
    exports[m] = ExportLines(*host.plugins[m], RunRecording(*host.plugins[m], 1000.0));
  }
  EXPECT_TRUE(AppliedBy(kModels[kGasctl]).empty());
  EXPECT_TRUE(AppliedBy(kModels[kTwoTemp]).empty());
  EXPECT_EQ(AppliedBy(kModels[kClimate]).size(), 3u);
  // Channel 2's nominal on the two-channel controller (its index 4) keeps the
  // fallback of 37 that its first tick gives it.
  ASSERT_GE(exports[kTwoTemp].size(), 1000u);
  for (std::size_t s = 1; s < exports[kTwoTemp].size(); ++s) {
    ASSERT_EQ(Column(exports[kTwoTemp][s], 5), "37") << exports[kTwoTemp][s];
  }
  // The climate controller's heating level goes to 5 at second 600.
  ASSERT_GE(exports[kClimate].size(), 1000u);
  EXPECT_EQ(Column(exports[kClimate][601], 5), "5");
}

TEST(IntegrationDriverScenario, EachPluginPlaysItsOwnEventsAndThoseForAll) {
  ScopedVariable speed("ORV_EMU_SPEED", "1000");
  // Value 1 is every model's first nominal.
  const std::string file = WriteTemp(
      "three-drivers.toml",
      "[[event]]\ndriver = \"gasctl_sim\"\nat = 10\naction = \"set\"\nindex = 1\nvalue = 6\n"
      "[[event]]\ndriver = \"HX52-4d EMU\"\nat = 20\naction = \"set\"\nindex = 1\nvalue = 40\n"
      "[[event]]\ndriver = \"climate_sim\"\nat = 30\naction = \"set\"\nindex = 1\nvalue = 4\n"
      "[[event]]\nat = 40\naction = \"set\"\nindex = 1\nvalue = 9\n"
      "[[event]]\ndriver = \"no_such_sim\"\nat = 5\naction = \"set\"\nindex = 9\nvalue = 1\n");
  ScopedVariable scenario("ORV_SCENARIO", file);
  ThreePlugins host;
  const std::string head = "Scenario ORV_SCENARIO=\"" + file + "\": ";
  const std::vector<std::string> loads = LinesStartingWith(DriverLog(), head);
  ASSERT_EQ(loads.size(), 3u);
  for (const std::string& line : loads) {
    EXPECT_EQ(line, head + "2 of 5 events are for this driver.\n");
  }
  const struct {
    int model;
    int second;  // of the driver's own event
    const char* value;
  } cases[] = {{kGasctl, 10, "6"}, {kTwoTemp, 20, "40"}, {kClimate, 30, "4"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(kModels[c.model].name);
    const std::vector<std::string> lines =
        ExportLines(*host.plugins[c.model], RunRecording(*host.plugins[c.model], 60.0));
    ASSERT_GE(lines.size(), 52u);
    EXPECT_NE(Column(lines[static_cast<std::size_t>(c.second)], 2), c.value);
    EXPECT_EQ(Column(lines[static_cast<std::size_t>(c.second) + 1], 2), c.value);
    EXPECT_EQ(Column(lines[41], 2), "9");
    EXPECT_EQ(AppliedBy(kModels[c.model]).size(), 2u);
  }
}

}  // namespace
}  // namespace orv::it
