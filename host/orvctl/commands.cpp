#include "host/orvctl/commands.h"

#include <httplib.h>

#include <atomic>
#include <charconv>
#include <cmath>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <thread>

#include "host/orvctl/endpoints.h"

namespace orv::orvctl {
namespace {

using nlohmann::json;

// An advance of a day on many devices takes a while; the rest is quick.
constexpr int kAdvanceSeconds = 3600;
constexpr int kRequestSeconds = 30;
constexpr int kLogWaitSeconds = 20;

struct Answer {
  int status = kExitOk;  // not kExitOk: error says why
  std::string error;
  json body;
};

Answer Call(const Endpoint& endpoint, const std::string& method, const std::string& path,
            const std::string& body = "", const std::string& type = "application/json",
            int timeoutSeconds = kRequestSeconds) {
  httplib::Client client(endpoint.address, endpoint.port);
  client.set_bearer_token_auth(endpoint.token);
  client.set_connection_timeout(5, 0);
  client.set_read_timeout(timeoutSeconds, 0);
  client.set_write_timeout(kRequestSeconds, 0);
  const httplib::Result result = method == "GET"    ? client.Get(path)
                                 : method == "POST" ? client.Post(path, body, type)
                                                    : client.Delete(path);
  Answer answer;
  if (!result) {
    answer.status = kExitUnreachable;
    answer.error = "cannot reach " + endpoint.name() + " at " + endpoint.url() + ": " +
                   httplib::to_string(result.error());
    return answer;
  }
  answer.body = json::parse(result->body, nullptr, false);
  if (result->status >= 200 && result->status < 300 && !answer.body.is_discarded()) return answer;
  if (answer.body.is_object() && answer.body.contains("error")) {
    answer.status = kExitRefused;
    answer.error = endpoint.plugin + ": " + answer.body["error"].get<std::string>();
  } else {
    answer.status = kExitUnreachable;
    answer.error = endpoint.plugin + ": unexpected answer " + std::to_string(result->status);
  }
  return answer;
}

std::string Number(double value) {
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    return std::to_string(static_cast<long long>(value));
  }
  std::ostringstream text;
  text << value;
  return text.str();
}

std::string Number(const json& value) {
  return value.is_number() ? Number(value.get<double>()) : std::string("-");
}

// A number from the command line as JSON: the number itself, or else the
// text as it was typed (the endpoint's checker then says what it expected).
json NumberOrText(const std::string& text) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, status] = std::from_chars(text.data(), end, value);
  if (status == std::errc() && stop == end && std::isfinite(value)) {
    if (value == std::floor(value) && std::fabs(value) < 9e15) {
      return static_cast<std::int64_t>(value);
    }
    return value;
  }
  return text;
}

struct Run {
  explicit Run(const Context& c) : context(c) {}

  bool Select(bool single) {
    const Selection selection =
        orvctl::Select(ReadEndpoints(context.folder), context.pid, context.plugin, single);
    if (selection.status != kExitOk) return Fail(selection.status, selection.error);
    endpoints = selection.endpoints;
    return true;
  }
  bool Fail(int code, const std::string& error) {
    *context.err << "orvctl: " << error << "\n";
    if (status == kExitOk) status = code;
    return false;
  }
  // One request to one endpoint; false (and the status set) when it fails.
  bool Ask(const Endpoint& endpoint, const std::string& method, const std::string& path, json& body,
           const std::string& payload = "", const std::string& type = "application/json",
           int timeout = kRequestSeconds) {
    Answer answer = Call(endpoint, method, path, payload, type, timeout);
    if (answer.status != kExitOk) return Fail(answer.status, answer.error);
    body = std::move(answer.body);
    return true;
  }
  void Json(const json& body) { *context.out << body.dump(2) << "\n"; }

  const Context& context;
  std::vector<Endpoint> endpoints;
  int status = kExitOk;
};

