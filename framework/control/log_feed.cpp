#include "framework/control/log_feed.h"

#include <chrono>

namespace orv {

void LogFeed::Open() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
  last_ = 0;
  open_ = true;
}

void LogFeed::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = false;
  appended_.notify_all();
}

void LogFeed::Append(const std::string& text) {
  std::string line = text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_) return;
  if (lines_.size() == kKeptLines) lines_.pop_front();
  lines_.push_back(FeedLine{++last_, std::move(line)});
  appended_.notify_all();
}

std::vector<FeedLine> LogFeed::After(std::uint64_t after, std::size_t max, std::uint32_t waitMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  appended_.wait_for(lock, std::chrono::milliseconds(waitMs),
                     [&] { return !open_ || last_ > after; });
  std::vector<FeedLine> out;
  for (const FeedLine& line : lines_) {
    if (out.size() == max) break;
    if (line.number > after) out.push_back(line);
  }
  return out;
}

std::uint64_t LogFeed::last() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_;
}

}  // namespace orv
