// What the reference host holds: the loaded driver plug-ins, their devices and
// the reference dialogs' answers. The session is the only code that calls the
// driver tables, and its lock keeps the calling rules of the threading notes
// in include/orv/driver_api.h when several threads (terminal loop, web
// requests) use one session:
// - exclusive for what changes the registry (open, close, add, restore,
//   remove) and for a dialog's answers together with the call that consumes
//   them (add, restore, settings), so two of these never interleave;
// - shared for every other table call, so reads (state, device, chart, save,
//   export) run side by side and a long save or export delays only registry
//   changes; a device removed meanwhile answers kNotFound afterwards;
// - SetUpdating, which the header tags [host-main per device], so never twice
//   at once for one device, and the read-modify-write of a channel's display
//   settings are serialized per device.
// Answers are plain structs; turning them into text or JSON is the caller's job.
#ifndef ORV_HOST_REFHOST_SESSION_H
#define ORV_HOST_REFHOST_SESSION_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "host/refhost/dialog_modules.h"
#include "host/refhost/plugin_module.h"
#include "orv/driver_api.h"

namespace orv::refhost {

enum class SessionStatus {
  kOk,
  kNotFound,    // no such driver, device or value index
  kBadRequest,  // an argument the table must not receive
  kRefused,     // the driver declined (failed Init, cancelled dialog, refused image)
  kFailed,      // the host itself failed (file system)
  kNoRoom,      // the driver could not make it: too large, or no memory (a save)
};

struct SessionResult {
  SessionStatus status = SessionStatus::kOk;
  std::string message;  // why, when not kOk; UTF-8
  bool ok() const { return status == SessionStatus::kOk; }
};

// Text fields below are UTF-8 (the drivers' Windows-1252 converted).
struct DriverState {
  std::int32_t index = 0;  // position in load order, names the driver
  std::string longName, shortName, fileName;
  std::int32_t versionMajor = 0, versionMinor = 0;
  std::vector<AxisDescriptor> axes;
  // The driver's settings dialog edits two channel names; known after the
  // first settings call of one of its devices.
  std::optional<bool> channelNames;
};

struct ChannelState {
  ChannelDescriptor descriptor;
  std::string unit;  // of the channel's axis
  float value = 0.0f;
  ChannelConfig config{};
};

struct DeviceState {
  std::int32_t driver = 0;
  DeviceId id = 0;
  bool updating = false;
  bool recording = false;
  bool hasHistory = false;
  double historySeconds = 0.0;
  // As the last settings dialog saw them (after its edit).
  std::optional<std::int32_t> interval;
  std::int32_t commSetting1 = 0, commSetting2 = 0;
  std::string channelName1, channelName2;  // two-name drivers only
  std::vector<ChannelState> channels;
};

struct HostState {
  std::vector<DriverState> drivers;
  std::vector<DeviceState> devices;  // by driver, then in creation order
};

// Up to `points` samples picked with GetSampleAt at evenly spaced offsets over
// [from, to] seconds of the history; repeats of one sample are dropped.
struct ChartData {
  double duration = 0.0;                   // of the whole history, seconds
  std::uint64_t firstTimestamp = 0;        // FILETIME count of the first sample, local time
  std::vector<double> offsets;             // seconds from the first sample
  std::vector<std::vector<float>> values;  // values[channel][point]; NaN when unknown
};

struct AddRequest {
  std::int32_t setting1 = 0, setting2 = 0;  // the add dialog's answers
  std::int32_t interval = 0;                // handed to the settings dialog afterwards
  bool record = true;
  bool start = true;
};

struct SettingsRequest {
  std::optional<std::int32_t> interval;
  std::optional<std::string> name1, name2;  // both or neither; at most 15 bytes
};

struct ChannelConfigRequest {
  std::optional<bool> shown;
  std::optional<float> red, green, blue;
};

class Session {
 public:
  Session() = default;
  ~Session() { Close(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Loads the dialog modules from dialogFolder, then each plug-in, and runs Init.
  SessionResult Open(const std::vector<std::string>& pluginPaths, const std::string& dialogFolder,
                     LogFn log);
  // Removes every device, shuts every driver down and unloads everything.
  void Close();

  std::size_t driverCount() const;
  HostState State() const;
  SessionResult Device(std::int32_t driver, DeviceId id, DeviceState& out) const;

  SessionResult AddDevice(std::int32_t driver, const AddRequest& request, DeviceId& id);
  SessionResult RemoveDevice(std::int32_t driver, DeviceId id);
  SessionResult ShowSettings(std::int32_t driver, DeviceId id, const SettingsRequest& request);
  // kChecked refuses read-only values and non-finite numbers; kAsGiven hands
  // any value of an existing index to the driver, which decides what it does
  // with it (the terminal's --set writes go through as typed).
  enum class WriteCheck { kChecked, kAsGiven };
  SessionResult SetValue(std::int32_t driver, DeviceId id, std::int32_t index, float value,
                         WriteCheck check = WriteCheck::kChecked);
  SessionResult SetUpdating(std::int32_t driver, DeviceId id, bool on);
  SessionResult SetRecording(std::int32_t driver, DeviceId id, bool on);
  SessionResult ClearHistory(std::int32_t driver, DeviceId id);
  SessionResult SetChannelConfig(std::int32_t driver, DeviceId id, std::int32_t index,
                                 const ChannelConfigRequest& request);
  SessionResult Chart(std::int32_t driver, DeviceId id, double from, double to, std::int32_t points,
                      ChartData& out) const;
  // An image the driver could not make (it handed back none) gives kNoRoom
  // with the reason from its log line ("not saved: ...").
  SessionResult Save(std::int32_t driver, DeviceId id, ByteArray& image) const;
  // A refused image gives kRefused with the driver's message.
  SessionResult Restore(std::int32_t driver, const ByteArray& image, DeviceId& id);
  // Exports into a file in tempFolder, reads it back into text, deletes it. A
  // separator equal to the decimal character is refused (kBadRequest): its
  // lines could not be read back.
  SessionResult Export(std::int32_t driver, DeviceId id, char separator, char decimalPoint,
                       const std::string& tempFolder, std::string& text) const;

 private:
  struct HostedDevice {
    DeviceId id = 0;
    // Written under the exclusive lock (settings dialog), read under the shared one.
    std::optional<std::int32_t> interval;
    std::int32_t commSetting1 = 0, commSetting2 = 0;
    std::string channelName1, channelName2;
    // Serializes SetUpdating and channel-config updates of this device.
    std::unique_ptr<std::mutex> serial = std::make_unique<std::mutex>();
  };
  struct Driver {
    std::unique_ptr<PluginModule> plugin;
    bool initialised = false;
    DriverInfo info;
    std::optional<bool> channelNames;
    std::vector<HostedDevice> devices;
    const DriverFunctionTable& table() const { return plugin->table(); }
  };

  // Lookups under the lock (either mode); null and a kNotFound result when absent.
  Driver* FindDriver(std::int32_t driver, SessionResult& result) const;
  HostedDevice* FindDevice(std::int32_t driver, DeviceId id, Driver*& owner,
                           SessionResult& result) const;
  DeviceState StateOf(const Driver& driver, std::int32_t index, const HostedDevice& device) const;
  void SettingsLocked(Driver& driver, HostedDevice& device, const SettingsRequest& request);
  void CloseLocked();

  // Guards everything below and orders every table call (see the top).
  mutable std::shared_mutex mutex_;
  // Declared before the drivers so that they are released after them.
  DialogModules dialogs_;
  std::vector<std::unique_ptr<Driver>> drivers_;
};

}  // namespace orv::refhost

#endif  // ORV_HOST_REFHOST_SESSION_H
