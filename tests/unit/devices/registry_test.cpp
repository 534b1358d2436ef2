// The device registry of a driver, the unsupported scan, the channel and axis
// descriptor lists and the module file name.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/core/values.h"
#include "framework/devices/driver.h"
#include "framework/devices/update_thread.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"
#include "models/twotemp/twotemp_model.h"
#include "tests/support/virtual_runtime.h"

namespace orv {
namespace {

// Counts the update threads' start and stop lines.
std::atomic<int> g_created{0};
std::atomic<int> g_stopped{0};

int CountThreadLines(const char* format, ...) {
  if (std::strcmp(format, "Update Thread created (TID: 0x%X).\n") == 0) ++g_created;
  if (std::strcmp(format, "Update Thread stopped (TID: 0x%X).\n") == 0) ++g_stopped;
  return 0;
}

// A driver that was never initialised, as unit tests have no dialog modules.
// Whatever a test leaves registered is removed at the end, as a host does.
struct Rig {
  explicit Rig(const ModelDescription& model) : driver(model, runtime) {
    g_created = 0;
    g_stopped = 0;
    driver.environment().log.store(&CountThreadLines);
  }
  ~Rig() {
    for (DeviceId id : ids) driver.RemoveDevice(id);
  }
  DeviceId Add() {
    const DeviceId id = driver.Register(driver.NewDevice());
    ids.push_back(id);
    return id;
  }

  testing::VirtualRuntime runtime;
  Driver driver;
  std::vector<DeviceId> ids;
};

TEST(DriverRegistry, IdsCountFromOneAndAreNeverReused) {
  Rig rig(co2::kModel);
  EXPECT_EQ(rig.Add(), 1);
  EXPECT_EQ(rig.Add(), 2);
  rig.driver.RemoveDevice(1);
  EXPECT_EQ(rig.driver.FindDevice(1), nullptr);
  EXPECT_EQ(rig.Add(), 3);
  rig.driver.RemoveDevice(3);
  EXPECT_EQ(rig.Add(), 4);
  EXPECT_EQ(rig.driver.DeviceCount(), 2u);
  for (DeviceId id : {2, 4}) {
    ASSERT_NE(rig.driver.FindDevice(id), nullptr) << id;
    EXPECT_EQ(rig.driver.FindDevice(id)->id, id);
  }
}

TEST(DriverRegistry, RemovingTheMiddleDeviceKeepsTheOthers) {
  Rig rig(twotemp::kModel);
  for (int i = 0; i < 3; ++i) rig.Add();
  const EmuDevice* first = rig.driver.FindDevice(1).get();
  const EmuDevice* last = rig.driver.FindDevice(3).get();
  rig.driver.RemoveDevice(2);
  EXPECT_EQ(rig.driver.DeviceCount(), 2u);
  EXPECT_EQ(rig.driver.FindDevice(1).get(), first);
  EXPECT_EQ(rig.driver.FindDevice(2), nullptr);
  EXPECT_EQ(rig.driver.FindDevice(3).get(), last);
}

TEST(DriverRegistry, UnknownIdsFindNothingAndRemoveHarmlessly) {
  Rig rig(climate::kModel);
  rig.Add();
  rig.Add();
  rig.driver.RemoveDevice(2);
  for (DeviceId id : {0, -1, 2, 3, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(rig.driver.FindDevice(id), nullptr);
    rig.driver.RemoveDevice(id);
    EXPECT_EQ(rig.driver.DeviceCount(), 1u);
  }
  EXPECT_NE(rig.driver.FindDevice(1), nullptr);
  EXPECT_EQ(rig.Add(), 3);
}

TEST(DriverRegistry, RemovingAnUpdatingDeviceStopsItsThreadFirst) {
  Rig rig(co2::kModel);
  const DeviceId id = rig.Add();
  std::weak_ptr<EmuDevice> watched = rig.driver.FindDevice(id);
  std::atomic<int> sleeps{0};
  rig.runtime.onSleep = [&sleeps](std::uint32_t, std::uint64_t) { sleeps.fetch_add(1); };
  SetUpdating(*watched.lock(), true);
  while (sleeps.load() < 3) std::this_thread::yield();
  rig.driver.RemoveDevice(id);
  EXPECT_TRUE(watched.expired());
  EXPECT_EQ(rig.driver.FindDevice(id), nullptr);
  EXPECT_EQ(g_created.load(), 1);
  EXPECT_EQ(g_stopped.load(), 1);
}

TEST(DriverRegistry, LookupsStaySafeWhileDevicesComeAndGo) {
  Rig rig(co2::kModel);
  const DeviceId kept = rig.Add();
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (!done.load()) {
        for (DeviceId id = 1; id < 8; ++id) {
          rig.driver.VisitDevice(id, [&](EmuDevice* d) {
            if ((d != nullptr && d->id != id) || (id == kept && d == nullptr)) ++wrong;
            if (d != nullptr) SetValue(*d, 0, 1.0f);  // touches the record
          });
          const std::shared_ptr<EmuDevice> found = rig.driver.FindDevice(id);
          if (found != nullptr && found->id != id) ++wrong;
        }
      }
    });
  }
  for (int round = 0; round < 300; ++round) {
    const DeviceId id = rig.driver.Register(rig.driver.NewDevice());
    rig.driver.RemoveDevice(id);
  }
  done.store(true);
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(rig.driver.DeviceCount(), 1u);
}

