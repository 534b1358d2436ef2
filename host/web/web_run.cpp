#include "host/web/web_run.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <thread>

#include "host/refhost/host_run.h"
#include "host/refhost/session.h"
#include "host/refhost/whole_file.h"
#include "host/web/web_server.h"
#include "platform/platform.h"

namespace orv::web {
namespace {

namespace fs = std::filesystem;
using refhost::Console;
using refhost::HostOptions;
using refhost::Session;

using refhost::ReadWholeFile;
using refhost::WriteWholeFile;

// Restored devices (into the first plug-in) first, then the added ones;
// false after printing why.
bool CreateDevices(const HostOptions& options, Session& session, Console& console) {
  for (const std::string& file : options.restoreFiles) {
    ByteArray image;
    DeviceId id = 0;
    if (!ReadWholeFile(file, image)) {
      console.PrintError("orv_host: cannot read saved image " + file);
      return false;
    }
    const refhost::SessionResult result = session.Restore(0, image, id);
    if (!result.ok()) {
      console.PrintError("orv_host: " + file + ": " + result.message);
      return false;
    }
    if (options.intervalGiven || options.namesGiven) {
      refhost::SettingsRequest settings;
      if (options.intervalGiven) settings.interval = options.interval;
      if (options.namesGiven) settings.name1 = options.channelName1;
      if (options.namesGiven) settings.name2 = options.channelName2;
      session.ShowSettings(0, id, settings);
    }
    if (options.record) session.SetRecording(0, id, true);
    session.SetUpdating(0, id, true);
    console.Print("device " + std::to_string(id) + " restored from " + file);
  }
  for (std::size_t d = 0; d < options.pluginPaths.size(); ++d) {
    const auto driver = static_cast<std::int32_t>(d);
    for (std::int32_t n = 0; n < options.devices; ++n) {
      refhost::AddRequest add;
      add.setting1 = options.commSetting1;
      add.setting2 = options.commSetting2;
      add.interval = options.interval;
      add.record = options.record;
      DeviceId id = 0;
      const refhost::SessionResult result = session.AddDevice(driver, add, id);
      if (!result.ok()) {
        console.PrintError("orv_host: " + options.pluginPaths[d] + ": " + result.message);
        return false;
      }
      if (options.namesGiven) {
        refhost::SettingsRequest settings;
        settings.name1 = options.channelName1;
        settings.name2 = options.channelName2;
        session.ShowSettings(driver, id, settings);
      }
    }
  }
  for (const refhost::ValueWrite& write : options.writes) {
    for (const refhost::DeviceState& device : session.State().devices) {
      if (write.plugin >= 0 && write.plugin != device.driver) continue;
      const refhost::SessionResult result =
          session.SetValue(device.driver, device.id, write.index, write.value);
      if (!result.ok()) {
        console.PrintError("orv_host: --set " + std::to_string(write.index) + ": " +
                           result.message);
        return false;
      }
    }
  }
  return true;
}

// Saves and exports every device as the terminal run does on stop.
bool SaveAndExport(const HostOptions& options, Session& session, Console& console) {
  bool ok = true;
  const refhost::HostState state = session.State();
  for (const auto& [folder, isSave] :
       {std::pair{options.saveDir, true}, std::pair{options.exportDir, false}}) {
    if (folder.empty()) continue;
    std::error_code error;
    fs::create_directories(folder, error);
    for (const refhost::DeviceState& device : state.devices) {
      const std::string stem = std::to_string(device.driver) + "-" + std::to_string(device.id);
      const fs::path path = fs::path(folder) /
                            ((isSave ? "device-" : "history-") + stem + (isSave ? ".img" : ".csv"));
      ByteArray image;
      std::string text;
      const refhost::SessionResult result =
          isSave ? session.Save(device.driver, device.id, image)
                 : session.Export(device.driver, device.id, options.separator, options.decimalPoint,
                                  folder, text);
      const bool written = result.ok() && (isSave ? WriteWholeFile(path, image.data(), image.size())
                                                  : WriteWholeFile(path, text.data(), text.size()));
      if (!written) {
        console.PrintError("orv_host: cannot write " + path.string() + " " + result.message);
        ok = false;
        continue;
      }
      console.Print(std::string(isSave ? "device " : "history of device ") + stem +
                    (isSave ? " saved to " : " exported to ") + path.string());
    }
  }
  return ok;
}

}  // namespace

int RunWeb(const HostOptions& options, const std::string& dialogFolder, Console& console,
           const std::atomic<bool>& stopRequested) {
  Session session;
  const refhost::SessionResult opened =
      session.Open(options.pluginPaths, dialogFolder, &Console::Log);
  if (!opened.ok()) {
    console.PrintError("orv_host: " + opened.message);
    return refhost::kExitFailure;
  }
  if (!CreateDevices(options, session, console)) return refhost::kExitFailure;

  WebOptions web;
  web.host = options.webHost;
  web.port = options.webPort;
  web.speed = options.speedFactor;
  WebServer server(session, web);
  std::string error;
  if (!server.Bind(error)) {
    console.PrintError("orv_host: " + error);
    return refhost::kExitFailure;
  }
  if (!IsLoopbackHost(options.webHost)) {
    console.PrintError("orv_host: warning: the dashboard listens on " + options.webHost +
                       ", reachable from other machines; anyone who can load the page can "
                       "control these devices");
  }
  std::thread serving([&server] { server.Serve(); });
  // A stop that came before the server runs would be lost.
  for (int waited = 0; !server.running() && waited < 5000; ++waited) platform::SleepMs(1);
  console.Print("dashboard at " + server.url() +
                (options.speed.empty()       ? ""
                 : options.speed == "manual" ? ", clocks advanced through the control endpoint"
                                             : ", clocks at " + options.speed + "x real time") +
                (options.durationSeconds > 0
                     ? " for " + std::to_string(options.durationSeconds) + " s"
                     : " (Ctrl-C stops)"));

  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  while (!stopRequested.load()) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start);
    if (options.durationSeconds > 0 && elapsed.count() >= options.durationSeconds) break;
    platform::SleepMs(100);
  }
  if (stopRequested.load()) console.Print("interrupted, stopping");
  server.Stop();
  serving.join();
  for (const refhost::DeviceState& device : session.State().devices) {
    session.SetUpdating(device.driver, device.id, false);
  }
  const bool saved = SaveAndExport(options, session, console);
  session.Close();
  return saved ? refhost::kExitOk : refhost::kExitFailure;
}

}  // namespace orv::web
