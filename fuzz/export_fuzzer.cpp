// Fuzzes the export reader that a replay loads recordings with. The first
// input byte picks the separator and decimal character (or lets the reader
// find them); the rest is the text. Any input must end in an answer, and an
// accepted text must hold only what the reader promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "framework/formats/export_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const orv::ExportFormat formats[] = {{}, {';', '.'}, {',', '\0'}, {'\t', ','}};
  orv::ExportReader reader(formats[data[0] % 4]);
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (!orv::ReadExportText(text, reader)) {
    if (reader.fault().reason.empty()) std::abort();
    return 0;
  }
  if (reader.names().empty() || reader.names().size() > orv::kMaxExportColumns) std::abort();
  if (reader.values().size() != reader.names().size()) std::abort();
  if (reader.separator() == '\0' || reader.separator() == reader.decimal()) std::abort();
  return 0;
}
