#include "tests/integration/device_image.h"

#include <cstring>

namespace orv::it {
namespace {

void Put(ByteArray& a, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) a.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void PutString(ByteArray& a, const std::string& s) {
  Put(a, static_cast<std::uint32_t>(s.size()));
  a.insert(a.end(), s.begin(), s.end());
}

// Reads forward; once it runs off the end every read gives 0 and ok is false.
struct Reader {
  const ByteArray& a;
  std::size_t pos = 0;
  bool ok = true;

  std::uint32_t U32() {
    if (!ok || a.size() - pos < 4) {
      ok = false;
      return 0;
    }
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(a[pos++]) << (8 * i);
    return v;
  }
  std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
  std::string String() {
    const std::uint32_t length = U32();
    if (!ok || length > a.size() - pos) {
      ok = false;
      return {};
    }
    pos += length;
    return std::string(a.begin() + (pos - length), a.begin() + pos);
  }
};

}  // namespace

ByteArray EncodeImage(const DeviceImageData& image) {
  ByteArray a;
  Put(a, 0);
  PutString(a, image.fileName);
  for (std::int32_t v : {image.versionMajor, image.versionMinor, image.commSetting1,
                         image.commSetting2, image.interval}) {
    Put(a, static_cast<std::uint32_t>(v));
  }
  if (image.hasNames) {
    PutString(a, image.channelName1);
    PutString(a, image.channelName2);
  }
  for (const ImageConfig& c : image.configs) {
    for (std::uint32_t v : {c.red, c.green, c.blue, static_cast<std::uint32_t>(c.shown)}) Put(a, v);
  }
  Put(a, static_cast<std::uint32_t>(image.samples.size()));
  for (const ImageSample& s : image.samples) {
    const ByteArray record = SampleRecord(s);
    a.insert(a.end(), record.begin(), record.end());
  }
  const auto length = static_cast<std::uint32_t>(a.size());
  for (int i = 0; i < 4; ++i) a[i] = static_cast<std::uint8_t>(length >> (8 * i));
  return a;
}

bool DecodeImage(const ByteArray& bytes, int n, bool hasNames, DeviceImageData* out) {
  Reader r{bytes};
  DeviceImageData d;
  const std::uint32_t length = r.U32();
  d.fileName = r.String();
  for (std::int32_t* field :
       {&d.versionMajor, &d.versionMinor, &d.commSetting1, &d.commSetting2, &d.interval}) {
    *field = r.I32();
  }
  d.hasNames = hasNames;
  if (hasNames) {
    d.channelName1 = r.String();
    d.channelName2 = r.String();
  }
  for (int i = 0; i < n && r.ok; ++i) d.configs.push_back({r.U32(), r.U32(), r.U32(), r.I32()});
  const std::uint32_t count = r.U32();
  for (std::uint32_t j = 0; j < count && r.ok; ++j) {
    ImageSample s{r.U32(), {}};
    s.timestamp |= static_cast<std::uint64_t>(r.U32()) << 32;
    for (int i = 0; i < n; ++i) s.values.push_back(r.U32());
    d.samples.push_back(s);
  }
  if (!r.ok || r.pos != bytes.size() || length != bytes.size()) return false;
  *out = d;
  return true;
}

ByteArray SampleRecord(const ImageSample& sample) {
  ByteArray a;
  Put(a, static_cast<std::uint32_t>(sample.timestamp));
  Put(a, static_cast<std::uint32_t>(sample.timestamp >> 32));
  for (std::uint32_t v : sample.values) Put(a, v);
  return a;
}

std::uint32_t Bits(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

float FromBits(std::uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::uint64_t DoubleBits(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

}  // namespace orv::it
