// The dashboard's HTTP API, driven by an HTTP client on a loopback port over
// the three built plug-ins: every route, and the requests a hostile page or a
// confused client sends.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "host/refhost/console.h"
#include "host/refhost/log_book.h"
#include "host/refhost/session.h"
#include "host/web/connection_workers.h"
#include "host/web/web_server.h"
#include "platform/platform.h"

namespace orv::web {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

enum { kGasctl, kTwoTemp, kClimate };

std::string BinPath(const char* name) {
  return (fs::path(ORV_TEST_BIN_DIR) / (std::string(name) + platform::ModuleSuffix())).string();
}

class WebApi : public ::testing::Test {
 protected:
  virtual std::vector<std::string> Plugins() const {
    return {BinPath("gasctl_sim"), BinPath("twotemp_sim"), BinPath("climate_sim")};
  }
  virtual void Adjust(WebOptions&) const {}

  void SetUp() override {
    const refhost::SessionResult opened =
        session_.Open(Plugins(), ORV_TEST_BIN_DIR, &refhost::Console::Log);
    ASSERT_TRUE(opened.ok()) << opened.message;
    WebOptions options;
    options.port = 0;
    options.maxImageBytes = 1 << 20;
    Adjust(options);
    server_ = std::make_unique<WebServer>(session_, options);
    std::string error;
    ASSERT_TRUE(server_->Bind(error)) << error;
    serving_ = std::thread([this] { server_->Serve(); });
    for (int i = 0; i < 5000 && !server_->running(); ++i) platform::SleepMs(1);
    client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
    client_->set_read_timeout(30, 0);
  }

  void TearDown() override {
    server_->Stop();
    if (serving_.joinable()) serving_.join();
    session_.Close();
  }

  // The headers of the server's own page.
  httplib::Headers PageHeaders() const {
    const std::string host = "127.0.0.1:" + std::to_string(server_->port());
    return {{"X-Orv-Token", server_->token()}, {"Origin", "http://" + host}};
  }

  httplib::Result Post(const std::string& path, const json& body) {
    return client_->Post(path.c_str(), PageHeaders(), body.dump(), "application/json");
  }

  // Adds a device over the API and returns its id.
  int Add(int driver, int setting1 = 0, int setting2 = 0) {
    const auto result = Post("/api/drivers/" + std::to_string(driver) + "/devices",
                             json{{"setting1", setting1}, {"setting2", setting2}, {"interval", 0}});
    EXPECT_TRUE(result && result->status == 200) << (result ? result->body : "no answer");
    return result && result->status == 200 ? json::parse(result->body)["id"].get<int>() : 0;
  }

  json Get(const std::string& path) {
    const auto result = client_->Get(path.c_str());
    EXPECT_TRUE(result && result->status == 200) << path << ": " << (result ? result->body : "");
    return result && result->status == 200 ? json::parse(result->body) : json();
  }

  // Waits until the device's history spans at least `seconds`.
  void WaitForHistory(int driver, int id, double seconds) {
    const std::string path =
        "/api/drivers/" + std::to_string(driver) + "/devices/" + std::to_string(id);
    for (int i = 0; i < 100 && Get(path)["historySeconds"].get<double>() < seconds; ++i) {
      platform::SleepMs(100);
    }
  }