void PrintDevice(std::ostream& out, const json& device) {
  out << "  device " << device.value("id", 0) << ": "
      << (device.value("updating", false) ? "updating" : "stopped") << ", "
      << (device.value("recording", false) ? "recording" : "not recording") << ", interval "
      << device.value("interval", 0) << " s, second " << Number(device["second"]) << "\n";
  for (const json& value : device["values"]) {
    std::string name = value.value("name", "");
    if (!value.value("unit", "").empty()) name += " " + value.value("unit", "");
    const std::string shown = value["value"].is_null() ? "invalid" : Number(value["value"]);
    out << "    " << value.value("index", 0) << " " << name
        << std::string(name.size() < 24 ? 24 - name.size() : 1, ' ') << shown << "\n";
  }
  for (const json& event : device["events"]) {
    out << "    event " << event.value("id", 0) << " " << event.value("state", "") << ": "
        << event.value("action", "") << " " << event.value("index", 0);
    if (event.contains("rate")) out << " by " << Number(event["rate"]) << " per second";
    if (event.contains("value")) {
      out << (event.value("action", "") == "hold" ? " at " : " to ")
          << (event["value"].is_string() ? event["value"].get<std::string>()
                                         : Number(event["value"]));
    }
    if (event.contains("duration")) out << " for " << Number(event["duration"]) << " s";
    if (event["at"].is_number()) {
      out << " from second " << Number(event["at"]);
    } else {
      out << ", " << Number(event.value("after", json(0.0))) << " s after the next tick";
    }
    if (event.contains("note")) out << "; " << event.value("note", "");
    out << "\n";
  }
}

}  // namespace

int List(const Context& context) {
  std::size_t stale = 0;
  const std::vector<Endpoint> endpoints = ReadEndpoints(context.folder, &stale);
  std::vector<Endpoint> shown;
  for (const Endpoint& e : endpoints) {
    if ((context.pid == 0 || e.pid == context.pid) &&
        (context.plugin.empty() || e.Matches(context.plugin))) {
      shown.push_back(e);
    }
  }
  if (context.json) {
    json list = json::array();
    for (const Endpoint& e : shown) {
      list.push_back({{"pid", e.pid},
                      {"plugin", e.plugin},
                      {"driver", e.driver},
                      {"url", e.url()},
                      {"file", e.file}});
    }
    *context.out << list.dump(2) << "\n";
  } else {
    for (const Endpoint& e : shown) {
      *context.out << "pid " << e.pid << "  " << e.name() << "  " << e.url() << "\n";
    }
  }
  if (shown.empty()) {
    *context.err << "orvctl: no control endpoint found in " << context.folder
                 << (stale > 0 ? " (" + std::to_string(stale) + " stale files ignored)" : "")
                 << "\n";
    return kExitNoEndpoint;
  }
  return kExitOk;
}

int Devices(const Context& context) {
  Run run(context);
  if (!run.Select(false)) return run.status;
  for (const Endpoint& endpoint : run.endpoints) {
    json body;
    if (!run.Ask(endpoint, "GET", "/devices", body)) continue;
    if (context.json) {
      run.Json(body);
      continue;
    }
    *context.out << endpoint.name() << ", pid " << endpoint.pid << ", " << endpoint.url() << "\n";
    if (body["devices"].empty()) *context.out << "  no device\n";
    for (const json& device : body["devices"]) PrintDevice(*context.out, device);
  }
  return run.status;
}

int ClockState(const Context& context) {
  Run run(context);
  if (!run.Select(false)) return run.status;
  for (const Endpoint& endpoint : run.endpoints) {
    json body;
    if (!run.Ask(endpoint, "GET", "/clock", body)) continue;
    if (context.json) {
      run.Json(body);
      continue;
    }
    const std::string mode = body.value("mode", "");
    *context.out << endpoint.name() << ": " << mode << " clock";
    if (mode == "emulated") *context.out << ", " << Number(body["speed"]) << " times real time";
    if (body.contains("granted")) *context.out << ", " << Number(body["granted"]) << " s granted";
    *context.out << "\n";
    for (const json& device : body["devices"]) {
      *context.out << "  device " << device.value("id", 0) << ": second "
                   << Number(device["second"])
                   << (device.value("updating", false) ? "" : " (stopped)") << "\n";
    }
  }
  return run.status;
}

