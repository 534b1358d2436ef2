#include "framework/io/image.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>

#include "framework/core/lock.h"
#include "framework/core/values.h"
#include "framework/devices/driver.h"

namespace orv {

void WriteInt32(ByteArray& a, std::int32_t v) {
  const std::uint32_t u = static_cast<std::uint32_t>(v);
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8),
                                 static_cast<std::uint8_t>(u >> 16),
                                 static_cast<std::uint8_t>(u >> 24)};
  a.insert(a.end(), bytes, bytes + 4);
}

void PutInt32At(ByteArray& a, std::size_t pos, std::int32_t v) {
  if (pos > a.size() || a.size() - pos < 4) return;
  const std::uint32_t u = static_cast<std::uint32_t>(v);
  for (int i = 0; i < 4; ++i) a[pos + i] = static_cast<std::uint8_t>(u >> (8 * i));
}

std::int32_t WriteString(ByteArray& a, const std::string& s) {
  WriteInt32(a, static_cast<std::int32_t>(s.size()));
  a.insert(a.end(), s.begin(), s.end());
  return static_cast<std::int32_t>(4 + s.size());
}

namespace {

static_assert(offsetof(Sample, values) == 8, "a sample's values follow its timestamp");

// The records of a snapshot's samples, appended to image (which has room):
// a kept sample is its own record on little-endian machines, so each block's
// run is one copy.
void AppendRecords(ByteArray& image, const SampleSnapshot& snapshot, int n) {
  const std::size_t entry = SampleRecordSize(static_cast<std::size_t>(n));
  snapshot.ForEachRun([&](const std::uint8_t* records, std::size_t count) {
    if constexpr (kLittleEndian) {
      image.insert(image.end(), records, records + count * entry);
    } else {
      const std::size_t at = image.size();
      image.resize(at + count * entry);
      for (std::size_t k = 0; k < count; ++k) {
        NativeToRecord(records + k * entry, n, image.data() + at + k * entry);
      }
    }
  });
}

// Fills a new device's store from count records, a block at a time.
void AppendDecoded(SampleStore& samples, const std::uint8_t* records, std::size_t count, int n) {
  const std::size_t entry = SampleRecordSize(static_cast<std::size_t>(n));
  while (count > 0) {
    std::size_t free = 0;
    std::uint8_t* p = samples.WritableSlots(free);
    const std::size_t k = std::min(free, count);
    if constexpr (kLittleEndian) {
      std::memcpy(p, records, k * entry);
    } else {
      for (std::size_t i = 0; i < k; ++i) RecordToNative(records + i * entry, n, p + i * entry);
    }
    samples.Publish(k);
    records += k * entry;
    count -= k;
  }
}

}  // namespace

void SaveDevice(Driver& driver, EmuDevice& device, ByteArray& image) {
  const ModelDescription& model = driver.model();
  const int n = model.valueCount;
  DriverInfo info;
  driver.GetDriverInfo(info);
  try {
    ByteArray().swap(image);  // empty it and release its storage
    WriteInt32(image, 0);     // imageLength, patched at the end
    WriteString(image, info.fileName);
    WriteInt32(image, info.versionMajor);
    WriteInt32(image, info.versionMinor);
    WriteInt32(image, device.commSetting1);
    WriteInt32(image, device.commSetting2);
    WriteInt32(image, device.interval.load());
    ChannelConfig configs[kMaxValues];
    std::string name1, name2;
    {
      LockGuard lock(device.settingsMutex);
      for (int i = 0; i < n; ++i) configs[i] = device.channelConfigs[i];
      if (model.channelNames) {
        name1 = device.channelName1;
        name2 = device.channelName2;
      }
    }
    if (model.channelNames) {
      WriteString(image, name1);
      WriteString(image, name2);
    }
    for (int i = 0; i < n; ++i) {
      WriteInt32(image, static_cast<std::int32_t>(FloatBits(configs[i].red)));
      WriteInt32(image, static_cast<std::int32_t>(FloatBits(configs[i].green)));
      WriteInt32(image, static_cast<std::int32_t>(FloatBits(configs[i].blue)));
      WriteInt32(image, static_cast<std::int32_t>(configs[i].shown));
    }
    // The history as it stands at this instant; the lock is held only to
    // take the snapshot, so the update thread and the host's other calls go
    // on while the samples are written.
    SampleSnapshot snapshot;
    {
      LockGuard lock(device.history.historyMutex);
      snapshot = device.history.samples.Snapshot();
    }
    const std::size_t entry = SampleRecordSize(static_cast<std::size_t>(n));
    if (snapshot.size() > (std::numeric_limits<std::size_t>::max() - image.size() - 4) / entry) {
      throw std::bad_alloc();
    }
    image.reserve(image.size() + 4 + snapshot.size() * entry);
    WriteInt32(image, static_cast<std::int32_t>(snapshot.size()));
    AppendRecords(image, snapshot, n);
    PutInt32At(image, 0, static_cast<std::int32_t>(static_cast<std::uint32_t>(image.size())));
  } catch (const std::bad_alloc&) {
    ByteArray().swap(image);
  }
}

namespace {

DeviceId Refuse(Driver& driver) {
  driver.runtime().ShowMessageBox(kIncompatibleImageText, "Failed", kMbTaskModal | kMbIconError);
  return 0;
}

DeviceId RestoreFrom(Driver& driver, const ByteArray& image, std::int32_t offset) {
  const ModelDescription& model = driver.model();
  const int n = model.valueCount;
  if (offset < 0) return Refuse(driver);
  SavedImage saved;
  std::string detail;  // the message box says only that the format does not fit
  if (!DecodeImage(image, static_cast<std::size_t>(offset), model, saved, detail)) {
    return Refuse(driver);
  }

  std::shared_ptr<EmuDevice> device = driver.NewDevice();
  if (device == nullptr) return 0;
  device->commSetting1 = saved.commSetting1;
  device->commSetting2 = saved.commSetting2;
  device->interval.store(saved.interval);
  if (model.channelNames) {
    device->channelName1.swap(saved.channelName1);
    device->channelName2.swap(saved.channelName2);
  }
  for (int i = 0; i < n; ++i) device->channelConfigs[i] = saved.configs[i];
  {
    LockGuard lock(device->history.historyMutex);
    AppendDecoded(device->history.samples, saved.records, saved.sampleCount, n);
  }
  return driver.Register(std::move(device));
}

}  // namespace

// Out of memory (in a 32-bit host: of address space), restoring fails
// without a message: result 0, nothing registered, no identifier used. The
// half-read record goes with its pointer.
DeviceId RestoreDevice(Driver& driver, const ByteArray& image, std::int32_t offset) {
  try {
    return RestoreFrom(driver, image, offset);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

}  // namespace orv
