// The MSVC-ABI flavour's table as a host of that ABI calls it, in the slots
// the probe does not cover: the settings dialog receives the host's port list,
// and containers the host hands in already holding big blocks are regrown and
// freed into its heap.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/boundary/msvc_abi.h"
#include "host/dialogs/dialog_control.h"
#include "platform/platform.h"
#include "tests/msvc_abi/host_heap.h"

namespace orv::msvc {
namespace {

std::filesystem::path OwnFolder() {
  char self[4096];
  if (!platform::OwnModulePath(self, sizeof self)) return {};
  return std::filesystem::path(self).parent_path();
}

template <typename Fn>
Fn Resolve(platform::ModuleHandle module, const char* name) {
  return reinterpret_cast<Fn>(platform::FindSymbol(module, name));
}

// One plug-in of the build, loaded beside this program with its dialogs.
class Plugin {
 public:
  explicit Plugin(const char* name) {
    module_ = platform::LoadModule((OwnFolder() / name).string().c_str());
    if (module_ == nullptr) return;
    auto get = Resolve<void (*)(DriverFunctionTable*)>(module_, "GetOrvDeviceDriverAPI");
    if (get != nullptr) get(&table);
  }
  ~Plugin() {
    if (module_ != nullptr) platform::UnloadModule(module_);
  }
  bool loaded() const { return module_ != nullptr && table.Init != nullptr; }

  DriverFunctionTable table{};