  refhost::Session session_;
  std::unique_ptr<WebServer> server_;
  std::thread serving_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(WebApi, PageAndAssetsAreServedWithTheToken) {
  const auto page = client_->Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find(server_->token()), std::string::npos);
  for (const char* asset : {"/assets/app.js", "/assets/app.css", "/assets/chart.min.js",
                            "/assets/favicon.svg", "/favicon.ico"}) {
    const auto answer = client_->Get(asset);
    ASSERT_TRUE(answer) << asset;
    EXPECT_EQ(answer->status, 200) << asset;
    EXPECT_GT(answer->body.size(), 100u) << asset;
  }
  EXPECT_EQ(client_->Get("/favicon.ico")->get_header_value("Content-Type"), "image/svg+xml");
  const json state = Get("/api/state");
  ASSERT_EQ(state["drivers"].size(), 3u);
  EXPECT_EQ(state["drivers"][kTwoTemp]["axes"][1]["unit"],
            "[\xC2\xB0"
            "C]");
  EXPECT_EQ(state["drivers"][kGasctl]["longName"], "CO2-Controller EMU");
}

// Each request is refused with its status and a message, and nothing changes.
TEST_F(WebApi, HostileAndMalformedRequestsAreRefusedWithoutChange) {
  const int id = Add(kGasctl);
  ASSERT_NE(id, 0);
  ASSERT_TRUE(session_.SetUpdating(kGasctl, id, false).ok());
  const std::string port = std::to_string(server_->port());
  const std::string device = "/api/drivers/0/devices/" + std::to_string(id);
  const std::string valid = R"({"value": 7})";
  enum Headers { kPage, kNoToken, kWrongToken, kForeignOrigin, kRebound };
  struct Case {
    const char* what;
    const char* method;
    std::string path;
    Headers headers;
    std::string body;
    int status;
  };
  const std::vector<Case> cases = {
      {"rebound host name", "GET", "/api/state", kRebound, "", 403},
      {"rebound host, change", "POST", device + "/values/1", kRebound, valid, 403},
      {"no token", "POST", device + "/values/1", kNoToken, valid, 403},
      {"wrong token", "POST", device + "/values/1", kWrongToken, valid, 403},
      {"foreign origin", "POST", device + "/values/1", kForeignOrigin, valid, 403},
      {"foreign origin removes", "DELETE", device, kForeignOrigin, "", 403},
      {"bad JSON", "POST", device + "/values/1", kPage, "{value: 7", 400},
      {"JSON not an object", "POST", device + "/values/1", kPage, "[7]", 400},
      {"value not a number", "POST", device + "/values/1", kPage, R"({"value": "7"})", 400},
      {"value beyond float", "POST", device + "/values/1", kPage, R"({"value": 1e300})", 400},
      {"read-only value", "POST", device + "/values/0", kPage, valid, 400},
      {"value index out of range", "POST", device + "/values/4", kPage, valid, 404},
      {"value index negative", "POST", device + "/values/-1", kPage, valid, 404},
      {"value index huge", "POST", device + "/values/99999999999", kPage, valid, 404},
      {"unknown driver", "POST", "/api/drivers/7/devices/1/values/1", kPage, valid, 404},
      {"unknown device", "POST", "/api/drivers/0/devices/999/values/1", kPage, valid, 404},
      {"device not a number", "GET", "/api/drivers/0/devices/x", kPage, "", 404},
      {"config index out of range", "POST", device + "/channels/9/config", kPage,
       R"({"shown": true})", 404},
      {"colour out of range", "POST", device + "/channels/1/config", kPage, R"({"red": 2})", 400},
      {"shown not a boolean", "POST", device + "/channels/1/config", kPage, R"({"shown": 1})", 400},
      {"switch not a boolean", "POST", device + "/updating", kPage, R"({"on": "yes"})", 400},
      {"negative interval", "POST", device + "/settings", kPage, R"({"interval": -1})", 400},
      {"one channel name", "POST", device + "/settings", kPage, R"({"name1": "a"})", 400},
      {"long channel name", "POST", device + "/settings", kPage,
       R"({"name1": "0123456789abcdef", "name2": "b"})", 400},
      {"add with bad setting", "POST", "/api/drivers/0/devices", kPage, R"({"setting1": 1.5})",
       400},
      {"add to unknown driver", "POST", "/api/drivers/3/devices", kPage, "{}", 404},
      {"oversized JSON", "POST", device + "/values/1", kPage,
       R"({"value": 7, "pad": ")" + std::string(70000, 'x') + "\"}", 413},
      {"oversized image", "POST", "/api/drivers/0/restore", kPage, std::string(2 << 20, 'x'), 413},
      {"chart points zero", "GET", device + "/chart?points=0", kPage, "", 400},
      {"chart range not a number", "GET", device + "/chart?from=nan", kPage, "", 400},
      {"chart range reversed", "GET", device + "/chart?from=5&to=1", kPage, "", 400},
      {"export separator two characters", "GET", device + "/export?separator=ab", kPage, "", 400},
      {"export decimal newline", "GET", device + "/export?decimal=%0A", kPage, "", 400},
      {"export separator equals decimal", "GET", device + "/export?separator=%2C&decimal=%2C",
       kPage, "", 400},
      {"export default separator as decimal", "GET", device + "/export?decimal=%3B", kPage, "",
       400},
      {"wrong method on state", "POST", "/api/state", kPage, "{}", 405},
      {"wrong method on restore", "GET", "/api/drivers/0/restore", kPage, "", 405},
      {"wrong method on device", "PUT", device, kPage, "{}", 405},
      {"unknown route", "GET", "/api/nothing", kPage, "", 404},
  };
  const std::string before = Get(device).dump();
  for (const Case& c : cases) {
    httplib::Headers headers = PageHeaders();
    if (c.headers == kNoToken) headers.erase("X-Orv-Token");
    if (c.headers == kWrongToken) headers.find("X-Orv-Token")->second = "0123";
    if (c.headers == kForeignOrigin) headers.find("Origin")->second = "http://evil.example";
    if (c.headers == kRebound) {
      headers.erase("Origin");
      headers.emplace("Host", "evil.example:" + port);
    }
    httplib::Request request;
    request.method = c.method;
    request.path = c.path;
    request.headers = headers;
    request.body = c.body;
    if (!c.body.empty()) request.set_header("Content-Type", "application/json");
    const auto answer = client_->send(request);
    ASSERT_TRUE(answer) << c.what;
    EXPECT_EQ(answer->status, c.status) << c.what << ": " << answer->body;
    const json message = json::parse(answer->body, nullptr, false);
    EXPECT_TRUE(message.is_object() && message["error"].is_string() &&
                !message["error"].get<std::string>().empty())
        << c.what << ": " << answer->body;
  }
  EXPECT_EQ(Get(device).dump(), before);
  EXPECT_EQ(Get("/api/state")["devices"].size(), 1u);
}

