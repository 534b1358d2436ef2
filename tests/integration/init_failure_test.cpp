// Init with dialog modules missing or broken. The loader's search path is
// fixed when the process starts, so these run only in ctest entries that start
// this program with a folder holding some of the modules (see
// tests/CMakeLists.txt); ORV_INIT_SCENARIO names the folder's contents and
// ORV_PLUGIN_DIR the folder the plug-ins are loaded from by full path.
#include <cstdlib>

#include "tests/integration/plugin_fixture.h"

namespace orv::it {
namespace {

// Whether a module stays loaded is seen through state that lives in it: the
// test loads the module, reads how often it was touched since it was loaded,
// touches it once and unloads it again. If nobody else holds the module, the
// unload drops it and the next load starts from zero; if the plug-in holds
// it, the count carries over. Returns -1 when the module cannot be loaded.
int TouchesBefore(const std::string& baseName) {
  const std::string file = baseName + platform::ModuleSuffix();
  platform::ModuleHandle module = platform::LoadModule(file.c_str());
  if (module == nullptr) return -1;
  int before = -1;
  if (baseName == "portpick") {
    auto calls = reinterpret_cast<std::int32_t (*)()>(
        platform::FindSymbol(module, "portpick_control_calls"));
    auto dialog = reinterpret_cast<AddDialogFn>(platform::FindSymbol(module, "portpick_dialog"));
    if (calls != nullptr && dialog != nullptr) {
      before = calls();
      std::int32_t s1 = 0, s2 = 0;
      dialog(&s1, &s2, 0);
    }
  } else {
    auto touch = reinterpret_cast<int (*)()>(platform::FindSymbol(module, "broken_dialog_touch"));
    if (touch != nullptr) before = touch();
  }
  platform::UnloadModule(module);
  return before;
}

struct Scenario {
  const char* name;
  bool portpickPresent;
  bool settingsPresent;  // present, but without its entry point
};

const Scenario kScenarios[] = {
    {"no_dialogs", false, false},
    {"only_portpick", true, false},
    {"broken_portconf", true, true},
};

TEST(InitFailure, InitFailsAndShutdownReleasesExactlyWhatInitLoaded) {
  const char* scenarioName = std::getenv("ORV_INIT_SCENARIO");
  const char* pluginDir = std::getenv("ORV_PLUGIN_DIR");
  if (scenarioName == nullptr) GTEST_SKIP() << "runs only from its own ctest entries";
  ASSERT_NE(pluginDir, nullptr);
  const Scenario* scenario = nullptr;
  for (const Scenario& s : kScenarios) {
    if (std::string(s.name) == scenarioName) scenario = &s;
  }
  ASSERT_NE(scenario, nullptr) << "unknown scenario " << scenarioName;

  const int absent = scenario->portpickPresent ? 0 : -1;
  // The probe itself must see an unheld module drop back to zero.
  ASSERT_EQ(TouchesBefore("portpick"), absent);
  ASSERT_EQ(TouchesBefore("portpick"), absent);

  for (const PluginModel& model : kModels) {
    SCOPED_TRACE(model.name);
    const std::string settings = model.settingsModule;
    ASSERT_EQ(TouchesBefore(settings), scenario->settingsPresent ? 0 : -1);
    Plugin plugin(model, pluginDir);
    ASSERT_TRUE(plugin.loaded());
    EXPECT_EQ(plugin.Init(), 0);
    DriverInfo info;
    plugin.api().GetDriverInfo(info);
    EXPECT_EQ(info.fileName, "");

    // Held by the plug-in: the count survives the probe's own unload.
    EXPECT_EQ(TouchesBefore("portpick"), absent);
    EXPECT_EQ(TouchesBefore("portpick"), scenario->portpickPresent ? 1 : -1);
    if (scenario->settingsPresent) {
      EXPECT_EQ(TouchesBefore(settings), 0);
      EXPECT_EQ(TouchesBefore(settings), 1);
    }

    EXPECT_EQ(plugin.api().Shutdown(), 1);
    // Released: a fresh load starts from zero again.
    EXPECT_EQ(TouchesBefore("portpick"), absent);
    if (scenario->settingsPresent) {
      EXPECT_EQ(TouchesBefore(settings), 0);
    }
  }
}

}  // namespace
}  // namespace orv::it
