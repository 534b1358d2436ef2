// formats/: the layouts of what leaves a device, read back: the fields of a
// saved image and the text of an export. Uses core/ (and the sample
// record size of the contract header), nothing else of the framework, so
// that restoring a device (io/) and replaying a recording (scenario/) read
// them with the same code.
//
// The saved device image: little-endian fields, written by SaveDevice (io/),
// read here.
#ifndef ORV_FRAMEWORK_FORMATS_IMAGE_LAYOUT_H
#define ORV_FRAMEWORK_FORMATS_IMAGE_LAYOUT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/core/model.h"
#include "orv/driver_api.h"

namespace orv {

// Bounds-checked reading from a position onwards. Every read past the end,
// and every negative or oversized length, marks the reader failed; a failed
// reader reads nothing more.
class ImageReader {
 public:
  ImageReader(const ByteArray& a, std::size_t pos) : a_(a), pos_(pos), ok_(pos <= a.size()) {}
  bool ok() const { return ok_; }
  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return ok_ ? a_.size() - pos_ : 0; }
  std::int32_t ReadInt32();
  std::uint32_t ReadUInt32() { return static_cast<std::uint32_t>(ReadInt32()); }
  float ReadFloat();
  void ReadString(std::string& out);
  void Skip(std::size_t bytes);
  // The next bytes in place, or null (and failed) when fewer remain.
  const std::uint8_t* ReadBytes(std::size_t bytes);

 private:
  const ByteArray& a_;
  std::size_t pos_;
  bool ok_;
};

// An image's fields as a driver of its model reads them.
struct SavedImage {
  std::int32_t imageLength = 0;  // as written; a restore neither reads nor checks it
  std::string fileName;          // the saving plug-in's file name
  std::int32_t versionMajor = 0;
  std::int32_t versionMinor = 0;
  std::int32_t commSetting1 = 0;
  std::int32_t commSetting2 = 0;
  std::int32_t interval = 0;
  std::string channelName1, channelName2;  // models with per-device channel names
  ChannelConfig configs[kMaxValues] = {};  // shown is 0 or 1
  std::uint32_t sampleCount = 0;
  const std::uint8_t* records = nullptr;  // sampleCount records of 8 + 4N bytes, in the image
  std::size_t end = 0;                    // the offset just past the records
};

// What a refused image says to a person; the restore's message box says
// the same with "Could not add device." before it.
inline constexpr const char* kIncompatibleImageReason =
    "the saved format is not compatible with the loaded driver";

// Reads the image that starts at offset as a driver of model restores it.
// false when it was saved by another version of the driver or its fields do
// not fit its bytes; why goes to detail (e.g. "saved by version 1.1, this is
// 1.2"). May throw std::bad_alloc.
bool DecodeImage(const ByteArray& image, std::size_t offset, const ModelDescription& model,
                 SavedImage& out, std::string& detail);

}  // namespace orv

#endif  // ORV_FRAMEWORK_FORMATS_IMAGE_LAYOUT_H