TEST_F(WebApi, RoutesReachTheDriver) {
  const int gas = Add(kGasctl, 3, -4);
  const int two = Add(kTwoTemp);
  ASSERT_NE(gas, 0);
  ASSERT_NE(two, 0);
  const std::string gasPath = "/api/drivers/0/devices/" + std::to_string(gas);
  const std::string twoPath = "/api/drivers/1/devices/" + std::to_string(two);
  struct Step {
    std::string path;
    json body;
  };
  const std::vector<Step> steps = {
      {gasPath + "/values/1", {{"value", 7.5}}},
      {gasPath + "/values/3", {{"value", 2.6}}},
      {gasPath + "/channels/1/config", {{"shown", true}, {"red", 1}, {"green", 0.5}, {"blue", 0}}},
      {gasPath + "/recording", {{"on", false}}},
      {twoPath + "/settings", {{"interval", 3}, {"name1", "Left"}, {"name2", "Right"}}},
      {twoPath + "/updating", {{"on", false}}},
  };
  for (const Step& step : steps) {
    const auto answer = Post(step.path, step.body);
    ASSERT_TRUE(answer) << step.path;
    EXPECT_EQ(answer->status, 200) << step.path << ": " << answer->body;
  }
  const json g = Get(gasPath);
  EXPECT_EQ(g["channels"][1]["value"], 7.5);
  EXPECT_EQ(g["channels"][3]["value"], 3.0);  // levels are rounded by the driver
  EXPECT_EQ(g["channels"][1]["config"],
            json({{"shown", true}, {"red", 1.0}, {"green", 0.5}, {"blue", 0.0}}));
  EXPECT_EQ(g["recording"], false);
  EXPECT_EQ(g["settings"], json({3, -4}));
  const json t = Get(twoPath);
  EXPECT_EQ(t["interval"], 3);
  EXPECT_EQ(t["updating"], false);
  EXPECT_EQ(t["channelNames"], json({"Left", "Right"}));
  EXPECT_EQ(t["channels"][3]["name"], "Right Temp");
  EXPECT_EQ(Get("/api/state")["drivers"][kTwoTemp]["channelNames"], true);

  const auto removed = client_->Delete(gasPath.c_str(), PageHeaders());
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->status, 200);
  EXPECT_EQ(client_->Get(gasPath.c_str())->status, 404);
}

