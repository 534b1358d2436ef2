// The `driver` key: one scenario file for a host with several plug-ins. Each
// plug-in keeps the events that name it (or no driver at all), skips the
// others before checking them against its model, and logs how many it kept.
#include <gtest/gtest.h>

#include <string>

#include "framework/scenario/scenario.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"
#include "models/twotemp/twotemp_model.h"

namespace orv {
namespace {

// The climate controller's overheat: index 4 does not exist on the CO2
// controller, and is channel 2's nominal on the two-channel one.
const std::string kClimateSet = "at = 600\naction = \"set\"\nindex = 4\nvalue = 5\n";
const std::string kCo2Set = "at = 60\naction = \"set\"\nindex = 1\nvalue = 7\n";

std::string Event(const std::string& body) { return "[[event]]\n" + body; }

ScenarioContext For(const char* file) {
  ScenarioContext context;
  context.driverFile = file;
  return context;
}

TEST(ScenarioDriverKey, EachPluginKeepsOnlyTheEventsThatNameIt) {
  const std::string mixed = Event("driver = \"climate_sim\"\n" + kClimateSet) +
                            Event("driver = \"gasctl_sim\"\n" + kCo2Set) +
                            Event("driver = \"HX52-4d EMU\"\n" + kCo2Set) + Event(kCo2Set);
  const struct {
    const char* name;
    std::string text;
    const ModelDescription* model;
    const char* file;
    std::size_t kept;
    std::size_t inFile;
    bool namesDrivers;
  } cases[] = {
      {"the file's driver, by plug-in file name", "driver = \"climate_sim\"\n" + Event(kClimateSet),
       &climate::kModel, "climate_sim", 1, 1, true},
      {"another plug-in skips the whole file", "driver = \"climate_sim\"\n" + Event(kClimateSet),
       &co2::kModel, "gasctl_sim", 0, 1, true},
      {"the two-channel controller, whose index 4 exists, skips it too",
       "driver = \"climate_sim\"\n" + Event(kClimateSet), &twotemp::kModel, "twotemp_sim", 0, 1,
       true},
      {"by the driver's short name, in any case",
       "driver = \"vka-ctrl emu\"\n" + Event(kClimateSet), &climate::kModel, "", 1, 1, true},
      {"the file name in another case (a Windows file system)",
       "driver = \"Climate_Sim\"\n" + Event(kClimateSet), &climate::kModel, "climate_sim", 1, 1,
       true},
      {"mixed: climate", mixed, &climate::kModel, "climate_sim", 2, 4, true},
      {"mixed: CO2", mixed, &co2::kModel, "gasctl_sim", 2, 4, true},
      {"mixed: two-channel, by short name", mixed, &twotemp::kModel, "twotemp_sim", 2, 4, true},
      {"an event's own driver wins over the file's",
       "driver = \"gasctl_sim\"\n" + Event(kCo2Set) +
           Event("driver = \"climate_sim\"\n" + kClimateSet),
       &climate::kModel, "climate_sim", 1, 2, true},
      {"another driver's event may hold keys this model refuses",
       Event("driver = \"climate_sim\"\n" + kClimateSet + "colour = 3\n") + Event(kCo2Set),
       &co2::kModel, "gasctl_sim", 1, 2, true},
      {"no driver anywhere: every event, as before", Event(kCo2Set) + Event(kCo2Set), &co2::kModel,
       "gasctl_sim", 2, 2, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ScenarioParse parse = ParseScenario(c.text, *c.model, For(c.file));
    ASSERT_TRUE(parse.ok) << parse.line << ": " << parse.reason;
    EXPECT_EQ(parse.scenario.events.size(), c.kept);
    EXPECT_EQ(parse.scenario.eventsInFile, c.inFile);
    EXPECT_EQ(parse.scenario.namesDrivers, c.namesDrivers);
  }
}

TEST(ScenarioDriverKey, AMalformedDriverIsRefusedByEveryPlugin) {
  const struct {
    const char* name;
    std::string text;
    std::size_t line;
    const char* reason;
  } cases[] = {
      {"a number", "driver = 3\n" + Event(kCo2Set), 1, "`driver` must name a plug-in"},
      {"empty", Event("driver = \"\"\n" + kCo2Set), 2, "`driver` must name a plug-in"},
      {"a list", Event(kCo2Set + "driver = [\"a\"]\n"), 6, "`driver` must name a plug-in"},
      {"a control character", Event("driver = \"a\\tb\"\n" + kCo2Set), 2,
       "`driver` is not a plug-in's or a driver's name"},
      {"too long", "driver = \"" + std::string(121, 'x') + "\"\n" + Event(kCo2Set), 1,
       "`driver` is not"},
      {"a table of drivers", "[driver]\nname = \"x\"\n" + Event(kCo2Set), 1, "`driver` must"},
      {"an unknown top-level key names both", "title = 1\n" + Event(kCo2Set), 1,
       "only `driver` and [[event]]"},
      // Another driver's events must still be TOML.
      {"broken TOML in another driver's event",
       Event("driver = \"climate_sim\"\n" + kClimateSet + "at = = 3\n"), 7, ""},
  };
  for (const auto* model : {&co2::kModel, &climate::kModel}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(model->shortName) + ": " + c.name);
      const ScenarioParse parse = ParseScenario(c.text, *model, For("gasctl_sim"));
      EXPECT_FALSE(parse.ok);
      EXPECT_EQ(parse.line, c.line) << parse.reason;
      EXPECT_NE(parse.reason.find(c.reason), std::string::npos) << parse.reason;
    }
  }
}

TEST(ScenarioDriverKey, TheLoadLineCountsTheEventsForThisDriver) {
  const std::string two = Event("driver = \"climate_sim\"\n" + kClimateSet) + Event(kCo2Set);
  const std::string head = "Scenario ORV_SCENARIO=\"f.toml\": ";
  const struct {
    std::string text;
    const char* file;
    std::string line;
  } cases[] = {
      {Event(kCo2Set) + Event(kCo2Set), "gasctl_sim", head + "2 events loaded.\n"},
      {Event(kCo2Set), "gasctl_sim", head + "1 event loaded.\n"},
      {two, "climate_sim", head + "2 of 2 events are for this driver.\n"},
      {two, "gasctl_sim", head + "1 of 2 events is for this driver.\n"},
      {"driver = \"climate_sim\"\n" + Event(kClimateSet) + Event(kClimateSet), "gasctl_sim",
       head + "0 of 2 events are for this driver; nothing is loaded.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const ModelDescription& model =
        std::string(c.file) == "climate_sim" ? climate::kModel : co2::kModel;
    const ScenarioParse parse = ParseScenario(c.text, model, For(c.file));
    EXPECT_EQ(ScenarioLogLine(parse, "f.toml"), c.line);
  }
}

TEST(ScenarioDriverKey, FileStemsAndFolders) {
  const struct {
    const char* path;
    char separator;
    const char* stem;
    const char* folder;
  } cases[] = {
      {"climate_sim.so", '/', "climate_sim", ""},
      {"/opt/lab/climate_sim.so", '/', "climate_sim", "/opt/lab/"},
      {"C:\\Lab\\Plugins\\gasctl_sim.dll", '\\', "gasctl_sim", "C:\\Lab\\Plugins\\"},
      {"C:/Lab/mixed\\twotemp_sim.dll", '\\', "twotemp_sim", "C:/Lab/mixed\\"},
      {"scenarios/night.toml", '\\', "night", "scenarios/"},
      {"a.b.c", '/', "a.b", ""},
      {".hidden", '/', ".hidden", ""},
      {"noext", '/', "noext", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(DriverFileStem(c.path), c.stem);
    EXPECT_EQ(FolderOf(c.path, c.separator), c.folder);
  }
  // On POSIX a backslash is part of a file name.
  EXPECT_EQ(FolderOf("dir/we\\ird.toml", '/'), "dir/");
}

}  // namespace
}  // namespace orv