// Each nested visit opens one more read section; past the last free slot the
// look-up falls back to a counted reference and still finds the device.
void VisitNested(Driver& driver, DeviceId id, int depth, int& found, int& inSections) {
  driver.VisitDevice(id, [&](EmuDevice* d, bool inReadSection) {
    if (d != nullptr && d->id == id) ++found;
    if (inReadSection) ++inSections;
    if (depth > 1) VisitNested(driver, id, depth - 1, found, inSections);
  });
}

TEST(DriverRegistry, VisitsBeyondTheReadSectionsStillFindTheDevice) {
  Rig rig(climate::kModel);
  const DeviceId id = rig.Add();
  int found = 0, inSections = 0;
  VisitNested(rig.driver, id, 40, found, inSections);
  EXPECT_EQ(found, 40);
  EXPECT_EQ(inSections, static_cast<int>(ReadSections::kSlots));
  rig.driver.RemoveDevice(id);  // returns: no section was left open
  rig.ids.clear();
  int none = 0;
  VisitNested(rig.driver, id, 40, none, inSections);
  EXPECT_EQ(none, 0);
}

TEST(DriverRegistry, AddDeviceWithoutDialogCreatesNothing) {
  Rig rig(co2::kModel);
  EXPECT_EQ(rig.driver.AddDevice(), 0);
  EXPECT_EQ(rig.driver.DeviceCount(), 0u);
  EXPECT_EQ(rig.Add(), 1);
}

TEST(DriverRegistry, ScanShowsInformationAndReturnsNothing) {
  Rig rig(twotemp::kModel);
  rig.Add();
  EXPECT_TRUE(rig.driver.ScanDevices().empty());
  const auto messages = rig.runtime.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "No scanning for emulated devices supported.");
  EXPECT_EQ(messages[0].caption, "Failed");
  EXPECT_EQ(messages[0].flags, 0x2040u);  // task-modal, information icon
  EXPECT_EQ(rig.driver.DeviceCount(), 1u);
  EXPECT_EQ(rig.Add(), 2);
}

struct ChannelRowExpect {
  std::int32_t kind;
  const char* name;
  std::int32_t settable;
  std::int32_t axisIndex;
  float minimum, maximum;
};
struct AxisRowExpect {
  const char* label;
  const char* unit;
  double minimum, maximum, step;
  float red, green, blue;
};