TEST_F(WebApi, ChartSamplesEvenlyAndDropsRepeats) {
  const int id = Add(kClimate);
  WaitForHistory(kClimate, id, 2.0);
  const std::string path = "/api/drivers/2/devices/" + std::to_string(id) + "/chart";
  const json empty = Get(path + "?from=0&to=0&points=1");
  EXPECT_EQ(empty["offsets"].size(), 1u);
  const double duration =
      Get("/api/drivers/2/devices/" + std::to_string(id))["historySeconds"].get<double>();
  const json chart = Get(path + "?from=0&to=" + std::to_string(duration) + "&points=500");
  ASSERT_EQ(chart["values"].size(), 6u);
  // A few seconds of history hold a few samples, whatever the points asked.
  EXPECT_GE(chart["offsets"].size(), 3u);
  EXPECT_LE(chart["offsets"].size(), 20u);
  EXPECT_EQ(chart["offsets"][0], 0.0);
  EXPECT_EQ(chart["values"][0].size(), chart["offsets"].size());
  EXPECT_GT(chart["firstSeconds"].get<double>(), 1e10);
}

TEST_F(WebApi, SaveRestoreAndExportRoundTrip) {
  const int id = Add(kTwoTemp);
  const std::string path = "/api/drivers/1/devices/" + std::to_string(id);
  ASSERT_EQ(Post(path + "/channels/4/config", {{"shown", true}, {"blue", 0.25}})->status, 200);
  WaitForHistory(kTwoTemp, id, 1.0);
  ASSERT_EQ(Post(path + "/updating", {{"on", false}})->status, 200);

  const auto image = client_->Get((path + "/image").c_str());
  ASSERT_TRUE(image);
  ASSERT_EQ(image->status, 200);
  const auto restored = client_->Post("/api/drivers/1/restore", PageHeaders(), image->body,
                                      "application/octet-stream");
  ASSERT_TRUE(restored);
  ASSERT_EQ(restored->status, 200) << restored->body;
  const int copy = json::parse(restored->body)["id"];
  const json original = Get(path), twin = Get("/api/drivers/1/devices/" + std::to_string(copy));
  EXPECT_EQ(twin["channels"][4]["config"], original["channels"][4]["config"]);
  EXPECT_EQ(twin["historySeconds"], original["historySeconds"]);

  // The download is the file ExportHistory writes, for each separator and decimal.
  for (const auto& [separator, decimal, sep, dec] :
       {std::tuple{"tab", ",", '\t', ','}, std::tuple{"%3B", ".", ';', '.'}}) {
    const auto answer =
        client_->Get((path + "/export?separator=" + separator + "&decimal=" + decimal).c_str());
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->status, 200);
    std::string direct;
    ASSERT_TRUE(
        session_.Export(kTwoTemp, id, sep, dec, fs::temp_directory_path().string(), direct).ok());
    EXPECT_EQ(answer->body, direct);
    EXPECT_NE(answer->body.find(sep), std::string::npos);
  }

  // Another driver's image is refused with the driver's own message.
  const auto refused = client_->Post("/api/drivers/0/restore", PageHeaders(), image->body,
                                     "application/octet-stream");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 422);
  EXPECT_EQ(json::parse(refused->body)["error"],
            "Could not add device. The saved format is not compatible with the loaded driver.");
}

// A driver whose save cannot be made (tests/plugins/oversized_sim): the
// download is refused with the driver's reason, never sent as an empty file.
class OversizedWebApi : public WebApi {
 protected:
  std::vector<std::string> Plugins() const override { return {BinPath("oversized_sim")}; }
};

TEST_F(OversizedWebApi, AnImageTheDriverCannotMakeIs507WithTheReason) {
  const int id = Add(0);
  ASSERT_NE(id, 0);
  const auto answer =
      client_->Get(("/api/drivers/0/devices/" + std::to_string(id) + "/image").c_str());
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 507);
  EXPECT_FALSE(answer->has_header("Content-Disposition"));
  const json body = json::parse(answer->body, nullptr, false);
  ASSERT_TRUE(body.is_object()) << answer->body;
  const std::string error = body.value("error", "");
  EXPECT_EQ(error.rfind("not saved: the image would be ", 0), 0u) << error;
}

