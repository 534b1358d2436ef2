#include "framework/control/control_server.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>

#include "framework/control/event_requests.h"
#include "framework/core/text.h"
#include "framework/core/values.h"
#include "framework/devices/update_thread.h"

namespace orv {
namespace {

using nlohmann::json;

constexpr double kTicksPerSecondF = static_cast<double>(kTicksPerSecond);
constexpr std::uint32_t kDefaultWaitSeconds = 20;
constexpr std::uint32_t kMaxWaitSeconds = 60;
constexpr std::size_t kMaxLogLines = 500;

ControlReply Reply(int status, const json& body) {
  return {status, body.dump(-1, ' ', false, json::error_handler_t::replace)};
}

ControlReply Refuse(int status, const std::string& message) { return {status, ErrorBody(message)}; }

const char* KindName(std::int32_t kind) {
  switch (kind) {
    case kKindLevel:
      return "level";
    case kKindQuantity:
      return "quantity";
    case kKindAlarm:
      return "alarm";
    case kKindSwitch:
      return "switch";
    default:
      return "other";
  }
}

// A float as the shortest decimal that reads back as the same float (2.1,
// not 2.0999999046325684); null for the invalid value.
json FloatJson(float value) {
  if (IsInvalid(value) || !std::isfinite(value)) return nullptr;
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text, value);
  double shortest = 0;
  std::from_chars(text, written.ptr, shortest);
  return shortest;
}

json Seconds(std::int64_t ticks) { return static_cast<double>(ticks) / kTicksPerSecondF; }

// Milliseconds granted as seconds. Through a signed count: on 32-bit x86 an
// unsigned 64-bit conversion would take the x87 unit, which the plug-ins
// keep out of their code (tools/test_i386.sh).
double MsToSeconds(std::uint64_t ms) {
  return static_cast<double>(static_cast<std::int64_t>(ms)) / 1000.0;
}

// A JSON number as a double, converted only through signed integers (see
// above); an unsigned one beyond their range reads as the largest.
double NumberOf(const json& value) {
  if (const auto* number = value.get_ptr<const json::number_float_t*>()) return *number;
  if (const auto* number = value.get_ptr<const json::number_integer_t*>()) {
    return static_cast<double>(*number);
  }
  const auto* number = value.get_ptr<const json::number_unsigned_t*>();
  const std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  return number == nullptr
             ? 0.0
             : static_cast<double>(static_cast<std::int64_t>(std::min(*number, limit)));
}

// The device clock of its last tick, or null before any.
json DeviceSecond(EmuDevice& device) {
  const std::int64_t tick = device.liveEvents.lastTick.load();
  return tick < 0 ? json(nullptr) : Seconds(tick);
}

json EventJson(const LiveEvent& live) {
  const ScenarioEvent& event = live.event;
  const std::int64_t startsAt = live.startsAt.load();
  json out = {{"id", live.id},
              {"state", LiveStateName(live.state.load())},
              {"action", ActionName(event.action)}};
  switch (event.action) {
    case ScenarioAction::kSet:
    case ScenarioAction::kHold:
      out["index"] = event.index;
      out["value"] = IsInvalid(event.value) ? json("invalid") : FloatJson(event.value);
      break;
    case ScenarioAction::kRamp:
      out["index"] = event.index;
      out["rate"] = FloatJson(event.rate);
      break;
    case ScenarioAction::kReplay:
      out["file"] = event.file;
      out["loop"] = event.loop;
      break;
  }
  if (event.action != ScenarioAction::kSet) {
    out["duration"] = event.endless ? json(nullptr) : Seconds(event.duration);
  }
  // The device second it starts at, once known; a relative event not yet
  // taken in says how long after the next tick it is due.
  if (startsAt >= 0) {
    out["at"] = Seconds(startsAt);
  } else if (live.relative) {
    out["at"] = nullptr;
    out["after"] = Seconds(event.at);
  } else {
    out["at"] = Seconds(event.at);
  }
  if (!event.note.empty()) out["note"] = event.note;
  return out;
}

const char* ClockMode(SpeedSetting::Kind kind) {
  switch (kind) {
    case SpeedSetting::Kind::kManual:
      return "manual";
    case SpeedSetting::Kind::kEmulated:
      return "emulated";
    default:
      return "real";
  }
}

bool ParseUnsigned(const std::string& text, std::uint64_t& out) {
  const char* end = text.data() + text.size();
  const auto [stop, status] = std::from_chars(text.data(), end, out);
  return !text.empty() && status == std::errc() && stop == end;
}

// A query parameter as a whole number; absent gives fallback.
bool QueryNumber(const ControlRequest& request, const char* name, std::uint64_t fallback,
                 std::uint64_t& out) {
  const auto it = request.params.find(name);
  if (it == request.params.end()) {
    out = fallback;
    return true;
  }
  return ParseUnsigned(it->second, out);
}

// The JSON body of a request, or the refusal to answer.
bool ReadJson(const ControlRequest& request, json& body, ControlReply& refusal) {
  body = json::parse(request.body, nullptr, false);
  if (!body.is_discarded()) return true;
  refusal = Refuse(400, "the body is not JSON");
  return false;
}

}  // namespace

