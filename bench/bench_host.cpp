#include "bench/bench_host.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/platform.h"

namespace orv::bench {
namespace {

void Put32(ByteArray& a, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) a.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void PutString(ByteArray& a, const std::string& s) {
  Put32(a, static_cast<std::uint32_t>(s.size()));
  a.insert(a.end(), s.begin(), s.end());
}

std::uint32_t Bits(float v) {
  std::uint32_t u;
  std::memcpy(&u, &v, sizeof u);
  return u;
}

}  // namespace

const DriverFunctionTable& Table(const PluginKind& kind) {
  static std::map<std::string, DriverFunctionTable> tables;
  auto found = tables.find(kind.name);
  if (found != tables.end()) return found->second;
  // ORV_BENCH_PLUGIN_DIR in the environment measures other builds of the plug-ins.
  const char* folder = std::getenv("ORV_BENCH_PLUGIN_DIR");
  const std::string path = std::string(folder != nullptr ? folder : ORV_BENCH_PLUGIN_DIR) + "/" +
                           kind.name + platform::ModuleSuffix();
  platform::ModuleHandle module = platform::LoadModule(path.c_str());
  auto fill = module != nullptr ? reinterpret_cast<GetOrvDeviceDriverAPIFn>(
                                      platform::FindSymbol(module, "GetOrvDeviceDriverAPI"))
                                : nullptr;
  if (fill == nullptr) {
    std::fprintf(stderr, "cannot load %s\n", path.c_str());
    std::exit(1);
  }
  DriverFunctionTable& table = tables[kind.name];
  fill(&table);
  return table;
}

float RecordedValue(int s, int i, bool distinct) {
  if (distinct) return 5.0f + 0.0001f * static_cast<float>(s) + static_cast<float>(i);
  return 5.0f + 0.05f * static_cast<float>((s + i) % 40);
}

std::uint64_t RecordedTimestamp(int s) {
  return 133000000000000000ULL + 10000000ULL * static_cast<std::uint64_t>(s);
}

ByteArray RecordedImage(const PluginKind& kind, int samples, bool distinct,
                        std::uint32_t interval) {
  ByteArray a;
  a.reserve(256 + static_cast<std::size_t>(samples) * SampleRecordSize(kind.valueCount));
  Put32(a, 0);
  PutString(a, std::string(kind.name) + ".so");
  Put32(a, 1);
  Put32(a, static_cast<std::uint32_t>(kind.versionMinor));
  Put32(a, 3);  // commSetting1
  Put32(a, 0);  // commSetting2
  Put32(a, interval);
  if (kind.channelNames) {
    PutString(a, "Left");
    PutString(a, "Right");
  }
  for (int i = 0; i < kind.valueCount; ++i) {
    Put32(a, Bits(0.25f * static_cast<float>(i)));
    Put32(a, Bits(0.5f));
    Put32(a, Bits(1.0f));
    Put32(a, 1);
  }
  Put32(a, static_cast<std::uint32_t>(samples));
  for (int s = 0; s < samples; ++s) {
    const std::uint64_t t = RecordedTimestamp(s);
    Put32(a, static_cast<std::uint32_t>(t));
    Put32(a, static_cast<std::uint32_t>(t >> 32));
    for (int i = 0; i < kind.valueCount; ++i) Put32(a, Bits(RecordedValue(s, i, distinct)));
  }
  const std::uint32_t length = static_cast<std::uint32_t>(a.size());
  for (int i = 0; i < 4; ++i) a[i] = static_cast<std::uint8_t>(length >> (8 * i));
  return a;
}

RecordedDevice::RecordedDevice(const PluginKind& kind, int samples, bool distinct)
    : table_(Table(kind)), id_(table_.RestoreDevice(RecordedImage(kind, samples, distinct), 0)) {
  if (id_ == 0) {
    std::fprintf(stderr, "%s refused the recorded image\n", kind.name);
    std::exit(1);
  }
}

double Paired::Median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

RecordedDevice::~RecordedDevice() { table_.RemoveDevice(id_); }

}  // namespace orv::bench
