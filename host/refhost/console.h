// The host's terminal output: message lines, the driver's log lines and the
// live table, written whole and in order from any thread.
#ifndef ORV_HOST_REFHOST_CONSOLE_H
#define ORV_HOST_REFHOST_CONSOLE_H

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace orv::refhost {

class Console {
 public:
  // With redrawInPlace each table replaces the previous one on the screen and
  // message lines appear above it; otherwise every table is printed as a new
  // block. The newest Console receives the driver's log lines.
  explicit Console(bool redrawInPlace);
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  void Print(const std::string& line);       // stdout
  void PrintError(const std::string& line);  // stderr
  void ShowTable(const std::vector<std::string>& lines);
  // Leaves the current table on the screen; later output goes below it.
  void KeepTable();

  // The LogFn handed to the driver: writes each formatted line as "[log] ..."
  // and keeps it in the LogBook, also when no Console exists.
  static int Log(const char* format, ...);

 private:
  void EraseTableLocked();
  void DrawTableLocked();
  void WriteLocked(std::FILE* stream, const std::string& line);

  std::mutex mutex_;  // guards everything below and the two streams
  const bool redrawInPlace_;
  std::vector<std::string> table_;
  bool tableOnScreen_ = false;
};

}  // namespace orv::refhost

#endif  // ORV_HOST_REFHOST_CONSOLE_H
