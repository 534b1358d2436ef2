#include "framework/control/control.h"

#include <cstdarg>
#include <cstdio>
#include <new>

#include "framework/control/connection_file.h"
#include "framework/control/control_server.h"
#include "framework/control/http_server.h"
#include "framework/control/log_feed.h"
#include "framework/core/text.h"
#include "platform/platform.h"

namespace orv {
namespace {

// Enough for any sensible setting; a longer value is refused.
constexpr std::size_t kSettingBuffer = 128;

// What the driver's log function forwards to: the host's own log, and the
// feed that GET /log serves. One of each per plug-in library; the feed lives
// as long as the library, so that a thread logging while an endpoint stops
// never meets a feed that is gone.
std::atomic<LogFn> hostLog{nullptr};
LogFeed feed;

// The log function the driver uses while an endpoint runs: the line goes to
// the feed and, as "%s", to the host.
int RelayLog(const char* format, ...) {
  try {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
      text.resize(static_cast<std::size_t>(length) + 1);
      std::vsnprintf(text.data(), text.size(), format, again);
      text.resize(static_cast<std::size_t>(length));
    }
    va_end(again);
    feed.Append(text);
    if (LogFn log = hostLog.load()) log("%s", text.c_str());
  } catch (...) {
    // The line is lost; the driver goes on.
  }
  return 0;
}

bool ParsePort(const std::string& text, int& port) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > 65535) return false;
  port = value;
  return true;
}

// An IPv4 literal a.b.c.d; loopback when a is 127.
bool Ipv4Literal(const std::string& text, bool& loopback) {
  int parts = 0;
  int first = -1;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t dot = text.find('.', start);
    if (dot == std::string::npos) dot = text.size();
    int value = 0;
    if (dot == start || dot - start > 3 || !ParsePort(text.substr(start, dot - start), value) ||
        value > 255) {
      return false;
    }
    if (parts == 0) first = value;
    ++parts;
    start = dot + 1;
  }
  loopback = first == 127;
  return parts == 4;
}

}  // namespace

ControlSetting ParseControlSetting(const std::string& text) {
  ControlSetting setting;
  if (text.empty()) return setting;
  const std::size_t colon = text.rfind(':');
  const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
  const std::string address = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
  setting.kind = ControlSetting::Kind::kInvalid;
  if (!ParsePort(port, setting.port)) {
    setting.reason = "expected PORT or 127.0.0.1:PORT, PORT from 0 to 65535";
    return setting;
  }
  bool loopback = false;
  if (address == "localhost" || address == "127.0.0.1") {
    setting.address = "127.0.0.1";
  } else if (Ipv4Literal(address, loopback) && loopback) {
    setting.address = address;
  } else if (address.empty() || address.find_first_of(" \t") != std::string::npos) {
    setting.reason = "expected PORT or 127.0.0.1:PORT, PORT from 0 to 65535";
    return setting;
  } else if (address.front() == '[') {
    setting.reason = "IPv6 is not served, only 127.0.0.1:PORT";
    return setting;
  } else {
    setting.kind = ControlSetting::Kind::kNotLoopback;
    setting.reason = address + " is not a loopback address";
    return setting;
  }
  setting.kind = ControlSetting::Kind::kServe;
  return setting;
}

std::string ControlRefusalLine(const ControlSetting& setting, const std::string& value) {
  const std::string head = std::string(kControlVariable) + "=\"" + value + "\"";
  switch (setting.kind) {
    case ControlSetting::Kind::kInvalid:
      return head + " ignored: " + setting.reason + "; no control endpoint.\n";
    case ControlSetting::Kind::kNotLoopback:
      return head + " refused: " + setting.reason +
             ", and the control endpoint listens on loopback only (127.0.0.1); no control "
             "endpoint.\n";
    case ControlSetting::Kind::kOff:
    case ControlSetting::Kind::kServe:
      break;
  }
  return {};
}

// Stops the endpoint when the library's statics are destroyed.
struct ControlEndpoint::UnloadStopper {
  explicit UnloadStopper(ControlEndpoint& e) : endpoint(e) {}
  ~UnloadStopper() {
    std::lock_guard<std::mutex> lock(endpoint.mutex_);
    endpoint.StopLocked(true);
  }
  ControlEndpoint& endpoint;
};

