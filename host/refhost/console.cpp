#include "host/refhost/console.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "host/refhost/log_book.h"

namespace orv::refhost {
namespace {

// LogFn carries no context, so the log callback finds its console here.
std::atomic<Console*> logTarget{nullptr};

// printf into a string; consumes args.
std::string FormatV(const char* format, std::va_list args) {
  std::va_list sizing;
  va_copy(sizing, args);
  const int length = std::vsnprintf(nullptr, 0, format, sizing);
  va_end(sizing);
  if (length <= 0) return std::string();
  std::string text(static_cast<std::size_t>(length), '\0');
  std::vsnprintf(&text[0], text.size() + 1, format, args);
  return text;
}

}  // namespace

Console::Console(bool redrawInPlace) : redrawInPlace_(redrawInPlace) { logTarget.store(this); }

Console::~Console() {
  Console* self = this;
  logTarget.compare_exchange_strong(self, nullptr);
  std::fflush(stdout);
}

void Console::Print(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  WriteLocked(stdout, line);
}

void Console::PrintError(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  WriteLocked(stderr, line);
}

void Console::ShowTable(const std::vector<std::string>& lines) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!redrawInPlace_) {
    for (const std::string& line : lines) std::fprintf(stdout, "%s\n", line.c_str());
    std::fputs("\n", stdout);
    std::fflush(stdout);
    return;
  }
  EraseTableLocked();
  table_ = lines;
  DrawTableLocked();
}

void Console::KeepTable() {
  std::lock_guard<std::mutex> lock(mutex_);
  tableOnScreen_ = false;
  table_.clear();
}

int Console::Log(const char* format, ...) {
  if (format == nullptr) return 0;
  std::va_list args;
  va_start(args, format);
  try {
    const std::string text = FormatV(format, args);
    // Lines come with or without their line end; each becomes one "[log]" line.
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(std::move(line));
      start = end + 1;
    }
    for (const std::string& line : lines) LogBook::Shared().Add(line);
    if (Console* console = logTarget.load()) {
      std::lock_guard<std::mutex> lock(console->mutex_);
      for (const std::string& line : lines) console->WriteLocked(stdout, "[log] " + line);
    }
  } catch (...) {
    // Out of memory: the line is lost, the driver's thread goes on.
  }
  va_end(args);
  return 0;
}

void Console::EraseTableLocked() {
  if (!tableOnScreen_ || table_.empty()) return;
  // Up to the table's first line, then clear to the end of the screen.
  std::fputs(("\x1b[" + std::to_string(table_.size()) + "F\x1b[J").c_str(), stdout);
  tableOnScreen_ = false;
}

void Console::DrawTableLocked() {
  for (const std::string& line : table_) std::fprintf(stdout, "%s\n", line.c_str());
  tableOnScreen_ = !table_.empty();
  std::fflush(stdout);
}

void Console::WriteLocked(std::FILE* stream, const std::string& line) {
  const bool redraw = redrawInPlace_ && tableOnScreen_;
  if (redraw) {
    EraseTableLocked();
    std::fflush(stdout);
  }
  std::fprintf(stream, "%s\n", line.c_str());
  std::fflush(stream);
  if (redraw) DrawTableLocked();
}

}  // namespace orv::refhost
