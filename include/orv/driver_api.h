// The host's contract with an emulated incubator-controller driver plug-in.
//
// A host loads a plug-in, calls its one export GetOrvDeviceDriverAPI to fill a
// DriverFunctionTable and from then on calls the plug-in only through that
// table. Strings, byte arrays and lists cross the table as standard-library
// types, so host and plug-in must be built against one standard library.
//
// Threading tags on the table slots:
//   [host-main]    called on the host's calling thread while no other slot runs
//   [thread-safe]  may be called from several host threads at once, also while
//                  the device's update thread runs
//   [host-main per device]  may run beside calls for other devices, but never
//                  beside another call of it for the same device
#ifndef ORV_DRIVER_API_H
#define ORV_DRIVER_API_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#if defined(_WIN32)
#define ORV_EXPORT extern "C" __declspec(dllexport)
#else
#define ORV_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Names one device within one loaded plug-in; handed out from 1, never reused.
// 0 means "no device was created".
using DeviceId = std::int32_t;

// The host's printf-style log callback; its result is ignored.
using LogFn = int (*)(const char* format, ...);

// Host-owned growable array of unsigned bytes: device images, sample records.
using ByteArray = std::vector<std::uint8_t>;
using IntList = std::vector<std::int32_t>;

// The driver's identity. fileName stays empty until Init has run.
struct DriverInfo {
  std::string longName;
  std::string shortName;
  std::string fileName;
  std::int32_t versionMajor = 0;
  std::int32_t versionMinor = 0;
};

// Channel kinds: what sort of value a channel is.
enum ChannelKind : std::int32_t {
  kKindLevel = 1,     // whole-number step, rounded by SetValue
  kKindQuantity = 2,  // measured or nominal quantity, stored unchanged
  kKindAlarm = 4,     // alarm indication, 0 or 1, read-only
  kKindSwitch = 5,    // on/off switch, stored as 0.0 or 1.0
};

// Describes one live value of a device.
struct ChannelDescriptor {
  std::int32_t kind = 0;
  std::string name;
  std::int32_t settable = 0;   // 1 when SetValue may write it
  std::int32_t axisIndex = 0;  // index into GetAxisDescriptors()
  float minimum = 0.0f;
  float maximum = 0.0f;
};

// Describes one chart axis.
struct AxisDescriptor {
  std::string label;
  std::string unit;  // Windows-1252 text, may be empty
  double minimum = 0.0;
  double maximum = 0.0;
  double step = 0.0;
  float red = 0.0f;
  float green = 0.0f;
  float blue = 0.0f;
};

// The host's display settings of one channel. All 16 bytes, padding included,
// are kept and handed back unchanged.
struct ChannelConfig {
  std::uint8_t shown;   // nonzero: draw the channel's curve
  std::uint8_t pad[3];  // no meaning; copied along
  float red;
  float green;
  float blue;
};
static_assert(sizeof(ChannelConfig) == 16, "ChannelConfig is 16 bytes");
static_assert(offsetof(ChannelConfig, shown) == 0, "shown at 0");
static_assert(offsetof(ChannelConfig, pad) == 1, "padding at 1");
static_assert(offsetof(ChannelConfig, red) == 4, "red at 4");
static_assert(offsetof(ChannelConfig, green) == 8, "green at 8");
static_assert(offsetof(ChannelConfig, blue) == 12, "blue at 12");
static_assert(sizeof(float) == 4 && sizeof(double) == 8, "IEEE sizes");
static_assert(sizeof(DeviceId) == 4, "DeviceId is 32 bits");

// Record that GetSampleAt writes into the caller's byte array: timestamp low
// half, high half (little-endian), then N floats. 8 + 4 * N bytes.
constexpr std::size_t SampleRecordSize(std::size_t valueCount) { return 8 + 4 * valueCount; }
static_assert(SampleRecordSize(4) == 24 && SampleRecordSize(6) == 32, "sample record sizes");