ControlEndpoint::ControlEndpoint(Driver& driver) : driver_(driver) {}

ControlEndpoint::~ControlEndpoint() {
  std::lock_guard<std::mutex> lock(mutex_);
  StopLocked(true);
}

bool ControlEndpoint::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return server_ != nullptr;
}

int ControlEndpoint::port() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return server_ != nullptr ? server_->port() : 0;
}

std::string ControlEndpoint::connectionFile() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return server_ != nullptr ? file_ : std::string();
}

LogFn ControlEndpoint::Start(LogFn log) {
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    hostLog.store(log);
    char value[kSettingBuffer];
    const std::size_t length = platform::ReadEnvironment(kControlVariable, value, sizeof value);
    const bool tooLong = length >= sizeof value;
    const std::string text = tooLong ? std::string() : std::string(value, length);
    if (server_ != nullptr && !tooLong && length > 0 && text == setting_) return &RelayLog;
    StopLocked(false);
    if (length == 0) return log;  // unset or empty: nothing runs, nothing is logged

    ControlSetting setting = ParseControlSetting(text);
    if (tooLong) {
      setting.kind = ControlSetting::Kind::kInvalid;
      setting.reason = "the value is too long";
    }
    const std::string shown = PrintableValue(value, tooLong);
    const std::string refusal = ControlRefusalLine(setting, shown);
    if (!refusal.empty()) {
      if (log != nullptr) log("%s", refusal.c_str());
      return log;
    }

    return OpenLocked(setting, text, shown, log);
  } catch (...) {
    StopLocked(false);
    return log;
  }
}

LogFn ControlEndpoint::OpenLocked(const ControlSetting& setting, const std::string& text,
                                  const std::string& shown, LogFn log) {
  ConnectionInfo info;
  info.pid = platform::CurrentProcessId();
  char path[1024];
  info.plugin = platform::OwnModulePath(path, sizeof path)
                    ? LastPathComponent(path, platform::PathSeparator())
                    : std::string("plugin");
  info.driver = driver_.model().shortName;
  info.address = setting.address;
  info.token = RandomToken();
  const std::string head = std::string(kControlVariable) + "=\"" + shown + "\": ";
  const std::string tail = "; no control endpoint for " + info.driver + ".\n";

  // An unload without Shutdown stops the endpoint before the statics its
  // threads use are destroyed: the stopper is made after them, so it goes
  // first.
  HttpServer::MakeStatics();
  static const UnloadStopper stopper(*this);

  auto server = std::make_unique<ControlServer>(driver_, feed, info.token, info.plugin);
  if (!server->Bind(setting.address, setting.port)) {
    const std::string line = head + "port " + std::to_string(setting.port) + " on " +
                             setting.address +
                             " is taken (by another plug-in or program) or cannot be bound" + tail;
    if (log != nullptr) log("%s", line.c_str());
    return log;
  }
  info.port = server->port();
  const std::string folder = ConnectionFolder();
  std::string file;
  if (!WriteConnectionFile(folder, info, file)) {
    const std::string line = head + "no connection file can be written in '" + folder + "'" + tail;
    if (log != nullptr) log("%s", line.c_str());
    return log;
  }
  feed.Open();
  if (!server->Start()) {
    platform::RemoveFile(file.c_str());
    feed.Close();
    const std::string line = head + "the endpoint's threads cannot be started" + tail;
    if (log != nullptr) log("%s", line.c_str());
    return log;
  }
  server_ = std::move(server);
  setting_ = text;
  file_ = file;
  const std::string line = std::string("Control for ") + info.driver + " at http://" +
                           info.address + ":" + std::to_string(info.port) + "/";
  RelayLog("%s\n", line.c_str());
  return &RelayLog;
}

void ControlEndpoint::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  StopLocked(false);
}

void ControlEndpoint::StopLocked(bool unloading) {
  if (server_ == nullptr) return;
  // The file first, so that no client finds an endpoint that is going.
  platform::RemoveFile(file_.c_str());
  feed.Close();
  server_->Stop(unloading);
  server_.reset();
  setting_.clear();
  file_.clear();
  // The driver logs to the host directly again.
  LogFn relay = &RelayLog;
  driver_.environment().log.compare_exchange_strong(relay, hostLog.load());
}

}  // namespace orv
