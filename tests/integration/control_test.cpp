// The control endpoint (ORV_CONTROL) through the built plug-ins, over HTTP on
// loopback as a tester's client reaches it: off by default, discovery by the
// connection file, the guards and caps, events and the manual clock, and an
// end that waits for no client.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/plugin_fixture.h"

namespace orv::it {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// ORV_CONTROL, ORV_EMU_SPEED and a runtime folder of this test's own (both
// platforms' variables: the other one's is ignored), restored at the end.
struct ControlSetting {
  explicit ControlSetting(const std::string& control, const std::string& speed = "") {
    folder = TempPath("control-" + std::to_string(++count));
    fs::create_directories(folder);
    platform::WriteEnvironment("XDG_RUNTIME_DIR", folder.c_str());
    platform::WriteEnvironment("LOCALAPPDATA", folder.c_str());
    platform::WriteEnvironment("ORV_CONTROL", control.c_str());
    platform::WriteEnvironment("ORV_EMU_SPEED", speed.c_str());
  }
  ~ControlSetting() {
    platform::WriteEnvironment("ORV_CONTROL", "");
    platform::WriteEnvironment("ORV_EMU_SPEED", "");
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
  fs::path Files() const { return fs::path(folder) / "orv-emu" / "control"; }
  std::vector<fs::path> Listed() const {
    std::vector<fs::path> files;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(Files(), ignored)) files.push_back(entry);
    return files;
  }

  std::string folder;
  static inline int count = 0;
};

// What a client reads from the connection file.
struct Endpoint {
  int port = 0;
  std::string token;
  std::string file;

  httplib::Client Client(bool withToken = true) const {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30, 0);
    if (withToken) client.set_bearer_token_auth(token);
    return client;
  }
  json Get(const std::string& path) const {
    const auto answer = Client().Get(path);
    EXPECT_TRUE(answer && answer->status == 200) << path << (answer ? answer->body : "");
    return answer ? json::parse(answer->body, nullptr, false) : json();
  }
  httplib::Result Post(const std::string& path, const std::string& body) const {
    return Client().Post(path, body, "application/json");
  }
};

Endpoint Find(const ControlSetting& setting, const PluginModel& model) {
  Endpoint endpoint;
  for (const fs::path& file : setting.Listed()) {
    const json info = json::parse(std::ifstream(file), nullptr, false);
    if (info.is_discarded() || info.value("plugin", "") != model.fileName()) continue;
    EXPECT_EQ(info["pid"], platform::CurrentProcessId());
    EXPECT_EQ(info["url"], "http://127.0.0.1:" + std::to_string(info["port"].get<int>()) + "/");
    endpoint.port = info["port"];
    endpoint.token = info["token"];
    endpoint.file = file.string();
  }
  return endpoint;
}

std::unique_ptr<Plugin> Load(const PluginModel& model) {
  Dialogs::Get().ResetAll();
  auto plugin = std::make_unique<Plugin>(model);
  EXPECT_TRUE(plugin->loaded());
  EXPECT_EQ(plugin->Init(), 1);
  return plugin;
}

DeviceId AddDevice(Plugin& plugin, std::int32_t interval = 0, bool start = true) {
  const DeviceId id = plugin.Add();
  Dialogs::Get().AnswerSettings(plugin.model(), 1, true, interval);
  plugin.api().ShowSettings(id);
  plugin.api().SetRecording(id, true);
  if (start) plugin.api().SetUpdating(id, true);
  return id;
}

bool Listens(int port) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(1, 0);
  return static_cast<bool>(client.Get("/"));
}

std::vector<std::string> Export(Plugin& plugin, DeviceId id, const std::string& name) {
  const std::string path = TempPath(name);
  plugin.api().ExportHistory(id, path, ';', '.');
  std::vector<std::string> lines = ReadLines(path);
  std::remove(path.c_str());
  return lines;
}

bool Logged(const std::string& part) {
  for (const std::string& line : LogLines()) {
    if (line.find(part) != std::string::npos) return true;
  }
  return false;
}

TEST(IntegrationControl, OffUnlessSetAndManualTimeNeedsIt) {
  ControlSetting setting("", "manual");
  ClearLog();
  auto plugin = Load(kModels[kGasctl]);
  EXPECT_TRUE(setting.Listed().empty());
  EXPECT_EQ(LogLines(), std::vector<std::string>{
                            "ORV_EMU_SPEED=manual ignored: the manual clock needs the control "
                            "endpoint (ORV_CONTROL) to advance it; the real clock is used.\n"});
  const DeviceId id = AddDevice(*plugin);
  EXPECT_TRUE(WaitUntil([&] { return plugin->api().GetHistoryDuration(id) >= 1.0; }, 5000))
      << "the real clock runs";
}

