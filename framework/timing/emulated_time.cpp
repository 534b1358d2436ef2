#include "framework/timing/emulated_time.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <new>

namespace orv {
namespace {

constexpr std::uint64_t kFileTimePerMs = 10000;
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

SpeedSetting Invalid(const char* reason) {
  SpeedSetting setting;
  setting.kind = SpeedSetting::Kind::kInvalid;
  setting.reason = reason;
  return setting;
}

// A number too large or too small for a double: which side of 1 it lies on.
bool HasNegativeExponent(const std::string& text) {
  const std::size_t e = text.find_first_of("eE");
  return e != std::string::npos && e + 1 < text.size() && text[e + 1] == '-';
}

std::string FormatFactor(double factor) {
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, factor, std::chars_format::fixed);
  return result.ec == std::errc{} ? std::string(buffer, result.ptr) : std::string("?");
}

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
  return b > kMaxU64 - a ? kMaxU64 : a + b;
}

// Milliseconds as FILETIME units, saturating.
std::uint64_t MsToFileTime(std::uint64_t ms) {
  return ms > kMaxU64 / kFileTimePerMs ? kMaxU64 : ms * kFileTimePerMs;
}

// value * numerator / denominator in 64-bit integers, without overflow for
// the operands used here (numerator and denominator below 2^32), saturating.
// Whole-integer arithmetic keeps the 32-bit builds free of x87 code.
std::uint64_t MulDiv(std::uint64_t value, std::uint64_t numerator, std::uint64_t denominator) {
  const std::uint64_t whole = value / denominator;
  const std::uint64_t rest = value % denominator;
  if (whole != 0 && numerator > kMaxU64 / whole) return kMaxU64;
  return SaturatingAdd(whole * numerator, rest * numerator / denominator);
}

// The clock of one update thread started by an EmulatedRuntime.
struct ThreadClock {
  const EmulatedRuntime* owner;
  std::uint64_t startFileTime;  // the driver's emulated time at thread start
  std::uint64_t startMicros;    // the real monotonic time then
  std::uint64_t nominalMs;      // the nominal length of every wait since
};

thread_local ThreadClock* currentClock = nullptr;

ThreadClock* ClockOf(const EmulatedRuntime* runtime) {
  ThreadClock* clock = currentClock;
  return clock != nullptr && clock->owner == runtime ? clock : nullptr;
}

struct Launch {
  EmulatedRuntime* runtime;
  platform::ThreadMain main;
  void* arg;
};

void RunWithClock(void* arg) {
  const std::unique_ptr<Launch> launch(static_cast<Launch*>(arg));
  ThreadClock clock{launch->runtime, launch->runtime->EmulatedNow(),
                    platform::MonotonicMicroseconds(), 0};
  currentClock = &clock;
  launch->main(launch->arg);
  currentClock = nullptr;
}

}  // namespace

SpeedSetting ParseSpeed(const std::string& text) {
  if (text.empty()) return {};
  if (text == "manual") {
    SpeedSetting setting;
    setting.kind = SpeedSetting::Kind::kManual;
    return setting;
  }
  double value = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  const auto [end, error] = std::from_chars(first, last, value, std::chars_format::general);
  if (error == std::errc::result_out_of_range && end == last) {
    return Invalid(text[0] == '-' || HasNegativeExponent(text) ? "below 1" : "above 100000");
  }
  if (error != std::errc{} || end != last || std::isnan(value)) return Invalid("not a number");
  if (value < 1.0) return Invalid("below 1");
  if (value > kMaxSpeed) return Invalid("above 100000");
  SpeedSetting setting;
  if (value > 1.0) {
    setting.kind = SpeedSetting::Kind::kEmulated;
    setting.factor = value;
  }
  return setting;
}

