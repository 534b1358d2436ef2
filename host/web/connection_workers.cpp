#include "host/web/connection_workers.h"

#include <utility>

namespace orv::web {

void ConnectionWorkers::enqueue(std::function<void()> job) {
  const std::lock_guard<std::mutex> lock(mutex_);
  jobs_.push_back(std::move(job));
  if (!idle_.empty()) {
    Worker* worker = idle_.back();
    idle_.pop_back();
    worker->woken = true;
    worker->wake.notify_one();
  } else if (workers_.size() < limit_ && !stopping_) {
    workers_.push_back(std::make_unique<Worker>());
    Worker* worker = workers_.back().get();
    worker->thread = std::thread([this, worker] { Run(*worker); });
  }
  // Otherwise the job waits for the first worker that finishes.
}

void ConnectionWorkers::shutdown() {
  std::vector<Worker*> workers;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (Worker* worker : idle_) {
      worker->woken = true;
      worker->wake.notify_one();
    }
    idle_.clear();
    for (const auto& worker : workers_) workers.push_back(worker.get());
  }
  for (Worker* worker : workers) {
    if (worker->thread.joinable()) worker->thread.join();
  }
}

std::size_t ConnectionWorkers::threads() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return workers_.size();
}

void ConnectionWorkers::Run(Worker& self) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (!jobs_.empty()) {
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      lock.lock();
      continue;
    }
    if (stopping_) return;
    self.woken = false;
    idle_.push_back(&self);
    self.wake.wait(lock, [&self] { return self.woken; });
  }
}

}  // namespace orv::web