// The 26 entry points, in fixed slot order.
struct DriverFunctionTable {
  // 0 [host-main] Binds the log callback and the two dialog modules; 1 ready, 0 failed.
  std::int32_t (*Init)(LogFn log);
  // 1 [host-main] Releases the dialog modules; always 1.
  std::int32_t (*Shutdown)();
  // 2 [thread-safe] Copies the driver identity into out.
  void (*GetDriverInfo)(DriverInfo& out);
  // 3 [host-main] Adds a device through the add-device dialog; 0 when cancelled.
  DeviceId (*AddDevice)();
  // 4 [host-main] Device scans are not supported: shows a message, returns an empty list.
  IntList (*ScanDevices)();
  // 5 [host-main] Creates a device from the image starting at offset; 0 when refused.
  DeviceId (*RestoreDevice)(const ByteArray& image, std::int32_t offset);
  // 6 [thread-safe] Replaces image with the device's saved image.
  void (*SaveDevice)(DeviceId id, ByteArray& image);
  // 7 [host-main] Stops the device's update thread and destroys the device.
  void (*RemoveDevice)(DeviceId id);
  // 8 [host-main per device] Starts or stops the update thread; stopping waits for it.
  void (*SetUpdating)(DeviceId id, bool on);
  // 9 [thread-safe] Whether the update thread runs or is to run.
  bool (*IsUpdating)(DeviceId id);
  // 10 [thread-safe] Writes a live value and marks it pending.
  void (*SetValue)(DeviceId id, std::int32_t index, float value);
  // 11 [thread-safe] Reads a live value; NaN 0x7FFFFFFF when not known.
  float (*GetValue)(DeviceId id, std::int32_t index);
  // 12 [thread-safe] True while every live value is unknown.
  bool (*HasNoValidValues)(DeviceId id);
  // 13 [host-main] Opens the communication-settings dialog.
  void (*ShowSettings)(DeviceId id);
  // 14 [thread-safe] Always 1.
  std::int32_t (*CheckDevice)(DeviceId id);
  // 15 [thread-safe] Switches recording; switching on clears the history.
  void (*SetRecording)(DeviceId id, bool on);
  // 16 [thread-safe]
  bool (*IsRecording)(DeviceId id);
  // 17 [thread-safe] Whether the history holds a sample.
  bool (*HasHistory)(DeviceId id);
  // 18 [thread-safe] Empties the history.
  void (*ClearHistory)(DeviceId id);
  // 19 [thread-safe] Seconds from the first to the last sample.
  double (*GetHistoryDuration)(DeviceId id);
  // 20 [thread-safe] The sample nearest to an offset from the first, as a fixed record.
  void (*GetSampleAt)(DeviceId id, double seconds, ByteArray& out);
  // 21 [thread-safe] Writes the history as a delimited text file.
  void (*ExportHistory)(DeviceId id, const std::string& path, char separator, char decimalPoint);
  // 22 [thread-safe] One descriptor per live value, in index order.
  std::vector<ChannelDescriptor> (*GetChannelDescriptors)(DeviceId id);
  // 23 [thread-safe] The two chart axes.
  std::vector<AxisDescriptor> (*GetAxisDescriptors)();
  // 24 [thread-safe] Stores a channel's 16-byte display settings.
  void (*SetChannelConfig)(DeviceId id, std::int32_t index, const ChannelConfig* config);
  // 25 [thread-safe] Reads a channel's 16-byte display settings.
  ChannelConfig (*GetChannelConfig)(DeviceId id, std::int32_t index);
};
static_assert(sizeof(DriverFunctionTable) == 26 * sizeof(void (*)()), "26 slots, no padding");
static_assert(offsetof(DriverFunctionTable, GetChannelConfig) == 25 * sizeof(void (*)()),
              "slot order");

using GetOrvDeviceDriverAPIFn = void (*)(DriverFunctionTable* table);

// Host dialogs, exported with C linkage by the host's dialog modules.
//
// Add-device dialog (portpick_dialog): nonzero when the user chose a device,
// after writing both settings; 0 when cancelled.
using AddDialogFn = std::int32_t (*)(std::int32_t* outSetting1, std::int32_t* outSetting2,
                                     std::int32_t model);

// Settings dialog of single-name drivers (portconf_dialog); the result is ignored.
using SettingsDialogFn = std::int32_t (*)(const char* longName, const char* shortName,
                                          const char* fileName, std::int32_t versionMajor,
                                          std::int32_t versionMinor, bool hasValues,
                                          std::int32_t commSetting1, std::int32_t commSetting2,
                                          std::int32_t minusOne, IntList* ports,
                                          std::int32_t* interval);

// Settings dialog with two editable channel names (portconf_dt_dialog). Each
// name buffer is kChannelNameBufferSize bytes, NUL-terminated. A nonzero
// result means the user accepted the edited names.
constexpr std::size_t kChannelNameBufferSize = 16;
using SettingsDialogDtFn = std::int32_t (*)(const char* longName, const char* shortName,
                                            const char* fileName, std::int32_t versionMajor,
                                            std::int32_t versionMinor, bool hasValues,
                                            std::int32_t commSetting1, std::int32_t commSetting2,
                                            std::int32_t minusOne, IntList* ports,
                                            char* channelName1, char* channelName2,
                                            std::int32_t* interval);

// Message box flags the plug-ins pass (Win32 values).
constexpr unsigned kMbIconError = 0x10;
constexpr unsigned kMbIconInformation = 0x40;
constexpr unsigned kMbTaskModal = 0x2000;

#endif  // ORV_DRIVER_API_H
