// POSIX backend of the platform layer (Linux).
#include <dlfcn.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/civil_time.h"
#include "platform/platform.h"

namespace orv::platform {

ModuleHandle LoadModule(const char* fileName) { return dlopen(fileName, RTLD_NOW | RTLD_LOCAL); }

void* FindSymbol(ModuleHandle module, const char* name) {
  if (module == nullptr) return nullptr;
  return dlsym(module, name);
}

void UnloadModule(ModuleHandle module) {
  if (module != nullptr) dlclose(module);
}

bool OwnModulePath(char* buf, std::size_t size) {
  if (buf == nullptr || size == 0) return false;
  buf[0] = '\0';
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&OwnModulePath), &info) == 0 || info.dli_fname == nullptr) {
    return false;
  }
  const std::size_t length = std::strlen(info.dli_fname);
  if (length >= size) return false;  // never a truncated path
  std::memcpy(buf, info.dli_fname, length + 1);
  return true;
}

char PathSeparator() { return '/'; }

const char* ModuleSuffix() { return ".so"; }

int ShowMessageBox(const char* text, const char* caption, unsigned flags) {
  // A host that draws message boxes exports the Win32 call shape.
  using MessageBoxFn = int (*)(void*, const char*, const char*, unsigned);
  if (void* symbol = dlsym(RTLD_DEFAULT, "MessageBoxA")) {
    return reinterpret_cast<MessageBoxFn>(symbol)(nullptr, text, caption, flags);
  }
  std::fprintf(stderr, "%s: %s\n", caption, text);
  return 1;  // IDOK
}

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

Mutex::Mutex() : state_(nullptr) {
  auto* mutex = new (std::nothrow) pthread_mutex_t;
  if (mutex == nullptr) return;
  if (pthread_mutex_init(mutex, nullptr) != 0) {
    delete mutex;
    return;
  }
  state_ = mutex;
}

Mutex::~Mutex() {
  if (state_ == nullptr) return;
  auto* mutex = static_cast<pthread_mutex_t*>(state_);
  pthread_mutex_destroy(mutex);
  delete mutex;
}

void Mutex::lock() {
  if (state_ != nullptr) pthread_mutex_lock(static_cast<pthread_mutex_t*>(state_));
}

bool Mutex::valid() const { return state_ != nullptr; }

bool Mutex::try_lock() {
  return state_ != nullptr && pthread_mutex_trylock(static_cast<pthread_mutex_t*>(state_)) == 0;
}

void Mutex::unlock() {
  if (state_ != nullptr) pthread_mutex_unlock(static_cast<pthread_mutex_t*>(state_));
}

namespace {

struct EventState {
  pthread_mutex_t mutex;
  pthread_cond_t changed;  // waits on CLOCK_MONOTONIC
  bool isSet;
};

}  // namespace

Event::Event() : handle_(nullptr) {
  auto* state = new (std::nothrow) EventState;
  if (state == nullptr) return;
  pthread_condattr_t attributes;
  if (pthread_condattr_init(&attributes) != 0) {
    delete state;
    return;
  }
  const bool condReady = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0 &&
                         pthread_cond_init(&state->changed, &attributes) == 0;
  pthread_condattr_destroy(&attributes);
  if (!condReady) {
    delete state;
    return;
  }
  if (pthread_mutex_init(&state->mutex, nullptr) != 0) {
    pthread_cond_destroy(&state->changed);
    delete state;
    return;
  }
  state->isSet = false;
  handle_ = state;
}

Event::~Event() {
  if (handle_ == nullptr) return;
  auto* state = static_cast<EventState*>(handle_);
  pthread_cond_destroy(&state->changed);
  pthread_mutex_destroy(&state->mutex);
  delete state;
}

void Event::set() {
  if (handle_ == nullptr) return;
  auto* state = static_cast<EventState*>(handle_);
  pthread_mutex_lock(&state->mutex);
  state->isSet = true;
  pthread_cond_broadcast(&state->changed);
  pthread_mutex_unlock(&state->mutex);
}

void Event::reset() {
  if (handle_ == nullptr) return;
  auto* state = static_cast<EventState*>(handle_);
  pthread_mutex_lock(&state->mutex);
  state->isSet = false;
  pthread_mutex_unlock(&state->mutex);
}

bool Event::waitMs(std::uint32_t milliseconds) {
  if (handle_ == nullptr) {
    SleepMs(milliseconds);
    return false;
  }
  auto* state = static_cast<EventState*>(handle_);
  if (milliseconds == 0) {
    // A poll: a timed wait on a deadline already passed still gives up the
    // processor, which a caller checking often cannot afford.
    pthread_mutex_lock(&state->mutex);
    const bool wasSet = state->isSet;
    pthread_mutex_unlock(&state->mutex);
    return wasSet;
  }
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&state->mutex);
  // Spurious wake-ups and EINTR just go round again towards the same deadline.
  while (!state->isSet) {
    if (pthread_cond_timedwait(&state->changed, &state->mutex, &deadline) == ETIMEDOUT) break;
  }
  const bool wasSet = state->isSet;
  pthread_mutex_unlock(&state->mutex);
  return wasSet;
}

