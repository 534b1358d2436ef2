// The driver's log lines as the control endpoint serves them (GET /log):
// numbered from 1, the last kKeptLines kept, and a reader may wait for the
// next one. Appends come from whichever thread logs (a host call, an update
// thread applying an event) and hold the feed's mutex only to copy a line in.
#ifndef ORV_FRAMEWORK_CONTROL_LOG_FEED_H
#define ORV_FRAMEWORK_CONTROL_LOG_FEED_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace orv {

struct FeedLine {
  std::uint64_t number;
  std::string text;  // without its line end
};

class LogFeed {
 public:
  static constexpr std::size_t kKeptLines = 1000;

  // Opens the feed for an endpoint that starts: empties it, numbers from 1.
  void Open();
  // Drops what comes from now on and wakes every waiting reader.
  void Close();
  // One line; a trailing line end is dropped. Ignored while closed.
  void Append(const std::string& text);
  // Up to max lines numbered after `after`, waiting up to waitMs for the
  // first when there is none yet (and the feed is open).
  std::vector<FeedLine> After(std::uint64_t after, std::size_t max, std::uint32_t waitMs);
  std::uint64_t last() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable appended_;
  std::deque<FeedLine> lines_;
  std::uint64_t last_ = 0;
  bool open_ = false;
};

}  // namespace orv

#endif  // ORV_FRAMEWORK_CONTROL_LOG_FEED_H
