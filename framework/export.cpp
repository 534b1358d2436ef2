#include "framework/export.h"

#include <charconv>
#include <fstream>

#include "framework/lock.h"
#include "framework/values.h"

namespace orv {

void ReplaceAll(std::string& text, const std::string& needle, const std::string& replacement) {
  if (needle.empty()) return;
  std::size_t pos = 0;
  while ((pos = text.find(needle, pos)) != std::string::npos) {
    text.replace(pos, needle.size(), replacement);
    pos += replacement.size();
  }
}

void AppendValue(std::string& line, float value) {
  // to_chars with a precision is defined as printf's %.6g in the C locale,
  // which is what a classic-locale stream writes by default.
  char buffer[32];
  const std::to_chars_result result = std::to_chars(
      buffer, buffer + sizeof buffer, static_cast<double>(value), std::chars_format::general, 6);
  line.append(buffer, result.ptr);
}

std::string HeaderLine(const std::vector<ChannelDescriptor>& descriptors, char separator) {
  std::string header = "Second";
  for (const ChannelDescriptor& d : descriptors) {
    std::string name = d.name;
    ReplaceAll(name, " ", "_");
    ReplaceAll(name, "\t", "_");
    header += separator;
    header += name;
  }
  header += '\n';
  return header;
}

void DataLine(std::string& line, const Sample& sample, std::uint64_t firstTimestamp,
              int valueCount, char separator, char decimalPoint) {
  line.clear();
  const std::int64_t seconds = static_cast<std::int64_t>(sample.timestamp - firstTimestamp) /
                               10000000;
  char buffer[24];
  std::to_chars_result result;
  if (seconds >= 0) {
    // The column is the low 32 bits of the quotient, as an unsigned number.
    result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::uint32_t>(seconds));
  } else {
    result = std::to_chars(buffer, buffer + sizeof buffer, seconds);
  }
  line.append(buffer, result.ptr);
  for (int i = 0; i < valueCount; ++i) {
    line += separator;
    if (!IsInvalid(sample.values[i])) AppendValue(line, sample.values[i]);
  }
  line += '\n';
  if (decimalPoint != '.') {
    for (char& c : line) {
      if (c == '.') c = decimalPoint;
    }
  }
}

void ExportHistory(Runtime& runtime, EmuDevice& device,
                   const std::vector<ChannelDescriptor>& descriptors, const std::string& path,
                   char separator, char decimalPoint) {
  std::ofstream file(path, std::ios::out | std::ios::trunc);
  if (!file.is_open()) {
    runtime.ShowMessageBox("Could not open file.", "Failed", kMbTaskModal | kMbIconError);
    return;
  }
  const std::string header = HeaderLine(descriptors, separator);
  file.write(header.data(), static_cast<std::streamsize>(header.size()));

  const int n = device.valueCount();
  std::string line;
  {
    LockGuard lock(device.history.historyMutex);
    const std::vector<Sample>& samples = device.history.samples;
    const std::uint64_t first = samples.empty() ? 0 : samples.front().timestamp;
    for (const Sample& sample : samples) {
      DataLine(line, sample, first, n, separator, decimalPoint);
      file.write(line.data(), static_cast<std::streamsize>(line.size()));
    }
  }
  file.close();  // write errors are not reported; what was written stays
}

}  // namespace orv
