// User files and processes on Win32.
#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace orv::platform {
namespace {

bool CopyOut(const std::string& text, char* buf, std::size_t size) {
  if (buf == nullptr || size == 0) return false;
  buf[0] = '\0';
  if (text.empty() || text.size() >= size) return false;
  text.copy(buf, text.size());
  buf[text.size()] = '\0';
  return true;
}

std::string Variable(const char* name) {
  char value[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

bool UserRuntimeFolder(char* buf, std::size_t size) {
  try {
    std::string folder = Variable("LOCALAPPDATA");
    if (folder.empty() && !Variable("USERPROFILE").empty()) {
      folder = Variable("USERPROFILE") + "\\AppData\\Local";
    }
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
      if (at != whole.size() && !IsSeparator(whole[at])) continue;
      const std::string part = whole.substr(0, at);
      if (part.size() == 2 && part[1] == ':') continue;  // a drive: "C:"
      if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return false;
      }
    }
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  } catch (...) {
    return false;
  }
}

bool WriteUserFile(const char* path, const void* data, std::size_t size) {
  try {
    const std::string temporary =
        std::string(path) + ".tmp" + std::to_string(GetCurrentProcessId());
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool whole = size <= 0xFFFFFFFFu &&
                       WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) &&
                       written == size;
    bool moved = CloseHandle(file) && whole;
    // A reader that has the old file open keeps it from being replaced for
    // the moment it reads.
    for (int attempt = 0; moved; ++attempt) {
      if (MoveFileExA(temporary.c_str(), path, MOVEFILE_REPLACE_EXISTING)) return true;
      moved = attempt < 20 &&
              (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_SHARING_VIOLATION);
      if (moved) Sleep(10);
    }
    DeleteFileA(temporary.c_str());
    return false;
  } catch (...) {
    return false;
  }
}

bool RemoveFile(const char* path) {
  return DeleteFileA(path) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

std::uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

bool ProcessRuns(std::uint32_t processId) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return runs;
}

SavedSignal SaveBrokenPipeSignal() { return {}; }

void RestoreBrokenPipeSignal(SavedSignal& /*saved*/) {}

bool JoinThreadAtUnload(ThreadHandle handle, Event& finished, std::uint32_t milliseconds) {
  if (handle == nullptr) return true;
  const bool done = finished.waitMs(milliseconds);
  CloseHandle(static_cast<HANDLE>(handle));
  return done;
}

}  // namespace orv::platform
