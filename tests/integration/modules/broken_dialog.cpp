// A stand-in for a settings-dialog module that lacks its dialog entry point.
// It only counts how often it was touched since it was loaded, so that a test
// can tell whether the module stayed loaded in between.
#if defined(_WIN32)
#define ORV_BROKEN_API extern "C" __declspec(dllexport)
#else
#define ORV_BROKEN_API extern "C" __attribute__((visibility("default")))
#endif

namespace {
int touches = 0;
}  // namespace

// The number of touches before this one.
ORV_BROKEN_API int broken_dialog_touch() { return touches++; }