// The same emulated-time run with the variable unset and with an endpoint
// that nobody calls: the endpoint changes nothing a device records.
TEST(IntegrationControl, AnIdleEndpointChangesNoExport) {
  std::vector<std::vector<std::string>> runs;
  for (const char* control : {"", "0"}) {
    ControlSetting setting(control, "1000");
    auto plugin = Load(kModels[kClimate]);
    EXPECT_EQ(setting.Listed().size(), std::string(control).empty() ? 0u : 1u);
    const DeviceId id = AddDevice(*plugin, 0, false);
    plugin->api().SetValue(id, 4, 3.0f);
    plugin->api().SetUpdating(id, true);
    ASSERT_TRUE(WaitUntil([&] { return plugin->api().GetHistoryDuration(id) >= 120.0; }, 20000));
    plugin->api().SetUpdating(id, false);
    runs.push_back(Export(*plugin, id, "idle.txt"));
  }
  const std::size_t common = std::min(runs[0].size(), runs[1].size());
  ASSERT_GE(common, 122u);
  runs[0].resize(common);
  runs[1].resize(common);
  EXPECT_EQ(runs[0], runs[1]);
}

TEST(IntegrationControl, NonLoopbackAndTakenPortsAreRefusedWithALine) {
  {
    ControlSetting setting("0.0.0.0:0");
    ClearLog();
    auto plugin = Load(kModels[kGasctl]);
    EXPECT_TRUE(setting.Listed().empty());
    EXPECT_TRUE(Logged("ORV_CONTROL=\"0.0.0.0:0\" refused: 0.0.0.0 is not a loopback address"));
  }
  // A fixed port: the first plug-in binds it, the next one says it is taken.
  int port = 0;
  {
    ControlSetting setting("0");
    auto plugin = Load(kModels[kGasctl]);
    port = Find(setting, kModels[kGasctl]).port;
  }
  ASSERT_GT(port, 0);
  ControlSetting setting(std::to_string(port));
  ClearLog();
  auto gasctl = Load(kModels[kGasctl]);
  auto climate = Load(kModels[kClimate]);
  EXPECT_EQ(Find(setting, kModels[kGasctl]).port, port);
  EXPECT_EQ(Find(setting, kModels[kClimate]).port, 0);
  EXPECT_TRUE(Logged("Control for CO2-Ctrl EMU at http://127.0.0.1:" + std::to_string(port) + "/"));
  EXPECT_TRUE(Logged("port " + std::to_string(port) +
                     " on 127.0.0.1 is taken (by another plug-in or program) or cannot be bound; "
                     "no control endpoint for VKA-Ctrl EMU."));
}

