// The containers of a host built with Microsoft's C++ compiler (release
// builds, toolset v140 and later, 32-bit), as they cross the driver table of
// the MSVC-ABI flavour of the plug-ins. Only that flavour's table adapters and
// the dialog modules built for it use these types; the framework keeps its own
// standard library.
//
// Layouts (x86): a string is 24 bytes, a 16-byte union of the inline buffer
// and the heap pointer, then the size at 16 and the capacity at 20; it keeps
// its text inline while the capacity is 15. A vector is three pointers: first
// element, one past the last, one past the end of the block.
//
// Every block the host may free or grow comes from the C runtime's malloc in
// ucrtbase.dll, following the host library's rule: a block of 4,096 bytes or
// more is over-allocated, its first byte aligned to 32, and the word before it
// holds the address malloc returned (the word before that a marker that debug
// builds check). A block is freed with the size it was allocated with: the
// string's capacity + 1, the vector's capacity times the element size.
#ifndef ORV_FRAMEWORK_BOUNDARY_MSVC_ABI_H
#define ORV_FRAMEWORK_BOUNDARY_MSVC_ABI_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "orv/driver_api.h"

namespace orv::msvc {

static_assert(sizeof(void*) == 4, "the MSVC-ABI flavour is 32-bit x86 only");

// ---- The host's heap ----------------------------------------------------------

// Binds ucrtbase.dll's malloc and free once; false when they cannot be had, in
// which case every Allocate fails.
bool BindHostHeap() noexcept;

constexpr std::size_t kBigAllocationThreshold = 4096;
constexpr std::size_t kBigAllocationAlignment = 32;
// What a big block carries beyond its user bytes: the back pointer, the debug
// marker and the worst alignment shift.
constexpr std::size_t kBigAllocationExtra = 2 * sizeof(void*) + kBigAllocationAlignment - 1;
constexpr std::uintptr_t kBigAllocationMarker = 0xFAFAFAFAu;

// A block of bytes the host can free: null for 0 bytes; throws std::bad_alloc
// when the heap is out of memory or not bound.
void* Allocate(std::size_t bytes);
// Frees a block that Allocate (or the host) made with the same byte count.
void Deallocate(void* block, std::size_t bytes) noexcept;
// The address malloc returned for a block of this byte count (the block itself
// below the threshold).
void* RawBlock(void* block, std::size_t bytes) noexcept;

// ---- std::string --------------------------------------------------------------

// The host's std::string. The data members are the layout; the host constructs
// and destroys the strings it hands in, the plug-in those it returns.
struct String {
  static constexpr std::size_t kBufferSize = 16;
  static constexpr std::size_t kSmallCapacity = kBufferSize - 1;

  union Storage {
    char buffer[kBufferSize];
    char* pointer;
  };
  Storage storage;
  std::size_t size;
  std::size_t capacity;

  String() noexcept : size(0), capacity(kSmallCapacity) { storage.buffer[0] = '\0'; }
  explicit String(std::string_view text) : String() { Assign(text); }
  String(String&& other) noexcept
      : storage(other.storage), size(other.size), capacity(other.capacity) {
    other.Forget();
  }
  String& operator=(String&& other) noexcept {
    if (this != &other) {
      Release();
      storage = other.storage;
      size = other.size;
      capacity = other.capacity;
      other.Forget();
    }
    return *this;
  }
  String(const String&) = delete;
  String& operator=(const String&) = delete;
  ~String() { Release(); }

  bool IsInline() const noexcept { return capacity <= kSmallCapacity; }
  const char* data() const noexcept { return IsInline() ? storage.buffer : storage.pointer; }
  char* data() noexcept { return IsInline() ? storage.buffer : storage.pointer; }
  std::string_view view() const noexcept { return {data(), size}; }

  // Replaces the text, keeping the buffer when it is large enough and otherwise
  // growing it as the host's library would (the old block freed with its size).
  // On bad_alloc the string is unchanged.
  void Assign(std::string_view text);

 private:
  void Release() noexcept {
    if (!IsInline()) Deallocate(storage.pointer, capacity + 1);
    Forget();
  }
  void Forget() noexcept {
    size = 0;
    capacity = kSmallCapacity;
    storage.buffer[0] = '\0';
  }
};

// ---- std::vector ---------------------------------------------------------------

// The host's std::vector<T>: three pointers, the block from the host's heap.
template <typename T>
struct Vector {
  T* first = nullptr;
  T* last = nullptr;
  T* end = nullptr;

