// The endpoint's routes called as the HTTP server calls them: what each
// answers, what it refuses (and that a refusal changes nothing), and the
// manual clock advanced through them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "framework/control/control_server.h"
#include "framework/devices/update_thread.h"
#include "models/co2/co2_model.h"
#include "platform/platform.h"
#include "tests/support/virtual_runtime.h"

namespace orv {
namespace {

using nlohmann::json;

struct Routes {
  explicit Routes(int devices) : driver(co2::kModel, runtime), server(driver, feed, "t", "p.so") {
    feed.Open();
    for (int i = 0; i < devices; ++i) driver.Register(driver.NewDevice());
  }
  ~Routes() {
    for (const auto& device : driver.Devices()) SetUpdating(*device, false);
  }
  static ControlRequest Request(std::string body = {},
                                std::map<std::string, std::string> params = {},
                                std::vector<std::string> captures = {}) {
    ControlRequest request;
    request.body = std::move(body);
    request.params = std::move(params);
    request.captures = std::move(captures);
    return request;
  }
  json DevicesJson() { return json::parse(server.Devices(Request()).body); }

  testing::VirtualRuntime runtime;
  Driver driver;
  LogFeed feed;
  ControlServer server;
};

TEST(ControlRoutes, RefusalsSayWhyAndChangeNothing) {
  Routes routes(2);
  using Route = ControlReply (ControlServer::*)(const ControlRequest&);
  const struct {
    const char* name;
    Route route;
    ControlRequest request;
    int status;
    const char* error;  // a part of the message
  } cases[] = {
      {"event body not JSON", &ControlServer::PostEvent, Routes::Request("{at: 1"), 400,
       "the body is not JSON"},
      {"event of the wrong type", &ControlServer::PostEvent,
       Routes::Request(R"({"at": "later", "action": "set", "index": 0, "value": 1})"), 400,
       "`at` must be a number"},
      {"event for an index the model lacks", &ControlServer::PostEvent,
       Routes::Request(R"({"at": 0, "action": "set", "index": 7, "value": 1})"), 400,
       "`index` 7 is outside 0 to 3 of CO2-Ctrl EMU"},
      {"event for a device that does not exist", &ControlServer::PostEvent,
       Routes::Request(R"({"at": 0, "devices": [1, 9], "action": "set", "index": 0, "value": 1})"),
       404, "there is no device 9"},
      {"scenario with a fault", &ControlServer::LoadScenario,
       Routes::Request("[[event]]\nat = 1\naction = \"set\"\nindex = 1\nvalue = \"x\"\n"), 400,
       "line 5: `value` must be a number or \"invalid\""},
      {"scenario for a device that does not exist", &ControlServer::LoadScenario,
       Routes::Request("[[event]]\nat = 1\ndevices = 3\naction = \"set\"\nindex = 1\nvalue = 2\n"),
       404, "there is no device 3"},
      {"scenario with unknown times", &ControlServer::LoadScenario,
       Routes::Request("", {{"times", "later"}}), 400, "times must be relative or absolute"},
      {"end of an event never posted", &ControlServer::EndEvent, Routes::Request("", {}, {"77"}),
       404, "there is no event 77"},
      {"advance on a clock that is not manual", &ControlServer::Advance,
       Routes::Request(R"({"seconds": 60})"), 409, "the clock is not manual"},
      {"advance without seconds", &ControlServer::Advance, Routes::Request("{}"), 400,
       "the body has no `seconds`"},
      {"advance by a negative span", &ControlServer::Advance, Routes::Request(R"({"seconds": -1})"),
       400, "`seconds` must be 0 or more"},
      {"advance by text", &ControlServer::Advance, Routes::Request(R"({"seconds": "1"})"), 400,
       "`seconds` must be a number"},
      {"advance with another key", &ControlServer::Advance,
       Routes::Request(R"({"seconds": 1, "devices": 1})"), 400, "`devices` is not a known key"},
      {"log after a negative number", &ControlServer::Log, Routes::Request("", {{"after", "-1"}}),
       400, "after must be 0 or more"},
      {"log waiting too long", &ControlServer::Log, Routes::Request("", {{"wait", "61"}}), 400,
       "wait must be whole seconds from 0 to 60"},
  };
  const json before = routes.DevicesJson();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ControlReply reply = (routes.server.*c.route)(c.request);
    EXPECT_EQ(reply.status, c.status) << reply.body;
    const json body = json::parse(reply.body);
    EXPECT_NE(body.value("error", "").find(c.error), std::string::npos) << reply.body;
  }
  EXPECT_EQ(routes.DevicesJson(), before);
  EXPECT_EQ(routes.feed.last(), 0u);
}

TEST(ControlRoutes, EventsShowPerDeviceUntilTheyEnd) {
  Routes routes(2);
  ControlReply posted = routes.server.PostEvent(Routes::Request(
      R"({"at": "now", "devices": 2, "action": "hold", "index": 1, "value": 6.5,
          "duration": 30, "note": "door"})"));
  ASSERT_EQ(posted.status, 201) << posted.body;
  EXPECT_EQ(json::parse(posted.body), (json{{"id", 1}, {"devices", {2}}}));
  posted = routes.server.LoadScenario(Routes::Request(
      "[[event]]\nat = 600\naction = \"ramp\"\nindex = 0\nrate = -0.25\nduration = 60\n",
      {{"times", "absolute"}}));
  ASSERT_EQ(posted.status, 201) << posted.body;
  EXPECT_EQ(json::parse(posted.body), (json{{"ids", {2}}}));

  json devices = routes.DevicesJson()["devices"];
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0]["events"], (json{{{"id", 2},
                                         {"state", "pending"},
                                         {"action", "ramp"},
                                         {"index", 0},
                                         {"rate", -0.25},
                                         {"duration", 60.0},
                                         {"at", 600.0}}}));
  EXPECT_EQ(devices[1]["events"].size(), 2u);
  EXPECT_EQ(devices[1]["events"][0], (json{{"id", 1},
                                           {"state", "pending"},
                                           {"action", "hold"},
                                           {"index", 1},
                                           {"value", 6.5},
                                           {"duration", 30.0},
                                           {"at", nullptr},
                                           {"after", 0.0},
                                           {"note", "door"}}));
  EXPECT_EQ(devices[1]["second"], nullptr) << "never ticked";
  EXPECT_EQ(devices[1]["values"][1], (json{{"index", 1},
                                           {"name", "CO2 Nominal"},
                                           {"unit", "[%]"},
                                           {"kind", "quantity"},
                                           {"settable", true},
                                           {"value", nullptr}}));

  ControlReply ended = routes.server.EndEvent(Routes::Request("", {}, {"2"}));
  EXPECT_EQ(ended.status, 200) << ended.body;
  EXPECT_EQ(json::parse(ended.body), (json{{"id", 2}, {"state", "ended"}}));
  ended = routes.server.EndEvent(Routes::Request("", {}, {"2"}));
  EXPECT_EQ(ended.status, 409) << ended.body;
  EXPECT_EQ(json::parse(ended.body)["error"], "event 2 is already over (ended)");
  devices = routes.DevicesJson()["devices"];
  EXPECT_TRUE(devices[0]["events"].empty());
  EXPECT_EQ(devices[1]["events"].size(), 1u);
}

