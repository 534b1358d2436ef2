// Reading an export back: the separator and decimal character found or
// given, the values as the export printed them, and every malformed text
// refused with its line and the reason.
#include "framework/formats/export_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "framework/core/values.h"
#include "framework/io/export.h"

namespace orv {
namespace {

struct Read {
  bool ok = false;
  TextFault fault;
  char separator = 0, decimal = 0;
  std::vector<std::string> names;
  std::vector<std::int64_t> seconds;
  std::vector<std::vector<std::uint32_t>> bits;
};

Read ReadAll(const std::string& text, ExportFormat format = {}) {
  ExportReader reader(format);
  Read read;
  std::string_view rest = text;
  // Line by line, so that the samples can be collected as they come.
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    if (line.size() > kMaxExportLine + 1) {
      reader.RefuseLongLine();
      break;
    }
    if (!reader.Take(line)) break;
    if (reader.sample()) {
      read.seconds.push_back(reader.seconds());
      std::vector<std::uint32_t> row;
      for (float v : reader.values()) row.push_back(FloatBits(v));
      read.bits.push_back(row);
    }
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  read.ok = reader.fault().reason.empty() && reader.Finish();
  read.fault = reader.fault();
  read.separator = reader.separator();
  read.decimal = reader.decimal();
  read.names = reader.names();
  // The one-call form agrees.
  ExportReader whole(format);
  EXPECT_EQ(ReadExportText(text, whole), read.ok);
  EXPECT_EQ(whole.fault().line, read.fault.line);
  return read;
}

TEST(ExportReading, FindsTheSeparatorAndDecimalAndReadsEveryValue) {
  const std::uint32_t invalid = kInvalidBits;
  const struct {
    const char* name;
    std::string text;
    ExportFormat format;
    char separator, decimal;
    std::vector<std::string> names;
    std::vector<std::int64_t> seconds;
    std::vector<std::vector<std::uint32_t>> bits;
  } cases[] = {
      {"as the drivers write it",
       "Second;CO2;CO2_Nominal\n0;5;8\n1;5.1;8\n",
       {},
       ';',
       '.',
       {"CO2", "CO2_Nominal"},
       {0, 1},
       {{FloatBits(5.0f), FloatBits(8.0f)}, {FloatBits(5.1f), FloatBits(8.0f)}}},
      {"comma and decimal point",
       "Second,A\n0,36.95\n",
       {},
       ',',
       '.',
       {"A"},
       {0},
       {{FloatBits(36.95f)}}},
      {"tab and decimal comma",
       "Second\tA\tB\n0\t5,5\t1e-05\n",
       {},
       '\t',
       ',',
       {"A", "B"},
       {0},
       {{FloatBits(5.5f), FloatBits(1e-05f)}}},
      {"the decimal comma found on a later line",
       "Second;A\n0;5\n10;5,25\n",
       {},
       ';',
       ',',
       {"A"},
       {0, 10},
       {{FloatBits(5.0f)}, {FloatBits(5.25f)}}},
      {"empty columns are the invalid value",
       "Second;A;B\n0;;\n",
       {},
       ';',
       '\0',
       {"A", "B"},
       {0},
       {{invalid, invalid}}},
      {"infinities, and nan as invalid",
       "Second;A;B;C\n0;inf;-inf;nan\n",
       {},
       ';',
       '\0',
       {"A", "B", "C"},
       {0},
       {{FloatBits(std::numeric_limits<float>::infinity()),
         FloatBits(-std::numeric_limits<float>::infinity()), invalid}}},
      {"Windows line ends, a byte order mark, trailing empty lines",
       "\xEF\xBB\xBFSecond;A\r\n0;1.5\r\n1;2\r\n\r\n\n",
       {},
       ';',
       '.',
       {"A"},
       {0, 1},
       {{FloatBits(1.5f)}, {FloatBits(2.0f)}}},
      {"no final line end",
       "Second;A\n0;1\n7;2",
       {},
       ';',
       '\0',
       {"A"},
       {0, 7},
       {{FloatBits(1.0f)}, {FloatBits(2.0f)}}},
      {"repeated seconds",
       "Second;A\n3;1\n3;2\n",
       {},
       ';',
       '\0',
       {"A"},
       {3, 3},
       {{FloatBits(1.0f)}, {FloatBits(2.0f)}}},
      {"given separator and decimal",
       "Second|A\n0|2!5\n",
       {'|', '!'},
       '|',
       '!',
       {"A"},
       {0},
       {{FloatBits(2.5f)}}},
      {"names as written, empty ones too",
       "Second;Left_Temp;;x y\n0;1;2;3\n",
       {},
       ';',
       '\0',
       {"Left_Temp", "", "x y"},
       {0},
       {{FloatBits(1.0f), FloatBits(2.0f), FloatBits(3.0f)}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Read read = ReadAll(c.text, c.format);
    ASSERT_TRUE(read.ok) << read.fault.line << ": " << read.fault.reason;
    EXPECT_EQ(read.separator, c.separator);
    EXPECT_EQ(read.decimal, c.decimal);
    EXPECT_EQ(read.names, c.names);
    EXPECT_EQ(read.seconds, c.seconds);
    EXPECT_EQ(read.bits, c.bits);
  }
}

TEST(ExportReading, RefusesWithLineAndReason) {
  const struct {
    const char* name;
    std::string text;
    ExportFormat format;
    std::size_t line;
    const char* reason;
  } cases[] = {
      {"wrong separator",
       "Second;A\n0;1\n",
       {',', '\0'},
       1,
       "does not separate its columns with `,` (found `;` after `Second`)"},
      {"missing header", "0;5;8\n1;5;8\n", {}, 1, "no header line"},
      {"header of another kind", "Time;A\n0;1\n", {}, 1, "no header line"},
      {"no column after Second", "Second\n0\n", {}, 1, "names no column after `Second`"},
      {"a letter after Second", "Seconds;A\n0;1\n", {}, 1, "no separator after `Second`"},
      {"seconds going back",
       "Second;A\n0;1\n5;1\n4;1\n",
       {},
       4,
       "the seconds go back, from 5 to 4"},
      {"too many columns",
       "Second;A;B\n0;1;2\n1;1;2;3\n",
       {},
       3,
       "4 columns where the header has 3"},
      {"too few columns", "Second;A;B\n0;1\n", {}, 2, "2 columns where the header has 3"},
      {"a non-number", "Second;A;B\n0;1;abc\n", {}, 2, "column 2 is not a number: `abc`"},
      {"a number with text after it", "Second;A\n0;12x\n", {}, 2, "not a number: `12x`"},
      {"two decimal points", "Second;A\n0;5.5.5\n", {}, 2, "not a number"},
      {"a decimal point where a comma was found",
       "Second;A\n0;5,5\n1;5.5\n",
       {},
       3,
       "not a number: `5.5` (the decimal character is `,`)"},
      {"a decimal point where a comma was given",
       "Second;A\n0;5.5\n",
       {';', ','},
       2,
       "not a number"},
      {"beyond a float", "Second;A\n0;1e39\n", {}, 2, "column 1 is beyond the range of a value"},
      {"seconds with a fraction", "Second;A\n1.5;1\n", {}, 2, "the seconds `1.5` are not a whole"},
      {"seconds missing", "Second;A\n;1\n", {}, 2, "the seconds `` are not a whole number"},
      {"an empty line between data lines", "Second;A\n0;1\n\n2;1\n", {}, 3, "an empty line"},
      {"no data line", "Second;A\n", {}, 1, "no data line"},
      {"empty", "", {}, 0, "the file is empty"},
      {"a line too long",
       "Second;A\n0;" + std::string(5000, '1') + "\n",
       {},
       2,
       "longer than 4096 characters"},
      {"too many columns in the header",
       [] {
         std::string header = "Second";
         for (int i = 0; i < 65; ++i) header += ";c" + std::to_string(i);
         return header + "\n";
       }(),
       {},
       1,
       "more than 64 value columns"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Read read = ReadAll(c.text, c.format);
    EXPECT_FALSE(read.ok);
    EXPECT_EQ(read.fault.line, c.line) << read.fault.reason;
    EXPECT_NE(read.fault.reason.find(c.reason), std::string::npos) << read.fault.reason;
  }
}

// Six significant digits name one float each, and the float prints back as
// the same six digits: a replayed export exports again line for line.
TEST(ExportReading, EveryPrintedValueParsesBackToTheSameText) {
  std::mt19937 generator(42);
  std::uniform_int_distribution<std::uint32_t> bits;
  for (int k = 0; k < 200000; ++k) {
    const float value = FloatFromBits(bits(generator));
    if (IsInvalid(value)) continue;
    std::string printed;
    AppendValue(printed, value);
    ExportReader reader;
    ASSERT_TRUE(ReadExportText("Second;A\n0;" + printed + "\n", reader))
        << printed << ": " << reader.fault().reason;
    std::string again;
    AppendValue(again, reader.values()[0]);
    ASSERT_EQ(again, printed);
  }
}

}  // namespace
}  // namespace orv
