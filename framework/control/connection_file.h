// The connection file through which a client finds an endpoint without being
// told its port or token: one per process and plug-in, in the user's runtime
// folder (orv-emu/control/ under %LOCALAPPDATA% on Windows, $XDG_RUNTIME_DIR
// or a per-user cache folder on Linux), readable by the user alone, JSON:
//   {"pid": 4242, "plugin": "gasctl_sim.so", "driver": "CO2-Ctrl EMU",
//    "address": "127.0.0.1", "port": 40111, "url": "http://127.0.0.1:40111/",
//    "token": "..."}
// Written when the endpoint starts, removed when it stops; a file whose
// process is gone is stale, and clients ignore it.
#ifndef ORV_FRAMEWORK_CONTROL_CONNECTION_FILE_H
#define ORV_FRAMEWORK_CONTROL_CONNECTION_FILE_H

#include <cstdint>
#include <string>

namespace orv {

struct ConnectionInfo {
  std::uint32_t pid = 0;
  std::string plugin;  // the plug-in's file name
  std::string driver;  // the driver's short name
  std::string address;
  int port = 0;
  std::string token;
};

// The folder of the connection files: the user's runtime folder followed by
// orv-emu/control; empty when the platform knows none.
std::string ConnectionFolder();
// "orv-<pid>-<plugin>.json", with any character a file name should not hold
// replaced by '_'.
std::string ConnectionFileName(std::uint32_t pid, const std::string& plugin);
std::string ConnectionJson(const ConnectionInfo& info);
// Creates the folder (open to the user alone) and writes the file there;
// its path in path. False when either fails.
bool WriteConnectionFile(const std::string& folder, const ConnectionInfo& info, std::string& path);

// A random token of 32 hexadecimal digits (128 bits).
std::string RandomToken();

}  // namespace orv

#endif  // ORV_FRAMEWORK_CONTROL_CONNECTION_FILE_H
