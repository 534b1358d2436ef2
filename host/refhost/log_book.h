// The drivers' most recent log lines, numbered in arrival order, for a face
// that shows them as they come (the dashboard's log panel). The log callback
// carries no context, so there is one book per process.
#ifndef ORV_HOST_REFHOST_LOG_BOOK_H
#define ORV_HOST_REFHOST_LOG_BOOK_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace orv::refhost {

struct LogEntry {
  std::uint64_t number = 0;  // from 1, one more for each line
  std::string text;          // without the line end
};

class LogBook {
 public:
  static constexpr std::size_t kKeptLines = 1000;
  static constexpr std::size_t kMaxLineBytes = 1000;  // longer lines are cut

  static LogBook& Shared();

  // Keeps the line, forgetting the oldest beyond kKeptLines.
  void Add(std::string text);
  // The number of the newest line, 0 before the first.
  std::uint64_t Last() const;
  // The kept lines numbered after `after`, oldest first, at most max of them.
  std::vector<LogEntry> After(std::uint64_t after, std::size_t max) const;

 private:
  mutable std::mutex mutex_;
  std::deque<LogEntry> lines_;
  std::uint64_t last_ = 0;
};

}  // namespace orv::refhost

#endif  // ORV_HOST_REFHOST_LOG_BOOK_H
