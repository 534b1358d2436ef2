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

#include "host/refhost/dialog_modules.h"
#include "host/refhost/plugin_module.h"
#include "host/refhost/table_view.h"
#include "orv/driver_api.h"
#include "platform/platform.h"

namespace orv::refhost {
namespace {

namespace fs = std::filesystem;

struct HostedDevice {
  DeviceId id = 0;
  bool restored = false;
};

bool ReadWholeFile(const std::string& path, ByteArray& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteWholeFile(const fs::path& path, const ByteArray& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

std::string FormatFloat(float value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

class HostRun {
 public:
  HostRun(const HostOptions& options, Console& console) : options_(options), console_(console) {}

  int Run(const std::string& dialogFolder, const std::atomic<bool>& stopRequested) {
    std::string error;
    // The dialogs go first: the plug-in's Init then finds them in the process.
    if (!dialogs_.Load(dialogFolder, error)) {
      Fail(error + " (see --dialogs)");
      return kExitFailure;
    }
    dialogs_.AnswerAddDevice(options_.commSetting1, options_.commSetting2);
    if (!plugin_.Load(options_.pluginPath, error)) {
      Fail(error);
      return kExitFailure;
    }
    const DriverFunctionTable& driver = plugin_.table();
    if (driver.Init(&Console::Log) == 0) {
      Fail("the plug-in's Init failed: it could not bind its dialog modules");
      driver.Shutdown();  // releases whatever Init had loaded
      return kExitFailure;
    }
    driver.GetDriverInfo(info_);
    console_.Print("driver " + Cp1252ToUtf8(info_.longName) + " (" + Cp1252ToUtf8(info_.shortName) +
                   "), file " + Cp1252ToUtf8(info_.fileName) + ", version " +
                   std::to_string(info_.versionMajor) + "." + std::to_string(info_.versionMinor));

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
    for (const HostedDevice& device : devices_) driver.RemoveDevice(device.id);
    devices_.clear();
    driver.Shutdown();
    plugin_.Free();
    dialogs_.Free();
    return failed_ ? kExitFailure : kExitOk;
  }

 private:
  // Reports a failure; the run then ends with kExitFailure.
  bool Fail(const std::string& message) {
    console_.PrintError("orv_host: " + message);
    failed_ = true;
    return false;
  }

  const DriverFunctionTable& driver() const { return plugin_.table(); }

  // Restored devices first, in the order given, then the added ones. A refused
  // image ends the run; a refused AddDevice ends the creation, and the run
  // goes on with the devices made so far (a 32-bit host may run out of room).
  bool CreateDevices() {
    for (const std::string& file : options_.restoreFiles) {
      ByteArray image;
      if (!ReadWholeFile(file, image)) return Fail("cannot read saved image " + file);
      const DeviceId id = driver().RestoreDevice(image, 0);
      if (id == 0) return Fail("the plug-in refused the saved image " + file);
      Keep(HostedDevice{id, true});
      console_.Print("device " + std::to_string(id) + " restored from " + file);
    }
    for (std::int32_t n = 0; n < options_.devices; ++n) {
      const DeviceId id = driver().AddDevice();
      if (id == 0) {
        Fail("the plug-in added no device after " + std::to_string(devices_.size()) +
             "; running those");
        return true;
      }
      Keep(HostedDevice{id, false});
      console_.Print("device " + std::to_string(id) + " added with connection settings " +
                     std::to_string(options_.commSetting1) + ", " +
                     std::to_string(options_.commSetting2));
    }
    return true;
  }

  // A device the host cannot hold is removed again at once.
  void Keep(const HostedDevice& device) {
    try {
      devices_.push_back(device);
    } catch (const std::bad_alloc&) {
      driver().RemoveDevice(device.id);
      throw;
    }
  }

  // Interval and channel names reach the driver only through its settings dialog.
  void ConfigureDevices() {
    const std::int32_t twoNameCallsBefore = dialogs_.TwoNameSettingsCalls();
    bool askedForNames = false;
    for (const HostedDevice& device : devices_) {
      const bool setInterval = !device.restored || options_.intervalGiven;
      if (!setInterval && !options_.namesGiven) continue;
      const bool names = options_.namesGiven;
      dialogs_.AnswerSettings(setInterval, options_.interval,
                              names ? &options_.channelName1 : nullptr,
                              names ? &options_.channelName2 : nullptr);
      driver().ShowSettings(device.id);
      askedForNames = askedForNames || names;
    }
    if (askedForNames && dialogs_.TwoNameSettingsCalls() == twoNameCallsBefore) {
      console_.Print("note: --names ignored, this driver has no channel names");
    }
  }

  bool CheckWrites() {
    for (const HostedDevice& device : devices_) {
      const std::vector<ChannelDescriptor> channels = driver().GetChannelDescriptors(device.id);
      for (const ValueWrite& write : options_.writes) {
        const auto index = static_cast<std::size_t>(write.index);
        if (index >= channels.size()) {
          return Fail("--set " + std::to_string(write.index) + ": device " +
                      std::to_string(device.id) + " has only " + std::to_string(channels.size()) +
                      " values");
        }
        if (&device == &devices_.front() && channels[index].settable == 0) {
          console_.Print("note: value " + std::to_string(write.index) + " (" +
                         Cp1252ToUtf8(channels[index].name) +
                         ") is read-only; the driver does not store it");
        }
      }
    }
    return true;
  }

  void StartDevices() {
    for (const HostedDevice& device : devices_) {
      // Recording first, so that the first tick is already recorded.
      if (options_.record) driver().SetRecording(device.id, true);
      driver().SetUpdating(device.id, true);
    }
    for (const ValueWrite& write : options_.writes) {
      for (const HostedDevice& device : devices_) {
        driver().SetValue(device.id, write.index, write.value);
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
    const std::vector<AxisDescriptor> axes = driver().GetAxisDescriptors();
    std::vector<DeviceRow> rows;
    for (const HostedDevice& device : devices_) {
      DeviceRow row;
      row.id = device.id;
      const std::vector<ChannelDescriptor> channels = driver().GetChannelDescriptors(device.id);
      for (std::size_t i = 0; i < channels.size(); ++i) {
        const ChannelDescriptor& channel = channels[i];
        const auto axis = static_cast<std::size_t>(channel.axisIndex);
        row.channels.push_back(ChannelHeading{
            channel.name, axis < axes.size() ? axes[axis].unit : std::string(), channel.kind});
        row.values.push_back(driver().GetValue(device.id, static_cast<std::int32_t>(i)));
      }
      rows.push_back(std::move(row));
    }
    std::string title = Cp1252ToUtf8(info_.shortName) + " at " + std::to_string(second) + " s";
    title += options_.durationSeconds > 0 ? " of " + std::to_string(options_.durationSeconds) + " s"
                                          : " (Ctrl-C stops)";
    if (!options_.speed.empty()) title += ", clocks at " + options_.speed + "x real time";
    std::vector<std::string> lines{title};
    for (std::string& line : RenderTable(rows)) lines.push_back(std::move(line));
    console_.ShowTable(lines);
  }

  // One device after the other from this thread, as a host closing down does.
  // A stop cuts the device's wait short, so the whole takes milliseconds.
  void StopDevices() {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    for (const HostedDevice& device : devices_) driver().SetUpdating(device.id, false);
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
      ByteArray image;
      driver().SaveDevice(device.id, image);
      const fs::path path =
          fs::path(options_.saveDir) / ("device-" + std::to_string(device.id) + ".img");
      if (!WriteWholeFile(path, image)) {
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
      // The driver reports an unwritable file only to the user, so the host
      // looks for the file afterwards; an old one must not pass for it.
      std::error_code ignored;
      fs::remove(path, ignored);
      driver().ExportHistory(device.id, path.string(), options_.separator, options_.decimalPoint);
      if (!fs::exists(path, ignored)) {
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
  // Declared before the plug-in so that they are released after it.
  DialogModules dialogs_;
  PluginModule plugin_;
  DriverInfo info_;
  std::vector<HostedDevice> devices_;
  bool failed_ = false;
};

}  // namespace

int RunHost(const HostOptions& options, const std::string& dialogFolder, Console& console,
            const std::atomic<bool>& stopRequested) {
  return HostRun(options, console).Run(dialogFolder, stopRequested);
}

}  // namespace orv::refhost
