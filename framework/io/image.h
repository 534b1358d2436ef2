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

// The largest image: its first field, the image's length, is 32 bits.
constexpr std::uint64_t kMaxImageBytes = 0xFFFFFFFFu;

// Why a save made no image.
enum class SaveFailure {
  kNone,
  kLengthField,  // the image would be longer than its length field can say
  kArrayLimit,   // longer than the largest array the host's library makes
  kMemory,       // no memory for it
};

// The host's array that a save fills, in the layout of the table the plug-in
// serves: Start makes room for the whole image at once, so the image is
// either written whole or not at all.
class ImageSink {
 public:
  virtual ~ImageSink() = default;
  // The longest array the host's library makes.
  virtual std::uint64_t MaxBytes() const = 0;
  // Empties the array, then makes room for bytes; throws std::bad_alloc.
  virtual void Start(std::size_t bytes) = 0;
  // Adds bytes within the room Start made.
  virtual void Append(const std::uint8_t* bytes, std::size_t count) = 0;
  // Empties the array and releases its storage.
  virtual void Discard() noexcept = 0;
};

// Writes the device's image into sink. An image that cannot be made whole
// (longer than the length field or the array can hold, or no memory for it)
// leaves the array empty, and the host's log gets one line naming the device,
// the image's size and why; nothing else changes.
SaveFailure SaveImage(Driver& driver, EmuDevice& device, ImageSink& sink) noexcept;

// SaveImage into the plug-in's own array: replaces image with the device's
// saved image, or empties it.
SaveFailure SaveDevice(Driver& driver, EmuDevice& device, ByteArray& image) noexcept;

// Creates and registers a device from the image starting at offset. An image
// of another version, or a damaged one, is refused with a message box and 0;
// nothing is registered then and no identifier is used.
DeviceId RestoreDevice(Driver& driver, const ByteArray& image, std::int32_t offset);

}  // namespace orv

#endif  // ORV_FRAMEWORK_IO_IMAGE_H
