// The driver table of the MSVC-ABI flavour: the same 26 entry points, each a
// thin noexcept adapter that converts the host's containers (msvc_abi.h) to
// and from the plug-in's own and calls the plug-in's table entry for them.
// Nothing of the plug-in's standard library reaches the host: every string or
// array handed back is built in the host's layout on the host's heap.
#include <cstring>
#include <string>
#include <vector>

#include "framework/boundary/msvc_abi.h"
#include "framework/boundary/table.h"
#include "framework/io/image.h"

namespace orv {
namespace {

namespace host = msvc;

// The plug-in's own table, filled on first use: when the host first asks for
// the table, once the library and its driver are built.
const ::DriverFunctionTable& Native() {
  static const ::DriverFunctionTable table = [] {
    ::DriverFunctionTable t;
    FillTable(&t);
    return t;
  }();
  return table;
}

std::string_view View(const std::string& text) { return {text.data(), text.size()}; }

std::int32_t Init(LogFn log) noexcept {
  if (!host::BindHostHeap()) {
    if (log != nullptr) log("%s", "ucrtbase.dll (malloc, free) cannot be loaded: no host heap");
    return 0;
  }
  return Native().Init(log);
}

void GetDriverInfo(host::DriverInfo& out) noexcept {
  try {
    DriverInfo info;
    Native().GetDriverInfo(info);
    out.longName.Assign(View(info.longName));
    out.shortName.Assign(View(info.shortName));
    out.fileName.Assign(View(info.fileName));
    out.versionMajor = info.versionMajor;
    out.versionMinor = info.versionMinor;
  } catch (...) {
  }
}

host::IntList ScanDevices() noexcept {
  try {
    const IntList ids = Native().ScanDevices();
    host::IntList list;
    list.AssignCopy(ids.data(), ids.size());
    return list;
  } catch (...) {
    return {};
  }
}

DeviceId RestoreDevice(const host::ByteArray& image, std::int32_t offset) noexcept {
  try {
    const ByteArray copy(image.first, image.last);
    return Native().RestoreDevice(copy, offset);
  } catch (...) {
    return 0;
  }
}

// Copies bytes into the host's array; out of memory leaves it empty, as the
// plug-in's own table leaves an image it could not make.
void CopyToHost(const ByteArray& bytes, host::ByteArray& out) noexcept {
  try {
    out.AssignCopy(bytes.data(), bytes.size());
  } catch (...) {
    out.last = out.first;
  }
}

// The host's array as a save's destination: the image is written straight
// into one block of the host's heap, made once its size is known, after the
// host's old bytes are freed.
class HostArraySink final : public ImageSink {
 public:
  explicit HostArraySink(host::ByteArray& image) : image_(image) {}
  std::uint64_t MaxBytes() const override { return host::ByteArray::MaxSize(); }
  void Start(std::size_t bytes) override {
    image_.Reset();
    image_.Reserve(bytes);
  }
  void Append(const std::uint8_t* bytes, std::size_t count) override {
    if (count == 0) return;
    std::memcpy(image_.last, bytes, count);
    image_.last += count;
  }
  void Discard() noexcept override { image_.Reset(); }

 private:
  host::ByteArray& image_;
};

void SaveDevice(DeviceId id, host::ByteArray& image) noexcept {
  try {
    // An unknown id leaves the host's bytes as they were, as the plug-in's
    // own table does.
    const std::shared_ptr<EmuDevice> device = ThisDriver().FindDevice(id);
    if (device == nullptr) return;
    HostArraySink sink(image);
    SaveImage(ThisDriver(), *device, sink);
  } catch (...) {
  }
}

void ShowSettings(DeviceId id) noexcept {
  try {
    // The dialog is the host's: it receives (and may grow) a list on the host's heap.
    host::IntList ports;
    ThisDriver().ShowSettingsWith(id, &ports);
  } catch (...) {
  }
}

void GetSampleAt(DeviceId id, double seconds, host::ByteArray& out) noexcept {
  try {
    ByteArray record;
    Native().GetSampleAt(id, seconds, record);
    CopyToHost(record, out);
  } catch (...) {
  }
}

void ExportHistory(DeviceId id, const host::String& path, char separator,
                   char decimalPoint) noexcept {
  try {
    const std::string text(path.view());
    Native().ExportHistory(id, text, separator, decimalPoint);
  } catch (...) {
  }
}

host::ChannelDescriptor ToHost(const ChannelDescriptor& d) {
  host::ChannelDescriptor record;
  record.kind = d.kind;
  record.name.Assign(View(d.name));
  record.settable = d.settable;
  record.axisIndex = d.axisIndex;
  record.minimum = d.minimum;
  record.maximum = d.maximum;
  return record;
}

host::AxisDescriptor ToHost(const AxisDescriptor& a) {
  host::AxisDescriptor record;
  record.label.Assign(View(a.label));
  record.unit.Assign(View(a.unit));
  record.minimum = a.minimum;
  record.maximum = a.maximum;
  record.step = a.step;
  record.red = a.red;
  record.green = a.green;
  record.blue = a.blue;
  return record;
}

// The host's copy of a list of records; empty when memory runs out.
template <typename Record>
auto ToHostList(const std::vector<Record>& own) noexcept {
  using HostRecord = decltype(ToHost(own.front()));
  try {
    host::Vector<HostRecord> list;
    list.Reserve(own.size());
    for (const Record& record : own) list.PushBack(ToHost(record));
    return list;
  } catch (...) {
    return host::Vector<HostRecord>();
  }
}

host::Vector<host::ChannelDescriptor> GetChannelDescriptors(DeviceId id) noexcept {
  return ToHostList(Native().GetChannelDescriptors(id));
}

host::Vector<host::AxisDescriptor> GetAxisDescriptors() noexcept {
  return ToHostList(Native().GetAxisDescriptors());
}

}  // namespace

void FillHostTable(::DriverFunctionTable* table) {
  if (table == nullptr) return;
  // The slots that carry no container are the plug-in's own entries.
  const ::DriverFunctionTable& native = Native();
  host::DriverFunctionTable t;
  t.Init = &Init;
  t.Shutdown = native.Shutdown;
  t.GetDriverInfo = &GetDriverInfo;
  t.AddDevice = native.AddDevice;
  t.ScanDevices = &ScanDevices;
  t.RestoreDevice = &RestoreDevice;
  t.SaveDevice = &SaveDevice;
  t.RemoveDevice = native.RemoveDevice;
  t.SetUpdating = native.SetUpdating;
  t.IsUpdating = native.IsUpdating;
  t.SetValue = native.SetValue;
  t.GetValue = native.GetValue;
  t.HasNoValidValues = native.HasNoValidValues;
  t.ShowSettings = &ShowSettings;
  t.CheckDevice = native.CheckDevice;
  t.SetRecording = native.SetRecording;
  t.IsRecording = native.IsRecording;
  t.HasHistory = native.HasHistory;
  t.ClearHistory = native.ClearHistory;
  t.GetHistoryDuration = native.GetHistoryDuration;
  t.GetSampleAt = &GetSampleAt;
  t.ExportHistory = &ExportHistory;
  t.GetChannelDescriptors = &GetChannelDescriptors;
  t.GetAxisDescriptors = &GetAxisDescriptors;
  t.SetChannelConfig = native.SetChannelConfig;
  t.GetChannelConfig = native.GetChannelConfig;
  // The host's table is the same 26 pointers; it is written as bytes since
  // the contract header declares it with other container types.
  std::memcpy(static_cast<void*>(table), &t, sizeof t);
}

}  // namespace orv
