// Reading and writing a whole file as bytes, for device images and exports.
#ifndef ORV_HOST_REFHOST_WHOLE_FILE_H
#define ORV_HOST_REFHOST_WHOLE_FILE_H

#include <cstddef>
#include <filesystem>
#include <string>

#include "orv/driver_api.h"

namespace orv::refhost {

// False when the file cannot be opened or read.
bool ReadWholeFile(const std::string& path, ByteArray& bytes);
// Replaces the file's content; false when it cannot be written completely.
bool WriteWholeFile(const std::filesystem::path& path, const void* data, std::size_t size);

}  // namespace orv::refhost

#endif  // ORV_HOST_REFHOST_WHOLE_FILE_H
