#include "framework/formats/export_text.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "framework/core/values.h"

namespace orv {
namespace {

constexpr std::string_view kSecond = "Second";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A character as a reason shows it.
std::string Shown(char c) {
  if (c == '\t') return "tab";
  if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "a control character";
  return std::string("`") + c + "`";
}

// A piece of a line as a reason quotes it: at most 24 characters, control
// characters as '?'.
std::string Quoted(std::string_view text) {
  std::string shown(text.substr(0, 24));
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return "`" + shown + (text.size() > 24 ? "...`" : "`");
}

// A separator must tell columns apart from names and numbers.
bool CanSeparate(char c) {
  return c != '\0' && c != '\n' && c != '\r' && !IsDigit(c) && !IsLetter(c) && c != '_' &&
         c != '-' && c != '+' && c != '.';
}

}  // namespace

ExportReader::ExportReader(ExportFormat given) : format_(given) {}

bool ExportReader::Fail(std::size_t line, std::string reason) {
  failed_ = true;
  fault_ = {line, std::move(reason)};
  return false;
}

bool ExportReader::RefuseLongLine() {
  if (failed_) return false;
  return Fail(line_ + 1,
              "the line is longer than " + std::to_string(kMaxExportLine) + " characters");
}

bool ExportReader::Take(std::string_view line) {
  if (failed_) return false;
  ++line_;
  sample_ = false;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line_ == 1) return TakeHeader(line);
  if (line.empty()) {
    if (emptyLine_ == 0) emptyLine_ = line_;
    return true;
  }
  if (emptyLine_ != 0) return Fail(emptyLine_, "an empty line between data lines");
  return TakeSample(line);
}

bool ExportReader::Finish() {
  if (failed_) return false;
  if (line_ == 0) return Fail(0, "the file is empty");
  if (samples_ == 0) return Fail(line_, "the file holds no data line after its header");
  return true;
}

bool ExportReader::TakeHeader(std::string_view line) {
  if (line.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    line.remove_prefix(kByteOrderMark.size());
  }
  if (line.substr(0, kSecond.size()) != kSecond) {
    return Fail(1, "no header line: the first line must start with `Second` and the column names");
  }
  line.remove_prefix(kSecond.size());
  if (line.empty()) return Fail(1, "the header names no column after `Second`");
  if (format_.separator == '\0') {
    if (!CanSeparate(line.front())) {
      return Fail(1,
                  "the header has no separator after `Second` (found " + Shown(line.front()) + ")");
    }
    format_.separator = line.front();
  } else if (line.front() != format_.separator) {
    return Fail(1, "the header does not separate its columns with " + Shown(format_.separator) +
                       " (found " + Shown(line.front()) + " after `Second`)");
  }
  line.remove_prefix(1);
  while (true) {
    if (names_.size() == kMaxExportColumns) {
      return Fail(1, "more than " + std::to_string(kMaxExportColumns) + " value columns");
    }
    const std::size_t end = line.find(format_.separator);
    names_.emplace_back(line.substr(0, end));
    if (end == std::string_view::npos) break;
    line.remove_prefix(end + 1);
  }
  values_.resize(names_.size());
  return true;
}

bool ExportReader::ParseValue(std::string_view text, std::size_t column, float& value) {
  if (text.empty()) {
    value = MakeInvalid();
    return true;
  }
  char buffer[64];
  if (text.size() >= sizeof buffer) {
    return Fail(line_, "column " + std::to_string(column) + " is not a number: " + Quoted(text));
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    const bool plain = IsDigit(c) || IsLetter(c) || c == '+' || c == '-';
    // The first punctuation in a value is the decimal character, unless given.
    if (!plain && format_.decimal == '\0' && c > 0x20 && c < 0x7F) format_.decimal = c;
    if (!plain && c == format_.decimal) {
      c = '.';
    } else if (!plain) {
      return Fail(line_, "column " + std::to_string(column) + " is not a number: " + Quoted(text) +
                             (format_.decimal == '\0'
                                  ? std::string()
                                  : " (the decimal character is " + Shown(format_.decimal) + ")"));
    }
    buffer[i] = c;
  }
  const char* end = buffer + text.size();
  const auto result = std::from_chars(buffer, end, value, std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    return Fail(line_, "column " + std::to_string(column) +
                           " is beyond the range of a value: " + Quoted(text));
  }
  if (result.ec != std::errc{} || result.ptr != end) {
    return Fail(line_, "column " + std::to_string(column) + " is not a number: " + Quoted(text));
  }
  if (IsInvalid(value)) value = MakeInvalid();  // "nan" is the invalid value, as an empty column
  return true;
}

bool ExportReader::TakeSample(std::string_view line) {
  const char separator = format_.separator;
  std::size_t end = line.find(separator);
  const std::string_view second = line.substr(0, end);
  std::int64_t seconds = 0;
  const auto result = std::from_chars(second.data(), second.data() + second.size(), seconds);
  if (second.empty() || result.ec != std::errc{} || result.ptr != second.data() + second.size()) {
    return Fail(line_, "the seconds " + Quoted(second) + " are not a whole number");
  }
  if (samples_ > 0 && seconds < seconds_) {
    return Fail(line_, "the seconds go back, from " + std::to_string(seconds_) + " to " +
                           std::to_string(seconds));
  }
  std::size_t column = 0;
  while (end != std::string_view::npos) {
    line.remove_prefix(end + 1);
    end = line.find(separator);
    if (column < values_.size() && !ParseValue(line.substr(0, end), column + 1, values_[column])) {
      return false;
    }
    ++column;
  }
  if (column != values_.size()) {
    return Fail(line_, std::to_string(column + 1) + " columns where the header has " +
                           std::to_string(values_.size() + 1));
  }
  seconds_ = seconds;
  sample_ = true;
  ++samples_;
  return true;
}

bool ReadExportText(std::string_view text, ExportReader& reader) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (line.size() > kMaxExportLine + 1) return reader.RefuseLongLine();
    if (!reader.Take(line)) return false;
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return reader.Finish();
}

}  // namespace orv
