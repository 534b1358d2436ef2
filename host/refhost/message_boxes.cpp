// The one file of the host that knows how a program exports a function per
// platform. It must not include windows.h, whose MessageBoxA declaration
// would clash.
#include "host/refhost/message_boxes.h"

#include <cstdio>

#if defined(_WIN32)
#define ORV_HOST_EXPORT extern "C" __declspec(dllexport)
#define ORV_HOST_CALL __stdcall
#else
#define ORV_HOST_EXPORT extern "C" __attribute__((visibility("default")))
#define ORV_HOST_CALL
#endif

namespace {

constexpr std::size_t kKeptBoxes = 16;

// A plug-in shows its boxes on the host thread that called it, so each thread
// keeps its own: calls that run at once never take each other's messages.
thread_local std::vector<std::string> boxes;

}  // namespace

// user32's call shape; answers IDOK at once: nobody sits at a modal box here.
ORV_HOST_EXPORT int ORV_HOST_CALL MessageBoxA(void* /*owner*/, const char* text,
                                              const char* caption, unsigned /*flags*/) {
  const std::string line = text != nullptr ? text : "";
  std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "", line.c_str());
  if (boxes.size() == kKeptBoxes) boxes.erase(boxes.begin());
  boxes.push_back(line);
  return 1;
}

namespace orv::refhost {

std::vector<std::string> TakeMessageBoxTexts() {
  std::vector<std::string> taken;
  taken.swap(boxes);
  return taken;
}

}  // namespace orv::refhost
