// Helpers of the tests that play scenarios through the built plug-ins: the
// variables a plug-in reads at Init, a recording run and its export.
#ifndef ORV_TESTS_INTEGRATION_SCENARIO_SUPPORT_H
#define ORV_TESTS_INTEGRATION_SCENARIO_SUPPORT_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/integration/plugin_fixture.h"

namespace orv::it {

// Sets a variable for the plug-ins that a test then initialises; empties it
// when it goes.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value);
  ~ScopedVariable();
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
};

// Loads and initialises a plug-in with the log cleared.
std::unique_ptr<Plugin> LoadReady(const PluginModel& model);

// Adds a recording device at interval, runs it until its history spans
// seconds, stops it and returns its id.
DeviceId RunRecording(Plugin& plugin, double seconds, std::int32_t interval = 0);
// The device's export with separator ';' and decimal '.', or to path.
std::vector<std::string> ExportLines(Plugin& plugin, DeviceId id);
void ExportTo(Plugin& plugin, DeviceId id, const std::string& path, char separator = ';',
              char decimal = '.');

// Column `column` of a line split at `separator` (0 is the seconds).
std::string Column(const std::string& line, int column, char separator = ';');
// Writes text to a file in the temporary folder and returns its path.
std::string WriteTemp(const std::string& name, const std::string& text);
// The log without the update threads' own lines.
std::vector<std::string> DriverLog();
// The log lines that start with prefix.
std::vector<std::string> LinesStartingWith(const std::vector<std::string>& log,
                                           const std::string& prefix);
std::string ExampleScenario(const char* name);

}  // namespace orv::it

#endif  // ORV_TESTS_INTEGRATION_SCENARIO_SUPPORT_H
