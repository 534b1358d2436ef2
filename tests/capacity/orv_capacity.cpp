// How many samples a host holds before recording pauses for lack of memory,
// and what it does then: a host program that loads gasctl_sim as a host
// does, fills its address space with restored histories, then lets three
// devices record on the emulated clock until the plug-in logs that
// recording is paused. It then checks that the devices go on updating, that
// every history still exports whole, and that removing a device gives its
// memory back so that recording resumes.
//
//   orv_capacity [--leave MIB]
//
// --leave first takes all but MIB of the process's address space for
// itself (a 32-bit process only), so that the run is short: the check the
// test command makes. Without it the figure is the whole process's.
// Exit status 0 when every check passed.
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orv/driver_api.h"
#include "platform/platform.h"

namespace {

namespace platform = orv::platform;
using Clock = std::chrono::steady_clock;

std::mutex logMutex;
std::vector<std::string> logLines;

int Log(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(logMutex);
  logLines.push_back(text);
  std::printf("capacity: log: %s", text);
  if (text[0] != '\0' && text[std::strlen(text) - 1] != '\n') std::printf("\n");
  std::fflush(stdout);
  return 0;
}

bool Logged(const char* part) {
  std::lock_guard<std::mutex> lock(logMutex);
  for (const std::string& line : logLines) {
    if (line.find(part) != std::string::npos) return true;
  }
  return false;
}

int failures = 0;
void Check(bool ok, const std::string& what) {
  std::printf("capacity: %s: %s\n", ok ? "ok" : "FAILED", what.c_str());
  std::fflush(stdout);
  if (!ok) ++failures;
}

void Put32(ByteArray& a, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) a.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A gasctl_sim image with interval 0 and samples one a second.
ByteArray Image(std::size_t samples) {
  ByteArray a;
  a.reserve(100 + samples * 24);
  Put32(a, 0);
  Put32(a, 0);                                               // no file name
  for (std::uint32_t v : {1u, 2u, 0u, 0u, 0u}) Put32(a, v);  // versions, settings, interval
  for (int i = 0; i < 4; ++i) {
    for (std::uint32_t v : {0u, 0u, 0x3F800000u, 1u}) Put32(a, v);
  }
  Put32(a, static_cast<std::uint32_t>(samples));
  for (std::size_t s = 0; s < samples; ++s) {
    const std::uint64_t t = 133000000000000000ull + 10000000ull * s;
    Put32(a, static_cast<std::uint32_t>(t));
    Put32(a, static_cast<std::uint32_t>(t >> 32));
    for (std::uint32_t v : {0x40A00000u, 0x40A00000u, 0x3F800000u, 0x3F800000u}) Put32(a, v);
  }
  return a;
}

std::size_t Samples(const DriverFunctionTable& api, DeviceId id) {
  return api.HasHistory(id) ? static_cast<std::size_t>(api.GetHistoryDuration(id)) + 1 : 0;
}

// Exports the history and checks that it holds a line per sample, one a
// second. A device still recording may add samples while it exports.
void CheckExport(const DriverFunctionTable& api, DeviceId id, const std::string& folder) {
  const std::size_t before = Samples(api, id);
  const std::string path = folder + "capacity_export.txt";
  api.ExportHistory(id, path, ';', '.');
  const std::size_t after = Samples(api, id);
  std::ifstream file(path);
  std::size_t lines = 0;
  std::string line, last;
  while (std::getline(file, line)) {
    ++lines;
    last = line;
  }
  file.close();
  std::remove(path.c_str());
  // A device that paused before its first sample exports the header alone.
  const std::string second = lines > 1 ? last.substr(0, last.find(';')) : "none";
  Check(lines >= before + 1 && lines <= after + 1 &&
            (lines == 1 || second == std::to_string(lines - 2)),
        "device " + std::to_string(id) + " exports its whole history (" + std::to_string(lines) +
            " lines, last second " + second + ")");
}

bool WaitFor(const char* part, int seconds) {
  const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
  while (!Logged(part)) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long leaveMiB = -1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--leave") == 0) leaveMiB = std::atol(argv[i + 1]);
  }
  // The plug-in and the dialog modules are beside this program.
  std::string folder = argv[0];
  const std::size_t slash = folder.find_last_of("/\\");
  folder = slash == std::string::npos ? "" : folder.substr(0, slash + 1);
  platform::WriteEnvironment("ORV_EMU_SPEED", "100000");
  for (const char* dialog : {"portpick", "portconf"}) {
    platform::LoadModule((folder + dialog + platform::ModuleSuffix()).c_str());
  }
  platform::ModuleHandle module =
      platform::LoadModule((folder + "gasctl_sim" + platform::ModuleSuffix()).c_str());
  auto fill = module != nullptr ? reinterpret_cast<GetOrvDeviceDriverAPIFn>(
                                      platform::FindSymbol(module, "GetOrvDeviceDriverAPI"))
                                : nullptr;
  if (fill == nullptr) {
    std::printf("capacity: cannot load gasctl_sim\n");
    return 2;
  }
  DriverFunctionTable api{};
  fill(&api);
  if (api.Init(&Log) != 1) {
    std::printf("capacity: Init failed\n");
    return 2;
  }

