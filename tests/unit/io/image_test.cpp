// The saved device image: its bytes, the round trip, and the refusals.
#include "framework/io/image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "framework/core/lock.h"
#include "framework/core/values.h"
#include "framework/devices/driver.h"
#include "framework/io/export.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"
#include "models/twotemp/twotemp_model.h"
#include "tests/support/virtual_runtime.h"

namespace orv {
namespace {

struct Layout {
  const ModelDescription& model;
  int n;
  std::int32_t minor;
  bool names;
  std::vector<std::array<float, 4>> defaults;  // red, green, blue, shown
};

const Layout kGasctl{
    co2::kModel, 4, 2, false, {{0, 0, 1, 1}, {0.63f, 0.63f, 1, 0}, {0, 0, 0.78f, 0}, {0, 0, 0, 0}}};
const Layout kTwotemp{twotemp::kModel,
                      6,
                      1,
                      true,
                      {{1, 0, 0, 1},
                       {1, 0.63f, 0.63f, 0},
                       {0.78f, 0, 0, 0},
                       {0, 1, 0, 1},
                       {0.63f, 1, 0.63f, 0},
                       {0, 0.78f, 0, 0}}};
const Layout kClimate{climate::kModel,
                      6,
                      1,
                      false,
                      {{0, 0, 1, 1},
                       {0.63f, 0.63f, 1, 0},
                       {0, 0, 0.78f, 0},
                       {0.5f, 0.5f, 0.5f, 0},
                       {0, 0, 0, 0},
                       {1, 0.5f, 0, 0}}};
const Layout* const kLayouts[] = {&kGasctl, &kTwotemp, &kClimate};

void Put32(ByteArray& a, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) a.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void PutString(ByteArray& a, const std::string& s) {
  Put32(a, static_cast<std::uint32_t>(s.size()));
  a.insert(a.end(), s.begin(), s.end());
}

constexpr std::int32_t kOwnMinor = std::numeric_limits<std::int32_t>::min();

// What an image says, field by field; Build lays it out by hand.
struct ImageParts {
  std::string fileName;
  std::int32_t major = 1;
  std::int32_t minor = kOwnMinor;
  std::int32_t comm1 = 0, comm2 = 0, interval = 10;
  std::string name1 = "Channel 1", name2 = "Channel 2";
  std::vector<Sample> samples;
};

struct Built {
  ByteArray bytes;
  std::size_t name1At = 0;  // the first channel name's length field
  std::size_t countAt = 0;  // the sample count field
};

Built Build(const Layout& layout, const ImageParts& p) {
  Built b;
  ByteArray& a = b.bytes;
  Put32(a, 0);
  PutString(a, p.fileName);
  for (std::int32_t v :
       {p.major, p.minor != kOwnMinor ? p.minor : layout.minor, p.comm1, p.comm2, p.interval}) {
    Put32(a, static_cast<std::uint32_t>(v));
  }
  if (layout.names) {
    b.name1At = a.size();
    PutString(a, p.name1);
    PutString(a, p.name2);
  }
  for (const auto& c : layout.defaults) {
    for (float colour : {c[0], c[1], c[2]}) Put32(a, FloatBits(colour));
    Put32(a, static_cast<std::uint32_t>(c[3]));
  }
  b.countAt = a.size();
  Put32(a, static_cast<std::uint32_t>(p.samples.size()));
  for (const Sample& s : p.samples) {
    Put32(a, static_cast<std::uint32_t>(s.timestamp));
    Put32(a, static_cast<std::uint32_t>(s.timestamp >> 32));
    for (int i = 0; i < layout.n; ++i) Put32(a, FloatBits(s.values[i]));
  }
  const std::uint32_t size = static_cast<std::uint32_t>(a.size());
  for (int i = 0; i < 4; ++i) a[i] = static_cast<std::uint8_t>(size >> (8 * i));
  return b;
}

void Patch32(ByteArray& a, std::size_t pos, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) a[pos + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

Sample MakeSample(std::uint64_t timestamp, std::vector<std::uint32_t> bits) {
  Sample s;
  s.timestamp = timestamp;
  for (std::size_t i = 0; i < bits.size(); ++i) s.values[i] = FloatFromBits(bits[i]);
  return s;
}

std::vector<Sample> SomeSamples(int count) {
  std::vector<Sample> samples;
  for (int j = 0; j < count; ++j) {
    samples.push_back(MakeSample(
        0xFEDCBA9876543210ull + 110000000ull * j,
        {0x7FFFFFFFu, 0xFFC01234u, 0x80000000u, 0x40A00000u + j, 0x7F800000u, 0xC2140000u}));
  }
  return samples;
}

ByteArray Save(Driver& driver, DeviceId id) {
  ByteArray image = {1, 2, 3};  // whatever was there is replaced
  SaveDevice(driver, *driver.FindDevice(id), image);
  return image;
}

TEST(DeviceImage, SavedImageIsLaidOutByteByByte) {
  ASSERT_EQ(FloatBits(0.63f), 0x3F2147AEu);
  ASSERT_EQ(FloatBits(0.78f), 0x3F47AE14u);
  const struct {
    const Layout& layout;
    int samples;
    std::size_t size;
  } cases[] = {{kGasctl, 0, 96},
               {kGasctl, 2, 96 + 48},
               {kTwotemp, 2, 136 + 9 + 9 + 64},
               {kTwotemp, 0, 154},
               {kClimate, 0, 128},
               {kClimate, 3, 128 + 96},
               // Past the blocks the samples are written in, and the slack reserved.
               {kGasctl, 600, 96 + 24 * 600},
               {kTwotemp, 257, 154 + 32 * 257},
               {kClimate, 513, 128 + 32 * 513}};
  for (const auto& c : cases) {
    testing::VirtualRuntime runtime;
    Driver driver(c.layout.model, runtime);
    std::shared_ptr<EmuDevice> device = driver.NewDevice();
    device->commSetting1 = 0x11223344;
    device->commSetting2 = -2;
    device->history.samples = SomeSamples(c.samples);
    const DeviceId id = driver.Register(device);
    ImageParts parts;
    parts.comm1 = 0x11223344;
    parts.comm2 = -2;
    parts.samples = SomeSamples(c.samples);
    const ByteArray image = Save(driver, id);
    EXPECT_EQ(image, Build(c.layout, parts).bytes) << c.layout.model.shortName;
    ASSERT_EQ(image.size(), c.size);
    EXPECT_EQ(image[0] | image[1] << 8, static_cast<int>(c.size));
    EXPECT_EQ(device->history.samples.size(), static_cast<std::size_t>(c.samples));
  }
}

// The host's log for the save tests: every line, in order.
std::vector<std::string> g_saveLog;
int CaptureSaveLog(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  g_saveLog.emplace_back(line);
  return 0;
}

// A host's array that holds at most maxBytes, and whose room can be refused.
class TestSink final : public ImageSink {
 public:
  TestSink(std::uint64_t maxBytes, bool noMemory) : maxBytes_(maxBytes), noMemory_(noMemory) {}
  std::uint64_t MaxBytes() const override { return maxBytes_; }
  void Start(std::size_t bytes) override {
    if (noMemory_) throw std::bad_alloc();
    this->bytes.clear();
    this->bytes.reserve(bytes);
  }
  void Append(const std::uint8_t* data, std::size_t count) override {
    bytes.insert(bytes.end(), data, data + count);
  }
  void Discard() noexcept override { ByteArray().swap(bytes); }

  ByteArray bytes = {9, 9, 9};  // what the host's array held before

 private:
  std::uint64_t maxBytes_;
  bool noMemory_;
};

// Every block of every history one and the same block of memory, so that a
// history longer than the largest image costs one block.
alignas(64) std::uint8_t g_sharedBlock[std::size_t{1} << 20];
void* ReserveShared(std::size_t bytes) {
  return bytes <= sizeof g_sharedBlock ? g_sharedBlock : nullptr;
}
bool CommitShared(void*, std::size_t) { return true; }
void ReleaseShared(void*, std::size_t) {}
constexpr BlockMemory kSharedBlock{&ReserveShared, &CommitShared, &ReleaseShared};

void PublishSamples(SampleHistory& history, std::uint64_t count) {
  LockGuard lock(history.historyMutex);
  while (history.samples.size() < count) {
    std::size_t free = 0;
    history.samples.WritableSlots(free);
    const std::uint64_t missing = count - history.samples.size();
    history.samples.Publish(static_cast<std::size_t>(std::min<std::uint64_t>(missing, free)));
  }
}

// A save that cannot be made whole leaves the host's array empty and logs one
// line naming the device, the image's size and why; the history stays.
TEST(DeviceImage, ASaveThatCannotBeMadeWholeLeavesNothingAndSaysWhy) {
  constexpr std::uint64_t kAny = std::numeric_limits<std::uint64_t>::max();
  // gasctl_sim: 96 bytes before the samples, 24 per sample.
  constexpr std::uint64_t kPastLengthField = 0xFFFFFFFFu / 24 + 1;
  const std::string pastBytes = std::to_string(96 + kPastLengthField * 24);
  const struct {
    const char* what;
    std::uint64_t samples;
    std::uint64_t maxBytes;
    bool noMemory;
    SaveFailure failure;
    std::string line;
  } cases[] = {
      {"as long as the array holds", 2, 144, false, SaveFailure::kNone, ""},
      {"a byte longer than the array holds", 2, 143, false, SaveFailure::kArrayLimit,
       "Device 1: not saved: the image would be 144 bytes, more than this process can hold in "
       "one array (143).\n"},
      {"no memory for it", 2, kAny, true, SaveFailure::kMemory,
       "Device 1: not saved: no memory for an image of 144 bytes.\n"},
      {"longer than its length field says", kPastLengthField, kAny, false,
       SaveFailure::kLengthField,
       "Device 1: not saved: the image would be " + pastBytes +
           " bytes, more than its length field holds (4294967295).\n"},
      {"longer than both", kPastLengthField, 1000, false, SaveFailure::kArrayLimit,
       "Device 1: not saved: the image would be " + pastBytes +
           " bytes, more than this process can hold in one array (1000).\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const BlockMemory* previous = SetBlockMemory(&kSharedBlock);
    testing::VirtualRuntime runtime;
    Driver driver(co2::kModel, runtime);
    driver.environment().log.store(&CaptureSaveLog);
    const DeviceId id = driver.Register(driver.NewDevice());
    std::shared_ptr<EmuDevice> device = driver.FindDevice(id);
    PublishSamples(device->history, c.samples);
    g_saveLog.clear();
    TestSink sink(c.maxBytes, c.noMemory);
    EXPECT_EQ(SaveImage(driver, *device, sink), c.failure);
    if (c.failure == SaveFailure::kNone) {
      EXPECT_EQ(sink.bytes.size(), 144u);
      EXPECT_TRUE(g_saveLog.empty());
    } else {
      EXPECT_TRUE(sink.bytes.empty());
      EXPECT_EQ(sink.bytes.capacity(), 0u);
      EXPECT_EQ(g_saveLog, std::vector<std::string>{c.line});
    }
    EXPECT_EQ(SampleCount(device->history), c.samples);
    driver.RemoveDevice(id);
    SetBlockMemory(previous);
  }
}

TEST(DeviceImage, GasctlImageWithAFourteenByteNameRestores) {
  ImageParts parts;
  parts.fileName = "gasctl_sim.dll";
  parts.comm1 = 3;
  parts.comm2 = 9600;
  parts.interval = 25;
  const ByteArray image = Build(kGasctl, parts).bytes;
  ASSERT_EQ(image.size(), 110u);
  const ByteArray head = {110, 0,   0,   0,   14,  0,   0,   0, 'g', 'a', 's', 'c', 't', 'l', '_',
                          's', 'i', 'm', '.', 'd', 'l', 'l', 1, 0,   0,   0,   2,   0,   0,   0};
  EXPECT_TRUE(std::equal(head.begin(), head.end(), image.begin()));

  testing::VirtualRuntime runtime;
  Driver driver(co2::kModel, runtime);
  const DeviceId id = RestoreDevice(driver, image, 0);
  ASSERT_EQ(id, 1);
  // Saved again before Init, the name is empty.
  parts.fileName.clear();
  EXPECT_EQ(Save(driver, id), Build(kGasctl, parts).bytes);
  EXPECT_TRUE(runtime.messages().empty());
}

TEST(DeviceImage, RoundTripKeepsEveryFieldBitForBit) {
  // 700 samples also cross the blocks the samples are read in.
  for (const int count : {3, 700})
    for (const Layout* layout : kLayouts) {
      testing::VirtualRuntime runtime;
      Driver driver(layout->model, runtime);
      std::shared_ptr<EmuDevice> original = driver.NewDevice();
      original->commSetting1 = std::numeric_limits<std::int32_t>::min();
      original->commSetting2 = -1;
      original->interval = 0x7FFFFFFF;
      original->channelName1 = "Left \xB0 side with a long name";
      original->channelName2 = "";
      for (int i = 0; i < layout->n; ++i) {
        ChannelConfig& c = original->channelConfigs[i];
        c.shown = static_cast<std::uint8_t>(i == 0 ? 7 : i == 1 ? 200 : 0);
        c.pad[0] = 0xAB;
        c.red = FloatFromBits(0xFFC00000u + i);
        c.green = -0.0f;
        c.blue = FloatFromBits(0x7F800000u);
      }
      original->history.samples = SomeSamples(count);
      const DeviceId originalId = driver.Register(original);
      const ByteArray image = Save(driver, originalId);
      // The flag is widened without sign: 200 is saved as 200.
      const std::size_t names = layout->names ? 8 + original->channelName1.size() : 0;
      EXPECT_EQ(image[28 + names + 16 + 12], 200);
      EXPECT_EQ(image[28 + names + 16 + 13], 0);

      const DeviceId id = RestoreDevice(driver, image, 0);
      ASSERT_EQ(id, originalId + 1) << layout->model.shortName;
      EXPECT_TRUE(runtime.messages().empty());
      std::shared_ptr<EmuDevice> restored = driver.FindDevice(id);
      ASSERT_NE(restored, nullptr);
      EXPECT_EQ(restored->id, id);
      EXPECT_FALSE(restored->updating.load());
      EXPECT_FALSE(restored->recording.load());
      // Only the named-channel model keeps names in its image.
      EXPECT_EQ(restored->channelName1, layout->names ? original->channelName1 : "Channel 1");
      EXPECT_EQ(restored->channelName2, layout->names ? "" : "Channel 2");
      for (int i = 0; i < layout->n; ++i) {
        EXPECT_EQ(restored->channelConfigs[i].shown, i < 2 ? 1 : 0) << i;
        EXPECT_EQ(restored->channelConfigs[i].pad[0], 0) << "padding is not saved";
        EXPECT_EQ(FloatBits(restored->live.values[i]), 0x7FFFFFFFu);
        EXPECT_FALSE(restored->pending[i]);
      }
      ASSERT_EQ(restored->history.samples.size(), static_cast<std::size_t>(count));
      EXPECT_EQ(FloatBits(restored->history.samples.At(2).values[1]), 0xFFC01234u);
      // Settings, colours and samples: with the flags normalised both save alike.
      original->channelConfigs[0].shown = 1;
      original->channelConfigs[1].shown = 1;
      EXPECT_EQ(Save(driver, id), Save(driver, originalId));
    }
}

TEST(DeviceImage, HistoriesAcrossBlockEdgesSaveRestoreAndExportLikeOneArray) {
  // The store keeps samples in blocks; the image and the export read as if
  // they were one array, written the plain way here.
  const std::size_t block = std::size_t{1} << kBlockShift;
  for (const Layout* layout : kLayouts) {
    for (const std::size_t count : {block - 1, block, block + 1, 2 * block + 1}) {
      SCOPED_TRACE(::testing::Message() << layout->model.shortName << ", " << count);
      std::vector<Sample> samples;
      for (std::size_t j = 0; j < count; ++j) {
        Sample s =
            MakeSample(0x01DC000000000000ull + j * 10000000ull + (j % 3) * 10000,
                       {0x40A00000u + static_cast<std::uint32_t>(j), 0x7FFFFFFFu, 0x3F800000u,
                        0x40000000u + static_cast<std::uint32_t>(j % 5), 0x41200000u, 0x3DCCCCCDu});
        for (int i = layout->n; i < kMaxValues; ++i) s.values[i] = 0.0f;
        samples.push_back(s);
      }
      testing::VirtualRuntime runtime;
      Driver driver(layout->model, runtime);
      std::shared_ptr<EmuDevice> device = driver.NewDevice();
      device->history.samples = samples;
      const DeviceId id = driver.Register(device);
      ImageParts parts;
      parts.samples = samples;
      const ByteArray image = Save(driver, id);
      ASSERT_TRUE(image == Build(*layout, parts).bytes);

      const DeviceId restored = RestoreDevice(driver, image, 0);
      ASSERT_NE(restored, 0);
      ASSERT_TRUE(Save(driver, restored) == image);

      const std::string path = ::testing::TempDir() + "orv_block_edges.txt";
      const std::vector<ChannelDescriptor> descriptors = driver.GetChannelDescriptors(restored);
      ExportHistory(runtime, *driver.FindDevice(restored), descriptors, path, '\t', ',');
      std::string expected = HeaderLine(descriptors, '\t'), line;
      for (const Sample& sample : samples) {
        DataLine(line, sample, samples[0].timestamp, layout->n, '\t', ',');
        expected += line;
      }
      std::ifstream file(path);  // text mode, as written
      const std::string text((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
      std::remove(path.c_str());
      ASSERT_TRUE(text == expected);
    }
  }
}

TEST(DeviceImage, SaveWhileRecordingHoldsTheHistoryOfOneMoment) {
  for (const Layout* layout : kLayouts) {
    testing::VirtualRuntime runtime;
    Driver driver(layout->model, runtime);
    std::shared_ptr<EmuDevice> device = driver.NewDevice();
    device->history.samples = SomeSamples(1000);
    const DeviceId id = driver.Register(device);
    const std::vector<Sample> all = SomeSamples(50000);
    std::atomic<bool> recorded{false};
    std::thread recorder([&] {
      for (std::size_t j = 1000; j < all.size(); ++j) AppendSample(device->history, all[j]);
      recorded.store(true);
    });
    // The device's fields are those of an image built from default parts.
    const std::size_t at = Build(*layout, ImageParts{}).countAt;
    do {
      const ByteArray image = Save(driver, id);
      const std::uint32_t count = image[at] | image[at + 1] << 8 | image[at + 2] << 16 |
                                  static_cast<std::uint32_t>(image[at + 3]) << 24;
      ImageParts parts;
      parts.samples.assign(all.begin(), all.begin() + count);
      EXPECT_TRUE(image == Build(*layout, parts).bytes) << layout->model.shortName << " " << count;
    } while (!recorded.load());
    recorder.join();
  }
}

TEST(DeviceImage, ImageInsideALargerArrayOrWithAWrongLengthRestores) {
  for (const Layout* layout : kLayouts) {
    ImageParts parts;
    parts.fileName = "some_other.dll";
    parts.comm1 = 5;
    parts.samples = SomeSamples(2);
    const ByteArray image = Build(*layout, parts).bytes;
    parts.fileName.clear();
    const ByteArray resaved = Build(*layout, parts).bytes;

    ByteArray larger(37 + image.size() + 50, 0x5A);
    std::fill_n(larger.begin(), 37, std::uint8_t{0xEE});
    std::copy(image.begin(), image.end(), larger.begin() + 37);
    testing::VirtualRuntime runtime;
    Driver driver(layout->model, runtime);
    const DeviceId atOffset = RestoreDevice(driver, larger, 37);
    ASSERT_EQ(atOffset, 1);
    EXPECT_EQ(Save(driver, atOffset), resaved);

    for (std::uint32_t length : {0u, 1u, 0xFFFFFFFFu, 12345678u}) {
      ByteArray wrong = image;
      Patch32(wrong, 0, length);
      const DeviceId id = RestoreDevice(driver, wrong, 0);
      ASSERT_NE(id, 0) << length;
      EXPECT_EQ(Save(driver, id), resaved);
    }
    EXPECT_TRUE(runtime.messages().empty());
  }
}

struct Refusal {
  std::string what;
  const Layout* driverLayout;
  ByteArray image;
  std::int32_t offset;
};

std::vector<Refusal> Refusals() {
  std::vector<Refusal> cases;
  ImageParts parts;
  parts.samples = SomeSamples(2);
  for (const Layout* layout : kLayouts) {
    const Built valid = Build(*layout, parts);
    const std::string name = layout->model.shortName;
    for (std::size_t length = 0; length < valid.bytes.size(); ++length) {
      cases.push_back({name + " truncated to " + std::to_string(length), layout,
                       ByteArray(valid.bytes.begin(), valid.bytes.begin() + length), 0});
    }
    for (std::uint32_t nameLength : {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu,
                                     static_cast<std::uint32_t>(valid.bytes.size() - 7)}) {
      ByteArray image = valid.bytes;
      Patch32(image, 4, nameLength);
      cases.push_back({name + " file name length " + std::to_string(nameLength), layout, image, 0});
      if (layout->names) {
        for (std::size_t at : {valid.name1At, valid.name1At + 4 + 9}) {
          image = valid.bytes;
          Patch32(image, at, nameLength);
          cases.push_back(
              {name + " channel name length at " + std::to_string(at), layout, image, 0});
        }
      }
    }
    for (std::uint32_t count : {3u, 0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 0x08000000u}) {
      ByteArray image = valid.bytes;
      Patch32(image, valid.countAt, count);
      cases.push_back({name + " sample count " + std::to_string(count), layout, image, 0});
    }
    for (std::int32_t offset : {-1, std::numeric_limits<std::int32_t>::min(),
                                static_cast<std::int32_t>(valid.bytes.size()),
                                static_cast<std::int32_t>(valid.bytes.size()) + 1,
                                std::numeric_limits<std::int32_t>::max()}) {
      cases.push_back({name + " offset " + std::to_string(offset), layout, valid.bytes, offset});
    }
    const std::array<std::int32_t, 2> versions[] = {{2, layout->minor}, {1, 3}, {0, 0}, {-1, 1}};
    for (const auto& version : versions) {
      ImageParts other = parts;
      other.major = version[0];
      other.minor = version[1];
      cases.push_back(
          {name + " version " + std::to_string(version[0]) + "." + std::to_string(version[1]),
           layout, Build(*layout, other).bytes, 0});
    }
  }
  const ByteArray gasctl = Build(kGasctl, parts).bytes;
  cases.push_back({"gasctl image to climate", &kClimate, gasctl, 0});
  cases.push_back({"gasctl image to twotemp", &kTwotemp, gasctl, 0});
  cases.push_back({"climate image to gasctl", &kGasctl, Build(kClimate, parts).bytes, 0});
  return cases;
}

TEST(DeviceImage, RefusedImagesShowTheMessageAndUseNoIdentifier) {
  for (const Refusal& c : Refusals()) {
    testing::VirtualRuntime runtime;
    Driver driver(c.driverLayout->model, runtime);
    ASSERT_EQ(driver.Register(driver.NewDevice()), 1);
    EXPECT_EQ(RestoreDevice(driver, c.image, c.offset), 0) << c.what;
    const std::vector<testing::RecordedMessage> messages = runtime.messages();
    ASSERT_EQ(messages.size(), 1u) << c.what;
    EXPECT_EQ(messages[0].text,
              "Could not add device. The saved format is not compatible with the loaded driver.");
    EXPECT_EQ(messages[0].caption, "Failed");
    EXPECT_EQ(messages[0].flags, 0x2010u);
    EXPECT_EQ(driver.DeviceCount(), 1u) << c.what;
    EXPECT_EQ(driver.Register(driver.NewDevice()), 2) << c.what;
  }
}

}  // namespace
}  // namespace orv