ControlServer::ControlServer(Driver& driver, LogFeed& feed, std::string token, std::string plugin)
    : driver_(driver), feed_(feed), plugin_(std::move(plugin)), http_(std::move(token)) {
  const auto route = [this](const char* method, const char* pattern,
                            ControlReply (ControlServer::*work)(const ControlRequest&)) {
    http_.Route(method, pattern, [this, work](const ControlRequest& request) {
      try {
        return (this->*work)(request);
      } catch (const std::bad_alloc&) {
        return Refuse(503, "out of memory");
      } catch (const std::exception& e) {
        return Refuse(500, e.what());
      }
    });
  };
  route("GET", "/", &ControlServer::Index);
  route("GET", "/devices", &ControlServer::Devices);
  route("GET", "/clock", &ControlServer::Clock);
  route("POST", "/clock/advance", &ControlServer::Advance);
  route("POST", "/events", &ControlServer::PostEvent);
  route("DELETE", "/events/([0-9]{1,19})", &ControlServer::EndEvent);
  route("POST", "/scenario", &ControlServer::LoadScenario);
  route("GET", "/log", &ControlServer::Log);
}

ControlServer::~ControlServer() { Stop(false); }

void ControlServer::Stop(bool unloading) {
  stopping_.store(true);
  if (ManualRuntime* clock = driver_.manualClock()) clock->Wake();
  http_.Stop(unloading);
}

ScenarioContext ControlServer::Context() {
  ScenarioContext context;
  context.driverFile = DriverFileStem(plugin_);
  const std::uint64_t taken = registry_.RecordingBytes();
  context.recordingBytes = taken < kMaxRecordingBytes ? kMaxRecordingBytes - taken : 0;
  return context;
}

void ControlServer::LogLine(const std::string& text) {
  if (LogFn log = driver_.environment().log.load()) log("%s\n", text.c_str());
}

ControlReply ControlServer::Index(const ControlRequest&) {
  const ModelDescription& model = driver_.model();
  return Reply(200, {{"plugin", plugin_},
                     {"driver", model.shortName},
                     {"longName", model.longName},
                     {"routes",
                      {"GET /devices", "GET /clock", "POST /clock/advance", "POST /events",
                       "DELETE /events/{id}", "POST /scenario", "GET /log"}}});
}

