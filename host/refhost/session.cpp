#include "host/refhost/session.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <system_error>

#include "host/refhost/log_book.h"
#include "host/refhost/message_boxes.h"
#include "host/refhost/table_view.h"

namespace orv::refhost {
namespace {

namespace fs = std::filesystem;

using Exclusive = std::unique_lock<std::shared_mutex>;
using Shared = std::shared_lock<std::shared_mutex>;

constexpr std::int32_t kMaxChartPoints = 10000;

SessionResult Fail(SessionStatus status, std::string message) {
  return SessionResult{status, std::move(message)};
}

std::uint32_t ReadLe32(const ByteArray& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

std::uint64_t RecordTimestamp(const ByteArray& record) {
  return ReadLe32(record, 0) | static_cast<std::uint64_t>(ReadLe32(record, 4)) << 32;
}

float RecordValue(const ByteArray& record, std::size_t index) {
  const std::uint32_t bits = ReadLe32(record, 8 + 4 * index);
  float value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

// The first text of the boxes a call showed, or fallback.
std::string BoxTextOr(const std::string& fallback) {
  const std::vector<std::string> texts = TakeMessageBoxTexts();
  return texts.empty() ? fallback : texts.front();
}

// Why device id's save made no image: its driver's log line since the line
// numbered logged, without "Device N: " and the line end ("not saved: the
// image would be ..."), or fallback when the driver logged none (a log
// function other than Console::Log keeps no lines).
std::string SaveFailureOr(DeviceId id, std::uint64_t logged, const std::string& fallback) {
  const std::string prefix = "Device " + std::to_string(id) + ": ";
  for (const LogEntry& entry : LogBook::Shared().After(logged, LogBook::kKeptLines)) {
    if (entry.text.compare(0, prefix.size() + 10, prefix + "not saved:") == 0) {
      return entry.text.substr(prefix.size());
    }
  }
  return fallback;
}

bool ValidColour(const std::optional<float>& component) {
  return !component || (std::isfinite(*component) && *component >= 0.0f && *component <= 1.0f);
}

}  // namespace

SessionResult Session::Open(const std::vector<std::string>& pluginPaths,
                            const std::string& dialogFolder, LogFn log) {
  const Exclusive lock(mutex_);
  CloseLocked();
  std::string error;
  // The dialogs go first: each plug-in's Init then finds them in the process.
  if (!dialogs_.Load(dialogFolder, error)) {
    return Fail(SessionStatus::kFailed, error + " (see --dialogs)");
  }
  for (const std::string& path : pluginPaths) {
    auto driver = std::make_unique<Driver>();
    driver->plugin = std::make_unique<PluginModule>();
    if (!driver->plugin->Load(path, error)) {
      CloseLocked();
      return Fail(SessionStatus::kFailed, error);
    }
    driver->initialised = driver->table().Init(log) != 0;
    // A failed Init still leaves modules that Shutdown releases.
    drivers_.push_back(std::move(driver));
    if (!drivers_.back()->initialised) {
      CloseLocked();
      return Fail(SessionStatus::kRefused,
                  "the Init of " + path + " failed: it could not bind its dialog modules");
    }
    drivers_.back()->table().GetDriverInfo(drivers_.back()->info);
  }
  return SessionResult{};
}

void Session::Close() {
  const Exclusive lock(mutex_);
  CloseLocked();
}

void Session::CloseLocked() {
  for (auto& driver : drivers_) {
    for (const HostedDevice& device : driver->devices) driver->table().RemoveDevice(device.id);
    driver->devices.clear();
    driver->table().Shutdown();
    driver->plugin->Free();
  }
  drivers_.clear();
  dialogs_.Free();
}

std::size_t Session::driverCount() const {
  const Shared lock(mutex_);
  return drivers_.size();
}

Session::Driver* Session::FindDriver(std::int32_t driver, SessionResult& result) const {
  if (driver < 0 || static_cast<std::size_t>(driver) >= drivers_.size()) {
    result = Fail(SessionStatus::kNotFound, "no driver " + std::to_string(driver));
    return nullptr;
  }
  return drivers_[static_cast<std::size_t>(driver)].get();
}

Session::HostedDevice* Session::FindDevice(std::int32_t driver, DeviceId id, Driver*& owner,
                                           SessionResult& result) const {
  owner = FindDriver(driver, result);
  if (owner == nullptr) return nullptr;
  for (HostedDevice& device : owner->devices) {
    if (device.id == id) return &device;
  }
  result = Fail(SessionStatus::kNotFound,
                "driver " + std::to_string(driver) + " has no device " + std::to_string(id));
  return nullptr;
}

DeviceState Session::StateOf(const Driver& driver, std::int32_t index,
                             const HostedDevice& device) const {
  const DriverFunctionTable& table = driver.table();
  DeviceState state;
  state.driver = index;
  state.id = device.id;
  state.updating = table.IsUpdating(device.id);
  state.recording = table.IsRecording(device.id);
  state.hasHistory = table.HasHistory(device.id);
  state.historySeconds = table.GetHistoryDuration(device.id);
  state.interval = device.interval;
  state.commSetting1 = device.commSetting1;
  state.commSetting2 = device.commSetting2;
  state.channelName1 = Cp1252ToUtf8(device.channelName1);
  state.channelName2 = Cp1252ToUtf8(device.channelName2);
  const std::vector<AxisDescriptor> axes = table.GetAxisDescriptors();
  const std::vector<ChannelDescriptor> channels = table.GetChannelDescriptors(device.id);
  for (std::size_t i = 0; i < channels.size(); ++i) {
    ChannelState channel;
    channel.descriptor = channels[i];
    channel.descriptor.name = Cp1252ToUtf8(channels[i].name);
    const auto axis = static_cast<std::size_t>(channels[i].axisIndex);
    if (axis < axes.size()) channel.unit = Cp1252ToUtf8(axes[axis].unit);
    channel.value = table.GetValue(device.id, static_cast<std::int32_t>(i));
    channel.config = table.GetChannelConfig(device.id, static_cast<std::int32_t>(i));
    state.channels.push_back(std::move(channel));
  }
  return state;
}

HostState Session::State() const {
  const Shared lock(mutex_);
  HostState state;
  for (std::size_t d = 0; d < drivers_.size(); ++d) {
    const Driver& driver = *drivers_[d];
    DriverState info;
    info.index = static_cast<std::int32_t>(d);
    info.longName = Cp1252ToUtf8(driver.info.longName);
    info.shortName = Cp1252ToUtf8(driver.info.shortName);
    info.fileName = Cp1252ToUtf8(driver.info.fileName);
    info.versionMajor = driver.info.versionMajor;
    info.versionMinor = driver.info.versionMinor;
    info.axes = driver.table().GetAxisDescriptors();
    for (AxisDescriptor& axis : info.axes) {
      axis.label = Cp1252ToUtf8(axis.label);
      axis.unit = Cp1252ToUtf8(axis.unit);
    }
    info.channelNames = driver.channelNames;
    state.drivers.push_back(std::move(info));
    for (const HostedDevice& device : driver.devices) {
      state.devices.push_back(StateOf(driver, static_cast<std::int32_t>(d), device));
    }
  }
  return state;
}

SessionResult Session::Device(std::int32_t driver, DeviceId id, DeviceState& out) const {
  const Shared lock(mutex_);
  SessionResult result;
  Driver* owner = nullptr;
  const HostedDevice* device = FindDevice(driver, id, owner, result);
  if (device != nullptr) out = StateOf(*owner, driver, *device);
  return result;
}

void Session::SettingsLocked(Driver& driver, HostedDevice& device, const SettingsRequest& request) {
  const bool names = request.name1 && request.name2;
  dialogs_.AnswerSettings(request.interval.has_value(), request.interval.value_or(0),
                          names ? &*request.name1 : nullptr, names ? &*request.name2 : nullptr);
  const std::int32_t twoNameCalls = dialogs_.TwoNameSettingsCalls();
  driver.table().ShowSettings(device.id);
  const bool twoNames = dialogs_.TwoNameSettingsCalls() != twoNameCalls;
  driver.channelNames = twoNames;
  // The dialog saw the values before the edit; the edit is what was answered.
  const SettingsCall call = dialogs_.LastSettingsCall(twoNames);
  device.interval = request.interval.value_or(call.intervalOnEntry);
  device.commSetting1 = call.commSetting1;
  device.commSetting2 = call.commSetting2;
  if (twoNames) {
    device.channelName1 = names ? *request.name1 : call.channelName1;
    device.channelName2 = names ? *request.name2 : call.channelName2;
  }
}

SessionResult Session::AddDevice(std::int32_t driver, const AddRequest& request, DeviceId& id) {
  const Exclusive lock(mutex_);
  id = 0;
  SessionResult result;
  Driver* owner = FindDriver(driver, result);
  if (owner == nullptr) return result;
  if (request.interval < 0) return Fail(SessionStatus::kBadRequest, "interval below 0");
  dialogs_.AnswerAddDevice(request.setting1, request.setting2);
  // Room first: a device the driver made must be held, or Close cannot remove it.
  owner->devices.reserve(owner->devices.size() + 1);
  id = owner->table().AddDevice();
  if (id == 0) return Fail(SessionStatus::kRefused, BoxTextOr("the driver added no device"));
  owner->devices.push_back(
      HostedDevice{id, std::nullopt, 0, 0, {}, {}, std::make_unique<std::mutex>()});
  SettingsRequest settings;
  settings.interval = request.interval;
  SettingsLocked(*owner, owner->devices.back(), settings);
  // Recording first, so that the first tick is already recorded.
  if (request.record) owner->table().SetRecording(id, true);
  if (request.start) owner->table().SetUpdating(id, true);
  return result;
}

SessionResult Session::RemoveDevice(std::int32_t driver, DeviceId id) {
  const Exclusive lock(mutex_);
  SessionResult result;
  Driver* owner = nullptr;
  if (FindDevice(driver, id, owner, result) == nullptr) return result;
  owner->table().RemoveDevice(id);
  for (auto it = owner->devices.begin(); it != owner->devices.end(); ++it) {
    if (it->id == id) {
      owner->devices.erase(it);
      break;
    }
  }
  return result;
}

SessionResult Session::ShowSettings(std::int32_t driver, DeviceId id,
                                    const SettingsRequest& request) {
  const Exclusive lock(mutex_);
  SessionResult result;
  Driver* owner = nullptr;
  HostedDevice* device = FindDevice(driver, id, owner, result);
  if (device == nullptr) return result;
  if (request.interval && *request.interval < 0) {
    return Fail(SessionStatus::kBadRequest, "interval below 0");
  }
  if (request.name1.has_value() != request.name2.has_value()) {
    return Fail(SessionStatus::kBadRequest, "give both channel names or neither");
  }
  for (const auto* name : {&request.name1, &request.name2}) {
    if (*name &&
        ((*name)->size() >= kChannelNameBufferSize || (*name)->find('\0') != std::string::npos)) {
      return Fail(SessionStatus::kBadRequest, "a channel name holds at most 15 bytes");
    }
  }
  SettingsLocked(*owner, *device, request);
  return result;
}

SessionResult Session::SetValue(std::int32_t driver, DeviceId id, std::int32_t index, float value,
                                WriteCheck check) {
  const Shared lock(mutex_);
  SessionResult result;
  Driver* owner = nullptr;
  if (FindDevice(driver, id, owner, result) == nullptr) return result;
  const std::vector<ChannelDescriptor> channels = owner->table().GetChannelDescriptors(id);
  if (index < 0 || static_cast<std::size_t>(index) >= channels.size()) {
    return Fail(SessionStatus::kNotFound, "no value " + std::to_string(index));
  }
  if (check == WriteCheck::kChecked && channels[static_cast<std::size_t>(index)].settable == 0) {
    return Fail(SessionStatus::kBadRequest, "value " + std::to_string(index) + " is read-only");
  }
  if (check == WriteCheck::kChecked && !std::isfinite(value)) {
    return Fail(SessionStatus::kBadRequest, "the value must be finite");
  }
  owner->table().SetValue(id, index, value);
  return result;
}

SessionResult Session::SetUpdating(std::int32_t driver, DeviceId id, bool on) {
  const Shared lock(mutex_);
  SessionResult result;
  Driver* owner = nullptr;
  HostedDevice* device = FindDevice(driver, id, owner, result);
  if (device == nullptr) return result;
  const std::lock_guard<std::mutex> serial(*device->serial);
  owner->table().SetUpdating(id, on);
  return result;
}

SessionResult Session::SetRecording(std::int32_t driver, DeviceId id, bool on) {
  const Shared lock(mutex_);
  SessionResult result;
  Driver* owner = nullptr;
  if (FindDevice(driver, id, owner, result) != nullptr) owner->table().SetRecording(id, on);
  return result;
}

SessionResult Session::ClearHistory(std::int32_t driver, DeviceId id) {
  const Shared lock(mutex_);
  SessionResult result;
  Driver* owner = nullptr;
  if (FindDevice(driver, id, owner, result) != nullptr) owner->table().ClearHistory(id);
  return result;
}

SessionResult Session::SetChannelConfig(std::int32_t driver, DeviceId id, std::int32_t index,
                                        const ChannelConfigRequest& request) {
  const Shared lock(mutex_);
  SessionResult result;
  Driver* owner = nullptr;
  HostedDevice* device = FindDevice(driver, id, owner, result);
  if (device == nullptr) return result;
  const std::size_t count = owner->table().GetChannelDescriptors(id).size();
  if (index < 0 || static_cast<std::size_t>(index) >= count) {
    return Fail(SessionStatus::kNotFound, "no value " + std::to_string(index));
  }
  if (!ValidColour(request.red) || !ValidColour(request.green) || !ValidColour(request.blue)) {
    return Fail(SessionStatus::kBadRequest, "colour components lie between 0 and 1");
  }
  // Unchanged fields, the padding included, go back as the driver holds them;
  // two changes of one device at once must not undo each other.
  const std::lock_guard<std::mutex> serial(*device->serial);
  ChannelConfig config = owner->table().GetChannelConfig(id, index);
  if (request.shown) config.shown = *request.shown ? 1 : 0;
  if (request.red) config.red = *request.red;
  if (request.green) config.green = *request.green;
  if (request.blue) config.blue = *request.blue;
  owner->table().SetChannelConfig(id, index, &config);
  return result;
}

SessionResult Session::Chart(std::int32_t driver, DeviceId id, double from, double to,
                             std::int32_t points, ChartData& out) const {
  const Shared lock(mutex_);
  out = ChartData{};
  SessionResult result;
  Driver* owner = nullptr;
  if (FindDevice(driver, id, owner, result) == nullptr) return result;
  if (!std::isfinite(from) || !std::isfinite(to) || to < from) {
    return Fail(SessionStatus::kBadRequest, "the range needs finite from <= to");
  }
  if (points < 1 || points > kMaxChartPoints) {
    return Fail(SessionStatus::kBadRequest,
                "points lie between 1 and " + std::to_string(kMaxChartPoints));
  }
  const DriverFunctionTable& table = owner->table();
  const std::size_t count = table.GetChannelDescriptors(id).size();
  out.values.resize(count);
  if (!table.HasHistory(id)) return result;
  out.duration = table.GetHistoryDuration(id);
  ByteArray record;
  table.GetSampleAt(id, 0.0, record);
  if (record.size() != SampleRecordSize(count)) return result;
  out.firstTimestamp = RecordTimestamp(record);
  bool havePrevious = false;
  std::uint64_t previous = 0;
  for (std::int32_t k = 0; k < points; ++k) {
    const double offset = points == 1 ? from : from + (to - from) * k / (points - 1);
    table.GetSampleAt(id, offset, record);
    if (record.size() != SampleRecordSize(count)) break;
    const std::uint64_t timestamp = RecordTimestamp(record);
    if (havePrevious && timestamp == previous) continue;
    havePrevious = true;
    previous = timestamp;
    out.offsets.push_back(
        static_cast<double>(static_cast<std::int64_t>(timestamp - out.firstTimestamp)) / 1e7);
    for (std::size_t i = 0; i < count; ++i) out.values[i].push_back(RecordValue(record, i));
  }
  return result;
}

SessionResult Session::Save(std::int32_t driver, DeviceId id, ByteArray& image) const {
  const Shared lock(mutex_);
  image.clear();
  SessionResult result;
  Driver* owner = nullptr;
  if (FindDevice(driver, id, owner, result) == nullptr) return result;
  const std::uint64_t logged = LogBook::Shared().Last();
  owner->table().SaveDevice(id, image);
  // A real image is never empty: an empty one is a save the driver could not
  // make, and its log says why.
  if (image.empty()) {
    return Fail(SessionStatus::kNoRoom,
                SaveFailureOr(id, logged, "not saved: the driver made no image"));
  }
  return result;
}

SessionResult Session::Restore(std::int32_t driver, const ByteArray& image, DeviceId& id) {
  const Exclusive lock(mutex_);
  id = 0;
  SessionResult result;
  Driver* owner = FindDriver(driver, result);
  if (owner == nullptr) return result;
  if (image.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    return Fail(SessionStatus::kBadRequest, "the image is too large");
  }
  TakeMessageBoxTexts();  // only this call's boxes count
  owner->devices.reserve(owner->devices.size() + 1);
  id = owner->table().RestoreDevice(image, 0);
  if (id == 0) return Fail(SessionStatus::kRefused, BoxTextOr("the driver refused the image"));
  owner->devices.push_back(
      HostedDevice{id, std::nullopt, 0, 0, {}, {}, std::make_unique<std::mutex>()});
  // An unchanged settings dialog tells the device's interval and names.
  SettingsLocked(*owner, owner->devices.back(), SettingsRequest{});
  return result;
}

SessionResult Session::Export(std::int32_t driver, DeviceId id, char separator, char decimalPoint,
                              const std::string& tempFolder, std::string& text) const {
  const Shared lock(mutex_);
  text.clear();
  SessionResult result;
  Driver* owner = nullptr;
  if (FindDevice(driver, id, owner, result) == nullptr) return result;
  if (separator == decimalPoint) {
    return Fail(SessionStatus::kBadRequest,
                "the separator and the decimal character must differ: lines such as 0.5.5 "
                "could not be read back");
  }
  static std::atomic<std::uint64_t> exports{0};
  const fs::path path =
      fs::path(tempFolder) / ("orv-export-" + std::to_string(driver) + "-" + std::to_string(id) +
                              "-" + std::to_string(++exports) + ".csv");
  std::error_code ignored;
  fs::remove(path, ignored);
  TakeMessageBoxTexts();
  owner->table().ExportHistory(id, path.string(), separator, decimalPoint);
  std::ifstream in(path, std::ios::binary);
  if (!in) return Fail(SessionStatus::kFailed, BoxTextOr("the driver wrote no export file"));
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  in.close();
  fs::remove(path, ignored);
  return result;
}

}  // namespace orv::refhost
