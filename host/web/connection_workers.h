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

class ConnectionWorkers final : public httplib::TaskQueue {
 public:
  explicit ConnectionWorkers(std::size_t limit) : limit_(limit < 1 ? 1 : limit) {}
  ~ConnectionWorkers() override { shutdown(); }
  ConnectionWorkers(const ConnectionWorkers&) = delete;
  ConnectionWorkers& operator=(const ConnectionWorkers&) = delete;

  void enqueue(std::function<void()> job) override;
  // Runs the jobs already queued, then ends every thread.
  void shutdown() override;

  std::size_t threads() const;

 private:
  struct Worker {
    std::thread thread;
    std::condition_variable wake;
    bool woken = false;  // guarded by mutex_
  };
  void Run(Worker& self);

  const std::size_t limit_;
  mutable std::mutex mutex_;
  std::deque<std::function<void()>> jobs_;        // guarded by mutex_
  std::vector<std::unique_ptr<Worker>> workers_;  // guarded by mutex_
  std::vector<Worker*> idle_;                     // guarded by mutex_; the last became idle last
  bool stopping_ = false;                         // guarded by mutex_
};

}  // namespace orv::web

#endif  // ORV_HOST_WEB_CONNECTION_WORKERS_H
