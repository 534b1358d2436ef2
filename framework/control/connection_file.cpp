#include "framework/control/connection_file.h"

#include <nlohmann/json.hpp>
#include <random>

#include "platform/platform.h"

namespace orv {

std::string ConnectionFolder() {
  char folder[1024];
  if (!platform::UserRuntimeFolder(folder, sizeof folder)) return {};
  const char separator = platform::PathSeparator();
  std::string path(folder);
  if (!path.empty() && path.back() != separator && path.back() != '/') path += separator;
  return path + "orv-emu" + separator + "control";
}

std::string ConnectionFileName(std::uint32_t pid, const std::string& plugin) {
  std::string name = plugin;
  for (char& c : name) {
    const auto byte = static_cast<unsigned char>(c);
    const bool plain = (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
                       (byte >= 'a' && byte <= 'z') || c == '.' || c == '-' || c == '_';
    if (!plain) c = '_';
  }
  return "orv-" + std::to_string(pid) + "-" + name + ".json";
}

std::string ConnectionJson(const ConnectionInfo& info) {
  const std::string url = "http://" + info.address + ":" + std::to_string(info.port) + "/";
  const nlohmann::json json = {
      {"pid", info.pid},         {"plugin", info.plugin}, {"driver", info.driver},
      {"address", info.address}, {"port", info.port},     {"url", url},
      {"token", info.token},
  };
  // Names come from the system and the driver: whatever bytes they hold, the
  // file stays JSON.
  return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

bool WriteConnectionFile(const std::string& folder, const ConnectionInfo& info, std::string& path) {
  if (folder.empty() || !platform::MakeUserFolder(folder.c_str())) return false;
  path = folder + platform::PathSeparator() + ConnectionFileName(info.pid, info.plugin);
  const std::string text = ConnectionJson(info);
  return platform::WriteUserFile(path.c_str(), text.data(), text.size());
}

std::string RandomToken() {
  std::random_device device;
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 4; ++i) {
    std::uint32_t word = device();
    for (int j = 0; j < 8; ++j, word >>= 4) token += kHex[word & 0xF];
  }
  return token;
}

}  // namespace orv
