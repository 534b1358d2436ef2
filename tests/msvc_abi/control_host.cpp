// A small host for the MSVC-ABI DLLs' control endpoints, built with this
// flavour's compiler: it calls only the table slots that pass no C++
// container (Init, AddDevice, ShowSettings, SetRecording, SetUpdating,
// IsUpdating, GetValue, Shutdown), so it needs no library of Microsoft's.
// The endpoint itself is driven from outside (tools/test_control_win32.sh).
//
//   orv_control_host PLUGIN.dll DEVICES STOP_FILE
//
// Loads the plug-in from this program's folder with its dialog modules,
// adds DEVICES devices at interval 0, recording and updating, prints
// "ready", then waits until STOP_FILE exists (at most ten minutes), prints
// each device's values and how long Shutdown took, and unloads the plug-in.
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "framework/boundary/msvc_abi.h"
#include "host/dialogs/dialog_control.h"
#include "platform/platform.h"

namespace {

using Table = orv::msvc::DriverFunctionTable;
namespace fs = std::filesystem;

int Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::printf("[log] ");
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
  return 0;
}

template <typename Fn>
Fn Resolve(orv::platform::ModuleHandle module, const char* name) {
  return reinterpret_cast<Fn>(orv::platform::FindSymbol(module, name));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: orv_control_host PLUGIN.dll DEVICES STOP_FILE\n");
    return 2;
  }
  char self[4096];
  if (!orv::platform::OwnModulePath(self, sizeof self)) return 1;
  const fs::path folder = fs::path(self).parent_path();
  orv::platform::ModuleHandle plugin =
      orv::platform::LoadModule((folder / argv[1]).string().c_str());
  auto get = Resolve<void (*)(Table*)>(plugin, "GetOrvDeviceDriverAPI");
  // The dialog modules, as the plug-in loads them: by plain file name.
  orv::platform::ModuleHandle pick = orv::platform::LoadModule("portpick.dll");
  orv::platform::ModuleHandle conf = orv::platform::LoadModule("portconf.dll");
  auto pickAnswer = Resolve<decltype(&portpick_control_answer)>(pick, "portpick_control_answer");
  auto confAnswer = Resolve<decltype(&portconf_control_answer)>(conf, "portconf_control_answer");
  if (get == nullptr || pickAnswer == nullptr || confAnswer == nullptr) {
    std::fprintf(stderr, "orv_control_host: %s or its dialog modules cannot be loaded\n", argv[1]);
    return 1;
  }
  Table table{};
  get(&table);
  if (table.Init(&Log) != 1) {
    std::fprintf(stderr, "orv_control_host: Init failed\n");
    return 1;
  }
  pickAnswer(1, 0, 0);
  confAnswer(1, 1, 0);  // interval 0
  std::vector<DeviceId> devices;
  for (int i = 0; i < std::atoi(argv[2]); ++i) {
    const DeviceId id = table.AddDevice();
    if (id == 0) return 1;
    table.ShowSettings(id);
    table.SetRecording(id, true);
    table.SetUpdating(id, true);
    if (!table.IsUpdating(id)) return 1;
    devices.push_back(id);
  }
  std::printf("ready\n");
  std::fflush(stdout);
  const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(10);
  while (!fs::exists(argv[3]) && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (const DeviceId id : devices) {
    std::printf("device %d:", id);
    for (int i = 0; i < 6; ++i) std::printf(" %g", table.GetValue(id, i));
    std::printf("\n");
  }
  const auto started = std::chrono::steady_clock::now();
  const std::int32_t result = table.Shutdown();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  std::printf("Shutdown returned %d in %lld ms\n", result, static_cast<long long>(took.count()));
  for (const DeviceId id : devices) table.SetUpdating(id, false);
  orv::platform::UnloadModule(plugin);
  return result == 1 ? 0 : 1;
}
