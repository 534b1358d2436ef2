#include "host/refhost/host_run.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <new>
#include <sstream>
#include <system_error>
#include <vector>

#include "host/refhost/session.h"
#include "host/refhost/table_view.h"
#include "host/refhost/whole_file.h"
#include "orv/driver_api.h"
#include "platform/platform.h"

namespace orv::refhost {
namespace {

namespace fs = std::filesystem;

struct HostedDevice {
  DeviceId id = 0;
  bool restored = false;
};

std::string FormatFloat(float value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

class HostRun {
 public:
  HostRun(const HostOptions& options, Console& console) : options_(options), console_(console) {}

  int Run(const std::string& dialogFolder, const std::atomic<bool>& stopRequested) {
    const SessionResult opened = session_.Open({options_.pluginPath}, dialogFolder, &Console::Log);
    if (!opened.ok()) {
      Fail(opened.status == SessionStatus::kRefused
               ? "the plug-in's Init failed: it could not bind its dialog modules"
               : opened.message);
      return kExitFailure;
    }
    const DriverState driver = session_.State().drivers.front();
    shortName_ = driver.shortName;
    console_.Print("driver " + driver.longName + " (" + driver.shortName + "), file " +
                   driver.fileName + ", version " + std::to_string(driver.versionMajor) + "." +
                   std::to_string(driver.versionMinor));

    // Running out of memory (in a 32-bit host: of address space) ends the run,
    // but never before the devices are removed and the driver is shut down:
    // unloading it under running update threads would crash.
    try {
      if (CreateDevices() && !devices_.empty()) {
        ConfigureDevices();
        if (CheckWrites()) {
          StartDevices();
          Watch(stopRequested);
          StopDevices();
          SaveDevices();
          ExportHistories();
        }
      }
    } catch (const std::bad_alloc&) {
      Fail("out of memory with " + std::to_string(devices_.size()) + " devices; stopping");
    }
    // Removes the devices one after the other, shuts the driver down, unloads.
    session_.Close();
    return failed_ ? kExitFailure : kExitOk;
  }

 private:
  // The terminal run holds one plug-in.
  static constexpr std::int32_t kDriver = 0;

  // Reports a failure; the run then ends with kExitFailure.
  bool Fail(const std::string& message) {
    console_.PrintError("orv_host: " + message);
    failed_ = true;
    return false;
  }

  // Restored devices first, in the order given, then the added ones. A refused
  // image ends the run; a refused AddDevice ends the creation, and the run
  // goes on with the devices made so far (a 32-bit host may run out of room).
  // A device the session holds is removed on Close even if this list could
  // not take it.
  bool CreateDevices() {
    for (const std::string& file : options_.restoreFiles) {
      ByteArray image;
      if (!ReadWholeFile(file, image)) return Fail("cannot read saved image " + file);
      DeviceId id = 0;
      if (!session_.Restore(kDriver, image, id).ok()) {
        return Fail("the plug-in refused the saved image " + file);
      }
      devices_.push_back(HostedDevice{id, true});
      console_.Print("device " + std::to_string(id) + " restored from " + file);
    }
    AddRequest add;
    add.setting1 = options_.commSetting1;
    add.setting2 = options_.commSetting2;
    add.interval = options_.interval;
    add.record = false;  // switched on with updating, after the writes are checked
    add.start = false;
    for (std::int32_t n = 0; n < options_.devices; ++n) {
      DeviceId id = 0;
      if (!session_.AddDevice(kDriver, add, id).ok()) {
        Fail("the plug-in added no device after " + std::to_string(devices_.size()) +
             "; running those");
        return true;
      }
      devices_.push_back(HostedDevice{id, false});
      console_.Print("device " + std::to_string(id) + " added with connection settings " +
                     std::to_string(options_.commSetting1) + ", " +
                     std::to_string(options_.commSetting2));
    }
    return true;
  }

  // Interval and channel names reach the driver only through its settings
  // dialog. Added devices got the interval when they were added; restored
  // ones keep the interval of their image unless one was given.
  void ConfigureDevices() {
    for (const HostedDevice& device : devices_) {
      const bool setInterval = device.restored && options_.intervalGiven;
      if (!setInterval && !options_.namesGiven) continue;
      SettingsRequest settings;
      if (setInterval || !device.restored) settings.interval = options_.interval;
      if (options_.namesGiven) {
        settings.name1 = options_.channelName1;
        settings.name2 = options_.channelName2;
      }
      session_.ShowSettings(kDriver, device.id, settings);
    }
    if (options_.namesGiven && session_.State().drivers.front().channelNames == false) {
      console_.Print("note: --names ignored, this driver has no channel names");
    }
  }

  bool CheckWrites() {
    if (options_.writes.empty()) return true;
    const HostState state = session_.State();
    for (const DeviceState& device : state.devices) {
      for (const ValueWrite& write : options_.writes) {
        const auto index = static_cast<std::size_t>(write.index);
        if (index >= device.channels.size()) {
          return Fail("--set " + std::to_string(write.index) + ": device " +
                      std::to_string(device.id) + " has only " +
                      std::to_string(device.channels.size()) + " values");
        }
        const ChannelDescriptor& channel = device.channels[index].descriptor;
        if (&device == &state.devices.front() && channel.settable == 0) {
          console_.Print("note: value " + std::to_string(write.index) + " (" + channel.name +
                         ") is read-only; the driver does not store it");
        }
      }
    }
    return true;
  }

  void StartDevices() {
    for (const HostedDevice& device : devices_) {
      // Recording first, so that the first tick is already recorded.
      if (options_.record) session_.SetRecording(kDriver, device.id, true);
      session_.SetUpdating(kDriver, device.id, true);
    }
    for (const ValueWrite& write : options_.writes) {
      // As typed, read-only values included: the driver decides what they do.
      for (const HostedDevice& device : devices_) {
        session_.SetValue(kDriver, device.id, write.index, write.value,
                          Session::WriteCheck::kAsGiven);
      }
      console_.Print("value " + std::to_string(write.index) + " set to " +
                     FormatFloat(write.value) + " on every device");
    }
  }

  void Watch(const std::atomic<bool>& stopRequested) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    std::int64_t shownSecond = 0;
    while (!stopRequested.load()) {
      const std::int64_t second =
          std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
      if (second > shownSecond) {
        shownSecond = second;
        ShowValues(second);
      }
      if (options_.durationSeconds > 0 && second >= options_.durationSeconds) break;
      platform::SleepMs(100);
    }
    console_.KeepTable();
    if (stopRequested.load()) console_.Print("interrupted, stopping");
  }

  void ShowValues(std::int64_t second) {
    std::vector<DeviceRow> rows;
    for (const DeviceState& device : session_.State().devices) {
      DeviceRow row;
      row.id = device.id;
      for (const ChannelState& channel : device.channels) {
        row.channels.push_back(
            ChannelHeading{channel.descriptor.name, channel.unit, channel.descriptor.kind});
        row.values.push_back(channel.value);
      }
      rows.push_back(std::move(row));
    }
    std::string title = shortName_ + " at " + std::to_string(second) + " s";
    title += options_.durationSeconds > 0 ? " of " + std::to_string(options_.durationSeconds) + " s"
                                          : " (Ctrl-C stops)";
    if (options_.speed == "manual") {
      title += ", clocks advanced through the control endpoint";
    } else if (!options_.speed.empty()) {
      title += ", clocks at " + options_.speed + "x real time";
    }
    std::vector<std::string> lines{title};
    for (std::string& line : RenderTable(rows)) lines.push_back(std::move(line));
    console_.ShowTable(lines);
  }

  // One device after the other from this thread, as a host closing down does.
  // A stop cuts the device's wait short, so the whole takes milliseconds.
  void StopDevices() {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    for (const HostedDevice& device : devices_) session_.SetUpdating(kDriver, device.id, false);
    const std::chrono::duration<double, std::milli> took = Clock::now() - start;
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << took.count();
    console_.Print(std::to_string(devices_.size()) + " device(s) stopped one after the other in " +
                   text.str() + " ms");
  }

  bool MakeFolder(const std::string& folder) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) return Fail("cannot create folder " + folder + ": " + error.message());
    return true;
  }

