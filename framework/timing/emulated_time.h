// Emulated time: an opt-in clock, set by ORV_EMU_SPEED, that runs the update
// threads a whole factor faster than real time and stamps their samples as if
// the nominal waits had really passed. A test and demonstration aid: a day of
// history records in about a minute at 1,440x, and every run of a device
// gives the same timestamps relative to its first sample.
#ifndef ORV_FRAMEWORK_TIMING_EMULATED_TIME_H
#define ORV_FRAMEWORK_TIMING_EMULATED_TIME_H

#include <cstdint>
#include <string>

#include "framework/timing/runtime.h"

namespace orv {

inline constexpr const char* kSpeedVariable = "ORV_EMU_SPEED";
inline constexpr double kMaxSpeed = 100000.0;

// What a value of ORV_EMU_SPEED asks for.
struct SpeedSetting {
  enum class Kind {
    kRealTime,  // unset, empty or exactly 1: the real clock, nothing logged
    kEmulated,  // a factor above 1 and at most kMaxSpeed
    kManual,    // "manual": clocks that the control endpoint advances (manual_clock.h)
    kInvalid,   // ignored with a reason: the real clock
  };
  Kind kind = Kind::kRealTime;
  double factor = 1.0;
  const char* reason = "";  // kInvalid only: why the value was ignored
};

// Reads the whole text as a decimal number in the C locale ("1000", "2.5",
// "1e3") or the word "manual"; anything else, NaN and infinities included, is
// invalid.
SpeedSetting ParseSpeed(const std::string& text);

// The log line Init writes for a setting; empty for the real clock.
// value is the variable's text, already cut to a printable length.
// controlled: whether a control endpoint runs, without which the manual
// clock is refused (nothing could ever advance it).
std::string SpeedLogLine(const SpeedSetting& setting, const std::string& value,
                         bool controlled = false);

// A Runtime whose update threads run on an emulated timeline. Each thread
// keeps its own clock: it starts at the driver's emulated time when the thread
// starts and advances by exactly the nominal length of every wait, while the
// wait itself lasts 1/factor of that in real time (paced against a deadline,
// so rounding of short waits does not accumulate). Everything else goes to
// the base runtime. Immutable once constructed, so threads started under it
// can keep using it whatever Init does later.
class EmulatedRuntime final : public Runtime {
 public:
  // The emulated timeline starts at the base runtime's local time now.
  EmulatedRuntime(Runtime& base, double factor);

  double factor() const { return factor_; }
  // The driver's emulated local time: its origin plus factor times the real
  // time since, in whole milliseconds as a FILETIME count.
  std::uint64_t EmulatedNow() const;

  bool StartThread(platform::ThreadMain main, void* arg, platform::ThreadHandle* handle,
                   std::uint32_t* threadId) override;
  void JoinThread(platform::ThreadHandle handle) override;
  // On a thread started here: advances the thread's clock by nominalMs and
  // waits until its real deadline, or until stop is set.
  bool WaitMs(platform::Event& stop, std::uint32_t nominalMs) override;
  // On a thread started here its own clock; elsewhere EmulatedNow().
  std::uint64_t LocalFileTimeNow() override;
  std::uint32_t CurrentThreadId() override;
  int ShowMessageBox(const char* text, const char* caption, unsigned flags) override;
  std::uint64_t RealMicroseconds() override { return base_.RealMicroseconds(); }
  // The thread's own clock, which only moves forward: its timestamps are the
  // driver's emulated origin plus its nominal waits.
  std::uint64_t DeviceClockTicks() override { return LocalFileTimeNow(); }

 private:
  Runtime& base_;
  const double factor_;
  const std::uint32_t factorMilli_;  // the factor in thousandths, for integer arithmetic
  const std::uint64_t originFileTime_;
  const std::uint64_t originMicros_;
};

}  // namespace orv

#endif  // ORV_FRAMEWORK_TIMING_EMULATED_TIME_H