// Two tabs adding at once: each device keeps the settings its own form sent.
TEST_F(WebApi, ConcurrentAddsKeepTheirOwnSettings) {
  constexpr int kPerThread = 6;
  std::vector<std::thread> tabs;
  for (int tab = 0; tab < 2; ++tab) {
    tabs.emplace_back([this, tab] {
      httplib::Client client("127.0.0.1", server_->port());
      for (int n = 0; n < kPerThread; ++n) {
        const json body{{"setting1", tab}, {"setting2", tab * 100 + n}, {"start", false}};
        client.Post("/api/drivers/0/devices", PageHeaders(), body.dump(), "application/json");
      }
    });
  }
  for (std::thread& tab : tabs) tab.join();
  const json devices = Get("/api/state")["devices"];
  ASSERT_EQ(devices.size(), 2u * kPerThread);
  std::set<int> seen;
  for (const json& device : devices) {
    const int setting1 = device["settings"][0], setting2 = device["settings"][1];
    EXPECT_EQ(setting2 / 100, setting1);
    seen.insert(setting2);
  }
  EXPECT_EQ(seen.size(), 2u * kPerThread);
}

TEST_F(WebApi, LogGivesTheDriversLinesAfterANumber) {
  const json before = Get("/api/log?after=0")["lines"];
  const std::uint64_t last = before.empty() ? 0 : before.back()["number"].get<std::uint64_t>();
  const int id = Add(kClimate);
  ASSERT_NE(id, 0);
  ASSERT_TRUE(session_.SetUpdating(kClimate, id, true).ok());
  refhost::Console::Log("%s", "caf\xE9 \x80 line\n");
  const json lines = Get("/api/log?after=" + std::to_string(last))["lines"];
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["number"].get<std::uint64_t>(), last + 1);
  EXPECT_EQ(lines[0]["text"].get<std::string>().rfind("Update Thread created (TID: 0x", 0), 0u);
  EXPECT_EQ(lines[1]["text"], "caf\u00E9 ? line");  // Windows-1252 shown as UTF-8
  EXPECT_TRUE(Get("/api/log?after=" + std::to_string(last + 2))["lines"].empty());
  for (const char* bad : {"-1", "x", "nan"}) {
    const auto result = client_->Get((std::string("/api/log?after=") + bad).c_str());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 400) << bad;
  }
}

TEST(WebLogBook, KeepsTheNewestLinesNumberedAndCut) {
  refhost::LogBook book;
  for (int i = 0; i < 1005; ++i) book.Add(i == 1004 ? std::string(2000, 'x') : std::to_string(i));
  const auto all = book.After(0, 5000);
  ASSERT_EQ(all.size(), refhost::LogBook::kKeptLines);
  EXPECT_EQ(all.front().number, 6u);
  EXPECT_EQ(all.front().text, "5");
  EXPECT_EQ(all.back().text.size(), refhost::LogBook::kMaxLineBytes);
  const auto some = book.After(1000, 3);
  ASSERT_EQ(some.size(), 3u);
  EXPECT_EQ(some[0].number, 1001u);
  EXPECT_TRUE(book.After(1005, 10).empty());
}

// With Nagle's algorithm on, every response after a connection's first waits
// for the client's delayed ACK (~40 ms) before its body goes out.
TEST_F(WebApi, KeepAliveRequestsAnswerWithinMilliseconds) {
  const int id = Add(kGasctl);
  const std::string path = "/api/drivers/0/devices/" + std::to_string(id);
  httplib::Client client("127.0.0.1", server_->port());
  client.set_keep_alive(true);
  std::vector<double> milliseconds;
  for (int i = 0; i < 60; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const auto answer = client.Get(path.c_str());
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(answer && answer->status == 200);
    milliseconds.push_back(took.count());
  }
  std::sort(milliseconds.begin(), milliseconds.end());
  // A loaded test machine may stall a few; a delayed ACK stalls nearly all.
  EXPECT_LT(milliseconds[milliseconds.size() / 2], 10.0);
  EXPECT_LT(milliseconds[milliseconds.size() * 9 / 10], 25.0);
}

