#include "framework/io/export.h"

#include <charconv>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>

#include "framework/core/lock.h"
#include "framework/core/values.h"

namespace orv {

void ReplaceAll(std::string& text, const std::string& needle, const std::string& replacement) {
  if (needle.empty()) return;
  std::size_t pos = 0;
  while ((pos = text.find(needle, pos)) != std::string::npos) {
    text.replace(pos, needle.size(), replacement);
    pos += replacement.size();
  }
}

namespace {

// Writes a valid value in general notation with precision 6: to_chars with a
// precision is defined as printf's %.6g in the C locale, which is what a
// classic-locale stream writes by default.
char* FormatValue(char* p, char* end, float value) {
  return std::to_chars(p, end, static_cast<double>(value), std::chars_format::general, 6).ptr;
}

}  // namespace

void AppendValue(std::string& line, float value) {
  char buffer[32];
  line.append(buffer, FormatValue(buffer, buffer + sizeof buffer, value));
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

namespace {

// Room for one data line: seconds (at most 20 characters) and six values of
// at most 13 characters each with their separators, with ample margin.
constexpr std::size_t kLineRoom = 256;

// The text of recently formatted values, by bit pattern. Histories repeat
// their values a lot (nominal values, levels, switches, a slowly moving
// measurement), and copying a dozen characters is far cheaper than
// formatting them again; a value's text depends on its bits alone.
class ValueTexts {
 public:
  // Needs 19 characters of room at p.
  char* Append(char* p, float value) {
    const std::uint32_t bits = FloatBits(value);
    Entry& e = entries_[(bits * 2654435761u) >> (32 - kBits)];
    if (e.length == 0 || e.bits != bits) {
      e.bits = bits;
      e.length =
          static_cast<std::uint8_t>(FormatValue(e.text, e.text + sizeof e.text, value) - e.text);
    }
    std::memcpy(p, e.text, sizeof e.text);  // a fixed size copies fastest; length counts
    return p + e.length;
  }

 private:
  static constexpr int kBits = 10;
  struct Entry {
    std::uint32_t bits = 0;
    std::uint8_t length = 0;  // 0: empty; no value formats to nothing
    char text[19] = {};       // the longest, such as -1.17549e-38, has 12
  };
  Entry entries_[std::size_t{1} << kBits];
};

// Writes one data line at p, which has kLineRoom characters of room, and
// returns its end. texts, when given, supplies the values' text.
char* FormatDataLine(char* p, const Sample& sample, std::uint64_t firstTimestamp, int valueCount,
                     char separator, char decimalPoint, ValueTexts* texts) {
  char* const start = p;
  char* const end = p + kLineRoom;
  const std::int64_t seconds =
      static_cast<std::int64_t>(sample.timestamp - firstTimestamp) / 10000000;
  if (seconds >= 0) {
    // The column is the low 32 bits of the quotient, as an unsigned number.
    p = std::to_chars(p, end, static_cast<std::uint32_t>(seconds)).ptr;
  } else {
    p = std::to_chars(p, end, seconds).ptr;
  }
  for (int i = 0; i < valueCount; ++i) {
    *p++ = separator;
    if (IsInvalid(sample.values[i])) continue;
    p = texts != nullptr ? texts->Append(p, sample.values[i])
                         : FormatValue(p, end, sample.values[i]);
  }
  *p++ = '\n';
  if (decimalPoint != '.') {
    for (char* c = start; c != p; ++c) {
      if (*c == '.') *c = decimalPoint;
    }
  }
  return p;
}

}  // namespace

void DataLine(std::string& line, const Sample& sample, std::uint64_t firstTimestamp, int valueCount,
              char separator, char decimalPoint) {
  char buffer[kLineRoom];
  const char* end =
      FormatDataLine(buffer, sample, firstTimestamp, valueCount, separator, decimalPoint, nullptr);
  line.assign(buffer, static_cast<std::size_t>(end - buffer));
}

namespace {

// Formats the data lines straight into a buffer and writes it whenever it is
// full: 1 MiB, or a few KiB on the stack when memory is short (the samples
// already recorded are exported all the same).
void WriteDataLines(std::ofstream& file, const SampleSnapshot& snapshot, int valueCount,
                    char separator, char decimalPoint) {
  constexpr std::size_t kChunk = 1024 * 1024;
  constexpr std::size_t kSmallChunk = 8 * 1024;
  char small[kSmallChunk + kLineRoom];
  std::unique_ptr<char[]> large(new (std::nothrow) char[kChunk + kLineRoom]);
  std::unique_ptr<ValueTexts> texts(new (std::nothrow) ValueTexts());
  char* const chunk = large != nullptr ? large.get() : small;
  char* const full = chunk + (large != nullptr ? kChunk : kSmallChunk);
  char* p = chunk;
  const std::uint64_t first =
      snapshot.size() == 0 ? 0 : LoadNative(snapshot.Record(0), valueCount).timestamp;
  const std::size_t stride = snapshot.stride();
  snapshot.ForEachRun([&](const std::uint8_t* records, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
      const Sample sample = LoadNative(records + k * stride, valueCount);
      p = FormatDataLine(p, sample, first, valueCount, separator, decimalPoint, texts.get());
      if (p >= full) {
        file.write(chunk, p - chunk);
        p = chunk;
      }
    }
  });
  file.write(chunk, p - chunk);
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

  // The export covers the history as it stands when historyMutex is taken;
  // the lock is held only to take the snapshot, so neither the update thread
  // nor the host's other calls wait for the formatting and the file writes.
  SampleSnapshot snapshot;
  {
    LockGuard lock(device.history.historyMutex);
    snapshot = device.history.samples.Snapshot();
  }
  WriteDataLines(file, snapshot, device.valueCount(), separator, decimalPoint);
  file.close();  // write errors are not reported; what was written stays
}

}  // namespace orv
