// Device images move between platforms: an image saved by the Linux plug-in
// restores in the 32-bit Windows DLL of the same model and the other way
// round, and saving it again gives the same bytes but for the driver's file
// name and the image length. Each side runs these tests in turn through
// tools/test_image_exchange.sh, which hands over the images in the folder
// ORV_IMAGE_EXCHANGE_DIR; ctest does not register them.
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/integration/plugin_fixture.h"

namespace orv::it {
namespace {

#ifdef _WIN32
constexpr char kThisSide[] = "win32", kOtherSide[] = "linux", kOtherSuffix[] = ".so";
#else
constexpr char kThisSide[] = "linux", kOtherSide[] = "win32", kOtherSuffix[] = ".dll";
#endif

constexpr std::int32_t kInterval = 2;  // the default is 10
constexpr std::int32_t kComm1 = 3, kComm2 = -4;
constexpr char kName1[] = "Links", kName2[] = "Rechts";
constexpr std::size_t kSamples = 2;

// The colours each side gives value i: none of them a default.
ChannelConfig ChangedConfig(int i) {
  ChannelConfig config{};
  config.red = 0.125f * static_cast<float>(i + 1);
  config.green = 1.0f - 0.0625f * static_cast<float>(i);
  config.blue = 0.3f;
  config.shown = static_cast<std::uint8_t>(i % 2);
  return config;
}

std::string ImagePath(const PluginModel& model, const char* side) {
  const char* dir = std::getenv("ORV_IMAGE_EXCHANGE_DIR");
  return std::string(dir != nullptr ? dir : "") + "/" + model.name + "-" + side + ".img";
}

// The bytes after the image length and the driver's file name.
ByteArray AfterFileName(const ByteArray& image) {
  if (image.size() < 8) return {};
  const std::uint32_t length =
      image[4] | image[5] << 8 | image[6] << 16 | static_cast<std::uint32_t>(image[7]) << 24;
  if (length > image.size() - 8) return {};
  return ByteArray(image.begin() + 8 + length, image.end());
}

class ImageExchange : public ReadyPlugin {
 protected:
  void SetUp() override {
    if (std::getenv("ORV_IMAGE_EXCHANGE_DIR") == nullptr) {
      GTEST_SKIP() << "run by tools/test_image_exchange.sh";
    }
    ReadyPlugin::SetUp();
  }
};

// A device with its own comm settings, samples recorded by its own ticks,
// another interval, changed colours and, where it has them, renamed channels.
TEST_P(ImageExchange, Save) {
  const PluginModel& model = GetParam();
  const DeviceId id = plugin_->Add(kComm1, kComm2);
  ASSERT_NE(id, 0);
  // A tick a second while the samples are recorded.
  dialogs_->AnswerSettings(model, 1, true, 0);
  api().ShowSettings(id);
  api().SetRecording(id, true);
  api().SetUpdating(id, true);
  ASSERT_TRUE(WaitUntil([&] { return api().GetHistoryDuration(id) > 0.0; }, 10000));
  api().SetUpdating(id, false);
  dialogs_->AnswerSettings(model, 1, true, kInterval, kName1, kName2);
  api().ShowSettings(id);
  for (int i = 0; i < model.n; ++i) {
    const ChannelConfig config = ChangedConfig(i);
    api().SetChannelConfig(id, i, &config);
  }
  ByteArray image;
  api().SaveDevice(id, image);
  std::ofstream out(ImagePath(model, kThisSide), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()),
            static_cast<std::streamsize>(image.size()));
  out.close();
  ASSERT_TRUE(out) << ImagePath(model, kThisSide);
}

TEST_P(ImageExchange, RestoreTheOtherSidesImage) {
  const PluginModel& model = GetParam();
  std::ifstream in(ImagePath(model, kOtherSide), std::ios::binary);
  ASSERT_TRUE(in) << ImagePath(model, kOtherSide);
  const ByteArray theirs((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  // It is what the other side was asked to save.
  DeviceImageData data;
  ASSERT_TRUE(DecodeImage(theirs, model.n, model.channelNames(), &data));
  EXPECT_EQ(data.fileName, std::string(model.name) + kOtherSuffix);
  EXPECT_EQ(data.commSetting1, kComm1);
  EXPECT_EQ(data.commSetting2, kComm2);
  EXPECT_EQ(data.interval, kInterval);
  if (model.channelNames()) {
    EXPECT_EQ(data.channelName1, kName1);
    EXPECT_EQ(data.channelName2, kName2);
  }
  EXPECT_GE(data.samples.size(), kSamples);
  ASSERT_EQ(data.configs.size(), static_cast<std::size_t>(model.n));
  for (int i = 0; i < model.n; ++i) {
    const ChannelConfig expected = ChangedConfig(i);
    EXPECT_EQ(data.configs[i].red, Bits(expected.red)) << i;
    EXPECT_EQ(data.configs[i].green, Bits(expected.green)) << i;
    EXPECT_EQ(data.configs[i].blue, Bits(expected.blue)) << i;
    EXPECT_EQ(data.configs[i].shown, expected.shown) << i;
  }

  const DeviceId id = plugin_->Restore(theirs);
  ASSERT_NE(id, 0);
  ByteArray ours;
  api().SaveDevice(id, ours);
  DeviceImageData again;
  ASSERT_TRUE(DecodeImage(ours, model.n, model.channelNames(), &again));
  EXPECT_EQ(again.fileName, model.fileName());
  EXPECT_EQ(AfterFileName(ours), AfterFileName(theirs));
  EXPECT_EQ(ours.size() - again.fileName.size(), theirs.size() - data.fileName.size());
}

INSTANTIATE_TEST_SUITE_P(Exchange, ImageExchange, ::testing::ValuesIn(kModels), ModelTestName);

}  // namespace
}  // namespace orv::it
