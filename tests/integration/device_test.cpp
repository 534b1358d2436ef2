// A device's values, display settings, image, history and export, all through
// the table of the loaded plug-in.
#include <cstdio>
#include <cstring>
#include <limits>

#include "tests/integration/plugin_fixture.h"

namespace orv::it {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr std::uint64_t kSecond = 10000000;        // FILETIME units
constexpr std::uint64_t kT0 = 133500000000000000;  // a day in 2024

struct WriteCase {
  float written;
  std::uint32_t stored;
};

// What SetValue stores, per kind of index.
std::vector<WriteCase> CasesFor(char kind) {
  switch (kind) {
    case 'p':
      return {{12.5f, Bits(12.5f)},
              {-0.0f, 0x80000000},
              {FromBits(0x7FC00001), 0x7FC00001},
              {kInf, 0x7F800000},
              {-3.25f, Bits(-3.25f)}};
    case 's':
      return {{0.5f, Bits(1.0f)}, {-0.0f, 0x00000000}, {FromBits(0x7FC00001), Bits(1.0f)},
              {4.0f, Bits(1.0f)}, {0.0f, 0x00000000},  {-kInf, Bits(1.0f)}};
    case 'l':
      return {{2.5f, Bits(3.0f)},   {4.49f, Bits(4.0f)},       {-0.7f, 0x00000000},
              {-1.7f, Bits(-1.0f)}, {0.49999997f, 0x00000000}, {2.4f, Bits(2.0f)},
              {-0.6f, 0x00000000},  {7.0f, Bits(7.0f)}};
    default:  // not stored: the value stays what it was, here still unknown
      return {{12.5f, kInvalidBits}, {0.0f, kInvalidBits}};
  }
}

TEST_P(ReadyPlugin, SetValueStoresByTheKindOfTheIndex) {
  const DeviceId id = plugin_->Add();
  EXPECT_TRUE(api().HasNoValidValues(id));
  EXPECT_EQ(plugin_->ValueBits(id), std::vector<std::uint32_t>(GetParam().n, kInvalidBits));
  api().SetValue(id, 0, 5.0f);  // index 0 is a measured value in every model
  EXPECT_TRUE(api().HasNoValidValues(id));
  for (int index = 0; index < GetParam().n; ++index) {
    for (const WriteCase& c : CasesFor(GetParam().setKinds[index])) {
      api().SetValue(id, index, c.written);
      EXPECT_EQ(Bits(api().GetValue(id, index)), c.stored)
          << "index " << index << " written " << c.written;
    }
  }
  EXPECT_FALSE(api().HasNoValidValues(id));
}

TEST_P(ReadyPlugin, ChannelConfigsStartAtTheDefaultsAndKeepAllSixteenBytes) {
  const DeviceId id = plugin_->Add();
  for (int i = 0; i < GetParam().n; ++i) {
    const ChannelConfig config = api().GetChannelConfig(id, i);
    const ConfigRow& row = GetParam().defaults[i];
    EXPECT_EQ(config.shown, row.shown) << i;
    EXPECT_EQ(Bits(config.red), Bits(row.red)) << i;
    EXPECT_EQ(Bits(config.green), Bits(row.green)) << i;
    EXPECT_EQ(Bits(config.blue), Bits(row.blue)) << i;
  }
  const int last = GetParam().n - 1;
  const ChannelConfig before = api().GetChannelConfig(id, 0);
  ChannelConfig written{0xC3, {0x11, 0x22, 0x33}, 0.25f, FromBits(0x7FC00005), -1.5f};
  api().SetChannelConfig(id, last, &written);
  EXPECT_EQ(ConfigBytes(api().GetChannelConfig(id, last)), ConfigBytes(written));
  EXPECT_EQ(ConfigBytes(api().GetChannelConfig(id, 0)), ConfigBytes(before));

  // The image keeps colours and the widened flag; a restored flag is 0 or 1.
  const DeviceImageData image = plugin_->Save(id);
  ASSERT_EQ(image.configs.size(), static_cast<std::size_t>(GetParam().n));
  EXPECT_EQ(image.configs[last].red, Bits(0.25f));
  EXPECT_EQ(image.configs[last].green, 0x7FC00005u);
  EXPECT_EQ(image.configs[last].blue, Bits(-1.5f));
  EXPECT_EQ(image.configs[last].shown, 0xC3);
  const DeviceId restored = plugin_->Restore(EncodeImage(image));
  const ChannelConfig back = api().GetChannelConfig(restored, last);
  EXPECT_EQ(back.shown, 1);
  EXPECT_EQ(Bits(back.green), 0x7FC00005u);
}

DeviceImageData ImageOf(const PluginModel& model, const std::vector<std::uint64_t>& offsets) {
  DeviceImageData image;
  image.fileName = "saved elsewhere.bin";
  image.versionMajor = model.versionMajor;
  image.versionMinor = model.versionMinor;
  image.commSetting1 = -4;
  image.commSetting2 = 115200;
  image.interval = 3;
  image.hasNames = model.channelNames();
  image.channelName1 = "Left v1.0";
  image.channelName2 = "R\tx";
  for (int i = 0; i < model.n; ++i) {
    image.configs.push_back({Bits(0.1f * i), Bits(0.5f), kInvalidBits, i % 2 == 0 ? 7 : 0});
  }
  // 36.95, unknown, 0.1, 1e-5, 1234567, -2.5, cut to N values.
  const std::uint32_t values[] = {0x4213CCCD,  kInvalidBits,     Bits(0.1f),
                                  Bits(1e-5f), Bits(1234567.0f), Bits(-2.5f)};
  for (std::uint64_t offset : offsets) {
    image.samples.push_back({kT0 + offset, std::vector<std::uint32_t>(values, values + model.n)});
  }
  return image;
}

TEST_P(ReadyPlugin, RestoredImageSavesBackTheSameBytes) {
  const DeviceImageData image = ImageOf(GetParam(), {0, 11 * kSecond, 225 * kSecond / 10});
  // At offset 37 of a larger array, behind a wrong imageLength.
  ByteArray bytes(37, 0xEE);
  ByteArray encoded = EncodeImage(image);
  encoded[0] ^= 0x5A;
  bytes.insert(bytes.end(), encoded.begin(), encoded.end());
  bytes.insert(bytes.end(), 9, 0xEE);
  const DeviceId id = plugin_->Restore(bytes, 37);
  ASSERT_EQ(id, 1);
  EXPECT_FALSE(api().IsUpdating(id));
  EXPECT_FALSE(api().IsRecording(id));
  EXPECT_TRUE(api().HasNoValidValues(id));
  EXPECT_EQ(plugin_->ValueBits(id), std::vector<std::uint32_t>(GetParam().n, kInvalidBits));

  DeviceImageData expected = image;
  DriverInfo info;
  api().GetDriverInfo(info);
  expected.fileName = info.fileName;
  for (ImageConfig& config : expected.configs) config.shown = config.shown != 0 ? 1 : 0;
  ByteArray saved;
  api().SaveDevice(id, saved);
  EXPECT_EQ(saved, EncodeImage(expected));
}

TEST_P(ReadyPlugin, NewDeviceImageHoldsSettingsAndDefaults) {
  const DeviceId id = plugin_->Add(7, -9);
  DeviceImageData expected;
  expected.fileName = GetParam().fileName();
  expected.versionMajor = GetParam().versionMajor;
  expected.versionMinor = GetParam().versionMinor;
  expected.commSetting1 = 7;
  expected.commSetting2 = -9;
  expected.interval = 10;
  expected.hasNames = GetParam().channelNames();
  expected.channelName1 = "Channel 1";
  expected.channelName2 = "Channel 2";
  for (int i = 0; i < GetParam().n; ++i) {
    const ConfigRow& row = GetParam().defaults[i];
    expected.configs.push_back({Bits(row.red), Bits(row.green), Bits(row.blue), row.shown});
  }
  ByteArray saved{1, 2, 3};  // replaced, not appended to
  api().SaveDevice(id, saved);
  EXPECT_EQ(saved, EncodeImage(expected));
}

// The sizes of the documented examples, with this platform's file name: a
// gasctl_sim device with no samples is 96 + n bytes; a twotemp_sim device
// with the default names and two samples 136 + n + 9 + 9 + 64; climate_sim
// 128 + n + 32 per sample.
TEST_P(ReadyPlugin, ImageLengthFollowsTheLayout) {
  DeviceImageData image = ImageOf(GetParam(), {0, kSecond});
  image.channelName1 = "Channel 1";
  image.channelName2 = "Channel 2";
  const DeviceId restored = plugin_->Restore(EncodeImage(image));
  const DeviceId added = plugin_->Add(1, 2);
  const std::size_t n = GetParam().fileName().size();
  const std::size_t perSample = 8 + 4 * static_cast<std::size_t>(GetParam().n);
  const std::size_t names = GetParam().channelNames() ? 4 + 9 + 4 + 9 : 0;
  const std::size_t empty = 28 + names + 16 * static_cast<std::size_t>(GetParam().n) + 4 + n;
  for (const auto& [id, samples] : {std::pair{added, 0}, std::pair{restored, 2}}) {
    ByteArray saved;
    api().SaveDevice(id, saved);
    const std::size_t size = empty + perSample * static_cast<std::size_t>(samples);
    ASSERT_EQ(saved.size(), size);
    EXPECT_EQ(ByteArray(saved.begin(), saved.begin() + 8),
              (ByteArray{static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8), 0,
                         0, static_cast<std::uint8_t>(n), 0, 0, 0}));
  }
}

