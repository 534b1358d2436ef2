// Command line of the reference host.
#ifndef ORV_HOST_REFHOST_OPTIONS_H
#define ORV_HOST_REFHOST_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace orv::refhost {

// One --set INDEX=VALUE: a SetValue applied after start to every device, or,
// when given after a --plugin, to the devices of that plug-in only.
struct ValueWrite {
  std::int32_t index = 0;
  float value = 0.0f;
  std::int32_t plugin = -1;  // index into pluginPaths; -1: every plug-in
};

struct HostOptions {
  std::string pluginPath;                // the first --plugin
  std::vector<std::string> pluginPaths;  // every --plugin, in order
  // --web [HOST:]PORT serves the dashboard instead of printing the table.
  bool web = false;
  std::string webHost = "127.0.0.1";
  std::int32_t webPort = 8080;
  std::string dialogDir;  // empty: the folder of the host executable
  // Devices added through the add dialog; by default 1, or 0 when images are
  // restored. Added devices come after the restored ones.
  std::int32_t devices = 1;
  // Update interval handed to the settings dialog. Added devices always get
  // it; restored devices keep the one of their image unless it was given.
  std::int32_t interval = 0;
  bool intervalGiven = false;
  std::int32_t commSetting1 = 0;
  std::int32_t commSetting2 = 0;
  std::int64_t durationSeconds = 15;  // 0: until interrupted
  bool namesGiven = false;
  std::string channelName1;
  std::string channelName2;
  std::string saveDir;
  std::vector<std::string> restoreFiles;
  std::string exportDir;
  char separator = ';';
  char decimalPoint = '.';
  std::vector<ValueWrite> writes;
  // Switch recording on at start. Switching it on empties the history, so a
  // restored device keeps its saved samples only without it.
  bool record = true;
  bool live = false;  // redraw the table in place with terminal escapes
  // --speed FACTOR: the emulated-time factor handed to the plug-ins through
  // ORV_EMU_SPEED before they are loaded; empty leaves the variable alone.
  // "manual" (with --control) stands the clocks still until the control
  // endpoint advances them.
  std::string speed;
  double speedFactor = 1.0;  // what the host shows; 1 for manual
  // --control PORT: each plug-in's control endpoint, handed to the plug-ins
  // through ORV_CONTROL before they are loaded; empty leaves the variable
  // alone.
  std::string control;
  // --scenario FILE: handed to the plug-ins through ORV_SCENARIO before they
  // are loaded; empty leaves the variable alone.
  std::string scenario;
};

enum class ParseStatus { kRun, kHelp, kError };

// Parses the arguments after the program name. On kError, error says why.
ParseStatus ParseOptions(const std::vector<std::string>& args, HostOptions& options,
                         std::string& error);

std::string UsageText();

}  // namespace orv::refhost

#endif  // ORV_HOST_REFHOST_OPTIONS_H
