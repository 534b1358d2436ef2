// Reading a saved image's fields: what a restore and a replay both decode,
// and every image they refuse, with the reason.
#include "framework/formats/image_layout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "framework/core/values.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"
#include "models/twotemp/twotemp_model.h"
#include "tests/support/image_bytes.h"

namespace orv {
namespace {

// An image of model as SaveDevice writes one, with count samples of distinct
// bits.
ByteArray ImageOf(const ModelDescription& model, std::uint32_t count, std::int32_t minor = -1) {
  std::vector<testing::ImageSample> samples(count);
  for (std::uint32_t k = 0; k < count; ++k) {
    samples[k].timestamp = 133000000000000000ull + 10000000ull * k;
    for (int i = 0; i < model.valueCount; ++i)
      samples[k].bits.push_back(0x40000000u + k * 8u + static_cast<std::uint32_t>(i));
  }
  return testing::ImageBytes(model, "some_sim.so", samples, minor);
}

const ModelDescription* const kModels[] = {&co2::kModel, &twotemp::kModel, &climate::kModel};

TEST(ImageLayout, DecodesEveryFieldAndPointsAtTheRecords) {
  for (const ModelDescription* model : kModels) {
    SCOPED_TRACE(model->shortName);
    const ByteArray image = ImageOf(*model, 3);
    SavedImage saved;
    std::string detail;
    ASSERT_TRUE(DecodeImage(image, 0, *model, saved, detail)) << detail;
    EXPECT_EQ(saved.imageLength, static_cast<std::int32_t>(image.size()));
    EXPECT_EQ(saved.fileName, "some_sim.so");
    EXPECT_EQ(saved.commSetting1, 3);
    EXPECT_EQ(saved.commSetting2, 9600);
    EXPECT_EQ(saved.interval, 10);
    EXPECT_EQ(saved.channelName1, model->channelNames ? "Left" : "");
    EXPECT_EQ(saved.channelName2, model->channelNames ? "Right" : "");
    for (int i = 0; i < model->valueCount; ++i) {
      EXPECT_EQ(FloatBits(saved.configs[i].red), FloatBits(0.25f * static_cast<float>(i)));
      EXPECT_EQ(saved.configs[i].shown, i % 2 == 0 ? 1 : 0);
    }
    ASSERT_EQ(saved.sampleCount, 3u);
    const std::size_t entry = SampleRecordSize(static_cast<std::size_t>(model->valueCount));
    EXPECT_EQ(saved.records, image.data() + image.size() - 3 * entry);
    EXPECT_EQ(saved.end, image.size());
  }
}

TEST(ImageLayout, RefusesEveryTruncationAnotherVersionAndAnOversizedCount) {
  for (const ModelDescription* model : kModels) {
    SCOPED_TRACE(model->shortName);
    const ByteArray whole = ImageOf(*model, 2);
    SavedImage saved;
    std::string detail;
    for (std::size_t size = 0; size < whole.size(); ++size) {
      const ByteArray cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
      EXPECT_FALSE(DecodeImage(cut, 0, *model, saved, detail)) << size;
      EXPECT_FALSE(detail.empty());
    }
    EXPECT_FALSE(DecodeImage(whole, whole.size() + 1, *model, saved, detail));
    EXPECT_EQ(detail, "the image ends inside its header");

    EXPECT_FALSE(DecodeImage(ImageOf(*model, 2, 9), 0, *model, saved, detail));
    EXPECT_EQ(detail, "saved by version 1.9 of its driver, this is 1." +
                          std::to_string(model->versionMinor));

    ByteArray huge = ImageOf(*model, 0);
    for (int i = 1; i <= 4; ++i) huge[huge.size() - static_cast<std::size_t>(i)] = 0xFF;
    EXPECT_FALSE(DecodeImage(huge, 0, *model, saved, detail));
    EXPECT_EQ(detail, "its history of 4294967295 samples does not fit its 0 remaining bytes");
  }
}

TEST(ImageLayout, AnImageAfterOtherBytesIsReadFromItsOffset) {
  ByteArray image(5, 0xAB);
  const ByteArray own = ImageOf(co2::kModel, 1);
  image.insert(image.end(), own.begin(), own.end());
  SavedImage saved;
  std::string detail;
  ASSERT_TRUE(DecodeImage(image, 5, co2::kModel, saved, detail)) << detail;
  EXPECT_EQ(saved.sampleCount, 1u);
  EXPECT_EQ(saved.end, image.size());
}

}  // namespace
}  // namespace orv
