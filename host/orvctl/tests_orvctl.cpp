// orvctl against a live host: the reference host runs the CO2 and climate
// plug-ins with their control endpoints and the manual clock, and each
// command is run as a tester types it, its output and exit status checked.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "host/orvctl/endpoints.h"
#include "platform/platform.h"

namespace orv::orvctl {
namespace {

namespace fs = std::filesystem;

struct Result {
  int status;
  std::string output;  // stdout and stderr
};

class Orvctl : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = fs::temp_directory_path() / ("orvctl-test-" + std::to_string(::getpid()));
    fs::create_directories(folder_);
    platform::WriteEnvironment("XDG_RUNTIME_DIR", folder_.c_str());
    const fs::path bin = ORV_TEST_BIN_DIR;
    const std::string command =
        (bin / "orv_host").string() + " --web 0 --control 0 --speed manual --duration 0" +
        " --devices 2 --interval 0 --plugin " + (bin / "gasctl_sim.so").string() + " --plugin " +
        (bin / "climate_sim.so").string() + " > " + (folder_ / "host.log").string() +
        " 2>&1 & echo $!";
    FILE* started = popen(command.c_str(), "r");
    ASSERT_NE(started, nullptr);
    ASSERT_EQ(std::fscanf(started, "%d", &host_), 1);
    pclose(started);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ReadEndpoints(Files()).size() < 2 && std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(ReadEndpoints(Files()).size(), 2u);
  }
  static void TearDownTestSuite() {
    if (host_ > 0) {
      std::system(("kill " + std::to_string(host_)).c_str());
      const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!ReadEndpoints(Files()).empty() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      EXPECT_TRUE(ReadEndpoints(Files()).empty()) << "the host removed its files as it stopped";
    }
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  static std::string Files() { return (folder_ / "orv-emu" / "control").string(); }

  static Result Run(const std::string& arguments) {
    const std::string command =
        (fs::path(ORV_TEST_BIN_DIR) / "orvctl").string() + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    Result result{-1, ""};
    if (pipe == nullptr) return result;
    std::array<char, 4096> buffer;
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
      result.output.append(buffer.data(), n);
    }
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
  }

  static inline fs::path folder_;
  static inline int host_ = 0;
};

TEST_F(Orvctl, CommandsAsATesterTypesThem) {
  const std::string scenario = (fs::path(ORV_SOURCE_DIR) / "scenarios" / "co2_door.toml").string();
  const struct {
    std::string arguments;
    int status;
    std::string output;  // a part of what it prints
  } steps[] = {
      {"list", kExitOk, "  gasctl_sim.so (CO2-Ctrl EMU)  http://127.0.0.1:"},
      {"devices --plugin climate_sim", kExitOk,
       "  device 2: updating, recording, interval 0 s, second 0\n    0 CO2 [%]"},
      {"advance 3600", kExitOk,
       "gasctl_sim.so: advanced 3600 s; device 1 at 3600, device 2 at 3600"},
      {"event set 0 2.0 --device 2", kExitSeveral,
       "orvctl: several plug-ins in process " + std::to_string(host_) +
           ": climate_sim.so, gasctl_sim.so; choose one with --plugin"},
      {"--plugin gasctl event set 0 2.0 --device 2 --note \"door opened\"", kExitOk,
       "event 1 posted to gasctl_sim.so, device 2"},
      {"event --plugin gasctl_sim.so ramp 0 -0.25 --duration 4 --at 3610", kExitOk,
       "event 2 posted to gasctl_sim.so, devices 1, 2"},
      {"--plugin gasctl event set 9 1", kExitRefused,
       "orvctl: gasctl_sim.so: `index` 9 is outside 0 to 3 of CO2-Ctrl EMU"},
      {"--plugin gasctl event hold 0 high --duration 5", kExitRefused,
       "`value` must be a number or \"invalid\""},
      {"--plugin gasctl event set 0 1 --device 7", kExitRefused, "there is no device 7"},
      {"--plugin gasctl load " + scenario, kExitOk, "3 events loaded into gasctl_sim.so: 3, 4, 5"},
      {"--plugin gasctl cancel 3", kExitOk, "event 3 ended"},
      {"--plugin gasctl cancel 3", kExitRefused, "event 3 is already over (ended)"},
      {"--plugin gasctl cancel 99", kExitRefused, "there is no event 99"},
      {"advance 60", kExitOk, "climate_sim.so: advanced 60 s; device 1 at 3660, device 2 at 3660"},
      {"clock --plugin VKA-Ctrl\\ EMU", kExitOk,
       "VKA-Ctrl EMU): manual clock, 3660 s granted\n  device 1: second 3660"},
      {"--plugin gasctl watch --count 8", kExitOk,
       "Scenario (CO2-Ctrl EMU): device 2 at second 3601: set 0 (CO2) to 2; door opened"},
      {"--plugin gasctl devices", kExitOk, "event 4 pending: hold 0 at 2 for 120 s from second"},
      {"--pid 1 devices", kExitNoEndpoint, "orvctl: no control endpoint found in process 1"},
      {"--plugin twotemp devices", kExitNoEndpoint,
       "no control endpoint found for plug-in twotemp"},
      {"--dir " + (folder_ / "none").string() + " list", kExitNoEndpoint,
       "no control endpoint found in"},
      {"advance", kExitUsage, "SECONDS is required"},
      {"frobnicate", kExitUsage, "Try orvctl --help"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.arguments);
    const Result result = Run(step.arguments);
    EXPECT_EQ(result.status, step.status) << result.output;
    EXPECT_NE(result.output.find(step.output), std::string::npos) << result.output;
  }
}

TEST_F(Orvctl, StaleFilesOfEndedProcessesAreIgnored) {
  {
    std::ofstream stale(fs::path(Files()) / "orv-2147483000-gasctl_sim.so.json");
    stale << R"({"pid": 2147483000, "plugin": "gasctl_sim.so", "driver": "CO2-Ctrl EMU",
                 "address": "127.0.0.1", "port": 9, "token": "x"})";
  }
  const Result list = Run("list --json");
  EXPECT_EQ(list.status, kExitOk) << list.output;
  EXPECT_EQ(list.output.find("2147483000"), std::string::npos) << list.output;
  const Result devices = Run("--plugin gasctl devices --json");
  EXPECT_EQ(devices.status, kExitOk) << devices.output;
  EXPECT_NE(devices.output.find("\"devices\""), std::string::npos) << devices.output;
  fs::remove(fs::path(Files()) / "orv-2147483000-gasctl_sim.so.json");
}

}  // namespace
}  // namespace orv::orvctl
