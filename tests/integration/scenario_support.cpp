#include "tests/integration/scenario_support.h"

#include <cstdio>
#include <fstream>

namespace orv::it {

ScopedVariable::ScopedVariable(const char* name, const std::string& value) : name_(name) {
  platform::WriteEnvironment(name_, value.c_str());
}

ScopedVariable::~ScopedVariable() { platform::WriteEnvironment(name_, ""); }

std::unique_ptr<Plugin> LoadReady(const PluginModel& model) {
  Dialogs::Get().ResetAll();
  ClearLog();
  auto plugin = std::make_unique<Plugin>(model);
  EXPECT_TRUE(plugin->loaded());
  EXPECT_EQ(plugin->Init(), 1);
  return plugin;
}

DeviceId RunRecording(Plugin& plugin, double seconds, std::int32_t interval) {
  const DeviceId id = plugin.Add();
  Dialogs::Get().AnswerSettings(plugin.model(), 1, true, interval);
  plugin.api().ShowSettings(id);
  plugin.api().SetRecording(id, true);
  plugin.api().SetUpdating(id, true);
  const bool done =
      WaitUntil([&] { return plugin.api().GetHistoryDuration(id) >= seconds; }, 120000);
  plugin.api().SetUpdating(id, false);
  EXPECT_TRUE(done) << "the history reached " << plugin.api().GetHistoryDuration(id) << " s";
  return id;
}

void ExportTo(Plugin& plugin, DeviceId id, const std::string& path, char separator, char decimal) {
  plugin.api().ExportHistory(id, path, separator, decimal);
}

std::vector<std::string> ExportLines(Plugin& plugin, DeviceId id) {
  const std::string path = TempPath("scenario-support-export.txt");
  ExportTo(plugin, id, path);
  std::vector<std::string> lines = ReadLines(path);
  std::remove(path.c_str());
  return lines;
}

std::string Column(const std::string& line, int column, char separator) {
  std::size_t start = 0;
  for (int i = 0; i < column; ++i) {
    start = line.find(separator, start);
    if (start == std::string::npos) return "<none>";
    ++start;
  }
  return line.substr(start, line.find(separator, start) - start);
}

std::string WriteTemp(const std::string& name, const std::string& text) {
  const std::string path = TempPath(name);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::vector<std::string> DriverLog() {
  std::vector<std::string> lines;
  for (const std::string& line : LogLines()) {
    if (line.rfind("Update Thread", 0) != 0) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> LinesStartingWith(const std::vector<std::string>& log,
                                           const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& line : log) {
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  }
  return found;
}

std::string ExampleScenario(const char* name) {
  return std::string(ORV_SOURCE_DIR) + "/scenarios/" + name;
}

}  // namespace orv::it
