#include "framework/formats/image_layout.h"

#include "framework/core/values.h"

namespace orv {

std::int32_t ImageReader::ReadInt32() {
  if (!ok_ || a_.size() - pos_ < 4) {
    ok_ = false;
    return 0;
  }
  std::uint32_t u = 0;
  for (int i = 0; i < 4; ++i) u |= static_cast<std::uint32_t>(a_[pos_ + i]) << (8 * i);
  pos_ += 4;
  return static_cast<std::int32_t>(u);
}

float ImageReader::ReadFloat() { return FloatFromBits(ReadUInt32()); }

void ImageReader::ReadString(std::string& out) {
  out.clear();
  const std::int32_t length = ReadInt32();
  if (!ok_) return;
  if (length < 0 || static_cast<std::size_t>(length) > a_.size() - pos_) {
    ok_ = false;
    return;
  }
  out.assign(reinterpret_cast<const char*>(a_.data() + pos_), static_cast<std::size_t>(length));
  pos_ += static_cast<std::size_t>(length);
}

void ImageReader::Skip(std::size_t bytes) {
  if (!ok_ || a_.size() - pos_ < bytes) {
    ok_ = false;
    return;
  }
  pos_ += bytes;
}

const std::uint8_t* ImageReader::ReadBytes(std::size_t bytes) {
  if (!ok_ || a_.size() - pos_ < bytes) {
    ok_ = false;
    return nullptr;
  }
  const std::uint8_t* p = a_.data() + pos_;
  pos_ += bytes;
  return p;
}

bool DecodeImage(const ByteArray& image, std::size_t offset, const ModelDescription& model,
                 SavedImage& out, std::string& detail) {
  const int n = model.valueCount;
  ImageReader reader(image, offset);
  out.imageLength = reader.ReadInt32();
  reader.ReadString(out.fileName);  // a restore does not compare it with its own
  out.versionMajor = reader.ReadInt32();
  out.versionMinor = reader.ReadInt32();
  if (!reader.ok()) {
    detail = "the image ends inside its header";
    return false;
  }
  if (out.versionMajor != model.versionMajor || out.versionMinor != model.versionMinor) {
    detail = "saved by version " + std::to_string(out.versionMajor) + "." +
             std::to_string(out.versionMinor) + " of its driver, this is " +
             std::to_string(model.versionMajor) + "." + std::to_string(model.versionMinor);
    return false;
  }
  out.commSetting1 = reader.ReadInt32();
  out.commSetting2 = reader.ReadInt32();
  out.interval = reader.ReadInt32();
  if (model.channelNames) {
    reader.ReadString(out.channelName1);
    reader.ReadString(out.channelName2);
  }
  for (int i = 0; i < n; ++i) {
    ChannelConfig& config = out.configs[i];
    config.red = reader.ReadFloat();
    config.green = reader.ReadFloat();
    config.blue = reader.ReadFloat();
    config.shown = reader.ReadInt32() != 0 ? 1 : 0;
  }
  out.sampleCount = reader.ReadUInt32();
  if (!reader.ok()) {
    detail = "the image ends inside its settings";
    return false;
  }
  const std::size_t entry = SampleRecordSize(static_cast<std::size_t>(n));
  // The count must fit the bytes that remain before anything is allocated.
  if (out.sampleCount > reader.remaining() / entry) {
    detail = "its history of " + std::to_string(out.sampleCount) + " samples does not fit its " +
             std::to_string(reader.remaining()) + " remaining bytes";
    return false;
  }
  out.records = reader.ReadBytes(out.sampleCount * entry);
  out.end = reader.position();
  return true;
}

}  // namespace orv
