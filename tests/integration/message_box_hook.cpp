// The one file that knows how an executable exports a function per platform.
// It must not include windows.h, whose MessageBoxA declaration would clash.
#include <mutex>

#include "tests/integration/plugin_fixture.h"

#if defined(_WIN32)
#define ORV_HOOK_EXPORT extern "C" __declspec(dllexport)
#define ORV_HOOK_CALL __stdcall
#else
#define ORV_HOOK_EXPORT extern "C" __attribute__((visibility("default")))
#define ORV_HOOK_CALL
#endif

namespace {

std::mutex boxesMutex;
std::vector<orv::it::MessageBoxCall> boxes;  // guarded by boxesMutex

}  // namespace

// user32's call shape; answers IDOK at once instead of waiting for a user.
ORV_HOOK_EXPORT int ORV_HOOK_CALL MessageBoxA(void* owner, const char* text, const char* caption,
                                              unsigned flags) {
  std::lock_guard<std::mutex> lock(boxesMutex);
  boxes.push_back({text != nullptr ? text : "", caption != nullptr ? caption : "", flags, owner});
  return 1;
}

namespace orv::it {

std::vector<MessageBoxCall> TakeMessageBoxes() {
  std::lock_guard<std::mutex> lock(boxesMutex);
  std::vector<MessageBoxCall> taken;
  taken.swap(boxes);
  return taken;
}

}  // namespace orv::it
