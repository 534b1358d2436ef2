// ExportHistory through the table of the built plug-in beside two writers of
// the same file: a to_chars writer with 1 MiB writes (the bound it must stay
// near) and one formatted line at a time through a string stream (what it
// must stay well ahead of).
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_host.h"

namespace orv::bench {
namespace {

constexpr int kSamples = 1000000;
constexpr char kSeparator = ';';
constexpr char kDecimalPoint = ',';

std::string Header(const DriverFunctionTable& table, DeviceId id) {
  std::string header = "Second";
  for (const ChannelDescriptor& d : table.GetChannelDescriptors(id)) {
    std::string name = d.name;
    for (char& c : name) {
      if (c == ' ' || c == '\t') c = '_';
    }
    header += kSeparator;
    header += name;
  }
  return header + '\n';
}

std::uint32_t SecondsColumn(int s) {
  return static_cast<std::uint32_t>((RecordedTimestamp(s) - RecordedTimestamp(0)) / 10000000);
}

void ToCharsWriter(const std::string& path, const std::string& header, int valueCount,
                   bool distinct) {
  constexpr std::size_t kWrite = 1 << 20;
  std::FILE* file = std::fopen(path.c_str(), "w");
  std::vector<char> buffer(kWrite + 512);
  std::size_t used = header.copy(buffer.data(), header.size());
  for (int s = 0; s < kSamples; ++s) {
    char* p = buffer.data() + used;
    char* const end = buffer.data() + buffer.size();
    p = std::to_chars(p, end, SecondsColumn(s)).ptr;
    for (int i = 0; i < valueCount; ++i) {
      *p++ = kSeparator;
      char* const value = p;
      p = std::to_chars(p, end, static_cast<double>(RecordedValue(s, i, distinct)),
                        std::chars_format::general, 6)
              .ptr;
      for (char* c = value; c != p; ++c) {
        if (*c == '.') *c = kDecimalPoint;
      }
    }
    *p++ = '\n';
    used = static_cast<std::size_t>(p - buffer.data());
    if (used >= kWrite) {
      std::fwrite(buffer.data(), 1, used, file);
      used = 0;
    }
  }
  std::fwrite(buffer.data(), 1, used, file);
  std::fclose(file);
}

void ReplaceAll(std::string& text, const std::string& needle, const std::string& replacement) {
  std::size_t pos = 0;
  while ((pos = text.find(needle, pos)) != std::string::npos) {
    text.replace(pos, needle.size(), replacement);
    pos += replacement.size();
  }
}

// A string stream reset for every line, the full stops replaced in each line's
// text, one write per line.
void LineAtATimeWriter(const std::string& path, const std::string& header, int valueCount,
                       bool distinct) {
  std::ofstream file(path, std::ios::out | std::ios::trunc);
  file.write(header.data(), static_cast<std::streamsize>(header.size()));
  std::ostringstream line;
  for (int s = 0; s < kSamples; ++s) {
    line.str("");
    line.clear();
    line << SecondsColumn(s);
    for (int i = 0; i < valueCount; ++i) line << kSeparator << RecordedValue(s, i, distinct);
    line << '\n';
    std::string text = line.str();
    ReplaceAll(text, ".", std::string(1, kDecimalPoint));
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
}

std::string Contents(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Argument 0: the usual repeating values; 1: every value distinct.
void BM_ExportHistory(benchmark::State& state) {
  const bool distinct = state.range(0) != 0;
  const DriverFunctionTable& table = Table(kClimate);
  RecordedDevice device(kClimate, kSamples, distinct);
  const std::string header = Header(table, device.id());
  const std::filesystem::path folder = std::filesystem::temp_directory_path();
  const std::string exported = (folder / "orv_bench_export.csv").string();
  const std::string toChars = (folder / "orv_bench_to_chars.csv").string();
  const std::string lines = (folder / "orv_bench_lines.csv").string();
  Paired toCharsTimes, lineTimes;
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    table.ExportHistory(device.id(), exported, kSeparator, kDecimalPoint);
    const double once = SecondsSince(start);
    start = Clock::now();
    ToCharsWriter(toChars, header, kClimate.valueCount, distinct);
    toCharsTimes.Add(once, SecondsSince(start));
    start = Clock::now();
    LineAtATimeWriter(lines, header, kClimate.valueCount, distinct);
    lineTimes.Add(once, SecondsSince(start));
    state.SetIterationTime(once);
  }
  if (Contents(exported) != Contents(toChars) || Contents(lines) != Contents(toChars)) {
    state.SkipWithError("the three files differ");
  }
  std::remove(exported.c_str());
  std::remove(toChars.c_str());
  std::remove(lines.c_str());
  state.counters["to_chars_ms"] = toCharsTimes.MedianBound() * 1e3;
  state.counters["lines_ms"] = lineTimes.MedianBound() * 1e3;
  state.counters["ratio"] = toCharsTimes.MedianRatio();
  state.counters["lines_over_export"] = 1.0 / lineTimes.MedianRatio();
}

}  // namespace

BENCHMARK(BM_ExportHistory)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace orv::bench
