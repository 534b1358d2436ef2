#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "host/refhost/table_view.h"
#include "orv/driver_api.h"

namespace orv::refhost {
namespace {

TEST(TableView, Cp1252BytesBecomeUtf8) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"Temp", "Temp"},         {"[\260C]", "[\302\260C]"},  // degree sign, octal escapes
      {"\x80", "\xE2\x82\xAC"},                              // euro sign from the 0x80 block
      {"\x9F", "\xC5\xB8"},                                  // last entry of that block
      {"\xFF", "\xC3\xBF"},     {"\x81", "?"},               // undefined in Windows-1252
      {"a\tb\x1B", "a?b?"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Cp1252ToUtf8(c.in), c.out) << c.in;
  }
  EXPECT_EQ(DisplayWidth(Cp1252ToUtf8("[\260C]")), 4u);
}

TEST(TableView, ValuesShowByKind) {
  const struct {
    float value;
    std::int32_t kind;
    const char* shown;
  } cases[] = {
      {std::nanf(""), kKindQuantity, "--"},
      {std::nanf(""), kKindSwitch, "--"},
      {36.95f, kKindQuantity, "36.95"},
      {5.0f, kKindQuantity, "5.00"},
      {0.1f, kKindQuantity, "0.10"},
      {1.0f, kKindSwitch, "1"},
      {-0.0f, kKindSwitch, "0"},
      {3.0f, kKindLevel, "3"},
      {2.5f, kKindLevel, "2.50"},
      {1.0f, kKindAlarm, "1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatValue(c.value, c.kind), c.shown) << c.value << " kind " << c.kind;
  }
}

// The table as one text, a line end after every line, so that a mismatch
// shows as a readable diff.
std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST(TableView, ColumnsAlignUnderWrappedHeadings) {
  const std::vector<ChannelHeading> channels{{"CO2", "[%]", kKindQuantity},
                                             {"CO2 Regulator", "", kKindSwitch}};
  const std::vector<DeviceRow> rows{{1, channels, {5.0f, 1.0f}},
                                    {12, channels, {std::nanf("")}}};  // value 1 missing
  EXPECT_EQ(Joined(RenderTable(rows)),
            "                         CO2\n"
            "Device        CO2  Regulator\n"
            "              [%]\n"
            "1            5.00          1\n"
            "12             --         --\n");
}

TEST(TableView, ColumnsWidenForLongWordsUnitsAndValues) {
  const std::vector<ChannelHeading> channels{{"Ventilation Level", "", kKindLevel},
                                             {"T", "[\302\260C]", kKindQuantity}};
  EXPECT_EQ(Joined(RenderTable({{1, channels, {3.0f, 123456.0f}}})),
            "        Ventilation\n"
            "Device        Level          T\n"
            "                          [\302\260C]\n"
            "1                 3  123456.00\n");
}

TEST(TableView, HeadingRepeatsWhenChannelNamesChange) {
  const std::vector<ChannelHeading> left{{"Left Temp", "", kKindQuantity}};
  const std::vector<ChannelHeading> right{{"Right Temp", "", kKindQuantity}};
  EXPECT_EQ(Joined(RenderTable({{1, left, {1.0f}}, {2, left, {2.0f}}, {3, right, {3.0f}}})),
            "Device  Left Temp\n"
            "1            1.00\n"
            "2            2.00\n"
            "\n"
            "            Right\n"
            "Device       Temp\n"
            "3            3.00\n");
}

}  // namespace
}  // namespace orv::refhost