int Advance(const Context& context, double seconds) {
  Run run(context);
  if (!run.Select(false)) return run.status;
  // Every endpoint of the process at once: their devices run side by side.
  std::vector<Answer> answers(run.endpoints.size());
  std::vector<std::thread> threads;
  const std::string payload = json{{"seconds", seconds}}.dump();
  for (std::size_t i = 0; i < run.endpoints.size(); ++i) {
    threads.emplace_back([&, i] {
      answers[i] = Call(run.endpoints[i], "POST", "/clock/advance", payload, "application/json",
                        kAdvanceSeconds);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t i = 0; i < answers.size(); ++i) {
    if (answers[i].status != kExitOk) {
      run.Fail(answers[i].status, answers[i].error);
      continue;
    }
    if (context.json) {
      run.Json(answers[i].body);
      continue;
    }
    *context.out << run.endpoints[i].plugin << ": advanced " << Number(answers[i].body["advanced"])
                 << " s";
    std::string seconds_;
    for (const json& device : answers[i].body["devices"]) {
      seconds_ += (seconds_.empty() ? "" : ", ") + std::string("device ") +
                  std::to_string(device.value("id", 0)) + " at " + Number(device["second"]);
    }
    *context.out << (seconds_.empty() ? "; no device updating" : "; " + seconds_) << "\n";
  }
  return run.status;
}

int PostEvent(const Context& context, const EventArguments& event) {
  Run run(context);
  if (!run.Select(true)) return run.status;
  json body = {{"action", event.action}, {"index", event.index}};
  body["at"] = event.at == "now" ? json("now") : NumberOrText(event.at);
  body[event.action == "ramp" ? "rate" : "value"] = NumberOrText(event.value);
  if (!event.duration.empty()) body["duration"] = NumberOrText(event.duration);
  if (!event.devices.empty()) body["devices"] = event.devices;
  if (!event.note.empty()) body["note"] = event.note;
  const Endpoint& endpoint = run.endpoints[0];
  json answer;
  if (!run.Ask(endpoint, "POST", "/events", answer, body.dump())) return run.status;
  if (context.json) {
    run.Json(answer);
    return kExitOk;
  }
  std::string devices;
  for (const json& id : answer["devices"]) {
    devices += (devices.empty() ? "" : ", ") + std::to_string(id.get<int>());
  }
  *context.out << "event " << answer.value("id", 0) << " posted to " << endpoint.plugin
               << ", device" << (answer["devices"].size() == 1 ? " " : "s ") << devices << "\n";
  return kExitOk;
}

int Cancel(const Context& context, std::uint64_t id) {
  Run run(context);
  if (!run.Select(true)) return run.status;
  json answer;
  if (!run.Ask(run.endpoints[0], "DELETE", "/events/" + std::to_string(id), answer)) {
    return run.status;
  }
  if (context.json) {
    run.Json(answer);
  } else {
    *context.out << "event " << id << " ended\n";
  }
  return kExitOk;
}

int Load(const Context& context, const std::string& file, bool absolute) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    *context.err << "orvctl: cannot read " << file << "\n";
    return kExitUsage;
  }
  std::ostringstream text;
  text << in.rdbuf();
  Run run(context);
  if (!run.Select(true)) return run.status;
  json answer;
  const std::string path = std::string("/scenario?times=") + (absolute ? "absolute" : "relative");
  if (!run.Ask(run.endpoints[0], "POST", path, answer, text.str(), "application/toml")) {
    return run.status;
  }
  if (context.json) {
    run.Json(answer);
    return kExitOk;
  }
  std::string ids;
  for (const json& id : answer["ids"]) {
    ids += (ids.empty() ? "" : ", ") + std::to_string(id.get<std::uint64_t>());
  }
  *context.out << answer["ids"].size() << " events loaded into " << run.endpoints[0].plugin << ": "
               << ids << "\n";
  return kExitOk;
}

int Watch(const Context& context, std::uint64_t after, std::uint64_t count) {
  Run run(context);
  if (!run.Select(false)) return run.status;
  std::mutex print;
  std::atomic<std::uint64_t> printed{0};
  std::atomic<bool> enough{false};
  const bool prefix = run.endpoints.size() > 1;
  // With several endpoints, one that has nothing to say must not hold the
  // others' end long.
  const int wait = prefix ? 2 : kLogWaitSeconds;
  std::vector<std::thread> threads;
  for (const Endpoint& endpoint : run.endpoints) {
    threads.emplace_back([&, endpoint] {
      std::uint64_t next = after;
      while (!enough) {
        const Answer answer = Call(
            endpoint, "GET", "/log?after=" + std::to_string(next) + "&wait=" + std::to_string(wait),
            "", "", wait + 10);
        std::lock_guard<std::mutex> lock(print);
        if (answer.status != kExitOk) {
          // The host went away: its endpoint is done.
          *context.err << "orvctl: " << answer.error << "\n";
          return;
        }
        for (const json& line : answer.body["lines"]) {
          if (enough) break;
          next = line.value("number", next);
          if (context.json) {
            json entry = line;
            entry["plugin"] = endpoint.plugin;
            *context.out << entry.dump() << "\n";
          } else {
            if (prefix) *context.out << endpoint.plugin << ": ";
            *context.out << line.value("text", "") << "\n";
          }
          context.out->flush();
          if (count > 0 && ++printed >= count) enough = true;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  return run.status;
}

}  // namespace orv::orvctl