  // Ballast: all but the asked-for room, in 16 MiB runs, for a short run.
  std::vector<void*> ballast;
  if (leaveMiB >= 0 && sizeof(void*) == 4) {
    constexpr std::size_t kRun = 16u << 20;
    for (void* p; (p = platform::ReservePages(kRun)) != nullptr;) ballast.push_back(p);
    for (long freed = 0; freed < leaveMiB && !ballast.empty(); freed += 16) {
      platform::ReleasePages(ballast.back(), kRun);
      ballast.pop_back();
    }
    std::printf("capacity: %zu MiB of address space held back, %ld MiB left\n", ballast.size() * 16,
                leaveMiB);
  }

  // The recorders' threads start first: a thread's stack takes address space too.
  const ByteArray empty = Image(0);
  std::vector<DeviceId> recorders;
  for (int i = 0; i < 3; ++i) {
    recorders.push_back(api.RestoreDevice(empty, 0));
    api.SetUpdating(recorders.back(), true);
  }

  // Restored histories, in smaller ones as the room runs out.
  const Clock::time_point began = Clock::now();
  std::vector<DeviceId> held;
  std::size_t heldSamples = 0;
  for (std::size_t size = std::size_t{1} << 22; size >= (std::size_t{1} << 15); size /= 4) {
    ByteArray image;
    try {
      image = Image(size);
    } catch (const std::bad_alloc&) {
      continue;
    }
    for (DeviceId id; (id = api.RestoreDevice(image, 0)) != 0;) {
      held.push_back(id);
      heldSamples += size;
    }
  }
  std::printf("capacity: %zu samples restored into %zu devices in %.1f s\n", heldSamples,
              held.size(), std::chrono::duration<double>(Clock::now() - began).count());

  for (DeviceId id : recorders) api.SetRecording(id, true);
  const bool paused = WaitFor("recording paused for lack of memory", 600);
  std::size_t recorded = 0;
  for (DeviceId id : recorders) recorded += Samples(api, id);
  const std::size_t total = heldSamples + recorded;
  Check(paused, "recording pauses with a log line when memory runs out");
  std::printf("capacity: %zu samples in all (%.0f MiB of samples) when recording paused\n", total,
              static_cast<double>(total) * 24 / 1048576);

  // The devices go on: their clocks and values move while nothing records.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  for (DeviceId id : recorders) {
    Check(api.IsUpdating(id) && !api.HasNoValidValues(id) && api.IsRecording(id),
          "device " + std::to_string(id) + " still updates and records as set");
  }
  for (DeviceId id : recorders) CheckExport(api, id, folder);
  if (!held.empty()) {
    CheckExport(api, held.front(), folder);
    CheckExport(api, held.back(), folder);
    // A removed device's blocks go back: recording resumes elsewhere.
    api.RemoveDevice(held.front());
    held.erase(held.begin());
    Check(WaitFor("recording resumed", 30), "recording resumes once a device is removed");
  }

  for (DeviceId id : recorders) api.RemoveDevice(id);
  for (DeviceId id : held) api.RemoveDevice(id);
  for (void* p : ballast) platform::ReleasePages(p, 16u << 20);
  api.Shutdown();
  std::printf("capacity: %s\n", failures == 0 ? "all checks passed" : "FAILED");
  return failures == 0 ? 0 : 1;
}
