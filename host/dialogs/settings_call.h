// Recording helpers shared by the two settings-dialog modules: they turn what a
// driver passed into a SettingsCall without trusting its pointers.
#ifndef ORV_HOST_DIALOGS_SETTINGS_CALL_H
#define ORV_HOST_DIALOGS_SETTINGS_CALL_H

#include <cstddef>
#include <cstdint>

#include "dialog_abi.h"  // the port list of the host flavour, chosen by the build
#include "host/dialogs/dialog_control.h"
#include "orv/driver_api.h"

namespace orv::dialogs {

// The answer both settings dialogs give; portconf_dt adds names on top.
struct SettingsAnswer {
  std::int32_t result = 1;
  std::int32_t setInterval = 0;
  std::int32_t newInterval = 0;
};

// Copies text into dest (size bytes), cut to size - 1 characters and always
// NUL-terminated; a null text gives an empty string.
void CopyCut(char* dest, std::size_t size, const char* text);

// Copies a driver's channel-name buffer, reading no byte past its
// kChannelNameBufferSize bytes; a buffer without a NUL yields its first 15.
void CopyNameBuffer(char (&dest)[kChannelNameBufferSize], const char* buffer);

// The record of the arguments the two settings dialogs share.
SettingsCall RecordCommonArguments(const char* longName, const char* shortName,
                                   const char* fileName, std::int32_t versionMajor,
                                   std::int32_t versionMinor, bool hasValues,
                                   std::int32_t commSetting1, std::int32_t commSetting2,
                                   std::int32_t minusOne, const PortList* ports,
                                   const std::int32_t* interval);

// Writes the answer's interval through the driver's pointer when asked to.
void ApplyInterval(const SettingsAnswer& answer, std::int32_t* interval);

}  // namespace orv::dialogs

#endif  // ORV_HOST_DIALOGS_SETTINGS_CALL_H
