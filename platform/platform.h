// The operating-system layer: the only code that knows Win32 or POSIX.
// One header, two backends (win32*.cpp, posix*.cpp); exactly one is compiled.
#ifndef ORV_PLATFORM_PLATFORM_H
#define ORV_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>

namespace orv::platform {

// ---- Modules -------------------------------------------------------------

using ModuleHandle = void*;

// Loads a library by plain file name; the loader's own search applies.
// Returns null when it cannot be loaded.
ModuleHandle LoadModule(const char* fileName);
// Resolves an exported symbol; null when absent.
void* FindSymbol(ModuleHandle module, const char* name);
void UnloadModule(ModuleHandle module);

// Writes the full path of the module that holds this code into buf (size
// bytes) and NUL-terminates it. Returns false when the path cannot be had or
// does not fit, in which case buf holds an empty string.
bool OwnModulePath(char* buf, std::size_t size);

// The character that separates path components in OwnModulePath's result.
char PathSeparator();

// The file name a dialog module has on this platform: "portpick" becomes
// "portpick.dll" or "portpick.so".
const char* ModuleSuffix();

// ---- User interface ------------------------------------------------------

// Shows a task-modal message box with no owner window (Win32 flag values) and
// waits until it is closed. Without a display, writes one line to stderr.
int ShowMessageBox(const char* text, const char* caption, unsigned flags);

// True when standard output is a terminal (a console window on Windows).
bool StdoutIsTerminal();

// ---- Mutex ---------------------------------------------------------------

// A non-recursive mutex: a thread that holds it and locks it again waits for
// ever, and its try_lock fails. Creation can fail on POSIX; valid() tells.
class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  bool valid() const;
  void lock();
  void unlock();
  // Takes the mutex when no thread holds it, the calling one included.
  bool try_lock();

 private:
  // POSIX: the pthread mutex, null when it could not be made. Win32: the
  // slim reader/writer lock itself, one pointer wide, which cannot fail.
  void* state_;
};

// ---- Event ---------------------------------------------------------------

// A manual-reset event: once set it stays set, and every wait returns at once,
// until reset. A thread waits on it with a time limit, so a pause can be cut
// short by another thread. Creation can fail; valid() tells, and an invalid
// event never reports itself set (waitMs then only sleeps).
class Event {
 public:
  Event();
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  bool valid() const { return handle_ != nullptr; }
  void set();
  void reset();
  // Waits until the event is set or the milliseconds have passed on a clock
  // that wall-clock changes do not move. True when the event was set.
  bool waitMs(std::uint32_t milliseconds);

 private:
  void* handle_;
};

// ---- Threads and time ----------------------------------------------------

using ThreadHandle = void*;
using ThreadMain = void (*)(void* arg);

// The stack each thread that StartThread starts reserves. These are the
// devices' update threads, whose deepest path (a tick, then the host's log
// function formatting one line) takes a few KiB. The program's default
// (1-8 MiB) would let a 32-bit host run out of address space after a few
// hundred devices; with this one, thousands fit. Sanitizers enlarge every
// frame and keep their own data on the stack, so their builds get more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORV_PLATFORM_SANITIZED_STACKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ORV_PLATFORM_SANITIZED_STACKS 1
#endif
#endif
#ifdef ORV_PLATFORM_SANITIZED_STACKS
constexpr std::size_t kThreadStackBytes = 2u * 1024u * 1024u;
#else
constexpr std::size_t kThreadStackBytes = 256u * 1024u;
#endif

// Starts a thread at once with a stack of kThreadStackBytes: on POSIX at least
// the system's minimum, on Win32 a reservation committed as it is used (Wine
// raises any reservation below 1 MiB to 1 MiB). On success stores its handle
// and numeric identifier (the same number CurrentThreadId() returns on that
// thread) and returns true.
bool StartThread(ThreadMain main, void* arg, ThreadHandle* handle, std::uint32_t* threadId);
// Waits without a time limit for the thread to end, then releases its handle.
void JoinThread(ThreadHandle handle);