TEST(IntegrationControl, RefusedRequestsSayWhyAndChangeNothing) {
  ControlSetting setting("0");
  ClearLog();
  auto plugin = Load(kModels[kClimate]);
  const Endpoint endpoint = Find(setting, kModels[kClimate]);
  ASSERT_GT(endpoint.port, 0);
  const DeviceId id = AddDevice(*plugin, 0, false);
  plugin->api().SetValue(id, 4, 2.0f);
  const json before = endpoint.Get("/devices");

  const std::string event = R"({"at": "now", "action": "set", "index": 4, "value": 3})";
  const struct {
    const char* name;
    std::string method, path, body, token;
    httplib::Headers headers;
    int status;
    const char* error;
  } cases[] = {
      {"no token", "GET", "/devices", "", "", {}, 401, "needs the token"},
      {"a wrong token", "POST", "/events", event, "0123", {}, 401, "not this endpoint's"},
      {"another scheme",
       "GET",
       "/devices",
       "",
       "",
       {{"Authorization", "Basic " + endpoint.token}},
       401,
       "needs the token"},
      {"a foreign Host",
       "POST",
       "/events",
       event,
       endpoint.token,
       {{"Host", "evil.example:80"}},
       403,
       "loopback host"},
      {"a rebinding name",
       "GET",
       "/devices",
       "",
       endpoint.token,
       {{"Host", "127.0.0.1.nip.io:" + std::to_string(endpoint.port)}},
       403,
       "loopback host"},
      {"another port in Host",
       "GET",
       "/devices",
       "",
       endpoint.token,
       {{"Host", "localhost:1"}},
       403,
       "loopback host"},
      {"a body over 64 KiB",
       "POST",
       "/events",
       std::string(64 * 1024 + 1, ' '),
       endpoint.token,
       {},
       413,
       "exceeds 65536 bytes"},
      {"malformed JSON", "POST", "/events", "{\"at\": ", endpoint.token, {}, 400, "not JSON"},
      {"a wrong type",
       "POST",
       "/events",
       R"({"at": 1, "action": "set", "index": "4", "value": 1})",
       endpoint.token,
       {},
       400,
       "`index` must be an integer"},
      {"an unknown index",
       "POST",
       "/events",
       R"({"at": 1, "action": "set", "index": 6, "value": 1})",
       endpoint.token,
       {},
       400,
       "`index` 6 is outside 0 to 5 of VKA-Ctrl EMU"},
      {"an unknown device",
       "POST",
       "/events",
       R"({"at": 1, "devices": [5], "action": "set", "index": 4, "value": 1})",
       endpoint.token,
       {},
       404,
       "there is no device 5"},
      {"a long header line",
       "GET",
       "/devices",
       "",
       endpoint.token,
       {{"Range", "bytes=" + std::string(4000, '1')}},
       400,
       "cannot be served"},
      {"an unknown route", "GET", "/nothing", "", endpoint.token, {}, 404, "no route /nothing"},
      {"a wrong method", "DELETE", "/devices", "", endpoint.token, {}, 405, "DELETE is not served"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    httplib::Client client = endpoint.Client(false);
    if (!c.token.empty()) client.set_bearer_token_auth(c.token);
    const auto answer = c.method == "GET"    ? client.Get(c.path, c.headers)
                        : c.method == "POST" ? client.Post(c.path, c.headers, c.body, "text/plain")
                                             : client.Delete(c.path, c.headers);
    ASSERT_TRUE(answer) << httplib::to_string(answer.error());
    EXPECT_EQ(answer->status, c.status) << answer->body;
    const json body = json::parse(answer->body, nullptr, false);
    EXPECT_NE(body.value("error", "").find(c.error), std::string::npos) << answer->body;
  }
  EXPECT_EQ(endpoint.Get("/devices"), before);
  EXPECT_FALSE(Logged("Scenario ("));
}

TEST(IntegrationControl, ASecondInitKeepsItsOneEndpointAndShutdownRemovesIt) {
  ControlSetting setting("0");
  auto plugin = Load(kModels[kTwoTemp]);
  const Endpoint first = Find(setting, kModels[kTwoTemp]);
  ASSERT_GT(first.port, 0);
  ASSERT_EQ(plugin->api().Init(&CaptureLog), 1);
  const Endpoint second = Find(setting, kModels[kTwoTemp]);
  EXPECT_EQ(second.port, first.port);
  EXPECT_EQ(second.token, first.token);
  EXPECT_EQ(setting.Listed().size(), 1u);
  EXPECT_EQ(first.Get("/")["plugin"], kModels[kTwoTemp].fileName());

  const auto started = Clock::now();
  plugin->api().Shutdown();
  EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(100));
  EXPECT_TRUE(setting.Listed().empty());
  EXPECT_FALSE(Listens(first.port));
}

