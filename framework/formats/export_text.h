// Reading an export back: the header line ("Second" and the column names),
// then a line per sample of whole seconds and values, with the separator
// and decimal character the host chose, as ExportHistory (io/) writes it.
// Checked line by line, so that a fault is reported with its line number.
#ifndef ORV_FRAMEWORK_FORMATS_EXPORT_TEXT_H
#define ORV_FRAMEWORK_FORMATS_EXPORT_TEXT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

// Limits on what an export may hold; a text beyond one is refused.
inline constexpr std::size_t kMaxExportLine = 4096;   // characters, without the line end
inline constexpr std::size_t kMaxExportColumns = 64;  // value columns, "Second" not counted

// The separator and decimal character; '\0' where the reader finds them: the
// separator from the character after "Second" in the header, the decimal
// character from the first value that has a fraction.
struct ExportFormat {
  char separator = '\0';
  char decimal = '\0';
};

// Where a text was refused (line 0: the text as a whole) and why.
struct TextFault {
  std::size_t line = 0;
  std::string reason;
};

class ExportReader {
 public:
  explicit ExportReader(ExportFormat given = {});

  // Takes the next line without its "\n" (a "\r" before it is dropped).
  // false on the first fault, which fault() then tells; a reader that has
  // failed takes nothing more.
  bool Take(std::string_view line);
  // At the end of the text: false when it held no header or no data line.
  bool Finish();
  // Refuses the next line as longer than kMaxExportLine; always false.
  bool RefuseLongLine();

  const TextFault& fault() const { return fault_; }
  std::size_t line() const { return line_; }  // lines taken so far
  char separator() const { return format_.separator; }
  char decimal() const { return format_.decimal; }  // '\0' until a fraction was seen
  // The value columns' names, as the header writes them.
  const std::vector<std::string>& names() const { return names_; }

  // After Take returned true: whether that line was a sample, and its
  // seconds and values (the invalid value for an empty column).
  bool sample() const { return sample_; }
  std::int64_t seconds() const { return seconds_; }
  const std::vector<float>& values() const { return values_; }

 private:
  bool Fail(std::size_t line, std::string reason);
  bool TakeHeader(std::string_view line);
  bool TakeSample(std::string_view line);
  bool ParseValue(std::string_view text, std::size_t column, float& value);

  ExportFormat format_;
  TextFault fault_;
  bool failed_ = false;
  std::size_t line_ = 0;
  std::size_t emptyLine_ = 0;  // an empty line not yet known to end the text
  std::size_t samples_ = 0;
  bool sample_ = false;
  std::int64_t seconds_ = 0;
  std::vector<std::string> names_;
  std::vector<float> values_;
};

// Splits text into lines for reader, then finishes it. A line longer than
// kMaxExportLine is refused.
bool ReadExportText(std::string_view text, ExportReader& reader);

// Reads a file's lines into take(std::string_view line) -> bool, stopping
// at the first false. A line longer than kMaxExportLine, or a read error,
// is a fault with the line's number. The caller opened the file.
template <typename Take>
bool ForEachFileLine(std::FILE* file, Take&& take, TextFault& fault) {
  std::string line;
  std::size_t number = 0;
  char buffer[16 * 1024];  // small enough for any thread that reads a scenario
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < got; ++i) {
      if (buffer[i] != '\n') continue;
      ++number;
      if (line.size() + (i - start) > kMaxExportLine + 1) {
        fault = {number,
                 "the line is longer than " + std::to_string(kMaxExportLine) + " characters"};
        return false;
      }
      line.append(buffer + start, i - start);
      if (!take(std::string_view(line))) return false;
      line.clear();
      start = i + 1;
    }
    if (line.size() + (got - start) > kMaxExportLine + 1) {
      fault = {number + 1,
               "the line is longer than " + std::to_string(kMaxExportLine) + " characters"};
      return false;
    }
    line.append(buffer + start, got - start);
  }
  if (std::ferror(file)) {
    fault = {0, "the file cannot be read"};
    return false;
  }
  return line.empty() || take(std::string_view(line));
}

}  // namespace orv

#endif  // ORV_FRAMEWORK_FORMATS_EXPORT_TEXT_H
