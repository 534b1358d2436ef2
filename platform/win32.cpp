// Win32 backend of the platform layer (32- and 64-bit Windows).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/platform.h"

namespace {

// The module that holds this code, as the loader handed it to DllMain. It
// stays null in an executable, where GetModuleFileNameA(null) already names
// the right file. Atomic because DllMain runs again on every thread attach
// and detach while other threads may be reading it.
std::atomic<HMODULE> g_ownModule{nullptr};

}  // namespace

// The library entry point. Defining it here puts it into every DLL that links
// the platform library: the C runtime's DLL start-up code refers to DllMain,
// so the linker takes this object from the archive before it reaches the
// runtime's own default DllMain. In an executable nothing calls it.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD /*reason*/, LPVOID /*reserved*/) {
  g_ownModule.store(instance, std::memory_order_relaxed);
  return TRUE;
}

namespace orv::platform {

ModuleHandle LoadModule(const char* fileName) { return LoadLibraryA(fileName); }

void* FindSymbol(ModuleHandle module, const char* name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void UnloadModule(ModuleHandle module) {
  if (module != nullptr) FreeLibrary(static_cast<HMODULE>(module));
}

bool OwnModulePath(char* buf, std::size_t size) {
  if (buf == nullptr || size == 0) return false;
  buf[0] = '\0';
  const DWORD capacity = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
  const DWORD length =
      GetModuleFileNameA(g_ownModule.load(std::memory_order_relaxed), buf, capacity);
  // A result equal to the capacity means the path was cut short, and older
  // systems then leave it without a terminator: never hand that out.
  if (length == 0 || length >= capacity) {
    buf[0] = '\0';
    return false;
  }
  buf[length] = '\0';
  return true;
}

char PathSeparator() { return '\\'; }

const char* ModuleSuffix() { return ".dll"; }

namespace {

using MessageBoxFn = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);

MessageBoxFn AsMessageBox(FARPROC proc) {
  return reinterpret_cast<MessageBoxFn>(reinterpret_cast<void*>(proc));
}

}  // namespace

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

int ShowMessageBox(const char* text, const char* caption, unsigned flags) {
  // A host that draws message boxes itself exports MessageBoxA from its
  // executable with user32's call shape; test hosts use that to observe them.
  // A 32-bit MinGW executable exports a WINAPI function as "MessageBoxA@16"
  // unless it is linked with --kill-at, so that name is accepted too.
  static const char* const kHookNames[] = {"MessageBoxA", "MessageBoxA@16"};
  const HMODULE host = GetModuleHandleA(nullptr);
  for (const char* name : kHookNames) {
    if (FARPROC hook = GetProcAddress(host, name)) {
      return AsMessageBox(hook)(nullptr, text, caption, flags);
    }
  }
  // user32 is bound at the call rather than imported, so that programs that
  // link this library (plug-ins, test programs) depend on KERNEL32 and the C++
  // runtime only, and a process that never shows a box never loads the
  // windowing DLL. user32 is a known system DLL, so the plain name cannot
  // pick up a stray copy from the search path.
  int result = 0;
  if (HMODULE user32 = LoadLibraryA("user32.dll")) {
    if (FARPROC proc = GetProcAddress(user32, "MessageBoxA")) {
      result = AsMessageBox(proc)(nullptr, text, caption, flags);
    }
    FreeLibrary(user32);
  }
  // Valid answers (IDOK and up) are positive. Failure is 0 on Windows and -1
  // under Wine without a display: then leave the text where an operator can
  // still find it.
  if (result > 0) return result;
  std::fprintf(stderr, "%s: %s\n", caption, text);
  return IDOK;
}

// A slim reader/writer lock taken exclusively: not recursive (a kernel mutex
// would be), never abandoned, and nothing to create or close. It lives in the
// pointer-sized state_ itself.
static_assert(sizeof(SRWLOCK) == sizeof(void*) && alignof(SRWLOCK) <= alignof(void*),
              "an SRWLOCK is one pointer");

namespace {

SRWLOCK* Lock(void*& state) { return reinterpret_cast<SRWLOCK*>(&state); }

}  // namespace

Mutex::Mutex() : state_(nullptr) { InitializeSRWLock(Lock(state_)); }

Mutex::~Mutex() = default;

bool Mutex::valid() const { return true; }

void Mutex::lock() { AcquireSRWLockExclusive(Lock(state_)); }

void Mutex::unlock() { ReleaseSRWLockExclusive(Lock(state_)); }

bool Mutex::try_lock() { return TryAcquireSRWLockExclusive(Lock(state_)) != 0; }

// Manual reset, initially clear.
Event::Event() : handle_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

Event::~Event() {
  if (handle_ != nullptr) CloseHandle(handle_);
}

void Event::set() {
  if (handle_ != nullptr) SetEvent(handle_);
}

void Event::reset() {
  if (handle_ != nullptr) ResetEvent(handle_);
}

bool Event::waitMs(std::uint32_t milliseconds) {
  if (handle_ == nullptr) {
    Sleep(milliseconds);
    return false;
  }
  // INFINITE is a valid uint32 but must stay a time limit here.
  const DWORD limit = milliseconds == INFINITE ? INFINITE - 1 : milliseconds;
  const DWORD result = WaitForSingleObject(handle_, limit);
  if (result == WAIT_OBJECT_0) return true;
  // A wait that failed returned at once: the pause still lasts its length, so
  // that a caller waiting in a loop does not spin.
  if (result == WAIT_FAILED) Sleep(limit);
  return false;
}

namespace {

// What the new thread needs to call the caller's function; CreateThread
// hands over one pointer and expects a different function shape.
struct StartBlock {
  ThreadMain main;
  void* arg;
};

DWORD WINAPI Trampoline(LPVOID raw) {
  auto* block = static_cast<StartBlock*>(raw);
  const ThreadMain main = block->main;
  void* const arg = block->arg;
  delete block;
  main(arg);
  return 0;
}

}  // namespace

bool StartThread(ThreadMain main, void* arg, ThreadHandle* handle, std::uint32_t* threadId) {
  auto* block = new (std::nothrow) StartBlock{main, arg};
  if (block == nullptr) return false;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, kThreadStackBytes, &Trampoline, block,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
  if (thread == nullptr) {
    delete block;  // the thread never ran, so the block is still ours
    return false;
  }
  *handle = thread;
  *threadId = id;
  return true;
}

void JoinThread(ThreadHandle handle) {
  if (handle == nullptr) return;
  WaitForSingleObject(handle, INFINITE);
  CloseHandle(handle);
}

void SleepMs(std::uint32_t milliseconds) { Sleep(milliseconds); }

std::uint64_t LocalFileTimeNow() {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  // SystemTimeToFileTime converts the calendar fields as they are, with no
  // time-zone shift, which is what a local timestamp needs.
  FILETIME stamp{};
  SystemTimeToFileTime(&local, &stamp);
  return (static_cast<std::uint64_t>(stamp.dwHighDateTime) << 32) | stamp.dwLowDateTime;
}

std::uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

std::uint64_t MonotonicMicroseconds() {
  static const std::uint64_t frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return static_cast<std::uint64_t>(f.QuadPart);
  }();
  LARGE_INTEGER count{};
  QueryPerformanceCounter(&count);
  const auto ticks = static_cast<std::uint64_t>(count.QuadPart);
  // Whole seconds and the rest apart, so that the product cannot overflow.
  return ticks / frequency * 1000000u + ticks % frequency * 1000000u / frequency;
}

