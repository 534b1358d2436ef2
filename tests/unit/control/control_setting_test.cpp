// What ORV_CONTROL may say, and the connection file a client finds the
// endpoint by.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "framework/control/connection_file.h"
#include "framework/control/control.h"
#include "platform/platform.h"

namespace orv {
namespace {

using Kind = ControlSetting::Kind;

TEST(ControlSetting, ServesLoopbackOnlyAndSaysWhyNot) {
  const struct {
    const char* text;
    Kind kind;
    const char* address;
    int port;
    const char* line;  // the log line's refusal, empty when it serves or is off
  } cases[] = {
      {"", Kind::kOff, "127.0.0.1", 0, ""},
      {"0", Kind::kServe, "127.0.0.1", 0, ""},
      {"8123", Kind::kServe, "127.0.0.1", 8123, ""},
      {"127.0.0.1:65535", Kind::kServe, "127.0.0.1", 65535, ""},
      {"localhost:9000", Kind::kServe, "127.0.0.1", 9000, ""},
      {"127.1.2.3:0", Kind::kServe, "127.1.2.3", 0, ""},
      {"0.0.0.0:8123", Kind::kNotLoopback, "", 0,
       "ORV_CONTROL=\"0.0.0.0:8123\" refused: 0.0.0.0 is not a loopback address, and the "
       "control endpoint listens on loopback only (127.0.0.1); no control endpoint.\n"},
      {"192.168.1.7:80", Kind::kNotLoopback, "", 0, "192.168.1.7 is not a loopback address"},
      {"example.com:80", Kind::kNotLoopback, "", 0, "example.com is not a loopback address"},
      {"[::1]:80", Kind::kInvalid, "", 0, "IPv6 is not served, only 127.0.0.1:PORT"},
      {"65536", Kind::kInvalid, "", 0,
       "ORV_CONTROL=\"65536\" ignored: expected PORT or 127.0.0.1:PORT, PORT from 0 to 65535; "
       "no control endpoint.\n"},
      {"-1", Kind::kInvalid, "", 0, "expected PORT"},
      {"port", Kind::kInvalid, "", 0, "expected PORT"},
      {"127.0.0.1:", Kind::kInvalid, "", 0, "expected PORT"},
      {":80", Kind::kInvalid, "", 0, "expected PORT"},
      {"1 2", Kind::kInvalid, "", 0, "expected PORT"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const ControlSetting setting = ParseControlSetting(c.text);
    EXPECT_EQ(setting.kind, c.kind);
    const std::string line = ControlRefusalLine(setting, c.text);
    if (c.kind == Kind::kServe) {
      EXPECT_EQ(setting.address, c.address);
      EXPECT_EQ(setting.port, c.port);
    }
    if (std::string(c.line).empty()) {
      EXPECT_EQ(line, "");
    } else {
      EXPECT_NE(line.find(c.line), std::string::npos) << line;
    }
  }
}

TEST(ConnectionFile, NamedByProcessAndPluginReadableByTheUserAlone) {
  EXPECT_EQ(ConnectionFileName(42, "gasctl_sim.so"), "orv-42-gasctl_sim.so.json");
  EXPECT_EQ(ConnectionFileName(7, "a b/c\\d:e"), "orv-7-a_b_c_d_e.json");

  const std::string token = RandomToken();
  EXPECT_EQ(token.size(), 32u);
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(RandomToken(), token);

  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("orv-control-test-" + token);
  const fs::path folder = root / "orv-emu" / "control";
  ConnectionInfo info{1234, "climate_sim.so", "VKA-Ctrl EMU", "127.0.0.1", 40111, token};
  std::string path;
  ASSERT_TRUE(WriteConnectionFile(folder.string(), info, path));
  EXPECT_EQ(fs::path(path), folder / "orv-1234-climate_sim.so.json");
  const nlohmann::json json = nlohmann::json::parse(std::ifstream(path));
  EXPECT_EQ(json["pid"], 1234);
  EXPECT_EQ(json["plugin"], "climate_sim.so");
  EXPECT_EQ(json["driver"], "VKA-Ctrl EMU");
  EXPECT_EQ(json["port"], 40111);
  EXPECT_EQ(json["url"], "http://127.0.0.1:40111/");
  EXPECT_EQ(json["token"], token);
  if (platform::PathSeparator() == '/') {
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
  }
  // Written again (a second Init), it replaces the file whole.
  info.port = 40112;
  ASSERT_TRUE(WriteConnectionFile(folder.string(), info, path));
  EXPECT_EQ(nlohmann::json::parse(std::ifstream(path))["port"], 40112);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
  EXPECT_TRUE(platform::RemoveFile(path.c_str()));
  EXPECT_TRUE(platform::RemoveFile(path.c_str())) << "a file already gone is removed";
  fs::remove_all(root);
}

TEST(ConnectionFile, ProcessesThatRunAndThatDoNot) {
  EXPECT_TRUE(platform::ProcessRuns(platform::CurrentProcessId()));
  EXPECT_FALSE(platform::ProcessRuns(0));
  EXPECT_FALSE(platform::ProcessRuns(0x7FFFFFF0u));
}

}  // namespace
}  // namespace orv
