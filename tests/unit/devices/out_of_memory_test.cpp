// Running out of memory (in a 32-bit host: out of address space) while a
// device is added or restored: each allocation along the way is made to fail
// in turn, and every time the call returns 0, registers nothing, uses no
// identifier and leaves the devices already there untouched.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "framework/devices/driver.h"
#include "framework/devices/update_thread.h"
#include "framework/history/history.h"
#include "framework/io/image.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"
#include "models/twotemp/twotemp_model.h"
#include "tests/support/virtual_runtime.h"

namespace {

// Allocations this thread may still make before one fails; negative: no limit.
thread_local long t_allocationsLeft = -1;

bool AllocationFails() {
  if (t_allocationsLeft < 0) return false;
  if (t_allocationsLeft == 0) return true;
  --t_allocationsLeft;
  return false;
}

void* Allocate(std::size_t size) noexcept {
  if (AllocationFails()) return nullptr;
  return std::malloc(size != 0 ? size : 1);
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace orv {
namespace {

// Lets the next `allowed` allocations of this thread succeed and fails the
// one after; destroyed, lifts the limit.
struct FailingAllocation {
  explicit FailingAllocation(long allowed) { t_allocationsLeft = allowed; }
  ~FailingAllocation() { t_allocationsLeft = -1; }
};

TEST(OutOfMemory, AddAndRestoreFailCleanlyAtEveryAllocation) {
  const ModelDescription* models[] = {&co2::kModel, &twotemp::kModel, &climate::kModel};
  for (const ModelDescription* model : models) {
    SCOPED_TRACE(model->shortName);
    testing::VirtualRuntime runtime;
    Driver driver(*model, runtime);
    // A device with names and samples, so that restoring its image allocates
    // strings and a sample array as well as the record.
    const DeviceId first = driver.Register(driver.NewDevice());
    ASSERT_EQ(first, 1);
    std::shared_ptr<EmuDevice> device = driver.FindDevice(first);
    SetChannelNames(*device, std::string(40, 'L'), std::string(40, 'R'));
    Rng rng(1);
    device->recording.store(true);
    for (int tick = 0; tick < 50; ++tick) RunTick(*device, rng);
    ByteArray image;
    SaveDevice(driver, *device, image);
    ASSERT_FALSE(image.empty());

    const struct {
      const char* name;
      DeviceId (*create)(Driver&, const ByteArray&);
    } operations[] = {
        {"add",
         [](Driver& d, const ByteArray&) -> DeviceId {
           std::shared_ptr<EmuDevice> made = d.NewDevice();  // as AddDevice does
           return made != nullptr ? d.Register(std::move(made)) : 0;
         }},
        {"restore", [](Driver& d, const ByteArray& i) { return RestoreDevice(d, i, 0); }},
    };
    DeviceId nextId = 2;
    for (const auto& operation : operations) {
      SCOPED_TRACE(operation.name);
      long allowed = 0;
      DeviceId id = 0;
      for (; allowed < 1000; ++allowed) {
        {
          FailingAllocation limit(allowed);
          id = operation.create(driver, image);
        }
        if (id != 0) break;
        ASSERT_EQ(driver.DeviceCount(), static_cast<std::size_t>(nextId - 1)) << allowed;
      }
      EXPECT_GT(allowed, 0);  // at least one allocation was made to fail
      EXPECT_EQ(id, nextId);  // and none of the failures used an identifier
      ++nextId;
    }
    EXPECT_TRUE(runtime.messages().empty());
    EXPECT_EQ(SampleCount(driver.FindDevice(first)->history), 50u);
    for (DeviceId id = 1; id < nextId; ++id) driver.RemoveDevice(id);
  }
}

// The host's log, kept in fixed storage: the lines of a save that ran out of
// memory must not need memory to be kept.
char g_lastLine[256];
int g_lines = 0;
int CaptureLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(g_lastLine, sizeof g_lastLine, format, args);
  va_end(args);
  ++g_lines;
  return 0;
}

// Each allocation a save makes is made to fail in turn: every time the
// array comes back empty (never part of an image) with one line saying so,
// until the save has what it needs and the image is whole.
TEST(OutOfMemory, SaveIsWholeOrEmptyAndSaysWhyAtEveryAllocation) {
  const ModelDescription* models[] = {&co2::kModel, &twotemp::kModel, &climate::kModel};
  for (const ModelDescription* model : models) {
    SCOPED_TRACE(model->shortName);
    testing::VirtualRuntime runtime;
    Driver driver(*model, runtime);
    driver.environment().log.store(&CaptureLine);
    const DeviceId id = driver.Register(driver.NewDevice());
    std::shared_ptr<EmuDevice> device = driver.FindDevice(id);
    SetChannelNames(*device, std::string(40, 'L'), std::string(40, 'R'));
    Rng rng(1);
    device->recording.store(true);
    for (int tick = 0; tick < 50; ++tick) RunTick(*device, rng);
    ByteArray whole;
    ASSERT_EQ(SaveDevice(driver, *device, whole), SaveFailure::kNone);
    const std::string line = "Device 1: not saved: no memory for an image of " +
                             std::to_string(whole.size()) + " bytes.\n";

    long allowed = 0;
    for (; allowed < 1000; ++allowed) {
      ByteArray image(5000, 0xEE);  // the host's array held another image
      g_lines = 0;
      {
        FailingAllocation limit(allowed);
        SaveDevice(driver, *device, image);
      }
      if (!image.empty()) {
        EXPECT_EQ(image, whole);
        EXPECT_EQ(g_lines, 0);
        break;
      }
      EXPECT_EQ(g_lines, 1) << allowed;
      EXPECT_EQ(g_lastLine, line) << allowed;
    }
    EXPECT_GT(allowed, 0);  // at least one allocation was made to fail
    EXPECT_EQ(SampleCount(device->history), 50u);
    driver.RemoveDevice(id);
  }
}

}  // namespace
}  // namespace orv