  void SaveDevices() {
    if (options_.saveDir.empty() || !MakeFolder(options_.saveDir)) return;
    for (const HostedDevice& device : devices_) {
      const fs::path path =
          fs::path(options_.saveDir) / ("device-" + std::to_string(device.id) + ".img");
      // A failed save must not leave an old file to pass for it.
      std::error_code ignored;
      fs::remove(path, ignored);
      ByteArray image;
      const SessionResult saved = session_.Save(kDriver, device.id, image);
      if (!saved.ok()) {
        Fail("device " + std::to_string(device.id) + " " + saved.message);
        continue;
      }
      if (!WriteWholeFile(path, image.data(), image.size())) {
        Fail("cannot write " + path.string());
        continue;
      }
      console_.Print("device " + std::to_string(device.id) + " saved to " + path.string() + " (" +
                     std::to_string(image.size()) + " bytes)");
    }
  }

  void ExportHistories() {
    if (options_.exportDir.empty() || !MakeFolder(options_.exportDir)) return;
    for (const HostedDevice& device : devices_) {
      const fs::path path =
          fs::path(options_.exportDir) / ("history-" + std::to_string(device.id) + ".csv");
      // A failed export must not leave an old file to pass for it.
      std::error_code ignored;
      fs::remove(path, ignored);
      std::string text;
      if (!session_
               .Export(kDriver, device.id, options_.separator, options_.decimalPoint,
                       options_.exportDir, text)
               .ok() ||
          !WriteWholeFile(path, text.data(), text.size())) {
        Fail("the plug-in did not export the history of device " + std::to_string(device.id) +
             " to " + path.string());
        continue;
      }
      console_.Print("device " + std::to_string(device.id) + " history exported to " +
                     path.string());
    }
  }

  const HostOptions& options_;
  Console& console_;
  Session session_;
  std::string shortName_;  // UTF-8
  std::vector<HostedDevice> devices_;
  bool failed_ = false;
};

}  // namespace

int RunHost(const HostOptions& options, const std::string& dialogFolder, Console& console,
            const std::atomic<bool>& stopRequested) {
  return HostRun(options, console).Run(dialogFolder, stopRequested);
}

}  // namespace orv::refhost
