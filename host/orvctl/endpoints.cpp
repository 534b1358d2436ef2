#include "host/orvctl/endpoints.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "framework/control/connection_file.h"
#include "platform/platform.h"

namespace orv::orvctl {
namespace {

namespace fs = std::filesystem;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool ReadEndpoint(const fs::path& path, Endpoint& endpoint) {
  std::ifstream in(path);
  const nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
  if (!json.is_object()) return false;
  try {
    endpoint.pid = json.at("pid").get<std::uint32_t>();
    endpoint.plugin = json.at("plugin").get<std::string>();
    endpoint.driver = json.value("driver", "");
    endpoint.address = json.value("address", "127.0.0.1");
    endpoint.port = json.at("port").get<int>();
    endpoint.token = json.at("token").get<std::string>();
  } catch (const nlohmann::json::exception&) {
    return false;
  }
  endpoint.file = path.string();
  return endpoint.port > 0 && endpoint.port <= 65535;
}

std::string Names(const std::vector<Endpoint>& endpoints) {
  std::string text;
  for (const Endpoint& e : endpoints) text += (text.empty() ? "" : ", ") + e.plugin;
  return text;
}

}  // namespace

std::string Endpoint::url() const { return "http://" + address + ":" + std::to_string(port) + "/"; }

std::string Endpoint::name() const {
  return driver.empty() ? plugin : plugin + " (" + driver + ")";
}

bool Endpoint::Matches(const std::string& wanted) const {
  const std::string w = Lower(wanted);
  const std::string file = Lower(plugin);
  const std::string stem = file.substr(0, file.rfind('.'));
  return w == file || w == Lower(driver) || (!w.empty() && stem.compare(0, w.size(), w) == 0);
}

std::string DefaultFolder() { return ConnectionFolder(); }

std::vector<Endpoint> ReadEndpoints(const std::string& folder, std::size_t* stale) {
  std::vector<Endpoint> endpoints;
  if (stale != nullptr) *stale = 0;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("orv-", 0) != 0 || entry.path().extension() != ".json") continue;
    Endpoint endpoint;
    if (!ReadEndpoint(entry.path(), endpoint)) continue;
    if (!platform::ProcessRuns(endpoint.pid)) {
      if (stale != nullptr) ++*stale;
      continue;
    }
    endpoints.push_back(std::move(endpoint));
  }
  std::sort(endpoints.begin(), endpoints.end(), [](const Endpoint& a, const Endpoint& b) {
    return a.pid != b.pid ? a.pid < b.pid : a.plugin < b.plugin;
  });
  return endpoints;
}

Selection Select(const std::vector<Endpoint>& all, std::uint32_t pid, const std::string& plugin,
                 bool single) {
  Selection selection;
  std::vector<Endpoint> found;
  for (const Endpoint& e : all) {
    if ((pid == 0 || e.pid == pid) && (plugin.empty() || e.Matches(plugin))) found.push_back(e);
  }
  if (found.empty()) {
    selection.status = kExitNoEndpoint;
    selection.error = "no control endpoint found";
    if (pid != 0) selection.error += " in process " + std::to_string(pid);
    if (!plugin.empty()) selection.error += " for plug-in " + plugin;
    selection.error +=
        all.empty() ? " (is the host running with ORV_CONTROL set?)" : "; orvctl list shows them";
    return selection;
  }
  std::map<std::uint32_t, std::vector<Endpoint>> byProcess;
  for (const Endpoint& e : found) byProcess[e.pid].push_back(e);
  if (byProcess.size() > 1) {
    selection.status = kExitSeveral;
    selection.error = "endpoints of several processes:";
    for (const auto& [process, endpoints] : byProcess) {
      selection.error += " pid " + std::to_string(process) + " (" + Names(endpoints) + ");";
    }
    selection.error += " choose one with --pid";
    return selection;
  }
  if (single && found.size() > 1) {
    selection.status = kExitSeveral;
    selection.error = "several plug-ins in process " + std::to_string(found[0].pid) + ": " +
                      Names(found) + "; choose one with --plugin";
    return selection;
  }
  selection.endpoints = std::move(found);
  return selection;
}

}  // namespace orv::orvctl
