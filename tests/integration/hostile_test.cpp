// Arguments the host should never pass: the table must neither crash nor
// touch memory it does not own, and must leave the real devices alone.
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "tests/integration/plugin_fixture.h"

namespace orv::it {
namespace {

constexpr double kDoubleInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kT0 = 133500000000000000;

ByteArray InvalidRecord(int n) {
  return SampleRecord({0, std::vector<std::uint32_t>(n, kInvalidBits)});
}

TEST_P(ReadyPlugin, UnknownIdentifiersAnswerNothingAndChangeNothing) {
  const int n = GetParam().n;
  const DeviceId real = plugin_->Add(5, 6);
  const DeviceId removed = plugin_->Add();
  api().RemoveDevice(removed);
  const std::string path = TempPath("unknown_id.txt");
  const ChannelConfig config{1, {2, 3, 4}, 0.5f, 0.5f, 0.5f};
  for (DeviceId id : {0, -1, 999, INT_MIN, removed}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(Bits(api().GetValue(id, 0)), kInvalidBits);
    EXPECT_TRUE(api().HasNoValidValues(id));
    EXPECT_FALSE(api().IsUpdating(id));
    EXPECT_FALSE(api().IsRecording(id));
    EXPECT_FALSE(api().HasHistory(id));
    EXPECT_EQ(DoubleBits(api().GetHistoryDuration(id)), DoubleBits(0.0));
    ByteArray record(5, 0xEE);
    api().GetSampleAt(id, 1.0, record);
    EXPECT_EQ(record, InvalidRecord(n));
    EXPECT_EQ(ConfigBytes(api().GetChannelConfig(id, 0)), ByteArray(16, 0));
    // The static plug-ins describe their channels whatever the id.
    EXPECT_EQ(api().GetChannelDescriptors(id).size(),
              GetParam().channelNames() ? 0u : static_cast<std::size_t>(n));
    ByteArray image{1, 2, 3};
    api().SaveDevice(id, image);
    EXPECT_TRUE(image.empty() || image == ByteArray({1, 2, 3}));

    api().SetUpdating(id, true);
    api().SetUpdating(id, false);
    api().SetValue(id, 1, 3.0f);
    api().SetRecording(id, true);
    api().ClearHistory(id);
    api().SetChannelConfig(id, 0, &config);
    api().ExportHistory(id, path, ';', '.');
    EXPECT_FALSE(FileExists(path));
    api().ShowSettings(id);
    api().RemoveDevice(id);
  }
  EXPECT_TRUE(LogLines().empty()) << "no thread was started";
  EXPECT_TRUE(TakeMessageBoxes().empty());
  EXPECT_EQ(dialogs_->SettingsCalls(GetParam()), 0);
  EXPECT_TRUE(api().HasNoValidValues(real));
  EXPECT_FALSE(api().IsRecording(real));
  EXPECT_EQ(plugin_->Save(real).commSetting1, 5);
  EXPECT_EQ(plugin_->Add(), 3);
}

TEST_P(ReadyPlugin, IndicesOutsideTheValuesChangeNothing) {
  const DeviceId id = plugin_->Add();
  const ByteArray defaults = ConfigBytes(api().GetChannelConfig(id, 0));
  const ChannelConfig config{1, {2, 3, 4}, 0.5f, 0.5f, 0.5f};
  for (std::int32_t index : {-1, GetParam().n, INT_MAX, INT_MIN}) {
    SCOPED_TRACE(index);
    api().SetValue(id, index, 1.0f);
    EXPECT_EQ(Bits(api().GetValue(id, index)), kInvalidBits);
    api().SetChannelConfig(id, index, &config);
    api().GetChannelConfig(id, index);
  }
  api().SetChannelConfig(id, 0, nullptr);
  EXPECT_TRUE(api().HasNoValidValues(id));
  EXPECT_EQ(ConfigBytes(api().GetChannelConfig(id, 0)), defaults);
}

TEST_P(ReadyPlugin, ExtremeTimeOffsetsSelectAnEndOfTheHistory) {
  const int n = GetParam().n;
  DeviceImageData image = plugin_->Save(plugin_->Add());
  for (std::uint64_t s = 0; s < 3; ++s) {
    image.samples.push_back({kT0 + s * 10000000, std::vector<std::uint32_t>(n, 0x3F800000 + s)});
  }
  const DeviceId id = plugin_->Restore(EncodeImage(image));
  const DeviceId empty = plugin_->Add();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    double offset;
    int sample;  // -1: any of them
  } cases[] = {{kDoubleInf, 2},
               {1e300, 2},
               {std::numeric_limits<double>::max(), 2},
               {9.3e11, 2},  // beyond the 64-bit range in 100 ns units
               {-kDoubleInf, 0},
               {-1e300, 0},
               {-std::numeric_limits<double>::max(), 0},
               {std::numeric_limits<double>::denorm_min(), 0},
               {nan, -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    ByteArray record;
    api().GetSampleAt(id, c.offset, record);
    if (c.sample >= 0) {
      EXPECT_EQ(record, SampleRecord(image.samples[c.sample]));
    } else {
      EXPECT_TRUE(record == SampleRecord(image.samples[0]) ||
                  record == SampleRecord(image.samples[1]) ||
                  record == SampleRecord(image.samples[2]));
    }
    api().GetSampleAt(empty, c.offset, record);
    EXPECT_EQ(record, InvalidRecord(n));
  }
}

TEST_P(ReadyPlugin, MalformedImagesAndPlacesAreRefused) {
  DeviceImageData data = plugin_->Save(plugin_->Add());
  data.samples.push_back({kT0, std::vector<std::uint32_t>(GetParam().n, 0)});
  data.samples.push_back({kT0 + 1, std::vector<std::uint32_t>(GetParam().n, 0)});
  const ByteArray image = EncodeImage(data);
  const auto size = static_cast<std::int32_t>(image.size());
  for (std::int32_t offset : {-1, -4, INT_MIN, size, size + 1, INT_MAX}) {
    EXPECT_EQ(plugin_->Restore(image, offset), 0) << "offset " << offset;
  }
  for (std::int32_t offset : {0, 1, -1}) EXPECT_EQ(plugin_->Restore({}, offset), 0);
  for (std::size_t length = 0; length < image.size(); ++length) {
    EXPECT_EQ(plugin_->Restore(ByteArray(image.begin(), image.begin() + length)), 0) << length;
  }
  // Lengths and counts that point past the end, or are negative.
  auto patched = [&](std::size_t pos, std::uint32_t v) {
    ByteArray bytes = image;
    for (int i = 0; i < 4; ++i) bytes.at(pos + i) = static_cast<std::uint8_t>(v >> (8 * i));
    return bytes;
  };
  const std::size_t countPos = image.size() - 4 - 2 * (8 + 4 * GetParam().n);
  std::vector<ByteArray> forged = {patched(4, 0xFFFFFFFF), patched(4, 0x80000000),
                                   patched(4, 0x7FFFFFF0), patched(countPos, 0xFFFFFFFF),
                                   patched(countPos, 3),   patched(countPos, 0x80000000)};
  if (GetParam().channelNames()) {
    const std::size_t name1Pos = 8 + data.fileName.size() + 20;
    forged.push_back(patched(name1Pos, 0xFFFFFFFF));
    forged.push_back(patched(name1Pos, 0x7FFFFFFF));
  }
  for (const ByteArray& bytes : forged) EXPECT_EQ(plugin_->Restore(bytes), 0);
  TakeMessageBoxes();
  EXPECT_EQ(plugin_->Restore(image), 2) << "the refusals used no identifier";
}

TEST_P(ReadyPlugin, StoppingADeviceThatNeverRanReturnsAtOnce) {
  const DeviceId id = plugin_->Add();
  const auto start = std::chrono::steady_clock::now();
  api().SetUpdating(id, false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_FALSE(api().IsUpdating(id));
  EXPECT_TRUE(LogLines().empty());
}

}  // namespace
}  // namespace orv::it