void ExpectChannels(const std::vector<ChannelDescriptor>& actual,
                    const std::vector<ChannelRowExpect>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(::testing::Message() << "channel " << i);
    EXPECT_EQ(actual[i].kind, expected[i].kind);
    EXPECT_EQ(actual[i].name, expected[i].name);
    EXPECT_EQ(actual[i].settable, expected[i].settable);
    EXPECT_EQ(actual[i].axisIndex, expected[i].axisIndex);
    EXPECT_EQ(FloatBits(actual[i].minimum), FloatBits(expected[i].minimum));
    EXPECT_EQ(FloatBits(actual[i].maximum), FloatBits(expected[i].maximum));
  }
}

std::uint64_t DoubleBits(double d) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}

const std::vector<ChannelRowExpect> kCo2Channels = {
    {2, "CO2", 0, 1, 0.0f, 10.0f},
    {2, "CO2 Nominal", 1, 1, 0.0f, 10.0f},
    {5, "CO2 Regulator", 1, 0, 0.0f, 1.0f},
    {1, "Pump Level", 1, 0, 0.0f, 5.0f},
};
const std::vector<ChannelRowExpect> kTwotempChannels = {
    {2, "Channel 1 Temp", 0, 1, 10.0f, 60.0f},    {2, "Channel 1 Nominal", 1, 1, 10.0f, 60.0f},
    {5, "Channel 1 Heating", 1, 0, 0.0f, 1.0f},   {2, "Channel 2 Temp", 0, 1, 10.0f, 60.0f},
    {2, "Channel 2 Nominal", 1, 1, 10.0f, 60.0f}, {5, "Channel 2 Heating", 1, 0, 0.0f, 1.0f},
};
const std::vector<ChannelRowExpect> kClimateChannels = {
    {2, "CO2", 0, 1, 0.0f, 10.0f},          {2, "CO2 Nominal", 1, 1, 0.0f, 10.0f},
    {5, "CO2 Regulator", 1, 0, 0.0f, 1.0f}, {1, "Ventilation Level", 1, 0, 1.0f, 5.0f},
    {1, "Heating Level", 1, 0, 1.0f, 3.0f}, {4, "Overheat", 0, 0, 0.0f, 1.0f},
};
const AxisRowExpect kLevelAxis = {"Lvl", "", 0.0, 5.0, 1.0, 0.0f, 0.0f, 0.0f};
const AxisRowExpect kCo2Axis = {"CO2", "[%]", 0.0, 10.0, 1.0, 0.0f, 0.0f, 1.0f};
// Four bytes of Windows-1252: '[', the degree sign 0xB0, 'C', ']'.
const AxisRowExpect kTempAxis = {"Tmp",
                                 "[\xB0"
                                 "C]",
                                 10.0,
                                 60.0,
                                 5.0,
                                 1.0f,
                                 0.0f,
                                 0.0f};

struct ModelTables {
  const ModelDescription* model;
  const std::vector<ChannelRowExpect>* channels;
  AxisRowExpect axes[2];
};
const ModelTables kTables[] = {
    {&co2::kModel, &kCo2Channels, {kLevelAxis, kCo2Axis}},
    {&twotemp::kModel, &kTwotempChannels, {kLevelAxis, kTempAxis}},
    {&climate::kModel, &kClimateChannels, {kLevelAxis, kCo2Axis}},
};

TEST(DriverDescriptors, ChannelAndAxisListsMatchFieldByField) {
  for (const ModelTables& t : kTables) {
    SCOPED_TRACE(t.model->shortName);
    Rig rig(*t.model);
    const DeviceId id = rig.Add();
    ExpectChannels(rig.driver.GetChannelDescriptors(id), *t.channels);
    if (!t.model->channelNames) {
      ExpectChannels(rig.driver.GetChannelDescriptors(0), *t.channels);  // id not consulted
    }
    const std::vector<AxisDescriptor> axes = rig.driver.GetAxisDescriptors();
    ASSERT_EQ(axes.size(), 2u);
    for (int a = 0; a < 2; ++a) {
      SCOPED_TRACE(::testing::Message() << "axis " << a);
      const AxisRowExpect& e = t.axes[a];
      EXPECT_EQ(axes[a].label, e.label);
      EXPECT_EQ(axes[a].unit, e.unit);
      EXPECT_EQ(DoubleBits(axes[a].minimum), DoubleBits(e.minimum));
      EXPECT_EQ(DoubleBits(axes[a].maximum), DoubleBits(e.maximum));
      EXPECT_EQ(DoubleBits(axes[a].step), DoubleBits(e.step));
      EXPECT_EQ(FloatBits(axes[a].red), FloatBits(e.red));
      EXPECT_EQ(FloatBits(axes[a].green), FloatBits(e.green));
      EXPECT_EQ(FloatBits(axes[a].blue), FloatBits(e.blue));
    }
  }
}

