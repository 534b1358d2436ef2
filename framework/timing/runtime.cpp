#include "framework/timing/runtime.h"

namespace orv {
namespace {

class SystemRuntimeImpl final : public Runtime {
 public:
  bool StartThread(platform::ThreadMain main, void* arg, platform::ThreadHandle* handle,
                   std::uint32_t* threadId) override {
    return platform::StartThread(main, arg, handle, threadId);
  }
  void JoinThread(platform::ThreadHandle handle) override { platform::JoinThread(handle); }
  bool WaitMs(platform::Event& stop, std::uint32_t nominalMs) override {
    return stop.waitMs(nominalMs);
  }
  std::uint64_t LocalFileTimeNow() override { return platform::LocalFileTimeNow(); }
  std::uint32_t CurrentThreadId() override { return platform::CurrentThreadId(); }
  int ShowMessageBox(const char* text, const char* caption, unsigned flags) override {
    return platform::ShowMessageBox(text, caption, flags);
  }
};

}  // namespace

Runtime& SystemRuntime() {
  static SystemRuntimeImpl runtime;
  return runtime;
}

}  // namespace orv
