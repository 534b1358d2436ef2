// One table of events for both doors: each case is written once, as keys and
// values that read the same in TOML and JSON, and goes through a scenario
// file's [[event]] and through a request's JSON body. Both must accept the
// same events and refuse the same faults with the same message.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "framework/control/event_requests.h"
#include "framework/core/values.h"
#include "framework/scenario/scenario.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"

namespace orv {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

std::string AsToml(const Fields& fields) {
  std::string text = "[[event]]\n";
  for (const auto& [key, value] : fields) text += key + " = " + value + "\n";
  return text;
}

std::string AsJson(const Fields& fields) {
  std::string text = "{";
  for (const auto& [key, value] : fields) {
    text += (text.size() > 1 ? ", \"" : "\"") + key + "\": " + value;
  }
  return text + "}";
}

TEST(EventRequest, BothDoorsAcceptAndRefuseAlikeWithOneMessage) {
  const Fields set = {{"at", "5"}, {"action", "\"set\""}, {"index", "1"}, {"value", "7"}};
  const auto with = [](Fields fields, const std::string& key, const std::string& value) {
    bool replaced = false;
    for (auto& field : fields) {
      if (field.first == key) {
        field.second = value;
        replaced = true;
      }
    }
    if (!replaced) fields.emplace_back(key, value);
    return fields;
  };
  const auto without = [](Fields fields, const std::string& key) {
    std::erase_if(fields, [&](const auto& field) { return field.first == key; });
    return fields;
  };
  const struct {
    const char* name;
    Fields fields;
    const char* reason;  // null: accepted
  } cases[] = {
      {"a set", set, nullptr},
      {"a hold of the invalid value on a list of devices",
       {{"at", "1.5"},
        {"devices", "[1, 2]"},
        {"action", "\"hold\""},
        {"index", "0"},
        {"value", "\"invalid\""},
        {"duration", "10"}},
       nullptr},
      {"a ramp with a note",
       {{"at", "0"},
        {"devices", "3"},
        {"action", "\"ramp\""},
        {"index", "0"},
        {"rate", "-0.5"},
        {"duration", "2"},
        {"note", "\"leak\""}},
       nullptr},
      {"devices all", with(set, "devices", "\"all\""), nullptr},
      {"unknown key", with(set, "colour", "1"), "`colour` is not a known key"},
      {"key of another action", with(set, "rate", "1"), "`rate` does not apply to a set"},
      {"no at", without(set, "at"), "the event has no `at` (seconds of device clock)"},
      {"no action", without(set, "action"),
       "the event has no `action` (set, hold, ramp or replay)"},
      {"unknown action", with(set, "action", "\"drop\""),
       "`action` must be \"set\", \"hold\", \"ramp\" or \"replay\""},
      {"action as a number", with(set, "action", "3"),
       "`action` must be \"set\", \"hold\", \"ramp\" or \"replay\""},
      {"a replay of a file that is not there",
       {{"at", "0"}, {"action", "\"replay\""}, {"file", "\"no-such-recording.csv\""}},
       "`file` \"no-such-recording.csv\": the file cannot be opened"},
      {"index too large", with(set, "index", "4"), "`index` 4 is outside 0 to 3 of CO2-Ctrl EMU"},
      {"negative index", with(set, "index", "-1"), "`index` -1 is outside 0 to 3 of CO2-Ctrl EMU"},
      {"index as text", with(set, "index", "\"1\""), "`index` must be an integer"},
      {"index as a fraction", with(set, "index", "1.5"), "`index` must be an integer"},
      {"negative time", with(set, "at", "-1"), "`at` must not be negative"},
      {"time beyond ten years", with(set, "at", "4e8"), "`at` is over ten years"},
      {"time as text", with(set, "at", "\"soon\""), "`at` must be a number"},
      {"value beyond float", with(set, "value", "1e39"), "`value` is beyond the range of a value"},
      {"value as other text", with(set, "value", "\"high\""),
       "`value` must be a number or \"invalid\""},
      {"value as a boolean", with(set, "value", "true"), "`value` must be a number"},
      {"hold without duration",
       {{"at", "1"}, {"action", "\"hold\""}, {"index", "1"}, {"value", "1"}},
       "the event has no `duration` (seconds)"},
      {"negative duration",
       {{"at", "1"}, {"action", "\"hold\""}, {"index", "1"}, {"value", "1"}, {"duration", "-3"}},
       "`duration` must not be negative"},
      {"zero duration",
       {{"at", "1"}, {"action", "\"ramp\""}, {"index", "0"}, {"rate", "1"}, {"duration", "0"}},
       "`duration` must be above 0"},
      {"ramp on a switch",
       {{"at", "1"}, {"action", "\"ramp\""}, {"index", "2"}, {"rate", "1"}, {"duration", "5"}},
       "a ramp needs a quantity, and value 2 (CO2 Regulator) is a level, switch or alarm"},
      {"device id 0", with(set, "devices", "0"), "device id 0 is not a valid id (1 or more)"},
      {"empty device list", with(set, "devices", "[]"), "`devices` lists no device"},
      {"devices as other text", with(set, "devices", "\"some\""),
       "`devices` must be \"all\", an id or a list of ids"},
      {"devices as a boolean", with(set, "devices", "true"),
       "`devices` must be \"all\", a device id or a list of ids"},
      {"note too long", with(set, "note", "\"" + std::string(121, 'x') + "\""),
       "`note` is longer than 120 characters"},
      {"note with a control character", with(set, "note", "\"a\\u0007b\""),
       "`note` holds control characters"},
      {"note as a number", with(set, "note", "5"), "`note` must be a string"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ScenarioParse file = ParseScenario(AsToml(c.fields), co2::kModel);
    const EventRequest request =
        DecodeEventRequest(nlohmann::json::parse(AsJson(c.fields)), co2::kModel);
    if (c.reason == nullptr) {
      ASSERT_TRUE(file.ok) << file.reason;
      ASSERT_TRUE(request.ok) << request.reason;
      const ScenarioEvent& a = file.scenario.events[0];
      const ScenarioEvent& b = request.event;
      EXPECT_EQ(a.at, b.at);
      EXPECT_EQ(a.duration, b.duration);
      EXPECT_EQ(a.action, b.action);
      EXPECT_EQ(a.index, b.index);
      EXPECT_EQ(FloatBits(a.value), FloatBits(b.value));
      EXPECT_EQ(FloatBits(a.rate), FloatBits(b.rate));
      EXPECT_EQ(a.allDevices, b.allDevices);
      EXPECT_EQ(a.devices, b.devices);
      EXPECT_EQ(a.note, b.note);
      EXPECT_FALSE(request.relative);
      continue;
    }
    EXPECT_FALSE(file.ok);
    EXPECT_FALSE(request.ok);
    EXPECT_EQ(file.reason, c.reason);
    EXPECT_EQ(request.reason, c.reason);
  }
}

TEST(EventRequest, JsonOnlyForms) {
  const struct {
    const char* name;
    std::string body;
    const char* reason;  // null: accepted
  } cases[] = {
      {"at now", R"({"at": "now", "action": "set", "index": 4, "value": 5})", nullptr},
      {"not an object", R"([1, 2])", "the event must be a JSON object"},
      {"a null", R"({"at": 1, "action": "set", "index": 4, "value": null})",
       "`value` must not be null"},
      {"an integer beyond 64 bits", R"({"at": 18446744073709551615, "action": "set"})",
       "`at` is beyond the range of a number"},
      {"nested too deeply", R"({"a": [[[[[[[[1]]]]]]]]})", "the body nests deeper than 8 levels"},
      {"at now with a typo", R"({"at": "Now", "action": "set", "index": 4, "value": 5})",
       "`at` must be a number"},
      {"for this plug-in", R"({"driver": "climate_sim", "at": "now", "action": "set",
                               "index": 4, "value": 5})",
       nullptr},
      {"for another plug-in", R"({"driver": "gasctl_sim", "at": 0, "action": "set",
                                  "index": 4, "value": 5})",
       "the event is for `driver` \"gasctl_sim\", not this plug-in"},
  };
  ScenarioContext context;
  context.driverFile = "climate_sim";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const EventRequest request =
        DecodeEventRequest(nlohmann::json::parse(c.body), climate::kModel, context);
    if (c.reason == nullptr) {
      ASSERT_TRUE(request.ok) << request.reason;
      EXPECT_TRUE(request.relative);
      EXPECT_EQ(request.event.at, 0);
      EXPECT_EQ(FloatBits(request.event.value), FloatBits(5.0f)) << "a level, as a file stores it";
    } else {
      EXPECT_FALSE(request.ok);
      EXPECT_EQ(request.reason, c.reason);
    }
  }
}

}  // namespace
}  // namespace orv