// Readers of every kind run while devices are added and removed under them:
// each answers 200 or, once its device is gone, 404; none touches a freed
// device or a registry being changed.
TEST_F(WebApi, ReadersWhileDevicesAreRemovedAnswer200Or404) {
  constexpr int kChanges = 24, kKept = 3;
  const auto path = [](int driver, int id) {
    return "/api/drivers/" + std::to_string(driver) + "/devices/" + std::to_string(id);
  };
  std::vector<std::string> paths;  // every id the changes will use
  for (int driver : {kGasctl, kTwoTemp, kClimate}) {
    for (int id = 1; id <= kChanges / 3 + 1; ++id) paths.push_back(path(driver, id));
  }
  const std::vector<std::string> reads = {"", "/chart?from=0&to=5&points=50", "/image",
                                          "/export?separator=tab"};
  std::atomic<bool> done{false};
  std::atomic<int> answers{0}, found{0}, unexpected{0};
  std::vector<std::thread> readers;
  for (const std::string& read : reads) {
    readers.emplace_back([&, read] {
      httplib::Client client("127.0.0.1", server_->port());
      client.set_keep_alive(true);
      while (!done.load()) {
        for (const std::string& device : paths) {
          const auto answer = client.Get((device + read).c_str());
          unexpected += answer && (answer->status == 200 || answer->status == 404) ? 0 : 1;
          found += answer && answer->status == 200 ? 1 : 0;
          ++answers;
        }
        unexpected += client.Get("/api/state")->status == 200 ? 0 : 1;
      }
    });
  }
  std::vector<std::string> live;
  for (int n = 0; n < kChanges; ++n) {
    const int driver = n % 3;
    live.push_back(path(driver, Add(driver)));
    if (live.size() > kKept) {
      const auto removed = client_->Delete(live.front().c_str(), PageHeaders());
      EXPECT_TRUE(removed && removed->status == 200) << live.front();
      live.erase(live.begin());
    }
    platform::SleepMs(10);
  }
  for (const std::string& device : live) client_->Delete(device.c_str(), PageHeaders());
  done = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_GT(found.load(), 0);
  EXPECT_GT(answers.load(), static_cast<int>(paths.size()));
  for (const std::string& device : paths) EXPECT_EQ(client_->Get(device.c_str())->status, 404);
  EXPECT_TRUE(Get("/api/state")["devices"].empty());
}

// A thread only when every thread is busy, never more than the limit, and the
// most recently idle thread takes the next connection.
TEST(ConnectionWorkers, StartThreadsOnlyWhenAllAreBusyUpToTheLimit) {
  ConnectionWorkers workers(3);
  std::mutex mutex;
  std::condition_variable changed;
  int finished = 0, running = 0, mostRunning = 0;
  bool open = false;
  const auto waitUntil = [&](const auto& done) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), done);
  };
  for (int n = 0; n < 5; ++n) {  // five at once, each held until the gate opens
    workers.enqueue([&] {
      std::unique_lock<std::mutex> lock(mutex);
      mostRunning = std::max(mostRunning, ++running);
      changed.notify_all();
      changed.wait(lock, [&] { return open; });
      --running;
      ++finished;
      changed.notify_all();
    });
  }
  ASSERT_TRUE(waitUntil([&] { return running == 3; }));
  platform::SleepMs(50);
  EXPECT_EQ(workers.threads(), 3u);
  {
    const std::lock_guard<std::mutex> lock(mutex);
    open = true;
    changed.notify_all();
  }
  ASSERT_TRUE(waitUntil([&] { return finished == 5; }));
  EXPECT_EQ(mostRunning, 3);

  std::set<std::thread::id> threads;
  for (int n = 1; n <= 10; ++n) {  // one connection after the other
    platform::SleepMs(5);          // the last worker goes idle again
    workers.enqueue([&] {
      const std::lock_guard<std::mutex> lock(mutex);
      threads.insert(std::this_thread::get_id());
      ++finished;
      changed.notify_all();
    });
    ASSERT_TRUE(waitUntil([&] { return finished == 5 + n; }));
  }
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(workers.threads(), 3u);
  workers.shutdown();
}

