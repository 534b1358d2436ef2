#include "host/refhost/table_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "orv/driver_api.h"

namespace orv::refhost {
namespace {

// Narrowest channel column: wide enough for "Channel 1" on a heading line and
// for any two-decimal value below 100000.
constexpr std::size_t kMinColumnWidth = 9;
constexpr char kGap[] = "  ";
constexpr char kLabelHeading[] = "Device";

// Code points of the bytes 0x80 to 0x9F of Windows-1252; 0 where undefined.
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t space = text.find(' ', start);
    const std::size_t end = space == std::string::npos ? text.size() : space;
    if (end > start) words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

// Greedy word wrap; a word wider than width gets a line of its own.
std::vector<std::string> WrapWords(const std::string& text, std::size_t width) {
  std::vector<std::string> lines;
  for (const std::string& word : SplitWords(text)) {
    if (!lines.empty() && DisplayWidth(lines.back()) + 1 + DisplayWidth(word) <= width) {
      lines.back() += ' ' + word;
    } else {
      lines.push_back(word);
    }
  }
  return lines;
}

std::string PadLeft(const std::string& text, std::size_t width) {
  const std::size_t used = DisplayWidth(text);
  return used >= width ? text : std::string(width - used, ' ') + text;
}

std::string PadRight(const std::string& text, std::size_t width) {
  const std::size_t used = DisplayWidth(text);
  return used >= width ? text : text + std::string(width - used, ' ');
}

void TrimRight(std::string& line) {
  const std::size_t end = line.find_last_not_of(' ');
  line.erase(end == std::string::npos ? 0 : end + 1);
}

bool SameHeadings(const DeviceRow& a, const DeviceRow& b) {
  return std::equal(a.channels.begin(), a.channels.end(), b.channels.begin(), b.channels.end(),
                    [](const ChannelHeading& x, const ChannelHeading& y) {
                      return x.name == y.name && x.unit == y.unit && x.kind == y.kind;
                    });
}

struct Column {
  std::vector<std::string> nameLines;
  std::string unit;
  std::vector<std::string> cells;  // one per row of the block
  std::size_t width = 0;
};

// Renders rows [first, last), which share their headings.
void RenderBlock(const std::vector<DeviceRow>& rows, std::size_t first, std::size_t last,
                 std::vector<std::string>& out) {
  const DeviceRow& head = rows[first];
  std::size_t labelWidth = sizeof(kLabelHeading) - 1;
  for (std::size_t r = first; r < last; ++r) {
    labelWidth = std::max(labelWidth, std::to_string(rows[r].id).size());
  }

  std::vector<Column> columns(head.channels.size());
  std::size_t headingLines = 1;
  bool anyUnit = false;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    Column& column = columns[c];
    const std::string& name = head.channels[c].name;
    column.unit = head.channels[c].unit;
    column.width = std::max(kMinColumnWidth, DisplayWidth(column.unit));
    for (const std::string& word : SplitWords(name)) {
      column.width = std::max(column.width, DisplayWidth(word));
    }
    for (std::size_t r = first; r < last; ++r) {
      const float value = c < rows[r].values.size() ? rows[r].values[c] : std::nanf("");
      column.cells.push_back(FormatValue(value, head.channels[c].kind));
      column.width = std::max(column.width, DisplayWidth(column.cells.back()));
    }
    column.nameLines = WrapWords(name, column.width);
    headingLines = std::max(headingLines, column.nameLines.size());
    anyUnit = anyUnit || !column.unit.empty();
  }

  // Names sit at the bottom of the heading, right above their units.
  for (std::size_t k = 0; k < headingLines; ++k) {
    std::string line = PadRight(k + 1 == headingLines ? kLabelHeading : "", labelWidth);
    for (const Column& column : columns) {
      const std::size_t skip = headingLines - column.nameLines.size();
      line += kGap;
      line += PadLeft(k >= skip ? column.nameLines[k - skip] : "", column.width);
    }
    TrimRight(line);
    out.push_back(line);
  }
  if (anyUnit) {
    std::string line(labelWidth, ' ');
    for (const Column& column : columns) line += kGap + PadLeft(column.unit, column.width);
    TrimRight(line);
    out.push_back(line);
  }
  for (std::size_t r = first; r < last; ++r) {
    std::string line = PadRight(std::to_string(rows[r].id), labelWidth);
    for (const Column& column : columns) {
      line += kGap + PadLeft(column.cells[r - first], column.width);
    }
    TrimRight(line);
    out.push_back(line);
  }
}

}  // namespace

std::string Cp1252ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    char32_t code = byte;
    if (byte < 0x20 || byte == 0x7F) {
      code = '?';  // no control character reaches the terminal
    } else if (byte >= 0x80 && byte < 0xA0) {
      code = kCp1252High[byte - 0x80] != 0 ? kCp1252High[byte - 0x80] : U'?';
    }
    AppendUtf8(out, code);
  }
  return out;
}

std::size_t DisplayWidth(const std::string& utf8) {
  return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::string FormatValue(float value, std::int32_t kind) {
  if (std::isnan(value)) return "--";
  const bool wholeKind = kind == kKindLevel || kind == kKindSwitch || kind == kKindAlarm;
  const double shown = static_cast<double>(value) + 0.0;  // no "-0"
  char text[64];
  std::snprintf(text, sizeof(text), wholeKind && shown == std::nearbyint(shown) ? "%.0f" : "%.2f",
                shown);
  return text;
}

std::vector<std::string> RenderTable(const std::vector<DeviceRow>& rows) {
  std::vector<std::string> lines;
  std::size_t first = 0;
  while (first < rows.size()) {
    std::size_t last = first + 1;
    while (last < rows.size() && SameHeadings(rows[first], rows[last])) ++last;
    if (first > 0) lines.emplace_back();
    RenderBlock(rows, first, last, lines);
    first = last;
  }
  return lines;
}

}  // namespace orv::refhost