TEST_P(ReadyPlugin, HistoryQueriesSelectTheNearestSample) {
  const DeviceImageData image = ImageOf(GetParam(), {0, 11 * kSecond, 225 * kSecond / 10});
  const DeviceId id = plugin_->Restore(EncodeImage(image));
  EXPECT_TRUE(api().HasHistory(id));
  EXPECT_EQ(DoubleBits(api().GetHistoryDuration(id)), DoubleBits(22.5));
  const struct {
    double offset;
    int sample;
  } cases[] = {{0.0, 0},  {5.4, 0},   {5.5, 1},  {-5.0, 0},       {100.0, 2},
               {16.7, 1}, {16.75, 2}, {22.5, 2}, {0.00000005, 0}, {11.0, 1}};
  for (const auto& c : cases) {
    ByteArray record(3, 0xEE);
    api().GetSampleAt(id, c.offset, record);
    EXPECT_EQ(record, SampleRecord(image.samples[c.sample])) << "offset " << c.offset;
  }
  api().ClearHistory(id);
  EXPECT_FALSE(api().HasHistory(id));
  EXPECT_EQ(DoubleBits(api().GetHistoryDuration(id)), DoubleBits(0.0));
  ByteArray record(100, 0xEE);
  api().GetSampleAt(id, 1.0, record);
  EXPECT_EQ(record, SampleRecord({0, std::vector<std::uint32_t>(GetParam().n, kInvalidBits)}));
}

