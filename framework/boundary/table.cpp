#include "framework/boundary/table.h"

#include <cstring>

#include "framework/control/control.h"
#include "framework/core/values.h"
#include "framework/devices/update_thread.h"
#include "framework/history/sample_query.h"
#include "framework/io/export.h"
#include "framework/io/image.h"

namespace orv {
namespace {

// The plug-in's driver, taken once when the library is loaded (its address
// is fixed before it is built). The sample query reaches it without a call,
// which would also make it save its argument to memory and read it back.
Driver* const loadedDriver = &ThisDriver();

// Runs body with the device named by id, or returns fallback when there is
// none or when anything is thrown.
template <typename Result, typename Body>
Result WithDevice(DeviceId id, Result fallback, Body body) noexcept {
  try {
    std::shared_ptr<EmuDevice> device = ThisDriver().FindDevice(id);
    if (device == nullptr) return fallback;
    return body(*device);
  } catch (...) {
    return fallback;
  }
}

template <typename Body>
void WithDevice(DeviceId id, Body body) noexcept {
  try {
    std::shared_ptr<EmuDevice> device = ThisDriver().FindDevice(id);
    if (device != nullptr) body(*device);
  } catch (...) {
  }
}

// The same for brief calls: the device is found in a read section instead of
// counted, which spares the queries a host makes many times a second two
// atomic updates.
template <typename Result, typename Body>
Result WithDeviceInSection(DeviceId id, Result fallback, Body body) noexcept {
  try {
    Result result = fallback;
    ThisDriver().VisitDevice(id, [&](EmuDevice* device) {
      if (device != nullptr) result = body(*device);
    });
    return result;
  } catch (...) {
    return fallback;
  }
}

template <typename Body>
void WithDeviceInSection(DeviceId id, Body body) noexcept {
  try {
    ThisDriver().VisitDevice(id, [&](EmuDevice* device) {
      if (device != nullptr) body(*device);
    });
  } catch (...) {
  }
}

// The plug-in's control endpoint, made at the first Init (after the driver,
// so it goes first when the library is unloaded); idle unless ORV_CONTROL is
// set.
ControlEndpoint& Control() {
  static ControlEndpoint endpoint(ThisDriver());
  return endpoint;
}

std::int32_t Init(LogFn log) noexcept {
  try {
    ControlEndpoint& control = Control();
    const LogFn driverLog = control.Start(log);
    const std::int32_t ready = ThisDriver().Init(driverLog, control.running());
    if (ready == 0) control.Stop();
    return ready;
  } catch (...) {
    return 0;
  }
}

std::int32_t Shutdown() noexcept {
  try {
    Control().Stop();
  } catch (...) {
  }
  return ThisDriver().Shutdown();
}

void GetDriverInfo(DriverInfo& out) noexcept {
  try {
    ThisDriver().GetDriverInfo(out);
  } catch (...) {
  }
}

DeviceId AddDevice() noexcept {
  try {
    return ThisDriver().AddDevice();
  } catch (...) {
    return 0;
  }
}

IntList ScanDevices() noexcept {
  try {
    return ThisDriver().ScanDevices();
  } catch (...) {
    return IntList();
  }
}

DeviceId RestoreDevice(const ByteArray& image, std::int32_t offset) noexcept {
  try {
    return orv::RestoreDevice(ThisDriver(), image, offset);
  } catch (...) {
    return 0;
  }
}

void SaveDevice(DeviceId id, ByteArray& image) noexcept {
  WithDevice(id, [&](EmuDevice& d) { orv::SaveDevice(ThisDriver(), d, image); });
}

void RemoveDevice(DeviceId id) noexcept {
  try {
    ThisDriver().RemoveDevice(id);
  } catch (...) {
  }
}

void SetUpdating(DeviceId id, bool on) noexcept {
  WithDevice(id, [&](EmuDevice& d) { orv::SetUpdating(d, on); });
}

bool IsUpdating(DeviceId id) noexcept {
  return WithDeviceInSection(id, false, [](EmuDevice& d) { return orv::IsUpdating(d); });
}

void SetValue(DeviceId id, std::int32_t index, float value) noexcept {
  WithDeviceInSection(id, [&](EmuDevice& d) { orv::SetValue(d, index, value); });
}

float GetValue(DeviceId id, std::int32_t index) noexcept {
  return WithDeviceInSection(id, MakeInvalid(),
                             [&](EmuDevice& d) { return orv::GetValue(d, index); });
}

bool HasNoValidValues(DeviceId id) noexcept {
  return WithDeviceInSection(id, true, [](EmuDevice& d) { return orv::HasNoValidValues(d); });
}

void ShowSettings(DeviceId id) noexcept {
  try {
    ThisDriver().ShowSettings(id);
  } catch (...) {
  }
}

std::int32_t CheckDevice(DeviceId) noexcept { return 1; }

void SetRecording(DeviceId id, bool on) noexcept {
  WithDevice(id, [&](EmuDevice& d) { orv::SetRecording(d, on); });
}

bool IsRecording(DeviceId id) noexcept {
  return WithDeviceInSection(id, false, [](EmuDevice& d) { return d.recording.load(); });
}

// The history queries a display makes all the time read the published
// samples in the read section that found the device, without historyMutex:
// they never wait for an append, a save or an export.
template <typename Result, typename Query>
Result QueryHistory(DeviceId id, Result fallback, Query query) noexcept {
  try {
    Result result = fallback;
    ThisDriver().VisitDevice(id, [&](EmuDevice* device, bool inReadSection) {
      if (device != nullptr) result = query(device->history, inReadSection);
    });
    return result;
  } catch (...) {
    return fallback;
  }
}

bool HasHistory(DeviceId id) noexcept {
  return QueryHistory(
      id, false, [](SampleHistory& h, bool inSection) { return orv::HasHistory(h, inSection); });
}

void ClearHistory(DeviceId id) noexcept {
  WithDevice(id, [](EmuDevice& d) { orv::ClearHistory(d.history); });
}

double GetHistoryDuration(DeviceId id) noexcept {
  return QueryHistory(id, 0.0, [](SampleHistory& h, bool inSection) {
    return orv::GetHistoryDuration(h, inSection);
  });
}

// GetSampleAt for any number of values.
void GetSampleAtOfAny(DeviceId id, double seconds, ByteArray& out) noexcept {
  try {
    Driver& driver = *loadedDriver;
    const int valueCount = driver.model().valueCount;
    SizeRecord(valueCount, out);
    driver.VisitDevice(
        id, [&](EmuDevice * device, bool inReadSection) __attribute__((always_inline)) {
          if (device == nullptr) return WriteRecord(nullptr, valueCount, out.data());
          WriteSampleAt(device->history, valueCount, seconds, out.data(), inReadSection);
        });
  } catch (...) {
  }
}

// The same for a driver whose model has kValueCount values, as the models
// have: the record's length and the stride are constants. The record is
// sized first, as only that may allocate; the rest is one function here,
// with the device look-up, since a host redrawing charts calls this
// thousands of times a second.
template <int kValueCount>
void GetSampleAtOf(DeviceId id, double seconds, ByteArray& out) noexcept {
  try {
    SizeRecord(kValueCount, out);
    loadedDriver->VisitDevice(
        id, [&](EmuDevice * device, bool inReadSection) __attribute__((always_inline)) {
          if (device == nullptr) return WriteRecord(nullptr, kValueCount, out.data());
          WriteSampleAtOf<kValueCount>(device->history, seconds, out.data(), inReadSection);
        });
  } catch (...) {
  }
}

// The query for a model of valueCount values. Every device of a driver has
// the driver's model.
using SampleQuery = void (*)(DeviceId, double, ByteArray&);
SampleQuery SampleQueryFor(int valueCount) {
  switch (valueCount) {
    case 4:
      return &GetSampleAtOf<4>;
    case 6:
      return &GetSampleAtOf<6>;
    default:
      return &GetSampleAtOfAny;
  }
}

void ExportHistory(DeviceId id, const std::string& path, char separator,
                   char decimalPoint) noexcept {
  WithDevice(id, [&](EmuDevice& d) {
    const std::vector<ChannelDescriptor> descriptors = ThisDriver().GetChannelDescriptors(id);
    orv::ExportHistory(ThisDriver().runtime(), d, descriptors, path, separator, decimalPoint);
  });
}

std::vector<ChannelDescriptor> GetChannelDescriptors(DeviceId id) noexcept {
  try {
    return ThisDriver().GetChannelDescriptors(id);
  } catch (...) {
    return {};
  }
}

std::vector<AxisDescriptor> GetAxisDescriptors() noexcept {
  try {
    return ThisDriver().GetAxisDescriptors();
  } catch (...) {
    return {};
  }
}

void SetChannelConfig(DeviceId id, std::int32_t index, const ChannelConfig* config) noexcept {
  WithDeviceInSection(id, [&](EmuDevice& d) { orv::SetChannelConfig(d, index, config); });
}

ChannelConfig GetChannelConfig(DeviceId id, std::int32_t index) noexcept {
  ChannelConfig zero;
  std::memset(&zero, 0, sizeof zero);
  return WithDeviceInSection(id, zero,
                             [&](EmuDevice& d) { return orv::GetChannelConfig(d, index); });
}

}  // namespace

void FillTable(DriverFunctionTable* table) {
  if (table == nullptr) return;
  std::memset(static_cast<void*>(table), 0, sizeof *table);
  table->Init = &Init;
  table->Shutdown = &Shutdown;
  table->GetDriverInfo = &GetDriverInfo;
  table->AddDevice = &AddDevice;
  table->ScanDevices = &ScanDevices;
  table->RestoreDevice = &RestoreDevice;
  table->SaveDevice = &SaveDevice;
  table->RemoveDevice = &RemoveDevice;
  table->SetUpdating = &SetUpdating;
  table->IsUpdating = &IsUpdating;
  table->SetValue = &SetValue;
  table->GetValue = &GetValue;
  table->HasNoValidValues = &HasNoValidValues;
  table->ShowSettings = &ShowSettings;
  table->CheckDevice = &CheckDevice;
  table->SetRecording = &SetRecording;
  table->IsRecording = &IsRecording;
  table->HasHistory = &HasHistory;
  table->ClearHistory = &ClearHistory;
  table->GetHistoryDuration = &GetHistoryDuration;
  table->GetSampleAt = SampleQueryFor(ThisDriver().model().valueCount);
  table->ExportHistory = &ExportHistory;
  table->GetChannelDescriptors = &GetChannelDescriptors;
  table->GetAxisDescriptors = &GetAxisDescriptors;
  table->SetChannelConfig = &SetChannelConfig;
  table->GetChannelConfig = &GetChannelConfig;
}

}  // namespace orv