ControlReply ControlServer::Devices(const ControlRequest&) {
  const ModelDescription& model = driver_.model();
  const std::vector<AxisDescriptor> axes = driver_.GetAxisDescriptors();
  json devices = json::array();
  for (const auto& device : driver_.Devices()) {
    const std::vector<ChannelDescriptor> channels = driver_.GetChannelDescriptors(device->id);
    json values = json::array();
    for (std::size_t i = 0; i < channels.size(); ++i) {
      const ChannelDescriptor& channel = channels[i];
      const bool axisKnown =
          channel.axisIndex >= 0 && static_cast<std::size_t>(channel.axisIndex) < axes.size();
      values.push_back({{"index", i},
                        {"name", Utf8FromDriverText(channel.name)},
                        {"unit", axisKnown ? Utf8FromDriverText(axes[channel.axisIndex].unit) : ""},
                        {"kind", KindName(channel.kind)},
                        {"settable", channel.settable != 0},
                        {"value", FloatJson(GetValue(*device, static_cast<std::int32_t>(i)))}});
    }
    json events = json::array();
    for (const auto& live : registry_.Active(device->id)) events.push_back(EventJson(*live));
    devices.push_back({{"id", device->id},
                       {"updating", IsUpdating(*device)},
                       {"recording", device->recording.load()},
                       {"interval", device->interval.load()},
                       {"second", DeviceSecond(*device)},
                       {"values", std::move(values)},
                       {"events", std::move(events)}});
  }
  return Reply(200, {{"plugin", plugin_}, {"driver", model.shortName}, {"devices", devices}});
}

ControlReply ControlServer::Clock(const ControlRequest&) {
  const SpeedSetting::Kind kind = driver_.clockKind();
  json out = {{"mode", ClockMode(kind)}};
  out["speed"] = kind == SpeedSetting::Kind::kManual ? json(nullptr) : json(driver_.clockFactor());
  if (ManualRuntime* clock = driver_.manualClock()) {
    out["granted"] = MsToSeconds(clock->grantedMs());
  }
  json devices = json::array();
  for (const auto& device : driver_.Devices()) {
    devices.push_back(
        {{"id", device->id}, {"updating", IsUpdating(*device)}, {"second", DeviceSecond(*device)}});
  }
  out["devices"] = std::move(devices);
  return Reply(200, out);
}

ControlReply ControlServer::Advance(const ControlRequest& request) {
  json body;
  ControlReply refusal;
  if (!ReadJson(request, body, refusal)) return refusal;
  if (!body.is_object()) return Refuse(400, "the body must be a JSON object: {\"seconds\": S}");
  for (const auto& [key, value] : body.items()) {
    if (key != "seconds") return Refuse(400, "`" + key + "` is not a known key");
  }
  const auto seconds = body.find("seconds");
  if (seconds == body.end()) return Refuse(400, "the body has no `seconds`");
  if (!seconds->is_number()) return Refuse(400, "`seconds` must be a number");
  const double span = NumberOf(*seconds);
  if (!std::isfinite(span) || span < 0.0) return Refuse(400, "`seconds` must be 0 or more");
  if (span > kMaxScenarioSeconds) return Refuse(400, "`seconds` is over ten years");
  ManualRuntime* clock = driver_.manualClock();
  if (clock == nullptr) {
    return Refuse(409, "the clock is not manual: start the host with ORV_EMU_SPEED=manual");
  }
  const auto ms = static_cast<std::uint64_t>(std::llround(span * 1000.0));
  std::lock_guard<std::mutex> lock(advanceMutex_);
  if (stopping_.load() || !clock->Advance(ms, stopping_)) {
    return Refuse(503, "the endpoint stopped before the advance was done");
  }
  json devices = json::array();
  for (const auto& device : driver_.Devices()) {
    if (!IsUpdating(*device)) continue;
    devices.push_back({{"id", device->id}, {"second", DeviceSecond(*device)}});
  }
  return Reply(200, {{"advanced", MsToSeconds(ms)},
                     {"granted", MsToSeconds(clock->grantedMs())},
                     {"devices", devices}});
}

namespace {

// The devices an event acts on, or the refusal: every one must exist.
bool DevicesOf(Driver& driver, const ScenarioEvent& event,
               std::vector<std::shared_ptr<EmuDevice>>& devices, ControlReply& refusal) {
  if (event.allDevices) {
    devices = driver.Devices();
    if (devices.empty()) {
      refusal = Refuse(404, "the driver has no device to act on");
      return false;
    }
    return true;
  }
  for (const DeviceId id : event.devices) {
    std::shared_ptr<EmuDevice> device = driver.FindDevice(id);
    if (device == nullptr) {
      refusal = Refuse(404, "there is no device " + std::to_string(id));
      return false;
    }
    devices.push_back(std::move(device));
  }
  return true;
}

ControlReply TooManyEvents() {
  return Refuse(409, "more than " + std::to_string(LiveRegistry::kMaxActive) +
                         " events would be pending or running");
}

}  // namespace

