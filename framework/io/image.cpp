#include "framework/io/image.h"

#include <algorithm>
#include <charconv>
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

void PutInt32(ImageSink& sink, std::int32_t v) {
  const std::uint32_t u = static_cast<std::uint32_t>(v);
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8),
                                 static_cast<std::uint8_t>(u >> 16),
                                 static_cast<std::uint8_t>(u >> 24)};
  sink.Append(bytes, 4);
}

void PutString(ImageSink& sink, const std::string& s) {
  PutInt32(sink, static_cast<std::int32_t>(s.size()));
  sink.Append(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// The records of a snapshot's samples, appended to sink (which has room): a
// kept sample is its own record on little-endian machines, so each block's
// run is one copy.
void AppendRecords(ImageSink& sink, const SampleSnapshot& snapshot, int n) {
  const std::size_t entry = SampleRecordSize(static_cast<std::size_t>(n));
  snapshot.ForEachRun([&](const std::uint8_t* records, std::size_t count) {
    if constexpr (kLittleEndian) {
      sink.Append(records, count * entry);
    } else {
      constexpr std::size_t kChunk = 64;
      std::uint8_t converted[kChunk * SampleRecordSize(kMaxValues)];
      for (std::size_t k = 0; k < count; k += kChunk) {
        const std::size_t m = std::min(kChunk, count - k);
        for (std::size_t i = 0; i < m; ++i) {
          NativeToRecord(records + (k + i) * entry, n, converted + i * entry);
        }
        sink.Append(converted, m * entry);
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

// Writes the image, or returns why it cannot be made before anything is
// allocated; bytes gets its size once that is known. The only allocation is
// the sink's room for the whole image, which may throw std::bad_alloc.
SaveFailure WriteImage(Driver& driver, EmuDevice& device, ImageSink& sink, std::uint64_t& bytes) {
  const ModelDescription& model = driver.model();
  const int n = model.valueCount;
  const std::size_t entry = SampleRecordSize(static_cast<std::size_t>(n));
  // The host's old bytes go first, outside any lock: freeing a large image
  // takes a while, and two are never held at once.
  sink.Discard();
  // The history as it stands at this instant; the lock is held only to take
  // the snapshot, so the update thread and the host's other calls go on
  // while the samples are written.
  SampleSnapshot snapshot;
  {
    LockGuard lock(device.history.historyMutex);
    snapshot = device.history.samples.Snapshot();
  }
  const DriverInfo& info = driver.info();
  {
    // The settings are written as they are, under their lock, so that the
    // size reckoned here is the size written; the room for the image is
    // reserved, not yet touched, so the lock is held only briefly.
    LockGuard lock(device.settingsMutex);
    const std::uint64_t names =
        model.channelNames ? 8 + device.channelName1.size() + device.channelName2.size() : 0;
    const std::uint64_t head = 4 + 4 + info.fileName.size() + 5 * 4 + names + 16 * n + 4;
    bytes = head + static_cast<std::uint64_t>(snapshot.size()) * entry;
    const std::uint64_t arrayMax = sink.MaxBytes();
    if (bytes > std::min(kMaxImageBytes, arrayMax)) {
      return arrayMax < kMaxImageBytes ? SaveFailure::kArrayLimit : SaveFailure::kLengthField;
    }
    sink.Start(static_cast<std::size_t>(bytes));
    PutInt32(sink, static_cast<std::int32_t>(static_cast<std::uint32_t>(bytes)));
    PutString(sink, info.fileName);
    PutInt32(sink, info.versionMajor);
    PutInt32(sink, info.versionMinor);
    PutInt32(sink, device.commSetting1);
    PutInt32(sink, device.commSetting2);
    PutInt32(sink, device.interval.load());
    if (model.channelNames) {
      PutString(sink, device.channelName1);
      PutString(sink, device.channelName2);
    }
    for (int i = 0; i < n; ++i) {
      const ChannelConfig& config = device.channelConfigs[i];
      PutInt32(sink, static_cast<std::int32_t>(FloatBits(config.red)));
      PutInt32(sink, static_cast<std::int32_t>(FloatBits(config.green)));
      PutInt32(sink, static_cast<std::int32_t>(FloatBits(config.blue)));
      PutInt32(sink, static_cast<std::int32_t>(config.shown));
    }
    PutInt32(sink, static_cast<std::int32_t>(static_cast<std::uint32_t>(snapshot.size())));
  }
  AppendRecords(sink, snapshot, n);
  return SaveFailure::kNone;
}

void LogSaveFailure(EmuDevice& device, SaveFailure failure, std::uint64_t bytes,
                    std::uint64_t limit) {
  LogFn log = device.environment.log.load();
  if (log == nullptr) return;
  // The sizes as text: they may not fit the host's unsigned.
  char size[24] = {};
  char most[24] = {};
  std::to_chars(size, size + sizeof size - 1, bytes);
  std::to_chars(most, most + sizeof most - 1, limit);
  const int id = static_cast<int>(device.id);
  switch (failure) {
    case SaveFailure::kLengthField:
      log("Device %d: not saved: the image would be %s bytes, more than its length field holds "
          "(%s).\n",
          id, size, most);
      break;
    case SaveFailure::kArrayLimit:
      log("Device %d: not saved: the image would be %s bytes, more than this process can hold "
          "in one array (%s).\n",
          id, size, most);
      break;
    case SaveFailure::kMemory:
      log("Device %d: not saved: no memory for an image of %s bytes.\n", id, size);
      break;
    case SaveFailure::kNone:
      break;
  }
}

// The plug-in's own array.
class OwnArraySink final : public ImageSink {
 public:
  explicit OwnArraySink(ByteArray& image) : image_(image) {}
  std::uint64_t MaxBytes() const override { return image_.max_size(); }
  void Start(std::size_t bytes) override {
    ByteArray().swap(image_);
    image_.reserve(bytes);
  }
  void Append(const std::uint8_t* bytes, std::size_t count) override {
    image_.insert(image_.end(), bytes, bytes + count);
  }
  void Discard() noexcept override { ByteArray().swap(image_); }

 private:
  ByteArray& image_;
};

}  // namespace

SaveFailure SaveImage(Driver& driver, EmuDevice& device, ImageSink& sink) noexcept {
  std::uint64_t bytes = 0;
  SaveFailure failure = SaveFailure::kNone;
  try {
    failure = WriteImage(driver, device, sink, bytes);
  } catch (...) {
    // The room for the image is the one allocation a save makes.
    failure = SaveFailure::kMemory;
  }
  if (failure == SaveFailure::kNone) return failure;
  sink.Discard();
  try {
    const std::uint64_t limit =
        failure == SaveFailure::kLengthField ? kMaxImageBytes : sink.MaxBytes();
    LogSaveFailure(device, failure, bytes, limit);
  } catch (...) {
    // A host's log function that throws (out of memory itself) loses the line.
  }
  return failure;
}

SaveFailure SaveDevice(Driver& driver, EmuDevice& device, ByteArray& image) noexcept {
  OwnArraySink sink(image);
  return SaveImage(driver, device, sink);
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