std::string SpeedLogLine(const SpeedSetting& setting, const std::string& value, bool controlled) {
  switch (setting.kind) {
    case SpeedSetting::Kind::kManual:
      if (!controlled) {
        return std::string(kSpeedVariable) +
               "=manual ignored: the manual clock needs the control endpoint (ORV_CONTROL) to "
               "advance it; the real clock is used.\n";
      }
      return std::string(
                 "Manual time on: device clocks stand still until the control endpoint "
                 "advances them (") +
             kSpeedVariable + "=manual).\n";
    case SpeedSetting::Kind::kEmulated:
      return std::string("Emulated time on: device clocks run ") + FormatFactor(setting.factor) +
             " times as fast as real time (" + kSpeedVariable + "=" + value + ").\n";
    case SpeedSetting::Kind::kInvalid:
      return std::string(kSpeedVariable) + "=\"" + value + "\" ignored: " + setting.reason +
             " (a factor from 1 to 100000 is expected); the real clock is used.\n";
    case SpeedSetting::Kind::kRealTime:
      break;
  }
  return {};
}

EmulatedRuntime::EmulatedRuntime(Runtime& base, double factor)
    : base_(base),
      factor_(factor),
      // Thousandths, from 1,000 up to 100,000,000, which an int32 conversion
      // holds; a factor outside the accepted range is clamped into it.
      factorMilli_(static_cast<std::uint32_t>(
          static_cast<std::int32_t>(std::clamp(factor, 1.0, kMaxSpeed) * 1000.0 + 0.5))),
      originFileTime_(base.LocalFileTimeNow()),
      originMicros_(platform::MonotonicMicroseconds()) {}

std::uint64_t EmulatedRuntime::EmulatedNow() const {
  const std::uint64_t elapsedMicros = platform::MonotonicMicroseconds() - originMicros_;
  // elapsed µs * factor / 1000 = elapsed µs * factorMilli / 1,000,000 ms.
  const std::uint64_t ms = MulDiv(elapsedMicros, factorMilli_, 1000000u);
  return SaturatingAdd(originFileTime_, MsToFileTime(ms));
}

bool EmulatedRuntime::StartThread(platform::ThreadMain main, void* arg,
                                  platform::ThreadHandle* handle, std::uint32_t* threadId) {
  auto* launch = new (std::nothrow) Launch{this, main, arg};
  if (launch == nullptr) return false;
  if (!base_.StartThread(&RunWithClock, launch, handle, threadId)) {
    delete launch;
    return false;
  }
  return true;
}

void EmulatedRuntime::JoinThread(platform::ThreadHandle handle) { base_.JoinThread(handle); }

bool EmulatedRuntime::WaitMs(platform::Event& stop, std::uint32_t nominalMs) {
  ThreadClock* clock = ClockOf(this);
  if (clock == nullptr) {
    const std::uint64_t scaled = MulDiv(nominalMs, 1000u, factorMilli_);
    return base_.WaitMs(stop, static_cast<std::uint32_t>(scaled));
  }
  clock->nominalMs = SaturatingAdd(clock->nominalMs, nominalMs);
  // Waiting until a deadline rather than for a length keeps the pace exact
  // even where the platform rounds short waits to whole milliseconds.
  // nominal ms / factor = nominal ms * 1,000,000 / factorMilli µs.
  const std::uint64_t due =
      SaturatingAdd(clock->startMicros, MulDiv(clock->nominalMs, 1000000u, factorMilli_));
  const std::uint64_t now = platform::MonotonicMicroseconds();
  const std::uint64_t aheadMs = due > now ? (due - now) / 1000 : 0;
  return base_.WaitMs(stop,
                      static_cast<std::uint32_t>(std::min<std::uint64_t>(aheadMs, 0x7FFFFFFF)));
}

std::uint64_t EmulatedRuntime::LocalFileTimeNow() {
  if (const ThreadClock* clock = ClockOf(this)) {
    return SaturatingAdd(clock->startFileTime, MsToFileTime(clock->nominalMs));
  }
  return EmulatedNow();
}

std::uint32_t EmulatedRuntime::CurrentThreadId() { return base_.CurrentThreadId(); }

int EmulatedRuntime::ShowMessageBox(const char* text, const char* caption, unsigned flags) {
  return base_.ShowMessageBox(text, caption, flags);
}

}  // namespace orv
