// The replay action: a recorded run, read whole when the scenario loads and
// played tick by tick (the last sample at or before each offset, loops,
// durations, chosen columns, chosen devices), and every recording refused
// with the line of its `file` key and the reason.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "framework/core/values.h"
#include "framework/devices/device.h"
#include "framework/devices/update_thread.h"
#include "framework/scenario/replay_recording.h"
#include "framework/scenario/replay_source.h"
#include "framework/scenario/scenario.h"
#include "framework/scenario/scenario_player.h"
#include "models/climate/climate_model.h"
#include "models/co2/co2_model.h"
#include "models/twotemp/twotemp_model.h"
#include "tests/support/image_bytes.h"
#include "tests/support/log_capture.h"
#include "tests/support/virtual_runtime.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace orv {
namespace {

namespace fs = std::filesystem;

// A folder of its own for each test, which ctest may run beside the others,
// removed when the process ends.
std::string Folder() {
  struct Made {
    std::set<std::string> folders;
    ~Made() {
      std::error_code ignored;
      for (const std::string& folder : folders) fs::remove_all(folder, ignored);
    }
  };
  static Made made;
  const std::string folder = ::testing::TempDir() + "orv-replay-" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
  fs::create_directories(folder);
  made.folders.insert(folder);
  return folder;
}

std::string Write(const std::string& name, const std::string& text) {
  std::ofstream(Folder() + name, std::ios::binary) << text;
  return name;
}

std::string WriteBytes(const std::string& name, const ByteArray& bytes) {
  std::ofstream(Folder() + name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return name;
}

ScenarioContext Context(const char* driverFile = "gasctl_sim") {
  ScenarioContext context;
  context.driverFile = driverFile;
  context.folder = Folder();
  return context;
}

std::vector<std::string>& g_log = testing::CapturedLog();
using testing::CaptureLog;

// The values after each tick of a device whose model leaves every value at
// 100 + its index, ticking every `step` seconds from second 0.
std::vector<std::vector<float>> Play(const Scenario& scenario, const ModelDescription& model,
                                     int ticks, DeviceId id = 1, std::int64_t step = 1) {
  std::atomic<LogFn> log(&CaptureLog);
  ScenarioPlayer player(&scenario, id, model, log);
  std::vector<std::vector<float>> out;
  for (int t = 0; t < ticks; ++t) {
    std::vector<float> values(static_cast<std::size_t>(model.valueCount));
    for (int i = 0; i < model.valueCount; ++i)
      values[static_cast<std::size_t>(i)] = 100.0f + static_cast<float>(i);
    player.Apply(values.data(), 77 + static_cast<std::uint64_t>(t * step * kTicksPerSecond));
    out.push_back(values);
  }
  return out;
}

// Three samples at 10 s steps: CO2 1, 2, 3 and its nominal 10, 20, 30.
const std::string kTenSecondSteps =
    "Second;CO2;CO2_Nominal;Pump_Level\n0;1;10;\n10;2;20;\n20;3;30;\n";

std::string Replay(const std::string& file, const std::string& more = "") {
  return "[[event]]\nat = 5\naction = \"replay\"\nfile = \"" + file + "\"\n" + more;
}

TEST(ScenarioReplay, EachSampleHoldsUntilTheNextOneAndTheEndsAreLogged) {
  const std::string file = Write("steps.csv", kTenSecondSteps);
  const struct {
    const char* name;
    std::string keys;
    int ticks;
    // CO2 expected at second s, 0 where the model's own 100 is expected.
    float (*co2)(int s);
    std::vector<std::string> log;  // what follows "Scenario (CO2-Ctrl EMU): device 1 at second "
  } cases[] = {
      {"the file's span: samples 0, 10, 20 s held for 10 ticks, the last one tick",
       "",
       40,
       [](int s) { return s < 5 || s > 25 ? 0.0f : static_cast<float>(1 + (s - 5) / 10); },
       {"5: replay steps.csv on 0 (CO2), 1 (CO2 Nominal), 3 (Pump Level) for 20 s",
        "25: replay steps.csv ended"}},
      {"a duration shorter than the file",
       "duration = 12\n",
       40,
       [](int s) { return s < 5 || s > 17 ? 0.0f : static_cast<float>(1 + (s - 5) / 10); },
       {"5: replay steps.csv on 0 (CO2), 1 (CO2 Nominal), 3 (Pump Level) for 12 s",
        "17: replay steps.csv ended"}},
      {"a duration past the file holds its last sample",
       "duration = 30\n",
       40,
       [](int s) {
         return s < 5 || s > 35 ? 0.0f : s >= 25 ? 3.0f : static_cast<float>(1 + (s - 5) / 10);
       },
       {"5: replay steps.csv on 0 (CO2), 1 (CO2 Nominal), 3 (Pump Level) for 30 s",
        "35: replay steps.csv ended"}},
      {"looped: every 30 s (the span and the last step) until the device stops",
       "loop = true\n",
       100,
       [](int s) { return s < 5 ? 0.0f : static_cast<float>(1 + (s - 5) % 30 / 10); },
       {"5: replay steps.csv on 0 (CO2), 1 (CO2 Nominal), 3 (Pump Level), looped until the "
        "device stops"}},
      {"looped for a duration",
       "loop = true\nduration = 65\n",
       100,
       [](int s) { return s < 5 || s > 70 ? 0.0f : static_cast<float>(1 + (s - 5) % 30 / 10); },
       {"5: replay steps.csv on 0 (CO2), 1 (CO2 Nominal), 3 (Pump Level), looped for 65 s",
        "70: replay steps.csv ended"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ScenarioParse parse = ParseScenario(Replay(file, c.keys), co2::kModel, Context());
    ASSERT_TRUE(parse.ok) << parse.line << ": " << parse.reason;
    g_log.clear();
    const auto ticks = Play(parse.scenario, co2::kModel, c.ticks);
    for (int s = 0; s < c.ticks; ++s) {
      const std::vector<float>& v = ticks[static_cast<std::size_t>(s)];
      const float co2 = c.co2(s);
      EXPECT_EQ(v[0], co2 == 0.0f ? 100.0f : co2) << "second " << s;
      EXPECT_EQ(v[1], co2 == 0.0f ? 101.0f : co2 * 10) << "second " << s;
      EXPECT_EQ(v[2], 102.0f) << "second " << s;  // no column: the model's
      // An empty column replays as the invalid value.
      if (co2 != 0.0f) EXPECT_EQ(FloatBits(v[3]), kInvalidBits) << "second " << s;
    }
    ASSERT_EQ(g_log.size(), c.log.size());
    for (std::size_t k = 0; k < c.log.size(); ++k) {
      EXPECT_EQ(g_log[k], "Scenario (CO2-Ctrl EMU): device 1 at second " + c.log[k] + "\n");
    }
  }
}

TEST(ScenarioReplay, ATenSecondRecordingAtIntervalZeroHoldsEachValueForTenSamples) {
  std::string text = "Second;CO2\n";
  for (int k = 0; k < 50; ++k) text += std::to_string(10 * k) + ";" + std::to_string(k) + ".5\n";
  const ScenarioParse parse = ParseScenario(
      "[[event]]\nat = 0\naction = \"replay\"\nfile = \"" + Write("tens.csv", text) + "\"\n",
      co2::kModel, Context());
  ASSERT_TRUE(parse.ok) << parse.reason;
  const auto ticks = Play(parse.scenario, co2::kModel, 491);
  for (int s = 0; s <= 490; ++s) {
    ASSERT_EQ(ticks[static_cast<std::size_t>(s)][0], static_cast<float>(s / 10) + 0.5f) << s;
  }
}

TEST(ScenarioReplay, ColumnsByNameByNumberAndByChannelName) {
  const std::string co2 = Write("columns.csv", "Second;Pump_Level;CO2;Other\n0;2.6;4;9\n");
  const std::string two = Write("twotemp.csv",
                                "Second;Left_Temp;Left_Nominal;Left_Heating;Right_Temp;"
                                "Right_Nominal;Right_Heating\n0;30;31;1;40;41;0\n");
  const struct {
    const char* name;
    const ModelDescription* model;
    std::string event;
    std::vector<float> values;  // after one tick; the model's own are 100 + index
  } cases[] = {
      {"by the channel names, in any order; levels as a write stores them",
       &co2::kModel,
       Replay(co2),
       {4, 101, 102, 3}},
      {"by name", &co2::kModel, Replay(co2, "columns = { 1 = \"CO2\" }\n"), {100, 4, 102, 103}},
      {"by number, 0 the first after Second",
       &co2::kModel,
       Replay(co2, "columns = { 0 = 2, 2 = 0 }\n"),
       {9, 101, 1, 103}},
      {"one column to two values",
       &co2::kModel,
       Replay(co2, "columns = { 0 = 1, 1 = \"CO2\" }\n"),
       {4, 4, 102, 103}},
      {"the two-channel controller: each half by its channel names",
       &twotemp::kModel,
       Replay(two),
       {30, 31, 1, 40, 41, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ScenarioParse parse =
        ParseScenario("[[event]]\nat = 0" + c.event.substr(c.event.find("\naction")), *c.model,
                      Context(c.model == &co2::kModel ? "gasctl_sim" : "twotemp_sim"));
    ASSERT_TRUE(parse.ok) << parse.line << ": " << parse.reason;
    EXPECT_EQ(Play(parse.scenario, *c.model, 1)[0], c.values);
  }
}

TEST(ScenarioReplay, OnlyTheDevicesItNames) {
  const ScenarioParse parse =
      ParseScenario("[[event]]\nat = 0\ndevices = [2, 4]\naction = \"replay\"\nfile = \"" +
                        Write("devices.csv", "Second;CO2\n0;7\n") + "\"\n",
                    co2::kModel, Context());
  ASSERT_TRUE(parse.ok) << parse.reason;
  for (DeviceId id : {1, 2, 3, 4}) {
    EXPECT_EQ(Play(parse.scenario, co2::kModel, 1, id)[0][0], id % 2 == 0 ? 7.0f : 100.0f) << id;
  }
}

TEST(ScenarioReplay, AnImageOfTheSameDriverPlaysBitForBit) {
  // Any NaN, not only the invalid value, and -0 come back as they were saved.
  const std::uint32_t a[] = {0x7FC00001u, 0x80000000u, 0x3F800001u, 0x40A00000u};
  const std::uint32_t b[] = {0x00000001u, 0xFF800000u, 0x3F800000u, 0x7FFFFFFFu};
  const std::uint64_t t0 = 133000000000000000ull;
  const std::string file = WriteBytes(
      "same.img", testing::ImageBytes(
                      co2::kModel, "gasctl_sim.dll",
                      {{t0, {a[0], a[1], a[2], a[3]}}, {t0 + 30000000, {b[0], b[1], b[2], b[3]}}}));
  const ScenarioParse parse = ParseScenario(Replay(file), co2::kModel, Context());
  ASSERT_TRUE(parse.ok) << parse.line << ": " << parse.reason;
  const auto ticks = Play(parse.scenario, co2::kModel, 9);
  for (int s = 5; s <= 8; ++s) {
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(FloatBits(ticks[static_cast<std::size_t>(s)][static_cast<std::size_t>(i)]),
                s < 8 ? a[i] : b[i])
          << "second " << s << ", value " << i;
    }
  }
}

TEST(ScenarioReplay, RelativeFilesResolveAgainstTheScenariosFolder) {
  const struct {
    std::string folder, path;
    char separator;
    std::string resolved;
  } cases[] = {
      {"scenarios/", "night.csv", '/', "scenarios/night.csv"},
      {"", "night.csv", '/', "night.csv"},
      {"scenarios/", "/data/night.csv", '/', "/data/night.csv"},
      {"C:\\Lab\\", "sub\\night.csv", '\\', "C:\\Lab\\sub\\night.csv"},
      {"C:\\Lab\\", "D:\\night.csv", '\\', "D:\\night.csv"},
      {"C:\\Lab\\", "\\\\server\\night.csv", '\\', "\\\\server\\night.csv"},
      {"C:\\Lab\\", "/night.csv", '\\', "/night.csv"},
      {"lab/", "C:night.csv", '/', "lab/C:night.csv"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ResolvePath(c.folder, c.path, c.separator), c.resolved) << c.path;
  }
}

TEST(ScenarioReplay, RefusesWithTheLineOfItsFileAndTheReason) {
  const std::uint64_t t0 = 133000000000000000ull;
  const std::vector<testing::ImageSample> climateSamples = {{t0, {1, 2, 3, 4, 5, 6}},
                                                            {t0 + 10000000, {1, 2, 3, 4, 5, 6}}};
  ByteArray damaged =
      testing::ImageBytes(co2::kModel, "gasctl_sim.so", {{t0, {1, 2, 3, 4}}, {t0, {1, 2, 3, 4}}});
  damaged.resize(damaged.size() - 3);
  std::string overCap = "Second;CO2\n";
  for (int k = 0; k < 100; ++k) overCap += std::to_string(k) + ";5\n";
  fs::create_directories(Folder() + "a-folder");
  const std::string incompatible = "the saved format is not compatible with the loaded driver (";
  const struct {
    const char* name;
    const ModelDescription* model;
    std::string event;  // the `file` key on line 4 unless the key itself is wrong
    std::size_t line;
    std::string reason;
  } cases[] = {
      {"wrong separator", &co2::kModel,
       Replay(Write("semi.csv", kTenSecondSteps), "separator = \",\"\n"), 4,
       "`file` \"semi.csv\": line 1: the header does not separate its columns with `,`"},
      {"missing header", &co2::kModel, Replay(Write("noheader.csv", "0;1\n1;2\n")), 4,
       "line 1: no header line"},
      {"unknown column name", &co2::kModel,
       Replay(Write("steps.csv", kTenSecondSteps), "columns = { 0 = \"CO3\" }\n"), 4,
       "line 1: `columns`: the file has no column `CO3`"},
      {"column number beyond the file", &co2::kModel,
       Replay(Write("steps.csv", kTenSecondSteps), "columns = { 0 = 3 }\n"), 4,
       "the file has no column 3 (its value columns are 0 to 2)"},
      {"no column named after a value", &co2::kModel,
       Replay(Write("other.csv", "Second;A;B\n0;1;2\n")), 4,
       "no column is named after a value of CO2-Ctrl EMU"},
      {"seconds going back", &co2::kModel,
       Replay(Write("back.csv", "Second;CO2\n0;1\n10;1\n9;1\n")), 4,
       "line 4: the seconds go back, from 10 to 9"},
      {"a line with too many columns", &co2::kModel,
       Replay(Write("many.csv", "Second;CO2\n0;1\n1;1;2\n")), 4,
       "line 3: 3 columns where the header has 2"},
      {"a line with too few columns", &co2::kModel,
       Replay(Write("few.csv", "Second;CO2;CO2_Nominal\n0;1;2\n1;1\n")), 4,
       "line 3: 2 columns where the header has 3"},
      {"a non-number", &co2::kModel, Replay(Write("nan.csv", "Second;CO2\n0;1\n1;high\n")), 4,
       "line 3: column 1 is not a number: `high`"},
      {"an image of another version of a driver", &co2::kModel,
       Replay(WriteBytes("climate.img",
                         testing::ImageBytes(climate::kModel, "climate_sim.so", climateSamples))),
       4, incompatible + "saved by version 1.1 of its driver, this is 1.2)"},
      {"an image of another driver of the same version", &twotemp::kModel,
       Replay(WriteBytes("climate.img",
                         testing::ImageBytes(climate::kModel, "climate_sim.so", climateSamples))),
       4, incompatible},
      {"a damaged image", &co2::kModel, Replay(WriteBytes("damaged.img", damaged)), 4,
       incompatible + "its history of 2 samples does not fit its 45 remaining bytes)"},
      {"an image with bytes after it", &co2::kModel,
       Replay(WriteBytes(
           "tail.img",
           [&] {
             ByteArray a = testing::ImageBytes(co2::kModel, "gasctl_sim.so", {{t0, {1, 2, 3, 4}}});
             a.push_back(0);
             return a;
           }())),
       4, incompatible + "1 bytes follow the image)"},
      {"an image whose clock went back", &co2::kModel,
       Replay(WriteBytes("clock.img",
                         testing::ImageBytes(co2::kModel, "gasctl_sim.so",
                                             {{t0, {1, 2, 3, 4}}, {t0 - 1, {1, 2, 3, 4}}}))),
       4, "sample 2 of the image is earlier than the one before"},
      {"a file over the cap", &co2::kModel, Replay(Write("big.csv", overCap)), 4,
       "line 85: the recordings of this scenario would take more than the 1000 bytes left"},
      {"a folder", &co2::kModel, Replay("a-folder"), 4, "`file` \"a-folder\": not a regular file"},
      {"a missing file", &co2::kModel, Replay("no-such.csv"), 4, "the file cannot be opened"},
      {"a replay without a file", &co2::kModel, "[[event]]\nat = 5\naction = \"replay\"\n", 1,
       "the event has no `file`"},
      {"an index on a replay", &co2::kModel, Replay("steps.csv", "index = 1\n"), 5,
       "`index` does not apply to a replay"},
      {"a file on a set", &co2::kModel,
       "[[event]]\nat = 5\naction = \"set\"\nindex = 1\nvalue = 2\nfile = \"x\"\n", 6,
       "`file` does not apply to a set"},
      {"a value index beyond the model in columns", &co2::kModel,
       Replay("steps.csv", "columns = { 4 = 0 }\n"), 5,
       "`columns`: `4` is not a value index from 0 to 3"},
      {"a value driven twice", &co2::kModel, Replay("steps.csv", "columns = { 0 = 0, 00 = 1 }\n"),
       5, "`columns`: value 0 is named twice"},
      {"a column name with a control character", &co2::kModel,
       Replay("steps.csv", "columns = { 0 = \"C\\u0007\" }\n"), 5,
       "`columns`: value 0 names no column"},
      {"a column as a list", &co2::kModel, Replay("steps.csv", "columns = { 0 = [1] }\n"), 5,
       "`columns`: value 0 needs a column name or number"},
      {"a separator of two characters", &co2::kModel, Replay("steps.csv", "separator = \";;\"\n"),
       5, "`separator` must be one character"},
      {"loop as text", &co2::kModel, Replay("steps.csv", "loop = \"yes\"\n"), 5,
       "`loop` must be true or false"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScenarioContext context = Context(c.model == &co2::kModel ? "gasctl_sim" : "twotemp_sim");
    context.recordingBytes = 1000;  // 83 samples of one value
    const ScenarioParse parse = ParseScenario(c.event, *c.model, context);
    EXPECT_FALSE(parse.ok);
    EXPECT_EQ(parse.line, c.line) << parse.reason;
    EXPECT_NE(parse.reason.find(c.reason), std::string::npos) << parse.reason;
  }
}

TEST(ScenarioReplay, TheCapCountsEveryRecordingOfTheFile) {
  std::string text = "Second;CO2\n";
  for (int k = 0; k < 45; ++k) text += std::to_string(k) + ";5\n";
  const std::string file = Write("forty-five.csv", text);
  ScenarioContext context = Context();
  context.recordingBytes = 1000;  // 45 samples of 12 bytes fit once, not twice
  EXPECT_TRUE(ParseScenario(Replay(file), co2::kModel, context).ok);
  const ScenarioParse twice = ParseScenario(Replay(file) + Replay(file), co2::kModel, context);
  EXPECT_FALSE(twice.ok);
  EXPECT_EQ(twice.line, 8u);
}

// A recording keeps 8 + 4M bytes a sample and little more: its chunks are
// just under 1 MiB, the last one cut to its samples.
TEST(ScenarioReplay, ARecordingTakesItsSamplesBytesAndLittleMore) {
  for (std::size_t columns : {std::size_t{1}, std::size_t{4}, std::size_t{6}}) {
    ReplayRecording recording(std::vector<std::int32_t>(columns, 0));
    const float values[6] = {};
    constexpr std::size_t kSamples = 604800;
    for (std::size_t k = 0; k < kSamples; ++k) {
      recording.Append(static_cast<std::int64_t>(k) * kTicksPerSecond, values);
    }
    recording.Complete();
    const double perSample = static_cast<double>(recording.bytes()) / kSamples;
    EXPECT_LE(perSample, 1.001 * static_cast<double>(8 + 4 * columns)) << columns;
    EXPECT_EQ(recording.Find(100 * kTicksPerSecond + 5), 100u);
    EXPECT_EQ(recording.Find(-1), 0u);
    EXPECT_EQ(recording.Find(kTicksPerSecond * 10000000), kSamples - 1);
    EXPECT_EQ(recording.period(), static_cast<std::int64_t>(kSamples) * kTicksPerSecond);
  }
}

// A scenario or a recording that names a pipe must not hold Init until
// something writes to it, nor a device forever.
TEST(ScenarioReplay, OnlyRegularFilesAreRead) {
  std::vector<std::string> paths = {Folder()};
#ifndef _WIN32
  paths.push_back("/dev/zero");
  const std::string fifo = Folder() + "a-pipe";
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  paths.push_back(fifo);
#endif
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    std::string text, reason;
    EXPECT_FALSE(ReadScenarioFile(path, text, reason));
    EXPECT_EQ(reason, "not a regular file (a folder, a device or a pipe)");
    const ScenarioParse parse = ParseScenario(
        "[[event]]\nat = 0\naction = \"replay\"\nfile = '" + path + "'\n", co2::kModel, Context());
    EXPECT_FALSE(parse.ok);
    EXPECT_NE(parse.reason.find("not a regular file"), std::string::npos) << parse.reason;
  }
}

// A host write made during a tick wins over the replay, as over every
// scenario event; the next tick the replay drives the value again.
TEST(ScenarioReplay, AHostWriteInTheSameTickWins) {
  const ScenarioParse parse =
      ParseScenario("[[event]]\nat = 0\naction = \"replay\"\nfile = \"" +
                        Write("write.csv", "Second;CO2;CO2_Nominal\n0;6;7\n100;6;7\n") + "\"\n",
                    co2::kModel, Context());
  ASSERT_TRUE(parse.ok) << parse.reason;
  testing::VirtualRuntime runtime;
  DeviceEnvironment env;
  env.model = &co2::kModel;
  env.runtime = &runtime;
  env.scenario.store(&parse.scenario);
  EmuDevice device(env);
  device.id = 1;
  ScenarioPlayer player = ScenarioPlayerFor(device);
  Rng rng(SeedFor(1));
  RunTick(device, rng, &player);
  EXPECT_EQ(GetValue(device, 1), 7.0f);
  runtime.nowMs += 1000;
  SetValue(device, 1, 9.0f);  // as if written while the tick ran
  RunTick(device, rng, &player);
  EXPECT_EQ(GetValue(device, 1), 9.0f);
  runtime.nowMs += 1000;
  RunTick(device, rng, &player);
  EXPECT_EQ(GetValue(device, 1), 7.0f);
}

}  // namespace
}  // namespace orv
