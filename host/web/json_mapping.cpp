#include "host/web/json_mapping.h"

#include <cmath>
#include <limits>

#include "framework/core/text.h"

namespace orv::web {
namespace {

using nlohmann::json;

json ColourJson(float red, float green, float blue) {
  return json{{"red", red}, {"green", green}, {"blue", blue}};
}

json AxisJson(const AxisDescriptor& axis) {
  json out = ColourJson(axis.red, axis.green, axis.blue);
  out["label"] = axis.label;
  out["unit"] = axis.unit;
  out["minimum"] = axis.minimum;
  out["maximum"] = axis.maximum;
  out["step"] = axis.step;
  return out;
}

// NaN and infinities have no JSON form; the page shows null as unknown.
json FloatJson(float value) { return std::isfinite(value) ? json(value) : json(nullptr); }

bool IsObject(const json& body, std::string& error) {
  if (body.is_object()) return true;
  error = "the body must be a JSON object";
  return false;
}

bool Int32Field(const json& body, const char* name, std::int32_t minimum, std::int32_t& out,
                std::string& error) {
  const auto it = body.find(name);
  if (it == body.end()) return true;
  if (!it->is_number_integer() || *it < minimum || *it > std::numeric_limits<std::int32_t>::max()) {
    error = std::string(name) + " must be a whole number from " + std::to_string(minimum);
    return false;
  }
  out = it->get<std::int32_t>();
  return true;
}

bool BoolField(const json& body, const char* name, std::optional<bool>& out, std::string& error) {
  const auto it = body.find(name);
  if (it == body.end()) return true;
  if (!it->is_boolean()) {
    error = std::string(name) + " must be true or false";
    return false;
  }
  out = it->get<bool>();
  return true;
}

bool UnitField(const json& body, const char* name, std::optional<float>& out, std::string& error) {
  const auto it = body.find(name);
  if (it == body.end()) return true;
  if (!it->is_number() || !(*it >= 0.0) || !(*it <= 1.0)) {
    error = std::string(name) + " must be a number from 0 to 1";
    return false;
  }
  out = it->get<float>();
  return true;
}

bool NameField(const json& body, const char* name, std::optional<std::string>& out,
               std::string& error) {
  const auto it = body.find(name);
  if (it == body.end()) return true;
  if (!it->is_string() || it->get_ref<const std::string&>().size() >= kChannelNameBufferSize) {
    error = std::string(name) + " must be a text of at most 15 bytes";
    return false;
  }
  out = it->get<std::string>();
  return true;
}

}  // namespace

json ToJson(const refhost::DeviceState& device) {
  json channels = json::array();
  for (std::size_t i = 0; i < device.channels.size(); ++i) {
    const refhost::ChannelState& channel = device.channels[i];
    const ChannelDescriptor& d = channel.descriptor;
    json config = ColourJson(channel.config.red, channel.config.green, channel.config.blue);
    config["shown"] = channel.config.shown != 0;
    channels.push_back(json{{"index", i},
                            {"name", d.name},
                            {"kind", d.kind},
                            {"settable", d.settable != 0},
                            {"axis", d.axisIndex},
                            {"minimum", d.minimum},
                            {"maximum", d.maximum},
                            {"unit", channel.unit},
                            {"value", FloatJson(channel.value)},
                            {"config", config}});
  }
  json out{{"driver", device.driver},
           {"id", device.id},
           {"updating", device.updating},
           {"recording", device.recording},
           {"hasHistory", device.hasHistory},
           {"historySeconds", device.historySeconds},
           {"interval", device.interval ? json(*device.interval) : json(nullptr)},
           {"settings", json::array({device.commSetting1, device.commSetting2})},
           {"channels", channels}};
  if (!device.channelName1.empty() || !device.channelName2.empty()) {
    out["channelNames"] = json::array({device.channelName1, device.channelName2});
  }
  return out;
}

json ToJson(const refhost::HostState& state, const HostInfo& host) {
  json drivers = json::array();
  for (const refhost::DriverState& driver : state.drivers) {
    json axes = json::array();
    for (const AxisDescriptor& axis : driver.axes) axes.push_back(AxisJson(axis));
    drivers.push_back(
        json{{"index", driver.index},
             {"longName", driver.longName},
             {"shortName", driver.shortName},
             {"fileName", driver.fileName},
             {"version",
              std::to_string(driver.versionMajor) + "." + std::to_string(driver.versionMinor)},
             {"channelNames", driver.channelNames ? json(*driver.channelNames) : json(nullptr)},
             {"axes", axes}});
  }
  json devices = json::array();
  for (const refhost::DeviceState& device : state.devices) devices.push_back(ToJson(device));
  return json{{"host", {{"speed", host.speed}}}, {"drivers", drivers}, {"devices", devices}};
}

json ToJson(const refhost::ChartData& chart) {
  json values = json::array();
  for (const std::vector<float>& channel : chart.values) {
    json line = json::array();
    for (float value : channel) line.push_back(FloatJson(value));
    values.push_back(std::move(line));
  }
  // Seconds since 1601 as a double keep the millisecond; the count itself
  // would not survive a JavaScript number.
  return json{{"duration", chart.duration},
              {"firstSeconds", static_cast<double>(chart.firstTimestamp / 10000) / 1000.0},
              {"offsets", chart.offsets},
              {"values", values}};
}

json ToJson(const std::vector<refhost::LogEntry>& lines) {
  json list = json::array();
  for (const refhost::LogEntry& line : lines) {
    list.push_back(json{{"number", line.number}, {"text", Utf8FromDriverText(line.text)}});
  }
  return json{{"lines", list}};
}

bool ParseAddRequest(const json& body, refhost::AddRequest& out, std::string& error) {
  if (!IsObject(body, error)) return false;
  out = refhost::AddRequest{};
  constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
  std::optional<bool> record, start;
  if (!Int32Field(body, "setting1", kMin, out.setting1, error) ||
      !Int32Field(body, "setting2", kMin, out.setting2, error) ||
      !Int32Field(body, "interval", 0, out.interval, error) ||
      !BoolField(body, "record", record, error) || !BoolField(body, "start", start, error)) {
    return false;
  }
  out.record = record.value_or(true);
  out.start = start.value_or(true);
  return true;
}

bool ParseSettingsRequest(const json& body, refhost::SettingsRequest& out, std::string& error) {
  if (!IsObject(body, error)) return false;
  out = refhost::SettingsRequest{};
  if (body.contains("interval")) {
    std::int32_t interval = 0;
    if (!Int32Field(body, "interval", 0, interval, error)) return false;
    out.interval = interval;
  }
  if (!NameField(body, "name1", out.name1, error) || !NameField(body, "name2", out.name2, error)) {
    return false;
  }
  if (out.name1.has_value() != out.name2.has_value()) {
    error = "give both channel names or neither";
    return false;
  }
  return true;
}

bool ParseChannelConfigRequest(const json& body, refhost::ChannelConfigRequest& out,
                               std::string& error) {
  if (!IsObject(body, error)) return false;
  out = refhost::ChannelConfigRequest{};
  return BoolField(body, "shown", out.shown, error) && UnitField(body, "red", out.red, error) &&
         UnitField(body, "green", out.green, error) && UnitField(body, "blue", out.blue, error);
}

bool ParseValue(const json& body, float& value, std::string& error) {
  if (!IsObject(body, error)) return false;
  const auto it = body.find("value");
  constexpr double kFloatMax = std::numeric_limits<float>::max();
  if (it == body.end() || !it->is_number() || !(std::fabs(it->get<double>()) <= kFloatMax)) {
    error = "value must be a finite number";
    return false;
  }
  value = it->get<float>();
  return true;
}

bool ParseSwitch(const json& body, bool& on, std::string& error) {
  if (!IsObject(body, error)) return false;
  const auto it = body.find("on");
  if (it == body.end() || !it->is_boolean()) {
    error = "on must be true or false";
    return false;
  }
  on = it->get<bool>();
  return true;
}

}  // namespace orv::web
