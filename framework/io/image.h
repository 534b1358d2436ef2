// io/: what leaves a device as bytes or text: the saved image and the
// history export. Uses devices/, history/ and formats/ (reading an image).
//
// The saved device image: a little-endian byte layout that the host keeps
// between runs, written field by field (never a memory dump) so that an image
// written on one platform restores on every other.
#ifndef ORV_FRAMEWORK_IO_IMAGE_H
#define ORV_FRAMEWORK_IO_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/devices/device.h"
#include "framework/formats/image_layout.h"
#include "orv/driver_api.h"

namespace orv {

class Driver;

// Appends the four bytes of v, least significant first.
void WriteInt32(ByteArray& a, std::int32_t v);
// Overwrites the four existing bytes at pos; does nothing when they are not all there.
void PutInt32At(ByteArray& a, std::size_t pos, std::int32_t v);
// Appends the length and the characters; returns the bytes appended.
std::int32_t WriteString(ByteArray& a, const std::string& s);

const char* const kIncompatibleImageText =
    "Could not add device. The saved format is not compatible with the loaded driver.";

// Replaces image with the device's saved image. When memory runs out the
// array is left empty rather than holding a partial image.
void SaveDevice(Driver& driver, EmuDevice& device, ByteArray& image);

// Creates and registers a device from the image starting at offset. An image
// of another version, or a damaged one, is refused with a message box and 0;
// nothing is registered then and no identifier is used.
DeviceId RestoreDevice(Driver& driver, const ByteArray& image, std::int32_t offset);

}  // namespace orv

#endif  // ORV_FRAMEWORK_IO_IMAGE_H
