// A Runtime that starts no threads, never waits, reads a clock stuck at 0
// and answers every message box with OK at once: for the fuzzer, the
// benchmarks and the seed generator, which only exercise the data paths.
#ifndef ORV_TESTS_SUPPORT_QUIET_RUNTIME_H
#define ORV_TESTS_SUPPORT_QUIET_RUNTIME_H

#include <cstdint>

#include "framework/timing/runtime.h"

namespace orv::testing {

class QuietRuntime final : public Runtime {
 public:
  bool StartThread(platform::ThreadMain, void*, platform::ThreadHandle*, std::uint32_t*) override {
    return false;
  }
  void JoinThread(platform::ThreadHandle) override {}
  bool WaitMs(platform::Event&, std::uint32_t) override { return false; }
  std::uint64_t LocalFileTimeNow() override { return 0; }
  std::uint32_t CurrentThreadId() override { return 0; }
  int ShowMessageBox(const char*, const char*, unsigned) override { return 1; }
};

}  // namespace orv::testing

#endif  // ORV_TESTS_SUPPORT_QUIET_RUNTIME_H