ControlReply ControlServer::PostEvent(const ControlRequest& request) {
  json body;
  ControlReply refusal;
  if (!ReadJson(request, body, refusal)) return refusal;
  EventRequest decoded = DecodeEventRequest(body, driver_.model(), Context());
  if (!decoded.ok) return Refuse(400, decoded.reason);
  std::vector<LiveRegistry::Posting> postings(1);
  LiveRegistry::Posting& posting = postings[0];
  if (!DevicesOf(driver_, decoded.event, posting.devices, refusal)) return refusal;
  posting.event = std::move(decoded.event);
  posting.relative = decoded.relative;
  const std::vector<std::uint64_t> ids = registry_.Post(postings);
  if (ids.empty()) return TooManyEvents();
  json devices = json::array();
  for (const auto& device : posting.devices) devices.push_back(device->id);
  return Reply(201, {{"id", ids[0]}, {"devices", devices}});
}

ControlReply ControlServer::LoadScenario(const ControlRequest& request) {
  bool relative = true;
  if (const auto times = request.params.find("times"); times != request.params.end()) {
    if (times->second != "relative" && times->second != "absolute") {
      return Refuse(400, "times must be relative or absolute");
    }
    relative = times->second == "relative";
  }
  const ScenarioParse parse = ParseScenario(request.body, driver_.model(), Context());
  if (!parse.ok) {
    const std::string where = parse.line > 0 ? "line " + std::to_string(parse.line) + ": " : "";
    return Reply(400, {{"error", where + parse.reason}, {"line", parse.line}});
  }
  std::vector<LiveRegistry::Posting> postings(parse.scenario.events.size());
  for (std::size_t i = 0; i < postings.size(); ++i) {
    ControlReply refusal;
    const ScenarioEvent& event = parse.scenario.events[i];
    if (!DevicesOf(driver_, event, postings[i].devices, refusal)) return refusal;
    postings[i].event = event;
    postings[i].relative = relative;
  }
  const std::vector<std::uint64_t> ids = registry_.Post(postings);
  if (ids.empty()) return TooManyEvents();
  return Reply(201, {{"ids", ids}});
}

ControlReply ControlServer::EndEvent(const ControlRequest& request) {
  std::uint64_t id = 0;
  if (request.captures.empty() || !ParseUnsigned(request.captures[0], id)) {
    return Refuse(404, "no such event");
  }
  LiveState state = LiveState::kPending;
  switch (registry_.End(id, state)) {
    case LiveRegistry::EndResult::kEnded:
      LogLine(std::string("Control (") + driver_.model().shortName + "): event " +
              std::to_string(id) + " ended on request");
      return Reply(200, {{"id", id}, {"state", LiveStateName(state)}});
    case LiveRegistry::EndResult::kOver:
      return Refuse(
          409, "event " + std::to_string(id) + " is already over (" + LiveStateName(state) + ")");
    case LiveRegistry::EndResult::kUnknown:
      break;
  }
  return Refuse(404, "there is no event " + std::to_string(id));
}

ControlReply ControlServer::Log(const ControlRequest& request) {
  std::uint64_t after = 0;
  std::uint64_t wait = kDefaultWaitSeconds;
  if (!QueryNumber(request, "after", 0, after)) return Refuse(400, "after must be 0 or more");
  if (!QueryNumber(request, "wait", kDefaultWaitSeconds, wait) || wait > kMaxWaitSeconds) {
    return Refuse(400, "wait must be whole seconds from 0 to " + std::to_string(kMaxWaitSeconds));
  }
  const std::uint32_t waitMs = stopping_.load() ? 0 : static_cast<std::uint32_t>(wait * 1000);
  json lines = json::array();
  for (const FeedLine& line : feed_.After(after, kMaxLogLines, waitMs)) {
    lines.push_back({{"number", line.number}, {"text", Utf8FromDriverText(line.text)}});
  }
  return Reply(200, {{"lines", lines}, {"last", feed_.last()}});
}

}  // namespace orv
