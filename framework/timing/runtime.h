// timing/: the clocks the update threads run on: the real one and the
// emulated one. Uses only the platform layer.
//
// What the framework needs from the operating system at run time: threads,
// waits that a stop cuts short, the local clock and message boxes. The plug-ins always use
// SystemRuntime(); unit tests supply a virtual clock so that hundreds of
// ticks run in milliseconds.
#ifndef ORV_FRAMEWORK_TIMING_RUNTIME_H
#define ORV_FRAMEWORK_TIMING_RUNTIME_H

#include <cstdint>

#include "platform/platform.h"

namespace orv {

class Runtime {
 public:
  virtual ~Runtime() = default;
  virtual bool StartThread(platform::ThreadMain main, void* arg, platform::ThreadHandle* handle,
                           std::uint32_t* threadId) = 0;
  virtual void JoinThread(platform::ThreadHandle handle) = 0;
  // Waits nominalMs milliseconds, or until stop is set, whichever comes
  // first; true when stop was set. The length is the nominal one so that a
  // runtime may map it onto a clock of its own (the unit tests' virtual one).
  virtual bool WaitMs(platform::Event& stop, std::uint32_t nominalMs) = 0;
  virtual std::uint64_t LocalFileTimeNow() = 0;
  virtual std::uint32_t CurrentThreadId() = 0;
  virtual int ShowMessageBox(const char* text, const char* caption, unsigned flags) = 0;
  // Real time in microseconds, whatever clock the devices' samples follow:
  // what paces work that must not run more often than the machine allows.
  virtual std::uint64_t RealMicroseconds() { return platform::MonotonicMicroseconds(); }
  // The calling device's clock in 100 ns units from an arbitrary origin:
  // monotonic, so that a step of the wall clock (daylight saving, a time
  // server) moves no scenario event. Differences are what count; on an
  // emulated clock it advances with the thread's nominal waits, as its
  // timestamps do.
  virtual std::uint64_t DeviceClockTicks() { return platform::MonotonicMicroseconds() * 10; }
};

// The real clock, real threads and real message boxes.
Runtime& SystemRuntime();

}  // namespace orv

#endif  // ORV_FRAMEWORK_TIMING_RUNTIME_H