// Starts threads as std::thread does, except that the first `failures`
// starts throw as a process out of threads does.
ConnectionWorkers::ThreadStarter FailingStarts(std::shared_ptr<std::atomic<int>> failures) {
  return [failures](std::function<void()> body) {
    if (failures->fetch_sub(1) > 0) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    return std::thread(std::move(body));
  };
}

// A thread that cannot start gives its place back; its connection goes to a
// busy thread when that finishes, or, with no thread at all, is served where
// it was accepted as a refusal. Either way the next connection gets a thread
// of its own at once.
TEST(ConnectionWorkers, AThreadThatCannotStartReleasesItsPlace) {
  struct Case {
    const char* what;
    bool busyWorker;  // one worker already serves a held connection
    bool ranHere;     // the job ran on the enqueuing thread, refused
  };
  for (const Case& c : {Case{"no thread yet", false, true}, Case{"one busy thread", true, false}}) {
    SCOPED_TRACE(c.what);
    auto failures = std::make_shared<std::atomic<int>>(0);
    ConnectionWorkers workers(2, FailingStarts(failures));
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false, heldRunning = false, done = false, nextRan = false, nextRefused = true;
    const std::size_t busy = c.busyWorker ? 1 : 0;
    std::thread::id ranOn;
    bool refused = false;
    const auto waitFor = [&](const bool& flag) {
      std::unique_lock<std::mutex> lock(mutex);
      return changed.wait_for(lock, std::chrono::seconds(10), [&] { return flag; });
    };
    if (c.busyWorker) {
      workers.enqueue([&] {
        std::unique_lock<std::mutex> lock(mutex);
        heldRunning = true;
        changed.notify_all();
        changed.wait(lock, [&] { return open; });
      });
      ASSERT_TRUE(waitFor(heldRunning));
    }
    failures->store(1);
    workers.enqueue([&] {
      const std::lock_guard<std::mutex> lock(mutex);
      ranOn = std::this_thread::get_id();
      refused = ConnectionWorkers::Refusing();
      done = true;
      changed.notify_all();
    });
    EXPECT_EQ(workers.threads(), busy) << "the thread that failed holds no place";
    EXPECT_FALSE(ConnectionWorkers::Refusing());
    // While the held connection still holds its thread, the next one starts
    // a thread of its own: the place is free.
    workers.enqueue([&] {
      const std::lock_guard<std::mutex> lock(mutex);
      nextRefused = ConnectionWorkers::Refusing();
      nextRan = true;
      changed.notify_all();
    });
    EXPECT_TRUE(waitFor(nextRan));
    EXPECT_FALSE(nextRefused);
    EXPECT_EQ(workers.threads(), busy + 1);
    {
      const std::lock_guard<std::mutex> lock(mutex);
      open = true;
      changed.notify_all();
    }
    ASSERT_TRUE(waitFor(done));
    EXPECT_EQ(ranOn == std::this_thread::get_id(), c.ranHere);
    EXPECT_EQ(refused, c.ranHere);
    workers.shutdown();
  }
}

// The dashboard when no connection thread can be started: every request is
// answered 503 and its connection closed, and the server goes on accepting.
class NoThreadsWebApi : public WebApi {
 protected:
  void Adjust(WebOptions& options) const override {
    options.startWorker = [](std::function<void()>) -> std::thread {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
  }
};

TEST_F(NoThreadsWebApi, EveryConnectionIsAnswered503AndClosed) {
  for (int n = 0; n < 3; ++n) {
    const auto answer = client_->Get("/api/state");
    ASSERT_TRUE(answer) << n;
    EXPECT_EQ(answer->status, 503);
    EXPECT_EQ(answer->get_header_value("Connection"), "close");
    EXPECT_EQ(json::parse(answer->body)["error"],
              "the host cannot start a thread for this connection; try again");
  }
}

TEST(WebHosts, LoopbackNames) {
  const struct {
    const char* host;
    bool loopback;
  } cases[] = {{"127.0.0.1", true}, {"localhost", true}, {"::1", true},     {"127.1.2.3", true},
               {"0.0.0.0", false},  {"10.0.0.5", false}, {"example", false}};
  for (const auto& c : cases) EXPECT_EQ(IsLoopbackHost(c.host), c.loopback) << c.host;
}

}  // namespace
}  // namespace orv::web
