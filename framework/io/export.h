// Export of a device's history as a delimited text file.
#ifndef ORV_FRAMEWORK_IO_EXPORT_H
#define ORV_FRAMEWORK_IO_EXPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "framework/devices/device.h"
#include "orv/driver_api.h"

namespace orv {

// Replaces every occurrence of needle, left to right; the inserted text is
// never searched again, so a replacement containing the needle terminates.
void ReplaceAll(std::string& text, const std::string& needle, const std::string& replacement);

// A float in an output stream's default notation (general, precision 6) in
// the classic locale: 37 for 37.0, 36.95, 0.1, 1e-05, 1e+06.
void AppendValue(std::string& line, float value);

// The header line: "Second" and each descriptor name with spaces and tabs
// turned into underscores, separated by separator, ending in "\n".
std::string HeaderLine(const std::vector<ChannelDescriptor>& descriptors, char separator);

// One data line: whole seconds since first, then the values (empty column for
// an invalid one), then every "." replaced by decimalPoint. A sample earlier
// than the first gives a negative seconds column.
void DataLine(std::string& line, const Sample& sample, std::uint64_t firstTimestamp, int valueCount,
              char separator, char decimalPoint);

// Writes the file in text mode. When it cannot be opened, shows the message
// box "Could not open file." and writes nothing.
void ExportHistory(Runtime& runtime, EmuDevice& device,
                   const std::vector<ChannelDescriptor>& descriptors, const std::string& path,
                   char separator, char decimalPoint);

}  // namespace orv

#endif  // ORV_FRAMEWORK_IO_EXPORT_H
