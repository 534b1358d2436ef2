// What the benchmarks share: the built plug-ins loaded as a host loads them,
// images of recorded devices built after the documented byte layout, and a
// stopwatch. Every benchmark measures its bound in the same run and reports
// the ratio as a counter, so that a busy machine moves both alike.
#ifndef ORV_BENCH_BENCH_HOST_H
#define ORV_BENCH_BENCH_HOST_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "orv/driver_api.h"

namespace orv::bench {

// The layout facts of one plug-in's image.
struct PluginKind {
  const char* name;  // file name without suffix
  int valueCount;
  std::int32_t versionMinor;
  bool channelNames;
};

constexpr PluginKind kGasctl{"gasctl_sim", 4, 2, false};
constexpr PluginKind kTwotemp{"twotemp_sim", 6, 1, true};
constexpr PluginKind kClimate{"climate_sim", 6, 1, false};

// The table of a built plug-in, loaded once per process and kept loaded.
const DriverFunctionTable& Table(const PluginKind& kind);

// Value i of sample s in the recorded histories the benchmarks build: 40
// values a channel, repeating, as an emulated device's values repeat; with
// distinct, a new value every time (the worst case for the export).
float RecordedValue(int s, int i, bool distinct = false);
// Timestamp of sample s: one sample a second.
std::uint64_t RecordedTimestamp(int s);

// The image of a stopped device whose history holds samples recorded one a
// second, with RecordedValue values, at the given update interval.
ByteArray RecordedImage(const PluginKind& kind, int samples, bool distinct = false,
                        std::uint32_t interval = 10);

// A device restored from RecordedImage; removed by the destructor.
class RecordedDevice {
 public:
  RecordedDevice(const PluginKind& kind, int samples, bool distinct = false);
  ~RecordedDevice();
  RecordedDevice(const RecordedDevice&) = delete;
  RecordedDevice& operator=(const RecordedDevice&) = delete;
  DeviceId id() const { return id_; }

 private:
  const DriverFunctionTable& table_;
  DeviceId id_;
};

// Times of an operation and of its bound, taken side by side in each
// iteration. Medians shrug off the iterations a busy machine interrupted.
class Paired {
 public:
  void Add(double operation, double bound) {
    operations_.push_back(operation);
    bounds_.push_back(bound);
    ratios_.push_back(operation / bound);
  }
  double MedianOperation() const { return Median(operations_); }
  double MedianBound() const { return Median(bounds_); }
  double MedianRatio() const { return Median(ratios_); }

 private:
  static double Median(std::vector<double> v);
  std::vector<double> operations_, bounds_, ratios_;
};

using Clock = std::chrono::steady_clock;
inline double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace orv::bench

#endif  // ORV_BENCH_BENCH_HOST_H
