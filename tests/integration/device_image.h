// The saved device image after its documented byte layout, so that tests can
// build images and take the plug-ins' images apart.
#ifndef ORV_TESTS_INTEGRATION_DEVICE_IMAGE_H
#define ORV_TESTS_INTEGRATION_DEVICE_IMAGE_H

#include <cstdint>
#include <string>
#include <vector>

#include "orv/driver_api.h"

namespace orv::it {

struct ImageConfig {
  std::uint32_t red, green, blue;  // float bit patterns
  std::int32_t shown;
};

struct ImageSample {
  std::uint64_t timestamp;
  std::vector<std::uint32_t> values;  // float bit patterns
};

struct DeviceImageData {
  std::string fileName;
  std::int32_t versionMajor = 0, versionMinor = 0;
  std::int32_t commSetting1 = 0, commSetting2 = 0, interval = 0;
  bool hasNames = false;  // twotemp: the two channel names follow the interval
  std::string channelName1, channelName2;
  std::vector<ImageConfig> configs;
  std::vector<ImageSample> samples;
};

// The image with the right imageLength.
ByteArray EncodeImage(const DeviceImageData& image);
// Reads an image of n values per sample that fills bytes exactly and carries
// the right imageLength; false for anything else.
bool DecodeImage(const ByteArray& bytes, int n, bool hasNames, DeviceImageData* out);
// The record GetSampleAt writes for a sample.
ByteArray SampleRecord(const ImageSample& sample);

constexpr std::uint32_t kInvalidBits = 0x7FFFFFFF;
std::uint32_t Bits(float value);
float FromBits(std::uint32_t bits);
std::uint64_t DoubleBits(double value);

}  // namespace orv::it

#endif  // ORV_TESTS_INTEGRATION_DEVICE_IMAGE_H
