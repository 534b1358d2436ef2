// The dashboard's JSON: session answers to JSON, request bodies to session
// requests. The only file that knows the field names on the wire.
#ifndef ORV_HOST_WEB_JSON_MAPPING_H
#define ORV_HOST_WEB_JSON_MAPPING_H

#include <nlohmann/json.hpp>
#include <string>

#include "host/refhost/log_book.h"
#include "host/refhost/session.h"

namespace orv::web {

struct HostInfo {
  double speed = 1.0;  // emulated seconds per real second
  std::string token;   // the per-run token state-changing requests carry
};

nlohmann::json ToJson(const refhost::HostState& state, const HostInfo& host);
nlohmann::json ToJson(const refhost::DeviceState& device);
nlohmann::json ToJson(const refhost::ChartData& chart);
// {"lines": [{"number", "text"}...]}; the drivers' Windows-1252 text as UTF-8.
nlohmann::json ToJson(const std::vector<refhost::LogEntry>& lines);

// Each parser takes a parsed body; false with error set when a field is
// missing, of the wrong type or out of range.
bool ParseAddRequest(const nlohmann::json& body, refhost::AddRequest& out, std::string& error);
bool ParseSettingsRequest(const nlohmann::json& body, refhost::SettingsRequest& out,
                          std::string& error);
bool ParseChannelConfigRequest(const nlohmann::json& body, refhost::ChannelConfigRequest& out,
                               std::string& error);
bool ParseValue(const nlohmann::json& body, float& value, std::string& error);
bool ParseSwitch(const nlohmann::json& body, bool& on, std::string& error);

}  // namespace orv::web

#endif  // ORV_HOST_WEB_JSON_MAPPING_H
