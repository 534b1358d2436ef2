// Scenario files: what the parser accepts and refuses (with the line and the
// reason), and what each action does to each model's values tick by tick.
#include "framework/scenario/scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "framework/core/values.h"
#include "framework/devices/device.h"
#include "framework/devices/update_thread.h"
#include "framework/scenario/scenario_player.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"
#include "models/twotemp/twotemp_model.h"
#include "tests/support/log_capture.h"
#include "tests/support/virtual_runtime.h"

namespace orv {
namespace {

std::string Event(const std::string& body) { return "[[event]]\n" + body; }

TEST(ScenarioParse, AcceptsAndRefusesWithLineAndReason) {
  const std::string set = "at = 5\naction = \"set\"\nindex = 1\nvalue = 7\n";
  const struct {
    const char* name;
    std::string text;
    std::size_t events;  // when accepted
    std::size_t line;    // when refused
    const char* reason;  // refusal: a part of the reason; null when accepted
  } cases[] = {
      {"one set", Event(set), 1, 0, nullptr},
      {"comments, all three actions, lists",
       "# header\n" + Event(set) +
           Event("at = 1.5\ndevices = [1, 2]\naction = \"hold\"\nindex = 0\n"
                 "value = \"invalid\"\nduration = 10\n") +
           Event("at = 0\ndevices = 3\naction = \"ramp\"\nindex = 0\nrate = -0.5\n"
                 "duration = 2\nnote = \"leak\"\n"),
       3, 0, nullptr},
      {"no events", "# nothing\n", 0, 0, "no [[event]]"},
      {"syntax", "[[event]]\nat = = 5\n", 0, 2, ""},
      {"unterminated string", "[[event]]\nnote = \"open\n", 0, 2, ""},
      {"unknown top-level key", "title = \"x\"\n" + Event(set), 0, 1, "`title` is not a known"},
      {"unknown event key", Event(set + "colour = 1\n"), 0, 6, "`colour` is not a known key"},
      {"key of another action", Event(set + "rate = 1\n"), 0, 6, "`rate` does not apply to a set"},
      {"missing at", Event("action = \"set\"\nindex = 1\nvalue = 7\n"), 0, 1, "no `at`"},
      {"missing action", Event("at = 1\nindex = 1\nvalue = 7\n"), 0, 1, "no `action`"},
      {"unknown action", Event("at = 1\naction = \"drop\"\nindex = 1\n"), 0, 3, "`action` must"},
      {"index too large", Event("at = 1\naction = \"set\"\nindex = 4\nvalue = 1\n"), 0, 4,
       "`index` 4 is outside 0 to 3"},
      {"negative index", Event("at = 1\naction = \"set\"\nindex = -1\nvalue = 1\n"), 0, 4,
       "outside 0 to 3"},
      {"index as text", Event("at = 1\naction = \"set\"\nindex = \"1\"\nvalue = 1\n"), 0, 4,
       "`index` must be an integer"},
      {"negative time", Event("at = -1\naction = \"set\"\nindex = 1\nvalue = 1\n"), 0, 2,
       "`at` must not be negative"},
      {"time beyond ten years", Event("at = 4e8\naction = \"set\"\nindex = 1\nvalue = 1\n"), 0, 2,
       "over ten years"},
      {"infinite value", Event("at = 1\naction = \"set\"\nindex = 1\nvalue = inf\n"), 0, 5,
       "`value` must be finite"},
      {"NaN value", Event("at = 1\naction = \"set\"\nindex = 1\nvalue = nan\n"), 0, 5,
       "`value` must be finite"},
      {"value beyond float", Event("at = 1\naction = \"set\"\nindex = 1\nvalue = 1e39\n"), 0, 5,
       "beyond the range"},
      {"value as other text", Event("at = 1\naction = \"set\"\nindex = 1\nvalue = \"high\"\n"), 0,
       5, "a number or \"invalid\""},
      {"negative duration",
       Event("at = 1\naction = \"hold\"\nindex = 1\nvalue = 1\nduration = -3\n"), 0, 6,
       "`duration` must not be negative"},
      {"zero duration", Event("at = 1\naction = \"ramp\"\nindex = 0\nrate = 1\nduration = 0\n"), 0,
       6, "`duration` must be above 0"},
      {"hold without duration", Event("at = 1\naction = \"hold\"\nindex = 1\nvalue = 1\n"), 0, 1,
       "no `duration`"},
      {"ramp on a switch", Event("at = 1\naction = \"ramp\"\nindex = 2\nrate = 1\nduration = 5\n"),
       0, 4, "a ramp needs a quantity"},
      {"device id 0", Event(set + "devices = 0\n"), 0, 6, "device id 0 is not a valid id"},
      {"empty device list", Event(set + "devices = []\n"), 0, 6, "lists no device"},
      {"devices as other text", Event(set + "devices = \"some\"\n"), 0, 6, "`devices` must be"},
      {"note too long", Event(set + "note = \"" + std::string(121, 'x') + "\"\n"), 0, 6,
       "longer than 120"},
      {"note with a control character", Event(set + "note = \"a\\u0007b\"\n"), 0, 6,
       "control characters"},
      {"event not a table", "event = 5\n", 0, 1, "[[event]] tables"},
      {"nesting too deep", "x = " + std::string(20, '[') + "\n", 0, 1, "nested deeper"},
      // Broken UTF-8 inside an unterminated literal string once made the
      // parser read past its input; such text never reaches it.
      {"broken UTF-8 in a string", Event(set) + "'open \xC8\xC8 string\n", 0, 6, "not UTF-8"},
      {"overlong UTF-8", Event(set + "note = \"\xC0\xAF\"\n"), 0, 6, "not UTF-8"},
      {"a surrogate", Event(set + "note = \"\xED\xA0\x80\"\n"), 0, 6, "not UTF-8"},
      {"a control character", Event(set) + "# bell \x07\n", 0, 6, "control character"},
      {"UTF-8 text is fine",
       "# 37 \xC2\xB0"
       "C, \xE2\x82\xAC\n" +
           Event(set),
       1, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ScenarioParse parse = ParseScenario(c.text, co2::kModel);
    if (c.reason == nullptr) {
      ASSERT_TRUE(parse.ok) << parse.line << ": " << parse.reason;
      EXPECT_EQ(parse.scenario.events.size(), c.events);
      continue;
    }
    EXPECT_FALSE(parse.ok);
    EXPECT_EQ(parse.line, c.line) << parse.reason;
    EXPECT_NE(parse.reason.find(c.reason), std::string::npos) << parse.reason;
    EXPECT_FALSE(parse.reason.empty());
  }
}

TEST(ScenarioParse, CapsSizeEventsAndDeviceLists) {
  const std::string set = "at = 5\naction = \"set\"\nindex = 1\nvalue = 7\n";
  std::string thousand;
  for (int i = 0; i < 1000; ++i) thousand += "[[event]]\nat=1\naction=\"set\"\nindex=1\nvalue=1\n";
  EXPECT_TRUE(ParseScenario(thousand, co2::kModel).ok);
  const ScenarioParse tooMany =
      ParseScenario(thousand + "[[event]]\nat=1\naction=\"set\"\nindex=1\nvalue=1\n", co2::kModel);
  EXPECT_FALSE(tooMany.ok);
  EXPECT_EQ(tooMany.line, 5001u);
  EXPECT_EQ(tooMany.reason, "more than 1000 events");

  const ScenarioParse tooBig = ParseScenario(std::string(64 * 1024 + 1, '#'), co2::kModel);
  EXPECT_EQ(tooBig.reason, "the file is larger than 65536 bytes");

  std::string ids;
  for (int i = 1; i <= 65; ++i) ids += std::to_string(i) + ",";
  const ScenarioParse longList =
      ParseScenario(Event(set + "devices = [" + ids + "]\n"), co2::kModel);
  EXPECT_FALSE(longList.ok);
  EXPECT_EQ(longList.line, 6u);
  EXPECT_EQ(longList.reason, "`devices` lists more than 64 ids");
}

TEST(ScenarioParse, StoresValuesAsTheChannelKindHoldsThem) {
  const struct {
    int index;
    const char* value;
    std::uint32_t bits;
  } cases[] = {
      {0, "2.5", FloatBits(2.5f)},       // quantity: unchanged
      {3, "4.6", FloatBits(5.0f)},       // level: rounded
      {2, "0.3", FloatBits(1.0f)},       // switch: 0 or 1
      {5, "7", FloatBits(1.0f)},         // alarm: 0 or 1
      {5, "\"invalid\"", kInvalidBits},  // the invalid bit pattern
      {4, "\"invalid\"", kInvalidBits},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    const ScenarioParse parse = ParseScenario(
        Event("at = 0\naction = \"hold\"\nduration = 1\nindex = " + std::to_string(c.index) +
              "\nvalue = " + c.value + "\n"),
        climate::kModel);
    ASSERT_TRUE(parse.ok) << parse.reason;
    EXPECT_EQ(FloatBits(parse.scenario.events[0].value), c.bits);
  }
}

std::vector<std::string>& g_log = testing::CapturedLog();
using testing::CaptureLog;

// What an event does to value index at a tick of second s whose previous
// tick came at second p (-1 before the first): the contract, in seconds.
struct Expected {
  const char* action;
  double at, duration, value;
  bool Due(double s, double p) const { return s >= at && p < at; }  // the first tick due
  void Apply(float& v, double s, double p) const {
    const double end = at + duration;
    if (std::string(action) == "set") {
      if (Due(s, p)) v = static_cast<float>(value);
    } else if (std::string(action) == "hold") {
      if (Due(s, p) || (s >= at && s < end)) v = static_cast<float>(value);
    } else {
      const double from = std::max(p, at), to = std::min(s, end);
      if (s > at && to > from) v += static_cast<float>(value * (to - from));
    }
  }
};

TEST(ScenarioPlayer, EachActionOnEachModelFollowsTheModelsOwnStep) {
  const struct {
    const char* name;
    const ModelDescription* model;
    int index;
    Expected event;
    std::uint32_t spacingMs;  // between ticks: 1 s at interval 0
    int invalidHeld;          // NaN value: how the file writes it
  } cases[] = {
      {"co2 set drops CO2", &co2::kModel, 0, {"set", 5, 0, 2.0}, 1000, 0},
      {"co2 hold fails CO2", &co2::kModel, 0, {"hold", 4, 6, 0}, 1000, 1},
      {"co2 ramp leaks", &co2::kModel, 0, {"ramp", 3, 7, -0.25}, 1000, 0},
      {"co2 ramp over 3 s ticks", &co2::kModel, 0, {"ramp", 4, 4, 0.5}, 3000, 0},
      {"twotemp set nominal", &twotemp::kModel, 4, {"set", 2, 0, 50.0}, 1000, 0},
      {"twotemp hold sensor 2", &twotemp::kModel, 3, {"hold", 6, 5, 0}, 1000, 1},
      {"twotemp ramp drift", &twotemp::kModel, 3, {"ramp", 1, 9, 0.3}, 1000, 0},
      {"climate set heating", &climate::kModel, 4, {"set", 3, 0, 5.0}, 1000, 0},
      {"climate hold overheat", &climate::kModel, 5, {"hold", 2, 8, 1.0}, 1000, 0},
      {"climate hold 1 s at 3 s ticks", &climate::kModel, 5, {"hold", 4, 1, 1.0}, 3000, 0},
      {"climate ramp CO2", &climate::kModel, 0, {"ramp", 0, 5, 0.125}, 1000, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Expected& e = c.event;
    std::string text = "[[event]]\naction = \"" + std::string(e.action) +
                       "\"\nat = " + std::to_string(e.at) + "\nindex = " + std::to_string(c.index) +
                       "\n";
    const bool ramp = std::string(e.action) == "ramp";
    if (ramp) text += "rate = " + std::to_string(e.value) + "\n";
    if (!ramp) {
      text += c.invalidHeld ? "value = \"invalid\"\n" : "value = " + std::to_string(e.value) + "\n";
    }
    if (std::string(e.action) != "set") text += "duration = " + std::to_string(e.duration) + "\n";
    const ScenarioParse parse = ParseScenario(text, *c.model);
    ASSERT_TRUE(parse.ok) << parse.reason;

    testing::VirtualRuntime runtime;
    DeviceEnvironment env;
    env.model = c.model;
    env.runtime = &runtime;
    env.log.store(&CaptureLog);
    env.scenario.store(&parse.scenario);
    EmuDevice device(env);
    device.id = 1;
    g_log.clear();
    ScenarioPlayer player = ScenarioPlayerFor(device);
    Rng rng(SeedFor(1)), modelRng(SeedFor(1));

    const int n = c.model->valueCount;
    std::vector<float> expected(n, MakeInvalid());
    double previous = -1;
    for (int tick = 0; tick < 20; ++tick) {
      const double second = tick * c.spacingMs / 1000.0;
      c.model->step(expected.data(), modelRng);
      Expected held = e;
      if (c.invalidHeld) held.value = static_cast<double>(MakeInvalid());
      held.Apply(expected[c.index], second, previous);
      RunTick(device, rng, &player);
      for (int i = 0; i < n; ++i) {
        ASSERT_EQ(FloatBits(GetValue(device, i)), FloatBits(expected[i]))
            << "second " << second << ", value " << i;
      }
      previous = second;
      runtime.nowMs += c.spacingMs;
    }
    ASSERT_EQ(g_log.size(), 1u) << "one line per applied event";
    EXPECT_EQ(g_log[0].rfind(
                  "Scenario (" + std::string(c.model->shortName) + "): device 1 at second ", 0),
              0u)
        << g_log[0];
  }
}

// The wall clock may step (daylight saving, a time server) while a device
// runs: the samples' timestamps show the step, the events stay at their
// second of the device's monotonic clock.
TEST(ScenarioPlayer, AWallClockStepMovesNoEvent) {
  const ScenarioParse parse =
      ParseScenario(Event("at = 5\naction = \"set\"\nindex = 1\nvalue = 7\n") +
                        Event("at = 10\naction = \"set\"\nindex = 1\nvalue = 9\n"),
                    co2::kModel);
  ASSERT_TRUE(parse.ok) << parse.reason;
  constexpr std::int64_t kHour = 3600 * kTicksPerSecond;
  const struct {
    const char* name;
    std::vector<std::pair<int, std::int64_t>> steps;  // at the tick of second s, step by
  } cases[] = {
      {"no step", {}},
      {"an hour forward", {{2, kHour}}},
      {"an hour back", {{2, -kHour}}},
      {"forward, then back", {{2, kHour}, {6, -kHour}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::VirtualRuntime runtime;
    DeviceEnvironment env;
    env.model = &co2::kModel;
    env.runtime = &runtime;
    env.log.store(&CaptureLog);
    env.scenario.store(&parse.scenario);
    EmuDevice device(env);
    device.id = 1;
    g_log.clear();
    ScenarioPlayer player = ScenarioPlayerFor(device);
    Rng rng(SeedFor(1));
    for (int second = 0; second <= 12; ++second) {
      for (const auto& [at, by] : c.steps) {
        if (at == second) runtime.wallStep += by;
      }
      RunTick(device, rng, &player);
      const float nominal = GetValue(device, 1);
      EXPECT_EQ(nominal == 7.0f, second >= 5 && second < 10) << "second " << second;
      EXPECT_EQ(nominal == 9.0f, second >= 10) << "second " << second;
      runtime.nowMs += 1000;
    }
    ASSERT_EQ(g_log.size(), 2u);
    EXPECT_NE(g_log[0].find("at second 5:"), std::string::npos) << g_log[0];
    EXPECT_NE(g_log[1].find("at second 10:"), std::string::npos) << g_log[1];
  }
}

TEST(ScenarioPlayer, LogLinesNameDeviceSecondAndWhatWasDone) {
  ScenarioEvent event;
  event.index = 3;
  const struct {
    ScenarioAction action;
    float value;
    std::int64_t elapsed;
    const char* note;
    const char* line;
  } cases[] = {
      {ScenarioAction::kSet, 2.5f, 600 * kTicksPerSecond, "door opened",
       "Scenario (HX52-4d EMU): device 7 at second 600: set 3 (Temp) to 2.5; door opened"},
      {ScenarioAction::kHold, MakeInvalid(), 61 * kTicksPerSecond + 5000000, "%s%n",
       "Scenario (HX52-4d EMU): device 7 at second 61.5: hold 3 (Temp) at invalid for 90 s; %s%n"},
      {ScenarioAction::kRamp, 0.02f, 0, "",
       "Scenario (HX52-4d EMU): device 7 at second 0: ramp 3 (Temp) by 0.02 per second for 90 s"},
  };
  for (const auto& c : cases) {
    event.action = c.action;
    event.value = c.value;
    event.rate = c.value;
    event.duration = 90 * kTicksPerSecond;
    event.note = c.note;
    EXPECT_EQ(ScenarioEventText(twotemp::kModel, 7, c.elapsed, event), c.line);
  }
}

TEST(ScenarioPlayer, EventsForOtherDevicesAndNoScenarioChangeNothing) {
  const ScenarioParse parse = ParseScenario(
      Event("at = 0\ndevices = [2, 3]\naction = \"hold\"\nindex = 0\nvalue = 9\nduration = 99\n"),
      co2::kModel);
  ASSERT_TRUE(parse.ok);
  for (const Scenario* scenario : {&parse.scenario, static_cast<const Scenario*>(nullptr)}) {
    testing::VirtualRuntime runtime;
    DeviceEnvironment env;
    env.model = &co2::kModel;
    env.runtime = &runtime;
    env.scenario.store(scenario);
    EmuDevice device(env);
    device.id = 1;
    ScenarioPlayer player = ScenarioPlayerFor(device);
    Rng rng(SeedFor(1));
    RunTick(device, rng, &player);
    EXPECT_EQ(FloatBits(GetValue(device, 0)), FloatBits(5.0f));  // the model's fallback
  }
}

}  // namespace
}  // namespace orv
