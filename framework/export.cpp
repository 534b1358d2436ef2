#include "framework/export.h"

#include <charconv>
#include <fstream>
#include <new>

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

void DataLine(std::string& line, const Sample& sample, std::uint64_t firstTimestamp, int valueCount,
              char separator, char decimalPoint) {
  line.clear();
  const std::int64_t seconds =
      static_cast<std::int64_t>(sample.timestamp - firstTimestamp) / 10000000;
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

namespace {

// Formats the data lines and writes them in chunks of about 64 KiB.
void WriteDataLines(std::ofstream& file, const std::vector<Sample>& samples, int valueCount,
                    char separator, char decimalPoint) {
  constexpr std::size_t kChunk = 64 * 1024;
  const std::uint64_t first = samples.empty() ? 0 : samples.front().timestamp;
  std::string chunk;
  std::string line;
  chunk.reserve(kChunk + 256);
  for (const Sample& sample : samples) {
    DataLine(line, sample, first, valueCount, separator, decimalPoint);
    chunk += line;
    if (chunk.size() >= kChunk) {
      file.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
      chunk.clear();
    }
  }
  file.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
}

}  // namespace

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

  // The export covers the history as it stands when historyMutex is taken.
  // Copying it is fast, so the update thread waits for the copy only, not
  // for the formatting and the file writes; without memory for a copy the
  // lines are written under the lock instead.
  const int n = device.valueCount();
  std::vector<Sample> snapshot;
  bool copied = false;
  {
    LockGuard lock(device.history.historyMutex);
    try {
      snapshot = device.history.samples;
      copied = true;
    } catch (const std::bad_alloc&) {
      WriteDataLines(file, device.history.samples, n, separator, decimalPoint);
    }
  }
  if (copied) WriteDataLines(file, snapshot, n, separator, decimalPoint);
  file.close();  // write errors are not reported; what was written stays
}

}  // namespace orv
