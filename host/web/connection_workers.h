// The threads that serve the dashboard's connections. cpp-httplib hands each
// accepted connection to a task queue, and the task serves it until it
// closes. This queue starts a thread only when every thread it has is busy,
// up to a limit, and gives the next connection to the thread that became idle
// last: a quiet host keeps as many threads as it ever served connections at
// once, each with a warm stack, instead of waking all of a fixed pool in turn
// (whose every thread's stack and allocator cache would slowly become
// resident).
#ifndef ORV_HOST_WEB_CONNECTION_WORKERS_H
#define ORV_HOST_WEB_CONNECTION_WORKERS_H

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace orv::web {

//
// A thread that cannot be started (no memory, no more threads) releases its
// place at once: the connection waits for a busy thread to finish when there
// is one, and otherwise is served where it was accepted with Refusing() true,
// so that the server answers it 503 and it closes.
class ConnectionWorkers final : public httplib::TaskQueue {
 public:
  // Starts a thread running body, or throws (std::system_error,
  // std::bad_alloc). Tests pass one that fails.
  using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

  explicit ConnectionWorkers(std::size_t limit, ThreadStarter start = nullptr);
  ~ConnectionWorkers() override { shutdown(); }
  ConnectionWorkers(const ConnectionWorkers&) = delete;
  ConnectionWorkers& operator=(const ConnectionWorkers&) = delete;

  void enqueue(std::function<void()> job) override;
  // Runs the jobs already queued, then ends every thread.
  void shutdown() override;

  std::size_t threads() const;
  // True on a thread serving a connection that no worker could take.
  static bool Refusing();

 private:
  struct Worker {
    std::thread thread;
    std::condition_variable wake;
    bool woken = false;  // guarded by mutex_
  };
  void Run(Worker& self);
  // Starts one more worker; false (and no place taken) when it cannot.
  bool StartWorkerLocked();

  const std::size_t limit_;
  const ThreadStarter start_;
  mutable std::mutex mutex_;
  std::deque<std::function<void()>> jobs_;        // guarded by mutex_
  std::vector<std::unique_ptr<Worker>> workers_;  // guarded by mutex_
  std::vector<Worker*> idle_;                     // guarded by mutex_; the last became idle last
  bool stopping_ = false;                         // guarded by mutex_
};

}  // namespace orv::web

#endif  // ORV_HOST_WEB_CONNECTION_WORKERS_H
