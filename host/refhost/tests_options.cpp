#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "host/refhost/options.h"

namespace orv::refhost {
namespace {

struct AcceptedCase {
  const char* name;
  std::vector<std::string> args;
  std::function<void(const HostOptions&)> check;
};

TEST(HostOptions, AcceptedCommandLinesFillTheOptions) {
  const AcceptedCase cases[] = {
      {"defaults",
       {"--plugin", "p.so"},
       [](const HostOptions& o) {
         EXPECT_EQ(o.pluginPath, "p.so");
         EXPECT_EQ(o.devices, 1);
         EXPECT_EQ(o.interval, 0);
         EXPECT_FALSE(o.intervalGiven);
         EXPECT_EQ(o.durationSeconds, 15);
         EXPECT_EQ(o.separator, ';');
         EXPECT_EQ(o.decimalPoint, '.');
         EXPECT_TRUE(o.record);
         EXPECT_FALSE(o.namesGiven);
         EXPECT_TRUE(o.restoreFiles.empty());
       }},
      {"web with several plug-ins, writes bound to the plug-in before them",
       {"--set", "0=1", "--web", "9000", "--plugin", "a", "--set", "1=8", "--plugin", "b"},
       [](const HostOptions& o) {
         EXPECT_TRUE(o.web);
         EXPECT_EQ(o.webHost, "127.0.0.1");
         EXPECT_EQ(o.webPort, 9000);
         EXPECT_EQ(o.pluginPath, "a");
         EXPECT_EQ(o.pluginPaths, (std::vector<std::string>{"a", "b"}));
         ASSERT_EQ(o.writes.size(), 2u);
         EXPECT_EQ(o.writes[0].plugin, -1);
         EXPECT_EQ(o.writes[1].plugin, 0);
       }},
      {"web on a named address",
       {"--plugin", "p", "--web=[::1]:0"},
       [](const HostOptions& o) {
         EXPECT_EQ(o.webHost, "::1");
         EXPECT_EQ(o.webPort, 0);
       }},
      {"equals form and numbers",
       {"--plugin=p.so", "--devices", "3", "--interval=5", "--comm", "7,-2", "--duration", "0"},
       [](const HostOptions& o) {
         EXPECT_EQ(o.pluginPath, "p.so");
         EXPECT_EQ(o.devices, 3);
         EXPECT_EQ(o.interval, 5);
         EXPECT_TRUE(o.intervalGiven);
         EXPECT_EQ(o.commSetting1, 7);
         EXPECT_EQ(o.commSetting2, -2);
         EXPECT_EQ(o.durationSeconds, 0);
       }},
      {"export characters",
       {"--plugin", "p", "--export-dir", "out", "--separator", "tab", "--decimal", ","},
       [](const HostOptions& o) {
         EXPECT_EQ(o.exportDir, "out");
         EXPECT_EQ(o.separator, '\t');
         EXPECT_EQ(o.decimalPoint, ',');
       }},
      {"restore takes files up to the next option and is repeatable",
       {"--restore", "a.img", "b.img", "--plugin", "p", "--restore", "c.img"},
       [](const HostOptions& o) {
         EXPECT_EQ(o.restoreFiles, (std::vector<std::string>{"a.img", "b.img", "c.img"}));
         EXPECT_EQ(o.devices, 0);
       }},
      {"devices added beside restored ones",
       {"--plugin", "p", "--restore", "a.img", "--devices", "2"},
       [](const HostOptions& o) { EXPECT_EQ(o.devices, 2); }},
      {"writes keep their order",
       {"--plugin", "p", "--set", "1=5.5", "--set", "3=-2"},
       [](const HostOptions& o) {
         ASSERT_EQ(o.writes.size(), 2u);
         EXPECT_EQ(o.writes[0].index, 1);
         EXPECT_EQ(o.writes[0].value, 5.5f);
         EXPECT_EQ(o.writes[1].index, 3);
         EXPECT_EQ(o.writes[1].value, -2.0f);
       }},
      {"names split at the first comma, 15 characters fit",
       {"--plugin", "p", "--names", ",Right,hand 15ch"},
       [](const HostOptions& o) {
         EXPECT_TRUE(o.namesGiven);
         EXPECT_EQ(o.channelName1, "");
         EXPECT_EQ(o.channelName2, "Right,hand 15ch");
       }},
      {"speed keeps the text it hands the plug-ins",
       {"--plugin", "p", "--speed", "2.5e3"},
       [](const HostOptions& o) {
         EXPECT_EQ(o.speed, "2.5e3");
         EXPECT_EQ(o.speedFactor, 2500.0);
       }},
      {"manual speed and the control endpoint's port go to the plug-ins as given",
       {"--plugin", "p", "--control", "0", "--speed", "manual"},
       [](const HostOptions& o) {
         EXPECT_EQ(o.control, "0");
         EXPECT_EQ(o.speed, "manual");
         EXPECT_EQ(o.speedFactor, 1.0);
       }},
      {"control on a loopback address",
       {"--plugin", "p", "--control", "127.0.0.1:8125"},
       [](const HostOptions& o) { EXPECT_EQ(o.control, "127.0.0.1:8125"); }},
      {"scenario keeps its path for the plug-ins",
       {"--plugin", "p", "--scenario", "scenarios/co2_door.toml"},
       [](const HostOptions& o) { EXPECT_EQ(o.scenario, "scenarios/co2_door.toml"); }},
      {"flags",
       {"--live", "--plugin", "p", "--no-record"},
       [](const HostOptions& o) {
         EXPECT_TRUE(o.live);
         EXPECT_FALSE(o.record);
       }},
  };
  for (const AcceptedCase& c : cases) {
    SCOPED_TRACE(c.name);
    HostOptions options;
    std::string error;
    ASSERT_EQ(ParseOptions(c.args, options, error), ParseStatus::kRun) << error;
    c.check(options);
  }
}

TEST(HostOptions, BadCommandLinesAreRefusedNamingTheCulprit) {
  const struct {
    std::vector<std::string> args;
    const char* inError;
  } cases[] = {
      {{}, "--plugin"},
      {{"--plugin"}, "--plugin"},
      {{"--plugin", "p", "--devices", "-1"}, "--devices"},
      {{"--plugin", "p", "--devices", "2x"}, "--devices"},
      {{"--plugin", "p", "--interval", "-1"}, "--interval"},
      {{"--plugin", "p", "--comm", "1"}, "--comm"},
      {{"--plugin", "p", "--comm", "1,x"}, "--comm"},
      {{"--plugin", "p", "--comm", "1,99999999999"}, "--comm"},
      {{"--plugin", "p", "--duration", "1.5"}, "--duration"},
      {{"--plugin", "p", "--names", "single"}, "--names"},
      {{"--plugin", "p", "--speed", "0.5"}, "--speed"},
      {{"--plugin", "p", "--speed", "100001"}, "--speed"},
      {{"--plugin", "p", "--speed", "nan"}, "--speed"},
      {{"--plugin", "p", "--control", "port"}, "--control"},
      {{"--plugin", "p", "--control", "65536"}, "--control"},
      {{"--plugin", "p", "--scenario", ""}, "--scenario"},
      {{"--plugin", "p", "--names", "a,sixteen chars..."}, "--names"},
      {{"--plugin", "p", "--separator", "ab"}, "--separator"},
      {{"--plugin", "p", "--decimal", ""}, "--decimal"},
      {{"--plugin", "p", "--set", "1"}, "--set"},
      {{"--plugin", "p", "--set", "x=1"}, "--set"},
      {{"--plugin", "p", "--set", "1=abc"}, "--set"},
      {{"--plugin", "p", "--set", "1= 2"}, "--set"},
      {{"--plugin", "p", "--set", "-1=2"}, "--set"},
      {{"--plugin", "p", "--restore"}, "--restore"},
      {{"--plugin", "p", "--bogus", "1"}, "--bogus"},
      {{"--plugin", "p", "stray"}, "stray"},
      {{"--plugin", "p", "--web", "65536"}, "--web"},
      {{"--plugin", "p", "--web", ":80"}, "--web"},
      {{"--plugin", "p", "--web", "host:"}, "--web"},
      {{"--plugin", "a", "--plugin", "b"}, "--web"},
      {{"--plugin", "p", "--live=1"}, "--live"},
      {{"--plugin", "p", "--separator", ",", "--decimal", ","}, "--decimal"},
      {{"--plugin", "p", "--decimal", ";"}, "--decimal"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    HostOptions options;
    std::string error;
    EXPECT_EQ(ParseOptions(c.args, options, error), ParseStatus::kError);
    EXPECT_NE(error.find(c.inError), std::string::npos) << error;
  }
}

TEST(HostOptions, HelpWinsOverMissingPlugin) {
  HostOptions options;
  std::string error;
  EXPECT_EQ(ParseOptions({"--devices", "2", "--help"}, options, error), ParseStatus::kHelp);
  EXPECT_EQ(ParseOptions({"-h"}, options, error), ParseStatus::kHelp);
}

}  // namespace
}  // namespace orv::refhost