void SleepMs(std::uint32_t milliseconds);
// Local wall-clock time to the millisecond as a FILETIME count (100 ns units
// since 1601-01-01), with no time-zone shift applied.
std::uint64_t LocalFileTimeNow();
std::uint32_t CurrentThreadId();
// Microseconds on a clock that only moves forward at the rate of real time,
// whatever happens to the wall clock; its origin is arbitrary.
std::uint64_t MonotonicMicroseconds();

// ---- Memory --------------------------------------------------------------

// Address space for pages that are to follow one another: reserved, not yet
// usable, costing no memory; null when there is none. Long-lived large blocks
// come from here rather than the heap: they lie in ascending order, as one
// array would (a reader striding through them keeps the processor's
// prefetching), freeing returns them to the system at once, and a 32-bit
// process loses none of its address space to heap rounding.
void* ReservePages(std::size_t bytes);
// Makes bytes of a reservation, from at, usable: zero-filled read-write
// memory. False when the system has no memory for them.
bool CommitPages(void* at, std::size_t bytes);
// Returns a whole reservation, committed pages included.
void ReleasePages(void* base, std::size_t bytes);

// ---- Environment ---------------------------------------------------------

// Copies the value of an environment variable into buf (size bytes, cut to
// fit, always NUL-terminated) and returns the value's full length: 0 when it
// is unset or empty, size or more when it did not fit.
std::size_t ReadEnvironment(const char* name, char* buf, std::size_t size);
// Sets an environment variable for this process and the libraries in it.
bool WriteEnvironment(const char* name, const char* value);

// ---- Files ---------------------------------------------------------------

enum class FileKind {
  kMissing,  // no such file, or it cannot be looked at
  kRegular,  // a plain file: size holds its length in bytes
  kOther,    // a folder, a device, a pipe or a socket
};
// What path names, without opening it: opening a pipe would wait for a
// writer, and a device may never end.
FileKind LookAtFile(const char* path, std::uint64_t& size);

// ---- User files and processes (win32_files.cpp, posix_files.cpp) --------

// The folder for this user's runtime files: %LOCALAPPDATA% on Windows; on
// POSIX $XDG_RUNTIME_DIR, else $XDG_CACHE_HOME, else $HOME/.cache. Written
// into buf (size bytes, NUL-terminated); false when none is set or it does
// not fit, and buf then holds an empty string.
bool UserRuntimeFolder(char* buf, std::size_t size);
// Creates the folder and the missing folders above it, each one made here
// open to this user alone (POSIX: mode 0700; Windows: the permissions it
// inherits, which under a user's profile are the user's). True when the
// folder exists afterwards.
bool MakeUserFolder(const char* path);
// Writes a whole file that this user alone may read (POSIX: mode 0600),
// replacing one of that name at once: it is written beside it, then renamed.
bool WriteUserFile(const char* path, const void* data, std::size_t size);
// True when the file is gone afterwards.
bool RemoveFile(const char* path);

std::uint32_t CurrentProcessId();
// True while a process of that id runs (POSIX: also one of another user).
bool ProcessRuns(std::uint32_t processId);

// The process's handling of the broken-pipe signal (POSIX SIGPIPE; Windows
// has none): saved before and restored after library code that changes it
// on its way, so that a plug-in leaves its host's handling as it was.
struct SavedSignal {
  void* state = nullptr;
};
SavedSignal SaveBrokenPipeSignal();
void RestoreBrokenPipeSignal(SavedSignal& saved);

// Waits for a thread's end while the library that holds its code is being
// unloaded without an orderly stop (a static destructor). POSIX joins it.
// Windows may not wait for a thread's end there: every thread's end takes
// the loader's lock, which the unloading thread holds. It waits up to
// milliseconds for finished, which the thread sets as its last act, and
// releases the handle. True when the thread is known to be done with
// whatever it was handed.
bool JoinThreadAtUnload(ThreadHandle handle, Event& finished, std::uint32_t milliseconds);

}  // namespace orv::platform

#endif  // ORV_PLATFORM_PLATFORM_H
