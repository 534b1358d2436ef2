// A plug-in for tests only: gasctl_sim's model and table (in the C++ ABI this
// build serves), except that every history's blocks are one block of memory
// seen again and again, and that SaveDevice first tops the device's history
// up to just past the largest image the table can hand back (4 GiB in a
// 64-bit process, 2 GiB in a 32-bit one). Through it a test sees what the
// table does with a save it cannot make, without gigabytes of memory.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "framework/boundary/table.h"
#include "framework/core/lock.h"
#include "framework/history/history.h"
#include "framework/timing/runtime.h"
#include "models/co2/co2_model.h"
#ifdef ORV_OVERSIZED_MSVC_TABLE
#include "framework/boundary/msvc_abi.h"
#endif

namespace orv {
namespace {

// One block's room, which every block of every history shares.
constexpr std::size_t kBlockRoom = std::size_t{1} << 20;
alignas(64) std::uint8_t sharedBlock[kBlockRoom];

// Each reservation of one block's span is the shared block; larger runs are
// refused, so that each block is its own reservation.
void* ReserveShared(std::size_t bytes) { return bytes <= kBlockRoom ? sharedBlock : nullptr; }
bool CommitShared(void*, std::size_t) { return true; }
void ReleaseShared(void*, std::size_t) {}
constexpr BlockMemory kSharedMemory{&ReserveShared, &CommitShared, &ReleaseShared};

// Built when the library is loaded, with every history drawing on the
// shared block from then on.
const bool sharedMemoryInstalled = (SetBlockMemory(&kSharedMemory), true);
Driver gDriver(co2::kModel, SystemRuntime());

#ifdef ORV_OVERSIZED_MSVC_TABLE
using HostByteArray = msvc::ByteArray;
const std::uint64_t hostArrayMax = msvc::ByteArray::MaxSize();
#else
using HostByteArray = ::ByteArray;
const std::uint64_t hostArrayMax = ::ByteArray().max_size();
#endif
using SaveFn = void (*)(DeviceId, HostByteArray&);
// The image's first field, its length, is 32 bits.
constexpr std::uint64_t kLengthFieldMax = 0xFFFFFFFFu;
SaveFn tableSave = nullptr;

// Publishes samples (whatever the shared block holds) until the records
// alone are longer than the largest image.
void GrowPastTheLargestImage(DeviceId id) {
  const std::shared_ptr<EmuDevice> device = gDriver.FindDevice(id);
  if (device == nullptr) return;
  const std::uint64_t largest = hostArrayMax < kLengthFieldMax ? hostArrayMax : kLengthFieldMax;
  SampleStore& samples = device->history.samples;
  const std::uint64_t target = largest / samples.stride() + 1;
  LockGuard lock(device->history.historyMutex);
  while (samples.size() < target) {
    std::size_t free = 0;
    samples.WritableSlots(free);
    const std::uint64_t missing = target - samples.size();
    samples.Publish(static_cast<std::size_t>(missing < free ? missing : free));
  }
}

void SaveOversized(DeviceId id, HostByteArray& image) noexcept {
  try {
    GrowPastTheLargestImage(id);
  } catch (...) {
  }
  tableSave(id, image);
}

}  // namespace

Driver& ThisDriver() { return gDriver; }

}  // namespace orv

ORV_EXPORT void GetOrvDeviceDriverAPI(DriverFunctionTable* table) {
  orv::FillHostTable(table);
  if (table == nullptr || !orv::sharedMemoryInstalled) return;
  // The slot holds the flavour's own SaveDevice, whatever type the contract's
  // table gives it; it is swapped as an address.
  static_assert(sizeof(orv::tableSave) == sizeof(table->SaveDevice), "one function pointer");
  std::memcpy(&orv::tableSave, &table->SaveDevice, sizeof orv::tableSave);
  const orv::SaveFn save = &orv::SaveOversized;
  std::memcpy(&table->SaveDevice, &save, sizeof save);
}