void* ReservePages(std::size_t bytes) {
  if (bytes == 0) return nullptr;
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_NOACCESS);
}

bool CommitPages(void* at, std::size_t bytes) {
  return VirtualAlloc(at, bytes, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

void ReleasePages(void* base, std::size_t) {
  if (base != nullptr) VirtualFree(base, 0, MEM_RELEASE);
}

std::size_t ReadEnvironment(const char* name, char* buf, std::size_t size) {
  if (size > 0) buf[0] = '\0';
  const DWORD capacity = size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(size);
  DWORD length = GetEnvironmentVariableA(name, buf, capacity);
  if (length < capacity || size == 0) return length;
  // A value that does not fit leaves the buffer undefined and reports the
  // size it needs, terminator included: read it whole, then keep what fits.
  std::string whole(length, '\0');
  length = GetEnvironmentVariableA(name, whole.data(), length);
  if (length >= whole.size()) length = 0;  // changed meanwhile: treat as unset
  const std::size_t copied = length < size ? length : size - 1;
  whole.copy(buf, copied);
  buf[copied] = '\0';
  return length;
}

bool WriteEnvironment(const char* name, const char* value) {
  // Through the C runtime as well as the process block, so that getenv in
  // any module that shares msvcrt sees it too.
  std::string assignment = std::string(name) + "=" + value;
  return SetEnvironmentVariableA(name, value) != 0 && _putenv(assignment.c_str()) == 0;
}

FileKind LookAtFile(const char* path, std::uint64_t& size) {
  size = 0;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return FileKind::kMissing;
  if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return FileKind::kOther;
  }
  // The \\.\ namespace (pipes, devices) holds no plain file.
  if (std::strncmp(path, "\\\\.\\", 4) == 0) return FileKind::kOther;
  size = static_cast<std::uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
  return FileKind::kRegular;
}

}  // namespace orv::platform