TEST(ControlRoutes, AReplayIsPostedAndRefusedAsInAFile) {
  Routes routes(1);
  // A short export of the co2 model, as ExportHistory writes one.
  const std::string recording =
      (std::filesystem::temp_directory_path() / "orv-control-replay.csv").string();
  std::ofstream(recording, std::ios::binary)
      << "Second;CO2;CO2_Nominal;CO2_Regulator;Pump_Level\n0;5;5;1;1\n10;6.5;5;1;2\n";
  const json event = {{"at", 60}, {"action", "replay"}, {"file", recording}, {"loop", true}};
  const ControlReply posted = routes.server.PostEvent(Routes::Request(event.dump()));
  ASSERT_EQ(posted.status, 201) << posted.body;
  const json shown = routes.DevicesJson()["devices"][0]["events"][0];
  EXPECT_EQ(shown["action"], "replay");
  EXPECT_EQ(shown["file"], recording);
  EXPECT_EQ(shown["loop"], true);
  EXPECT_EQ(shown["duration"], nullptr) << "a loop without a duration plays until the device stops";
  // The file's own refusals come through as they are.
  const ControlReply refused = routes.server.PostEvent(
      Routes::Request(R"({"at": 0, "action": "replay", "file": "no-such-recording.csv"})"));
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(json::parse(refused.body)["error"],
            "`file` \"no-such-recording.csv\": the file cannot be opened");
  std::filesystem::remove(recording);
}

// The driver chooses the manual clock as Init does; its dialog modules are
// not there, which Init reports after it has chosen the clock.
struct ManualRoutes : Routes {
  ManualRoutes() : Routes(2) {
    platform::WriteEnvironment("ORV_EMU_SPEED", "manual");
    driver.Init(nullptr, true);
    platform::WriteEnvironment("ORV_EMU_SPEED", "");
    for (const auto& device : driver.Devices()) {
      device->interval = 0;
      SetRecording(*device, true);
      SetUpdating(*device, true);
    }
  }
};

TEST(ControlRoutes, AdvanceAnswersWhenEveryDeviceHasRunItsTicks) {
  ManualRoutes routes;
  ASSERT_NE(routes.driver.manualClock(), nullptr);
  ASSERT_EQ(routes.server
                .PostEvent(Routes::Request(
                    R"({"at": 90, "devices": [1], "action": "set",
                                            "index": 1, "value": 7})"))
                .status,
            201);
  ControlReply reply = routes.server.Advance(Routes::Request(R"({"seconds": 100})"));
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(json::parse(reply.body),
            (json{{"advanced", 100.0},
                  {"granted", 100.0},
                  {"devices", {{{"id", 1}, {"second", 100.0}}, {{"id", 2}, {"second", 100.0}}}}}));
  const json devices = routes.DevicesJson()["devices"];
  EXPECT_EQ(devices[0]["values"][1]["value"], 7.0);
  EXPECT_EQ(devices[1]["values"][1]["value"], 5.0);
  EXPECT_TRUE(devices[0]["events"].empty()) << "done";

  reply = routes.server.Advance(Routes::Request(R"({"seconds": 0.5})"));
  EXPECT_EQ(json::parse(reply.body)["devices"][0]["second"], 100.0) << "no tick in half a second";
  reply = routes.server.Advance(Routes::Request(R"({"seconds": 0.5})"));
  EXPECT_EQ(json::parse(reply.body)["devices"][0]["second"], 101.0);

  const json clock = json::parse(routes.server.Clock(Routes::Request()).body);
  EXPECT_EQ(clock["mode"], "manual");
  EXPECT_EQ(clock["speed"], nullptr);
  EXPECT_EQ(clock["granted"], 101.0);
  EXPECT_EQ(clock["devices"][1], (json{{"id", 2}, {"updating", true}, {"second", 101.0}}));

  // The log feed: what the driver logged through its log function.
  const json log = json::parse(routes.server.Log(Routes::Request("", {{"wait", "0"}})).body);
  EXPECT_EQ(log["lines"].size(), 0u) << "the driver was given no log function here";
}

}  // namespace
}  // namespace orv
