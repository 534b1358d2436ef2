#include "host/refhost/log_book.h"

#include <algorithm>
#include <utility>

namespace orv::refhost {

LogBook& LogBook::Shared() {
  static LogBook book;
  return book;
}

void LogBook::Add(std::string text) {
  if (text.size() > kMaxLineBytes) text.resize(kMaxLineBytes);
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(LogEntry{++last_, std::move(text)});
  if (lines_.size() > kKeptLines) lines_.pop_front();
}

std::uint64_t LogBook::Last() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_;
}

std::vector<LogEntry> LogBook::After(std::uint64_t after, std::size_t max) const {
  std::lock_guard<std::mutex> lock(mutex_);
  // Numbers are consecutive, so the first wanted line is found by arithmetic.
  std::vector<LogEntry> found;
  if (lines_.empty() || after >= last_) return found;
  const std::uint64_t first = lines_.front().number;
  std::size_t start = after < first ? 0 : static_cast<std::size_t>(after - first + 1);
  for (std::size_t i = start; i < lines_.size() && found.size() < max; ++i) {
    found.push_back(lines_[i]);
  }
  return found;
}

}  // namespace orv::refhost