namespace {

// Hand-over between StartThread and the new thread: the new thread reports
// its kernel thread id before it runs the caller's function, so the creator
// can log the same number the thread will later log for itself.
struct StartBlock {
  ThreadMain main;
  void* arg;
  std::uint32_t threadId;
  sem_t ready;
};

void* Trampoline(void* raw) {
  auto* block = static_cast<StartBlock*>(raw);
  const ThreadMain main = block->main;
  void* const arg = block->arg;
  block->threadId = CurrentThreadId();
  sem_post(&block->ready);  // block belongs to the creator from here on
  main(arg);
  return nullptr;
}

}  // namespace

bool StartThread(ThreadMain main, void* arg, ThreadHandle* handle, std::uint32_t* threadId) {
  auto* thread = new (std::nothrow) pthread_t;
  if (thread == nullptr) return false;
  StartBlock block{main, arg, 0, {}};
  if (sem_init(&block.ready, 0, 0) != 0) {
    delete thread;
    return false;
  }
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    sem_destroy(&block.ready);
    delete thread;
    return false;
  }
  const long minimum = sysconf(_SC_THREAD_STACK_MIN);
  const std::size_t stack = minimum > 0 && static_cast<std::size_t>(minimum) > kThreadStackBytes
                                ? static_cast<std::size_t>(minimum)
                                : kThreadStackBytes;
  // A refused size leaves the default stack, which is still a working thread.
  pthread_attr_setstacksize(&attributes, stack);
  const int created = pthread_create(thread, &attributes, &Trampoline, &block);
  pthread_attr_destroy(&attributes);
  if (created != 0) {
    sem_destroy(&block.ready);
    delete thread;
    return false;
  }
  while (sem_wait(&block.ready) != 0 && errno == EINTR) {
  }
  sem_destroy(&block.ready);
  *handle = thread;
  *threadId = block.threadId;
  return true;
}

void JoinThread(ThreadHandle handle) {
  if (handle == nullptr) return;
  auto* thread = static_cast<pthread_t*>(handle);
  pthread_join(*thread, nullptr);
  delete thread;
}

void SleepMs(std::uint32_t milliseconds) {
  timespec request{static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&request, &request) != 0 && errno == EINTR) {
  }
}

std::uint64_t LocalFileTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const time_t seconds = now.tv_sec;
  tm local{};
  localtime_r(&seconds, &local);
  CivilTime civil{};
  civil.year = local.tm_year + 1900;
  civil.month = local.tm_mon + 1;
  civil.day = local.tm_mday;
  civil.hour = local.tm_hour;
  civil.minute = local.tm_min;
  civil.second = local.tm_sec;
  civil.millisecond = static_cast<int>(now.tv_nsec / 1000000L);
  return CivilToFileTime(civil);
}

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(syscall(SYS_gettid)); }

std::uint64_t MonotonicMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(now.tv_nsec / 1000);
}

void* ReservePages(std::size_t bytes) {
  if (bytes == 0) return nullptr;
  void* base = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return base == MAP_FAILED ? nullptr : base;
}

bool CommitPages(void* at, std::size_t bytes) {
  return mprotect(at, bytes, PROT_READ | PROT_WRITE) == 0;
}

void ReleasePages(void* base, std::size_t bytes) {
  if (base != nullptr) munmap(base, bytes);
}

std::size_t ReadEnvironment(const char* name, char* buf, std::size_t size) {
  if (size > 0) buf[0] = '\0';
  const char* value = std::getenv(name);
  if (value == nullptr) return 0;
  const std::size_t length = std::strlen(value);
  if (size > 0) {
    const std::size_t copied = length < size ? length : size - 1;
    std::memcpy(buf, value, copied);
    buf[copied] = '\0';
  }
  return length;
}

bool WriteEnvironment(const char* name, const char* value) { return setenv(name, value, 1) == 0; }

FileKind LookAtFile(const char* path, std::uint64_t& size) {
  size = 0;
  struct stat status {};
  if (stat(path, &status) != 0) {
    // A file too large for a 32-bit size field is still a file.
    if (errno != EOVERFLOW) return FileKind::kMissing;
    size = ~std::uint64_t{0};
    return FileKind::kRegular;
  }
  if (!S_ISREG(status.st_mode)) return FileKind::kOther;
  size = static_cast<std::uint64_t>(status.st_size);
  return FileKind::kRegular;
}

}  // namespace orv::platform
