// The driver's log lines as a host's LogFn receives them, kept for the tests
// that check what was logged. Tests clear the lines before they act, and read
// them once the threads that log have stopped.
#ifndef ORV_TESTS_SUPPORT_LOG_CAPTURE_H
#define ORV_TESTS_SUPPORT_LOG_CAPTURE_H

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace orv::testing {

inline std::vector<std::string>& CapturedLog() {
  static std::vector<std::string> lines;
  return lines;
}

// A LogFn: formats the line and keeps it.
inline int CaptureLog(const char* format, ...) {
  static std::mutex mutex;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(mutex);
  CapturedLog().push_back(text);
  return 0;
}

}  // namespace orv::testing

#endif  // ORV_TESTS_SUPPORT_LOG_CAPTURE_H