  Vector() = default;
  Vector(Vector&& other) noexcept : first(other.first), last(other.last), end(other.end) {
    other.first = other.last = other.end = nullptr;
  }
  Vector& operator=(Vector&& other) noexcept {
    if (this != &other) {
      Reset();
      std::swap(first, other.first);
      std::swap(last, other.last);
      std::swap(end, other.end);
    }
    return *this;
  }
  Vector(const Vector&) = delete;
  Vector& operator=(const Vector&) = delete;
  ~Vector() { Reset(); }

  // The host library's max_size(): what a difference of two pointers can
  // count, and what the address space can hold.
  static constexpr std::size_t MaxSize() noexcept {
    return std::min<std::size_t>(PTRDIFF_MAX, SIZE_MAX / sizeof(T));
  }

  std::size_t size() const noexcept { return static_cast<std::size_t>(last - first); }
  std::size_t capacity() const noexcept { return static_cast<std::size_t>(end - first); }
  bool empty() const noexcept { return first == last; }
  T* data() noexcept { return first; }
  const T* data() const noexcept { return first; }
  T& operator[](std::size_t i) noexcept { return first[i]; }
  const T& operator[](std::size_t i) const noexcept { return first[i]; }

  // Makes room for n elements, moving the present ones into a new block of
  // exactly n when the old one is smaller.
  void Reserve(std::size_t n) {
    if (n <= capacity()) return;
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    T* block = static_cast<T*>(Allocate(n * sizeof(T)));
    const std::size_t count = size();
    for (std::size_t i = 0; i < count; ++i) {
      new (block + i) T(std::move(first[i]));
      first[i].~T();
    }
    Deallocate(first, capacity() * sizeof(T));
    first = block;
    last = block + count;
    end = block + n;
  }

  void PushBack(T&& value) {
    if (last == end) Reserve(size() + 1);
    new (last) T(std::move(value));
    ++last;
  }

  // Replaces the contents with a copy of n trivially copyable elements.
  void AssignCopy(const T* values, std::size_t n) {
    static_assert(std::is_trivially_copyable_v<T>, "AssignCopy copies bytes");
    if (n > capacity()) {
      Vector grown;
      grown.Reserve(n);
      *this = std::move(grown);
    }
    if (n != 0) std::memcpy(first, values, n * sizeof(T));
    last = first + n;
  }

