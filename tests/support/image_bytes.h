// Saved images laid out by hand, field by field, for the tests that read
// them back.
#ifndef ORV_TESTS_SUPPORT_IMAGE_BYTES_H
#define ORV_TESTS_SUPPORT_IMAGE_BYTES_H

#include <cstdint>
#include <string>
#include <vector>

#include "framework/core/model.h"
#include "framework/core/values.h"
#include "orv/driver_api.h"

namespace orv::testing {

inline void Put32(ByteArray& a, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) a.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void PutString(ByteArray& a, const std::string& s) {
  Put32(a, static_cast<std::uint32_t>(s.size()));
  a.insert(a.end(), s.begin(), s.end());
}

struct ImageSample {
  std::uint64_t timestamp;
  std::vector<std::uint32_t> bits;  // one per value of the model
};

// An image of model as SaveDevice writes one, saved by fileName.
inline ByteArray ImageBytes(const ModelDescription& model, const std::string& fileName,
                            const std::vector<ImageSample>& samples, std::int32_t minor = -1) {
  ByteArray a;
  Put32(a, 0);
  PutString(a, fileName);
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
  Put32(a, static_cast<std::uint32_t>(samples.size()));
  for (const ImageSample& sample : samples) {
    Put32(a, static_cast<std::uint32_t>(sample.timestamp));
    Put32(a, static_cast<std::uint32_t>(sample.timestamp >> 32));
    for (int i = 0; i < model.valueCount; ++i) Put32(a, sample.bits[static_cast<std::size_t>(i)]);
  }
  const auto size = static_cast<std::uint32_t>(a.size());
  for (int i = 0; i < 4; ++i) {
    a[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
  }
  return a;
}

}  // namespace orv::testing

#endif  // ORV_TESTS_SUPPORT_IMAGE_BYTES_H