TEST(DriverDescriptors, EveryChannelLiesWithinItsAxis) {
  for (const ModelTables& t : kTables) {
    SCOPED_TRACE(t.model->shortName);
    Rig rig(*t.model);
    const std::vector<AxisDescriptor> axes = rig.driver.GetAxisDescriptors();
    for (const ChannelDescriptor& c : rig.driver.GetChannelDescriptors(rig.Add())) {
      SCOPED_TRACE(c.name);
      ASSERT_GE(c.axisIndex, 0);
      ASSERT_LT(c.axisIndex, static_cast<std::int32_t>(axes.size()));
      const AxisDescriptor& axis = axes[static_cast<std::size_t>(c.axisIndex)];
      EXPECT_LE(c.minimum, c.maximum);
      EXPECT_GE(c.minimum, axis.minimum);
      EXPECT_LE(c.maximum, axis.maximum);
    }
  }
}

TEST(DriverDescriptors, NamedChannelsFollowTheDeviceNames) {
  Rig rig(twotemp::kModel);
  const DeviceId first = rig.Add();
  const DeviceId second = rig.Add();
  SetChannelNames(*rig.driver.FindDevice(first), "A", "");
  SetChannelNames(*rig.driver.FindDevice(second), "Incubator left", "X");
  const struct {
    DeviceId id;
    std::vector<std::string> names;
  } cases[] = {
      {first, {"A Temp", "A Nominal", "A Heating", " Temp", " Nominal", " Heating"}},
      {second,
       {"Incubator left Temp", "Incubator left Nominal", "Incubator left Heating", "X Temp",
        "X Nominal", "X Heating"}},
  };
  for (const auto& c : cases) {
    const std::vector<ChannelDescriptor> list = rig.driver.GetChannelDescriptors(c.id);
    std::vector<ChannelRowExpect> expected = kTwotempChannels;
    for (std::size_t i = 0; i < expected.size(); ++i) expected[i].name = c.names[i].c_str();
    ExpectChannels(list, expected);
  }
  rig.driver.RemoveDevice(first);
  EXPECT_TRUE(rig.driver.GetChannelDescriptors(first).empty());
  EXPECT_TRUE(rig.driver.GetChannelDescriptors(0).empty());
  EXPECT_TRUE(rig.driver.GetChannelDescriptors(99).empty());
}

TEST(DriverPaths, LastPathComponentTakesTextAfterLastSeparator) {
  const struct {
    const char* path;
    char separator;
    const char* expected;
  } cases[] = {
      {"gasctl_sim.dll", '\\', "gasctl_sim.dll"},
      {"C:\\lab\\drivers\\gasctl_sim.dll", '\\', "gasctl_sim.dll"},
      {"C:\\lab\\drivers\\", '\\', ""},
      {"\\twotemp_sim.dll", '\\', "twotemp_sim.dll"},
      {"", '\\', ""},
      {"/opt/lab/drivers/climate_sim.so", '/', "climate_sim.so"},
      {"/opt/lab/drivers/", '/', ""},
      {"C:\\lab/drivers\\x.dll", '/', "drivers\\x.dll"},
      {"/opt/lab/climate_sim.so", '\\', "/opt/lab/climate_sim.so"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LastPathComponent(c.path, c.separator), c.expected) << c.path;
  }
}

}  // namespace
}  // namespace orv