  // Destroys the elements and frees the block; the vector is empty afterwards.
  void Reset() noexcept {
    for (T* p = first; p != last; ++p) p->~T();
    Deallocate(first, capacity() * sizeof(T));
    first = last = end = nullptr;
  }
};

using ByteArray = Vector<std::uint8_t>;
using IntList = Vector<std::int32_t>;

// ---- Records -------------------------------------------------------------------

struct DriverInfo {
  String longName;
  String shortName;
  String fileName;
  std::int32_t versionMajor = 0;
  std::int32_t versionMinor = 0;
};

struct ChannelDescriptor {
  std::int32_t kind = 0;
  String name;
  std::int32_t settable = 0;
  std::int32_t axisIndex = 0;
  float minimum = 0.0f;
  float maximum = 0.0f;
};

struct AxisDescriptor {
  String label;
  String unit;
  alignas(8) double minimum = 0.0;
  double maximum = 0.0;
  double step = 0.0;
  float red = 0.0f;
  float green = 0.0f;
  float blue = 0.0f;
};

static_assert(sizeof(String) == 24 && alignof(String) == 4, "string: 24 bytes");
static_assert(offsetof(String, storage) == 0, "string: buffer or pointer at 0");
static_assert(offsetof(String, size) == 16, "string: size at 16");
static_assert(offsetof(String, capacity) == 20, "string: capacity at 20");
static_assert(sizeof(ByteArray) == 12 && sizeof(Vector<ChannelDescriptor>) == 12,
              "vector: three pointers");
static_assert(offsetof(ByteArray, first) == 0 && offsetof(ByteArray, last) == 4 &&
                  offsetof(ByteArray, end) == 8,
              "vector: first, last, end");
static_assert(sizeof(DriverInfo) == 80, "DriverInfo: 80 bytes");
static_assert(offsetof(DriverInfo, shortName) == 24 && offsetof(DriverInfo, fileName) == 48 &&
                  offsetof(DriverInfo, versionMajor) == 72 &&
                  offsetof(DriverInfo, versionMinor) == 76,
              "DriverInfo offsets");
static_assert(sizeof(ChannelDescriptor) == 44, "ChannelDescriptor: 44 bytes");
static_assert(offsetof(ChannelDescriptor, name) == 4 &&
                  offsetof(ChannelDescriptor, settable) == 28 &&
                  offsetof(ChannelDescriptor, axisIndex) == 32 &&
                  offsetof(ChannelDescriptor, minimum) == 36 &&
                  offsetof(ChannelDescriptor, maximum) == 40,
              "ChannelDescriptor offsets");
static_assert(sizeof(AxisDescriptor) == 88, "AxisDescriptor: 88 bytes");
static_assert(offsetof(AxisDescriptor, unit) == 24 && offsetof(AxisDescriptor, minimum) == 48 &&
                  offsetof(AxisDescriptor, maximum) == 56 && offsetof(AxisDescriptor, step) == 64 &&
                  offsetof(AxisDescriptor, red) == 72 && offsetof(AxisDescriptor, green) == 76 &&
                  offsetof(AxisDescriptor, blue) == 80,
              "AxisDescriptor offsets");

// ---- The table -------------------------------------------------------------------

// The 26 slots of DriverFunctionTable, in the same order and with the same
// meaning, with the host's containers at the boundary.
struct DriverFunctionTable {
  std::int32_t (*Init)(LogFn log);
  std::int32_t (*Shutdown)();
  void (*GetDriverInfo)(DriverInfo& out);
  DeviceId (*AddDevice)();
  IntList (*ScanDevices)();
  DeviceId (*RestoreDevice)(const ByteArray& image, std::int32_t offset);
  void (*SaveDevice)(DeviceId id, ByteArray& image);
  void (*RemoveDevice)(DeviceId id);
  void (*SetUpdating)(DeviceId id, bool on);
  bool (*IsUpdating)(DeviceId id);
  void (*SetValue)(DeviceId id, std::int32_t index, float value);
  float (*GetValue)(DeviceId id, std::int32_t index);
  bool (*HasNoValidValues)(DeviceId id);
  void (*ShowSettings)(DeviceId id);
  std::int32_t (*CheckDevice)(DeviceId id);
  void (*SetRecording)(DeviceId id, bool on);
  bool (*IsRecording)(DeviceId id);
  bool (*HasHistory)(DeviceId id);
  void (*ClearHistory)(DeviceId id);
  double (*GetHistoryDuration)(DeviceId id);
  void (*GetSampleAt)(DeviceId id, double seconds, ByteArray& out);
  void (*ExportHistory)(DeviceId id, const String& path, char separator, char decimalPoint);
  Vector<ChannelDescriptor> (*GetChannelDescriptors)(DeviceId id);
  Vector<AxisDescriptor> (*GetAxisDescriptors)();
  void (*SetChannelConfig)(DeviceId id, std::int32_t index, const ChannelConfig* config);
  ChannelConfig (*GetChannelConfig)(DeviceId id, std::int32_t index);
};
static_assert(sizeof(DriverFunctionTable) == sizeof(::DriverFunctionTable),
              "the same 26 slots as the contract's table");
static_assert(offsetof(DriverFunctionTable, GetChannelConfig) ==
                  offsetof(::DriverFunctionTable, GetChannelConfig),
              "slot order");

// The settings dialogs' call shapes, with the host's port list.
using SettingsDialogFn = std::int32_t (*)(const char* longName, const char* shortName,
                                          const char* fileName, std::int32_t versionMajor,
                                          std::int32_t versionMinor, bool hasValues,
                                          std::int32_t commSetting1, std::int32_t commSetting2,
                                          std::int32_t minusOne, IntList* ports,
                                          std::int32_t* interval);
using SettingsDialogDtFn = std::int32_t (*)(const char* longName, const char* shortName,
                                            const char* fileName, std::int32_t versionMajor,
                                            std::int32_t versionMinor, bool hasValues,
                                            std::int32_t commSetting1, std::int32_t commSetting2,
                                            std::int32_t minusOne, IntList* ports,
                                            char* channelName1, char* channelName2,
                                            std::int32_t* interval);

}  // namespace orv::msvc

#endif  // ORV_FRAMEWORK_BOUNDARY_MSVC_ABI_H
