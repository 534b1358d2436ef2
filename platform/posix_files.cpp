// User files and processes on POSIX.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/platform.h"

namespace orv::platform {
namespace {

bool CopyOut(const std::string& text, char* buf, std::size_t size) {
  if (buf == nullptr || size == 0) return false;
  buf[0] = '\0';
  if (text.empty() || text.size() >= size) return false;
  std::memcpy(buf, text.c_str(), text.size() + 1);
  return true;
}

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

bool UserRuntimeFolder(char* buf, std::size_t size) {
  try {
    std::string folder = Variable("XDG_RUNTIME_DIR");
    if (folder.empty()) folder = Variable("XDG_CACHE_HOME");
    if (folder.empty() && !Variable("HOME").empty()) folder = Variable("HOME") + "/.cache";
    return CopyOut(folder, buf, size);
  } catch (...) {
    return CopyOut(std::string(), buf, size);
  }
}

bool MakeUserFolder(const char* path) {
  if (path == nullptr || path[0] == '\0') return false;
  try {
    const std::string whole(path);
    for (std::size_t at = 1; at <= whole.size(); ++at) {
      if (at != whole.size() && whole[at] != '/') continue;
      const std::string part = whole.substr(0, at);
      if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat info {};
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
  } catch (...) {
    return false;
  }
}

bool WriteUserFile(const char* path, const void* data, std::size_t size) {
  try {
    const std::string temporary =
        std::string(path) + ".tmp" + std::to_string(static_cast<unsigned>(getpid()));
    const int file = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (file < 0) return false;
    const auto* bytes = static_cast<const char*>(data);
    std::size_t written = 0;
    while (written < size) {
      const ssize_t n = write(file, bytes + written, size - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      written += static_cast<std::size_t>(n);
    }
    const bool whole = written == size && fchmod(file, 0600) == 0;
    if (close(file) != 0 || !whole || rename(temporary.c_str(), path) != 0) {
      unlink(temporary.c_str());
      return false;
    }
    return true;
  } catch (...) {
    return false;
  }
}

bool RemoveFile(const char* path) { return unlink(path) == 0 || errno == ENOENT; }

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(getpid()); }

bool ProcessRuns(std::uint32_t processId) {
  if (processId == 0 || processId > 0x7FFFFFFFu) return false;
  return kill(static_cast<pid_t>(processId), 0) == 0 || errno == EPERM;
}

SavedSignal SaveBrokenPipeSignal() {
  SavedSignal saved;
  auto* action = new (std::nothrow) struct sigaction;
  if (action != nullptr && sigaction(SIGPIPE, nullptr, action) == 0) {
    saved.state = action;
  } else {
    delete action;
  }
  return saved;
}

void RestoreBrokenPipeSignal(SavedSignal& saved) {
  auto* action = static_cast<struct sigaction*>(saved.state);
  if (action == nullptr) return;
  sigaction(SIGPIPE, action, nullptr);
  delete action;
  saved.state = nullptr;
}

bool JoinThreadAtUnload(ThreadHandle handle, Event& /*finished*/, std::uint32_t /*milliseconds*/) {
  JoinThread(handle);
  return true;
}

}  // namespace orv::platform
