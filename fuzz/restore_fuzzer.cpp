// Fuzzes RestoreDevice of all three models. The first input byte picks the
// offset (0..7) at which the image starts; the rest is the array. A device
// that restores must save to an image that restores to the same save.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "framework/devices/driver.h"
#include "framework/io/image.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"
#include "models/twotemp/twotemp_model.h"
#include "tests/support/quiet_runtime.h"

namespace {

void Exercise(orv::Driver& driver, const ByteArray& image, std::int32_t offset) {
  const DeviceId id = orv::RestoreDevice(driver, image, offset);
  if (id == 0) return;
  std::shared_ptr<orv::EmuDevice> device = driver.FindDevice(id);
  if (device == nullptr) std::abort();
  ByteArray saved;
  orv::SaveDevice(driver, *device, saved);
  const DeviceId again = orv::RestoreDevice(driver, saved, 0);
  if (again == 0) std::abort();
  ByteArray resaved;
  orv::SaveDevice(driver, *driver.FindDevice(again), resaved);
  if (resaved != saved) std::abort();
  driver.RemoveDevice(id);
  driver.RemoveDevice(again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static orv::testing::QuietRuntime runtime;
  static orv::Driver co2(orv::co2::kModel, runtime);
  static orv::Driver twotemp(orv::twotemp::kModel, runtime);
  static orv::Driver climate(orv::climate::kModel, runtime);
  if (size == 0) return 0;
  const std::int32_t offset = data[0] % 8;
  const ByteArray image(data + 1, data + size);
  Exercise(co2, image, offset);
  Exercise(twotemp, image, offset);
  Exercise(climate, image, offset);
  return 0;
}