std::string Header(const PluginModel& model, char separator, const std::string& name1,
                   const std::string& name2) {
  const char* stored[] = {"Temp", "Nominal", "Heating"};
  std::string header = "Second";
  for (int i = 0; i < model.n; ++i) {
    std::string name = model.channelNames() ? (i < 3 ? name1 : name2) + " " + stored[i % 3]
                                            : std::string(model.channels[i].name);
    for (char& c : name) c = (c == ' ' || c == '\t') ? '_' : c;
    header += separator + name;
  }
  return header;
}

TEST_P(ReadyPlugin, ExportWritesHeaderAndOneLinePerSample) {
  const DeviceImageData image = ImageOf(GetParam(), {0, 11 * kSecond, 229 * kSecond / 10});
  const DeviceId id = plugin_->Restore(EncodeImage(image));
  const std::string path = TempPath(std::string(GetParam().name) + "_export.txt");
  api().ExportHistory(id, path, ';', ',');
  const std::vector<std::string> lines = ReadLines(path);
  std::remove(path.c_str());
  // 36.95 (float) as 36.95; an unknown value as an empty column.
  const char* texts[] = {"36,95", "", "0,1", "1e-05", "1,23457e+06", "-2,5"};
  std::string values;
  for (int i = 0; i < GetParam().n; ++i) values += std::string(";") + texts[i];
  const std::vector<std::string> expected = {Header(GetParam(), ';', "Left v1.0", "R\tx"),
                                             "0" + values, "11" + values, "22" + values};
  EXPECT_EQ(lines, expected);
  EXPECT_TRUE(TakeMessageBoxes().empty());
}

TEST_P(ReadyPlugin, ExportIntoAMissingFolderShowsAnErrorBox) {
  const DeviceId id = plugin_->Restore(EncodeImage(ImageOf(GetParam(), {0})));
  const std::string path = TempPath("missing_folder") + "/history.txt";
  api().ExportHistory(id, path, ';', '.');
  EXPECT_FALSE(FileExists(path));
  EXPECT_TRUE(OneFailedBox("Could not open file.", kErrorBox));
  EXPECT_TRUE(api().HasHistory(id));
}

TEST_P(ReadyPlugin, ImagesWithOtherVersionNumbersAreRefused) {
  // A real image from a plug-in with other numbers, and three forged ones.
  std::vector<ByteArray> images;
  {
    Plugin foreign(kModels[GetParam().versionMinor == 2 ? kClimate : kGasctl]);
    ASSERT_TRUE(foreign.loaded());
    ASSERT_EQ(foreign.Init(), 1);
    ByteArray bytes;
    foreign.api().SaveDevice(foreign.Add(), bytes);
    images.push_back(bytes);
  }
  const std::pair<std::int32_t, std::int32_t> forged[] = {
      {GetParam().versionMajor + 1, GetParam().versionMinor},
      {GetParam().versionMajor, GetParam().versionMinor + 1},
      {GetParam().versionMajor, GetParam().versionMinor - 1}};
  for (const auto& versions : forged) {
    DeviceImageData image = ImageOf(GetParam(), {0});
    image.versionMajor = versions.first;
    image.versionMinor = versions.second;
    images.push_back(EncodeImage(image));
  }
  for (const ByteArray& image : images) {
    EXPECT_EQ(plugin_->Restore(image), 0);
    EXPECT_TRUE(OneFailedBox(
        "Could not add device. The saved format is not compatible with the loaded driver.",
        kErrorBox));
  }
  EXPECT_EQ(plugin_->Add(), 1);
}

}  // namespace
}  // namespace orv::it
