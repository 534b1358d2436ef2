// Text layout of the live-value table: one row per device, one column per
// channel, headed by the channel names and the units of their axes.
#ifndef ORV_HOST_REFHOST_TABLE_VIEW_H
#define ORV_HOST_REFHOST_TABLE_VIEW_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orv::refhost {

// One column heading as the driver describes it; text in UTF-8.
struct ChannelHeading {
  std::string name;
  std::string unit;
  std::int32_t kind = 0;  // ChannelKind of the driver contract
};

struct DeviceRow {
  std::int32_t id = 0;
  std::vector<ChannelHeading> channels;
  std::vector<float> values;  // one per channel; NaN when not known
};

// Windows-1252 text as UTF-8 for the terminal; undefined bytes become '?'.
std::string Cp1252ToUtf8(const std::string& text);

// Characters a UTF-8 string takes on the terminal (one per code point).
std::size_t DisplayWidth(const std::string& utf8);

// A value as the table shows it: "--" when unknown, two decimals for
// quantities, whole numbers for levels, switches and alarms.
std::string FormatValue(float value, std::int32_t kind);

// The table's lines, without line ends. A heading is repeated above every run
// of rows whose channels differ from the row before (devices of a
// two-channel driver may carry different channel names).
std::vector<std::string> RenderTable(const std::vector<DeviceRow>& rows);

}  // namespace orv::refhost

#endif  // ORV_HOST_REFHOST_TABLE_VIEW_H
