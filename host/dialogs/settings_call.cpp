#include "host/dialogs/settings_call.h"

#include <cstring>

namespace orv::dialogs {

void CopyCut(char* dest, std::size_t size, const char* text) {
  if (dest == nullptr || size == 0) return;
  std::size_t length = 0;
  if (text != nullptr) {
    while (length + 1 < size && text[length] != '\0') ++length;
    std::memcpy(dest, text, length);
  }
  std::memset(dest + length, 0, size - length);
}

void CopyNameBuffer(char (&dest)[kChannelNameBufferSize], const char* buffer) {
  std::memset(dest, 0, sizeof(dest));
  if (buffer == nullptr) return;
  // memchr stops at the buffer's end, so an unterminated buffer is never overrun.
  const void* nul = std::memchr(buffer, '\0', kChannelNameBufferSize);
  const std::size_t length = nul != nullptr
                                 ? static_cast<std::size_t>(static_cast<const char*>(nul) - buffer)
                                 : kChannelNameBufferSize - 1;
  std::memcpy(dest, buffer, length);
}

SettingsCall RecordCommonArguments(const char* longName, const char* shortName,
                                   const char* fileName, std::int32_t versionMajor,
                                   std::int32_t versionMinor, bool hasValues,
                                   std::int32_t commSetting1, std::int32_t commSetting2,
                                   std::int32_t minusOne, const PortList* ports,
                                   const std::int32_t* interval) {
  SettingsCall call{};
  CopyCut(call.longName, sizeof(call.longName), longName);
  CopyCut(call.shortName, sizeof(call.shortName), shortName);
  CopyCut(call.fileName, sizeof(call.fileName), fileName);
  call.versionMajor = versionMajor;
  call.versionMinor = versionMinor;
  call.hasValues = hasValues ? 1 : 0;
  call.commSetting1 = commSetting1;
  call.commSetting2 = commSetting2;
  call.minusOne = minusOne;
  call.listWasEmpty = (ports != nullptr && ports->empty()) ? 1 : 0;
  call.intervalOnEntry = interval != nullptr ? *interval : 0;
  return call;
}

void ApplyInterval(const SettingsAnswer& answer, std::int32_t* interval) {
  if (answer.setInterval != 0 && interval != nullptr) *interval = answer.newInterval;
}

}  // namespace orv::dialogs
