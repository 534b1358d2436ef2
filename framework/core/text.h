// Text as the drivers' logs and the JSON that reports them show it.
#ifndef ORV_FRAMEWORK_CORE_TEXT_H
#define ORV_FRAMEWORK_CORE_TEXT_H

#include <string>

namespace orv {

// An environment value as a log line may show it: control characters become
// '?', and a value that did not fit is marked as cut.
inline std::string PrintableValue(const char* value, bool cut) {
  std::string text(value);
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return cut ? text + "..." : text;
}

// Windows-1252 as UTF-8: Latin-1 letters and signs kept, the 0x80-0x9F block
// (which JSON text cannot hold as it stands) shown as '?'.
inline std::string Utf8FromDriverText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else if (byte < 0xA0) {
      out += '?';
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

}  // namespace orv

#endif  // ORV_FRAMEWORK_CORE_TEXT_H