// The manual clock through the endpoint: exact seconds, an event at its
// second, and the same lines from two runs (written for the comparison with
// the 32-bit DLL when ORV_CONTROL_EXCHANGE_DIR is set).
TEST(IntegrationControl, ManualClockLandsOnExactSecondsAndRunsRepeat) {
  std::vector<std::vector<std::string>> runs;
  for (int run = 0; run < 2; ++run) {
    ControlSetting setting("0", "manual");
    ClearLog();
    auto plugin = Load(kModels[kClimate]);
    const Endpoint endpoint = Find(setting, kModels[kClimate]);
    ASSERT_GT(endpoint.port, 0);
    // Heating above 2, written before the first tick: the overheat may come on.
    const DeviceId one = AddDevice(*plugin, 0, false);
    plugin->api().SetValue(one, 4, 3.0f);
    plugin->api().SetUpdating(one, true);
    const DeviceId two = AddDevice(*plugin, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(plugin->api().GetHistoryDuration(one), 0.0) << "the clock stands still";

    auto answer = endpoint.Post("/clock/advance", R"({"seconds": 3600})");
    ASSERT_TRUE(answer && answer->status == 200) << (answer ? answer->body : "");
    EXPECT_EQ(json::parse(answer->body)["devices"],
              (json{{{"id", one}, {"second", 3600.0}}, {{"id", two}, {"second", 3600.0}}}));
    answer = endpoint.Post("/events", R"({"at": 3605, "devices": [1], "action": "hold",
                                          "index": 5, "value": 1, "duration": 5,
                                          "note": "overheat"})");
    ASSERT_TRUE(answer && answer->status == 201) << (answer ? answer->body : "");
    answer = endpoint.Post("/clock/advance", R"({"seconds": 61})");
    ASSERT_TRUE(answer && answer->status == 200);
    EXPECT_EQ(json::parse(answer->body)["devices"],
              (json{{{"id", one}, {"second", 3661.0}}, {{"id", two}, {"second", 3660.0}}}))
        << "device 2 ticks every 3 s";
    EXPECT_TRUE(
        Logged("Scenario (VKA-Ctrl EMU): device 1 at second 3605: hold 5 (Overheat) at 1 "
               "for 5 s; overheat"));

    const std::vector<std::string> lines = Export(*plugin, one, "manual.txt");
    ASSERT_EQ(lines.size(), 3663u) << "the header and seconds 0 to 3661";
    EXPECT_EQ(lines[3662].rfind("3661;", 0), 0u);
    for (int second = 3605; second < 3610; ++second) {
      EXPECT_EQ(lines[second + 1].back(), '1') << lines[second + 1];
    }
    runs.push_back(lines);
    if (const char* dir = std::getenv("ORV_CONTROL_EXCHANGE_DIR")) {
      std::ofstream out(
          fs::path(dir) / ("climate-manual-" + std::string(platform::ModuleSuffix() + 1) + ".txt"),
          std::ios::binary);
      for (const std::string& line : lines) out << line << "\n";
    }
    plugin->api().SetUpdating(one, false);
    plugin->api().SetUpdating(two, false);
  }
  EXPECT_EQ(runs[0], runs[1]);
}

// A replay posted through the endpoint plays its recording as one in a
// scenario file does: each recorded value held from its offset to the next.
TEST(IntegrationControl, AReplayPostedThroughTheEndpointPlaysItsRecording) {
  ControlSetting setting("0", "manual");
  ClearLog();
  const std::string recording = TempPath("posted-replay.csv");
  std::ofstream(recording, std::ios::binary) << "Second;CO2\n0;2.5\n10;3.5\n20;7\n";
  auto plugin = Load(kModels[kGasctl]);
  const Endpoint endpoint = Find(setting, kModels[kGasctl]);
  ASSERT_GT(endpoint.port, 0);
  const DeviceId id = AddDevice(*plugin);
  const json event = {{"at", 5}, {"action", "replay"}, {"file", recording}};
  auto answer = endpoint.Post("/events", event.dump());
  ASSERT_TRUE(answer && answer->status == 201) << (answer ? answer->body : "");
  answer = endpoint.Post("/clock/advance", R"({"seconds": 30})");
  ASSERT_TRUE(answer && answer->status == 200) << (answer ? answer->body : "");

  const std::vector<std::string> lines = Export(*plugin, id, "posted-replay.txt");
  ASSERT_EQ(lines.size(), 32u) << "the header and seconds 0 to 30";
  for (int second = 5; second <= 25; ++second) {
    const char* co2 = second < 15 ? "2.5" : second < 25 ? "3.5" : "7";
    EXPECT_EQ(lines[second + 1].rfind(std::to_string(second) + ";" + co2 + ";", 0), 0u)
        << lines[second + 1];
  }
  EXPECT_NE(lines[5].rfind("4;2.5;", 0), 0u) << "nothing is forced before second 5";
  plugin->api().SetUpdating(id, false);
  std::remove(recording.c_str());
}