 private:
  platform::ModuleHandle module_ = nullptr;
};

// The dialog module's controls, reached through the copy the plug-in loaded.
struct SettingsDialog {
  decltype(&portconf_control_answer) answer = nullptr;
  decltype(&portconf_control_calls) calls = nullptr;
  decltype(&portconf_control_last_call) last = nullptr;
  decltype(&portconf_dt_control_answer) answerDt = nullptr;
};

TEST(MsvcTable, SettingsDialogReceivesTheHostsPortList) {
  struct Case {
    const char* plugin;
    const char* dialog;
  };
  for (const Case& c : {Case{"gasctl_sim.dll", "portconf"}, Case{"twotemp_sim.dll", "portconf_dt"},
                        Case{"climate_sim.dll", "portconf"}}) {
    SCOPED_TRACE(c.plugin);
    Plugin plugin(c.plugin);
    ASSERT_TRUE(plugin.loaded());
    ASSERT_EQ(plugin.table.Init(nullptr), 1);
    platform::ModuleHandle picker = platform::LoadModule("portpick.dll");
    platform::ModuleHandle dialog = platform::LoadModule((std::string(c.dialog) + ".dll").c_str());
    ASSERT_TRUE(picker != nullptr && dialog != nullptr);
    Resolve<decltype(&portpick_control_answer)>(picker, "portpick_control_answer")(1, 3, 4);
    const std::string prefix = c.dialog;
    auto calls =
        Resolve<decltype(&portconf_control_calls)>(dialog, (prefix + "_control_calls").c_str());
    auto last = Resolve<decltype(&portconf_control_last_call)>(
        dialog, (prefix + "_control_last_call").c_str());
    auto reset = Resolve<void (*)()>(dialog, (prefix + "_control_reset").c_str());
    ASSERT_TRUE(calls && last && reset);
    reset();
    if (prefix == "portconf") {
      Resolve<decltype(&portconf_control_answer)>(dialog, "portconf_control_answer")(1, 1, 7);
    } else {
      Resolve<decltype(&portconf_dt_control_answer)>(dialog, "portconf_dt_control_answer")(
          1, 1, 7, 0, "", "");
    }

    const DeviceId id = plugin.table.AddDevice();
    ASSERT_NE(id, 0);
    plugin.table.ShowSettings(id);
    plugin.table.ShowSettings(id);
    EXPECT_EQ(calls(), 2);
    const SettingsCall call = last();
    EXPECT_EQ(call.listWasEmpty, 1) << "the dialog reads the list in the host's layout";
    EXPECT_EQ(call.intervalOnEntry, 7) << "the first call's interval was kept";
    EXPECT_EQ(call.commSetting1, 3);
    EXPECT_STREQ(call.fileName, c.plugin);
    plugin.table.RemoveDevice(id);
    EXPECT_EQ(plugin.table.Shutdown(), 1);
    platform::UnloadModule(dialog);
    platform::UnloadModule(picker);
  }
  EXPECT_TRUE(HeapIsSound());
}

// Containers the host filled before the call, big or small, come back with the
// plug-in's content in blocks of the host's heap.
TEST(MsvcTable, HostContainersAreRegrownAndFreed) {
  Plugin plugin("gasctl_sim.dll");
  ASSERT_TRUE(plugin.loaded());
  ASSERT_EQ(plugin.table.Init(nullptr), 1);
  platform::ModuleHandle picker = platform::LoadModule("portpick.dll");
  Resolve<decltype(&portpick_control_answer)>(picker, "portpick_control_answer")(1, 1, 1);
  const DeviceId id = plugin.table.AddDevice();
  ASSERT_NE(id, 0);
  plugin.table.SetRecording(id, true);
  plugin.table.SetUpdating(id, true);
  Sleep(1500);

  for (std::size_t before : {0u, 10u, 300u, 5000u}) {
    SCOPED_TRACE(before);
    DriverInfo info;
    info.longName.Assign(std::string(before, 'L'));
    info.fileName.Assign(std::string(before, 'F'));
    plugin.table.GetDriverInfo(info);
    EXPECT_EQ(info.fileName.view(), "gasctl_sim.dll");
    EXPECT_FALSE(info.longName.view().empty());
    EXPECT_EQ(info.longName.data()[info.longName.size], '\0');

    ByteArray image;
    const std::string filler(before, '\x55');
    image.AssignCopy(reinterpret_cast<const std::uint8_t*>(filler.data()), filler.size());
    plugin.table.SaveDevice(id, image);
    ASSERT_GE(image.size(), 8u);
    std::int32_t length = 0;
    std::memcpy(&length, image.first, 4);
    EXPECT_EQ(static_cast<std::size_t>(length), image.size());

    ByteArray record;
    record.AssignCopy(image.first, before < image.size() ? before : image.size());
    plugin.table.GetSampleAt(id, 0.0, record);
    EXPECT_EQ(record.size(), 8u + 4u * 4u);

    const DeviceId copy = plugin.table.RestoreDevice(image, 0);
    EXPECT_NE(copy, 0);
    plugin.table.RemoveDevice(copy);
  }

  // An unknown device leaves the host's array as it was, as the plug-ins of
  // the other flavour do.
  ByteArray kept;
  const std::uint8_t seven[] = {1, 2, 3, 4, 5, 6, 7};
  kept.AssignCopy(seven, sizeof seven);
  plugin.table.SaveDevice(id + 1000, kept);
  EXPECT_EQ(std::string(kept.first, kept.last), std::string(seven, seven + sizeof seven));

  // A path held inside the string object and one on the heap, both relative
  // to the working folder.
  for (const std::string& name : {std::string("h.csv"), std::string(40, 'p') + ".csv"}) {
    const std::filesystem::path file = name;
    std::filesystem::remove(file);
    String path(name);
    EXPECT_EQ(path.IsInline(), name.size() <= String::kSmallCapacity);
    plugin.table.ExportHistory(id, path, ';', ',');
    EXPECT_TRUE(std::filesystem::exists(file)) << file;
    std::filesystem::remove(file);
  }

  plugin.table.RemoveDevice(id);
  EXPECT_EQ(plugin.table.Shutdown(), 1);
  platform::UnloadModule(picker);
  EXPECT_TRUE(HeapIsSound());
}

// fake_plugin.dll, the probe's own plug-in (tools/msvc-probe), is built with
// Microsoft's library itself: the strings, records and arrays its code fills
// read right and free soundly through msvc_abi.h's layouts and heap rule, and
// a big block made by that rule is regrown and freed by the library's code.
TEST(MsvcTable, ContainersOfTheHostsOwnLibraryCrossBothWays) {
  Plugin fake("fake_plugin.dll");
  ASSERT_TRUE(fake.loaded());
  ASSERT_EQ(fake.table.Init(nullptr), 1);
  {
    DriverInfo info;
    fake.table.GetDriverInfo(info);
    EXPECT_EQ(info.longName.view(), "Fake probe plug-in, MSVC layout");
    EXPECT_FALSE(info.longName.IsInline());
    EXPECT_EQ(info.shortName.view(), "FakeProbe");
    EXPECT_EQ(info.fileName.view(), "fake_plugin.dll");
    EXPECT_TRUE(info.fileName.IsInline()) << "15 characters: the most the object holds";
    EXPECT_EQ(info.versionMajor, 1);
    EXPECT_EQ(info.versionMinor, 0);
  }
  EXPECT_TRUE(HeapIsSound());
  {
    const Vector<ChannelDescriptor> channels = fake.table.GetChannelDescriptors(1);
    ASSERT_EQ(channels.size(), 4u);
    EXPECT_EQ(channels[1].name.view(), "Value B, with a longer name");
    EXPECT_EQ(channels[1].settable, 1);
    EXPECT_EQ(channels[2].kind, kKindSwitch);
    EXPECT_EQ(channels[3].axisIndex, 1);
    EXPECT_EQ(channels[3].maximum, 1.0f);
    const Vector<AxisDescriptor> axes = fake.table.GetAxisDescriptors();
    ASSERT_EQ(axes.size(), 2u);
    EXPECT_EQ(axes[0].label.view(), "First axis, a label of some length");
    EXPECT_EQ(axes[0].unit.view(), "units");
    EXPECT_EQ(axes[0].maximum, 20.0);
    EXPECT_EQ(axes[0].step, 5.0);
    EXPECT_EQ(axes[0].red, 1.0f);
    EXPECT_EQ(axes[1].blue, 1.0f);
  }
  EXPECT_TRUE(HeapIsSound());
  // The library's image is 4,911 bytes; the array comes in empty, or holding
  // a full big block of this side's making that the library must regrow.
  for (std::size_t before : {0u, 4096u}) {
    SCOPED_TRACE(before);
    ByteArray image;
    if (before != 0) {
      image.Reserve(before);
      std::memset(image.first, 0x55, before);
      image.last = image.first + before;
    }
    fake.table.SaveDevice(1, image);
    ASSERT_EQ(image.size(), 4911u);
    std::uint32_t length = 0;
    std::memcpy(&length, image.first, 4);
    EXPECT_EQ(length, 4911u);
    ExpectHostBlock(image.first, image.capacity());
    EXPECT_TRUE(HeapIsSound());
  }
  EXPECT_TRUE(HeapIsSound());
}

// The host's log: every line, in order.
std::vector<std::string> g_log;
int CaptureLog(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  g_log.emplace_back(line);
  return 0;
}

// oversized_sim (tests/plugins/) in this flavour: a save longer than the
// host's largest array (2^31 - 1 bytes in this 32-bit host) hands back an
// empty array in the host's heap, whatever it held before, and one log line
// saying why; the host's heap stays sound.
TEST(MsvcTable, ASaveThatCannotBeMadeLeavesTheHostsArrayEmpty) {
  Plugin plugin("oversized_sim.dll");
  ASSERT_TRUE(plugin.loaded());
  ASSERT_EQ(plugin.table.Init(&CaptureLog), 1);
  platform::ModuleHandle picker = platform::LoadModule("portpick.dll");
  Resolve<decltype(&portpick_control_answer)>(picker, "portpick_control_answer")(1, 1, 1);
  const DeviceId id = plugin.table.AddDevice();
  ASSERT_EQ(id, 1);
  // 96 bytes and the file name's 17 before the samples, 24 bytes each, one
  // more sample than fits.
  const std::string line = "Device 1: not saved: the image would be " +
                           std::to_string(96 + 17 + (0x7FFFFFFFu / 24 + 1) * 24) +
                           " bytes, more than this process can hold in one array (2147483647).\n";
  for (std::size_t before : {0u, 7u, 4911u}) {
    SCOPED_TRACE(before);
    ByteArray image;
    const std::string filler(before, '\x55');
    image.AssignCopy(reinterpret_cast<const std::uint8_t*>(filler.data()), filler.size());
    g_log.clear();
    plugin.table.SaveDevice(id, image);
    EXPECT_TRUE(image.empty());
    EXPECT_EQ(image.first, nullptr) << "the host's old block is freed";
    std::vector<std::string> saves;
    for (const std::string& l : g_log) {
      if (l.find("saved") != std::string::npos) saves.push_back(l);
    }
    EXPECT_EQ(saves, std::vector<std::string>{line});
    EXPECT_TRUE(HeapIsSound());
  }
  plugin.table.RemoveDevice(id);
  EXPECT_EQ(plugin.table.Shutdown(), 1);
  platform::UnloadModule(picker);
}

}  // namespace
}  // namespace orv::msvc
