#include "host/web/connection_workers.h"

#include <utility>

namespace orv::web {

namespace {

thread_local bool refusing = false;

std::thread StartThread(std::function<void()> body) { return std::thread(std::move(body)); }

// Serves a job on the calling thread with Refusing() true.
void RunRefused(std::function<void()>& job) noexcept {
  refusing = true;
  try {
    job();
  } catch (...) {
  }
  refusing = false;
}

}  // namespace

ConnectionWorkers::ConnectionWorkers(std::size_t limit, ThreadStarter start)
    : limit_(limit < 1 ? 1 : limit), start_(start ? std::move(start) : &StartThread) {}

bool ConnectionWorkers::Refusing() { return refusing; }

void ConnectionWorkers::enqueue(std::function<void()> job) {
  std::unique_lock<std::mutex> lock(mutex_);
  try {
    jobs_.push_back(std::move(job));
  } catch (...) {
    // No room even to queue it (the job is left as it was).
    lock.unlock();
    return RunRefused(job);
  }
  if (!idle_.empty()) {
    Worker* worker = idle_.back();
    idle_.pop_back();
    worker->woken = true;
    worker->wake.notify_one();
    return;
  }
  if (workers_.size() < limit_ && !stopping_) StartWorkerLocked();
  // Otherwise the job waits for the first worker that finishes; with none at
  // all it is refused here.
  if (!workers_.empty()) return;
  std::function<void()> refused = std::move(jobs_.back());
  jobs_.pop_back();
  lock.unlock();
  RunRefused(refused);
}

bool ConnectionWorkers::StartWorkerLocked() {
  try {
    workers_.push_back(std::make_unique<Worker>());
  } catch (...) {
    return false;
  }
  Worker* worker = workers_.back().get();
  try {
    worker->thread = start_([this, worker] { Run(*worker); });
    return true;
  } catch (...) {
    workers_.pop_back();  // the place goes back to the limit
    return false;
  }
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