// Ends as the host's Shutdown or an unload without it end the endpoint, with
// clients connected: an idle keep-alive one, one that sends a byte a second,
// one waiting for the log.
TEST(IntegrationControl, DoneWaitsForNoClient) {
  for (const bool unload : {false, true}) {
    SCOPED_TRACE(unload ? "unloaded without Shutdown" : "Shutdown");
    ControlSetting setting("0", "manual");
    Dialogs::Get().ResetAll();
    std::unique_ptr<Plugin> plugin;
    platform::ModuleHandle module = nullptr;
    DriverFunctionTable table{};
    if (unload) {
      module = platform::LoadModule(kModels[kGasctl].fileName().c_str());
      auto entry = reinterpret_cast<GetOrvDeviceDriverAPIFn>(
          platform::FindSymbol(module, "GetOrvDeviceDriverAPI"));
      ASSERT_NE(entry, nullptr);
      entry(&table);
      ASSERT_EQ(table.Init(&CaptureLog), 1);
    } else {
      plugin = Load(kModels[kGasctl]);
    }
    const Endpoint endpoint = Find(setting, kModels[kGasctl]);
    ASSERT_GT(endpoint.port, 0);

    httplib::Client idle = endpoint.Client();
    idle.set_keep_alive(true);
    ASSERT_TRUE(idle.Get("/clock"));
    std::atomic<bool> slowEnded{false}, pollEnded{false};
    std::thread slow([&] {
      httplib::Client client = endpoint.Client();
      client.set_write_timeout(30, 0);
      client.Post(
          "/events", 100,
          [&](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            if (offset > 0) std::this_thread::sleep_for(std::chrono::seconds(1));
            return sink.write("{", 1);
          },
          "application/json");
      slowEnded = true;
    });
    std::thread poll([&] {
      endpoint.Client().Get("/log?after=1000&wait=30");
      pollEnded = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    if (!unload) {
      // A device with an event pending goes while the clients are there.
      const DeviceId id = AddDevice(*plugin);
      ASSERT_TRUE(endpoint.Post("/events", R"({"at": 10, "action": "set", "index": 1,
                                               "value": 6})"));
      const auto removing = Clock::now();
      plugin->api().RemoveDevice(id);
      EXPECT_LT(Clock::now() - removing, std::chrono::milliseconds(100));
      EXPECT_TRUE(endpoint.Get("/devices")["devices"].empty());
    }
    const auto started = Clock::now();
    if (unload) {
      platform::UnloadModule(module);
    } else {
      plugin->api().Shutdown();
    }
    const auto took = Clock::now() - started;
    EXPECT_LT(took, std::chrono::milliseconds(100));
    EXPECT_TRUE(setting.Listed().empty());
    EXPECT_FALSE(Listens(endpoint.port));
    EXPECT_TRUE(WaitUntil([&] { return slowEnded && pollEnded; }, 5000));
    slow.join();
    poll.join();
  }
}

// A thousand connections opened and dropped, and a client trickling bytes,
// while a host queries its device: the host's calls never wait for them, and
// the endpoint serves on.
TEST(IntegrationControl, HammeredEndpointLeavesHostCallsAlone) {
  ControlSetting setting("0");
  auto plugin = Load(kModels[kGasctl]);
  const Endpoint endpoint = Find(setting, kModels[kGasctl]);
  ASSERT_GT(endpoint.port, 0);
  const DeviceId id = AddDevice(*plugin);
  ASSERT_TRUE(WaitUntil([&] { return plugin->api().HasHistory(id); }, 5000));

  std::atomic<bool> done{false};
  std::atomic<int> opened{0};
  std::thread hammer([&] {
    for (int i = 0; i < 1000; ++i) {
      const socket_t sock = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<std::uint16_t>(endpoint.port));
      address.sin_addr.s_addr = htonl(0x7F000001);
      if (connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) ++opened;
      httplib::detail::close_socket(sock);
    }
    done = true;
  });
  std::thread trickle([&] {
    httplib::Client client = endpoint.Client();
    client.Post(
        "/events", 20,
        [&](std::size_t, std::size_t, httplib::DataSink& sink) {
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
          return !done && sink.write(" ", 1);
        },
        "application/json");
  });
  ByteArray record;
  std::vector<Clock::duration> took;
  while (!done) {
    const auto before = Clock::now();
    plugin->api().GetSampleAt(id, 0.0, record);
    plugin->api().HasHistory(id);
    plugin->api().GetValue(id, 0);
    took.push_back(Clock::now() - before);
  }
  hammer.join();
  trickle.join();
  EXPECT_EQ(opened.load(), 1000);
  // The machine is shared and its two cores busy with the hammer, so a call
  // may lose the processor now and then; what the endpoint must never do is
  // make calls wait. The figures are in docs/performance.md.
  std::sort(took.begin(), took.end());
  ASSERT_GT(took.size(), 1000u);
#ifdef ORV_FULL_SPEED_RUN
  EXPECT_LT(took[took.size() * 99 / 100], std::chrono::milliseconds(1));
#else
  // Under a sanitizer or an emulator every call is slower.
  EXPECT_LT(took[took.size() * 99 / 100], std::chrono::milliseconds(50));
#endif
  EXPECT_LT(took.back(), std::chrono::seconds(1));
  EXPECT_EQ(endpoint.Get("/devices")["devices"].size(), 1u);
}

}  // namespace
}  // namespace orv::it
