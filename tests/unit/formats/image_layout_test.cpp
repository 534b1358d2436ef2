// Reading a saved image's fields: what a restore and a replay both decode,
// and every image they refuse, with the reason.
#include "framework/formats/image_layout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "framework/core/values.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"
#include "models/twotemp/twotemp_model.h"

namespace orv {
namespace {

void Put32(ByteArray& a, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) a.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void PutString(ByteArray& a, const std::string& s) {
  Put32(a, static_cast<std::uint32_t>(s.size()));
  a.insert(a.end(), s.begin(), s.end());
}

// An image of model laid out by hand, with count samples of distinct bits.
ByteArray ImageOf(const ModelDescription& model, std::uint32_t count, std::int32_t minor = -1) {
  ByteArray a;
  Put32(a, 0);
  PutString(a, "some_sim.so");
  Put32(a, static_cast<std::uint32_t>(model.versionMajor));
  Put32(a, static_cast<std::uint32_t>(minor < 0 ? model.versionMinor : minor));
  Put32(a, 3);
  Put32(a, 9600);
  Put32(a, 10);
  if (model.channelNames) {
    PutString(a, "Left");
    PutString(a, "Right");
  }
  for (int i = 0; i < model.valueCount; ++i) {
    Put32(a, FloatBits(0.25f * static_cast<float>(i)));
    Put32(a, FloatBits(0.5f));
    Put32(a, FloatBits(1.0f));
    Put32(a, i % 2 == 0 ? 7u : 0u);  // any non-zero is shown
  }
  Put32(a, count);
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::uint64_t t = 133000000000000000ull + 10000000ull * k;
    Put32(a, static_cast<std::uint32_t>(t));
    Put32(a, static_cast<std::uint32_t>(t >> 32));
    for (int i = 0; i < model.valueCount; ++i)
      Put32(a, 0x40000000u + k * 8u + static_cast<std::uint32_t>(i));
  }
  const auto size = static_cast<std::uint32_t>(a.size());
  for (int i = 0; i < 4; ++i)
    a[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
  return a;
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
