#include "host/web/web_server.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <set>
#include <system_error>
#include <utility>

#include "host/web/connection_workers.h"
#include "host/web/embedded_assets.h"
#include "host/web/json_mapping.h"

namespace orv::web {
namespace {

using nlohmann::json;
using refhost::SessionResult;
using refhost::SessionStatus;

constexpr const char* kTokenHeader = "X-Orv-Token";
constexpr const char* kTokenPlaceholder = "{{ORV_TOKEN}}";

std::string RandomToken() {
  std::random_device device;
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 8; ++i) {
    std::uint32_t word = device();
    for (int j = 0; j < 4; ++j, word >>= 4) token += kHex[word & 0xF];
  }
  return token;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool ParseInt(const std::string& text, std::int64_t minimum, std::int64_t maximum,
              std::int64_t& out) {
  const char* end = text.data() + text.size();
  const auto [stop, status] = std::from_chars(text.data(), end, out);
  return status == std::errc() && stop == end && out >= minimum && out <= maximum;
}

bool ParseDouble(const std::string& text, double& out) {
  if (text.empty() || text.size() > 64) return false;
  try {
    std::size_t used = 0;
    out = std::stod(text, &used);
    return used == text.size() && std::isfinite(out);
  } catch (...) {
    return false;
  }
}

bool IsIpv4Literal(const std::string& host) {
  int parts = 0;
  std::size_t start = 0;
  while (start <= host.size()) {
    const std::size_t dot = std::min(host.find('.', start), host.size());
    std::int64_t value = 0;
    if (dot == start || dot - start > 3 ||
        !ParseInt(host.substr(start, dot - start), 0, 255, value)) {
      return false;
    }
    ++parts;
    start = dot + 1;
  }
  return parts == 4;
}

bool IsIpv6Literal(const std::string& host) {
  return host.size() > 2 && host.front() == '[' && host.back() == ']' &&
         host.find_first_not_of("0123456789abcdefABCDEF:.", 1) == host.size() - 1;
}

void SendJson(httplib::Response& response, int status, const json& body) {
  response.status = status;
  response.set_content(body.dump(), "application/json");
}

void SendError(httplib::Response& response, int status, const std::string& message) {
  SendJson(response, status, json{{"error", message}});
}

int HttpStatus(SessionStatus status) {
  switch (status) {
    case SessionStatus::kOk:
      return 200;
    case SessionStatus::kNotFound:
      return 404;
    case SessionStatus::kBadRequest:
      return 400;
    case SessionStatus::kRefused:
      return 422;
    case SessionStatus::kFailed:
      return 500;
    case SessionStatus::kNoRoom:
      return 507;
  }
  return 500;
}

// Answers a session result: the given body on success, the message otherwise.
void SendResult(httplib::Response& response, const SessionResult& result, const json& body) {
  if (result.ok()) {
    SendJson(response, 200, body);
  } else {
    SendError(response, HttpStatus(result.status), result.message);
  }
}

bool IsStateChanging(const std::string& method) {
  return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

// Debian's library listens with a backlog of 5: a burst of new connections
// (a page's, a benchmark's) overflows it, and each dropped one waits a second
// for its SYN to be sent again. Listening again on the bound socket widens
// the queue (Linux; a header-only build is compiled with the wider backlog).
class HttpServer : public httplib::Server {
 public:
  void WidenBacklog() { ::listen(svr_sock_, kListenBacklog); }
  static constexpr int kListenBacklog = 1024;
};

}  // namespace

bool IsLoopbackHost(const std::string& host) {
  const std::string name = Lower(host);
  return name == "localhost" || name == "::1" || name == "[::1]" ||
         (IsIpv4Literal(name) && name.compare(0, 4, "127.") == 0);
}

struct WebServer::Impl {
  Impl(refhost::Session& s, WebOptions o)
      : session(s), options(std::move(o)), token(RandomToken()) {
    if (options.tempFolder.empty()) {
      std::error_code ignored;
      options.tempFolder = std::filesystem::temp_directory_path(ignored).string();
    }
  }

  refhost::Session& session;
  WebOptions options;
  const std::string token;
  HttpServer server;
  int port = 0;

  // A Host header names this server when its port is ours and its name is an
  // IP literal, localhost, or the name the server was started with. A DNS
  // name that merely resolves here (rebinding) is none of these.
  bool HostAllowed(const std::string& header) const {
    const std::size_t colon = header.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::int64_t headerPort = 0;
    if (!ParseInt(header.substr(colon + 1), 0, 65535, headerPort) || headerPort != port) {
      return false;
    }
    const std::string name = Lower(header.substr(0, colon));
    return name == "localhost" || name == Lower(options.host) || IsIpv4Literal(name) ||
           IsIpv6Literal(name);
  }

  httplib::Server::HandlerResponse Guard(const httplib::Request& request,
                                         httplib::Response& response) const {
    if (ConnectionWorkers::Refusing()) {
      // No thread could be started for this connection, and it holds the one
      // that accepts the others: answer, and have the client close it.
      response.set_header("Connection", "close");
      SendError(response, 503, "the host cannot start a thread for this connection; try again");
      return httplib::Server::HandlerResponse::Handled;
    }
    const std::string host = request.get_header_value("Host");
    if (!HostAllowed(host)) {
      SendError(response, 403, "this server does not answer for Host '" + host + "'");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (IsStateChanging(request.method)) {
      const std::string origin = request.get_header_value("Origin");
      if (!origin.empty() && Lower(origin) != "http://" + Lower(host)) {
        SendError(response, 403, "requests from " + origin + " are not accepted");
        return httplib::Server::HandlerResponse::Handled;
      }
      if (request.get_header_value(kTokenHeader) != token) {
        SendError(response, 403, "a change needs the page's token");
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    return httplib::Server::HandlerResponse::Unhandled;
  }

  // The JSON body of a request; false after answering 400 or 413.
  bool ReadBody(const httplib::Request& request, httplib::Response& response, json& body) const {
    if (request.body.size() > options.maxJsonBytes) {
      SendError(response, 413,
                "the body exceeds " + std::to_string(options.maxJsonBytes) + " bytes");
      return false;
    }
    body = json::parse(request.body, nullptr, false);
    if (body.is_discarded()) {
      SendError(response, 400, "the body is not JSON");
      return false;
    }
    return true;
  }

  // Path number i of the route's pattern as driver, device or index.
  static bool PathNumber(const httplib::Request& request, std::size_t i, std::int32_t& out,
                         httplib::Response& response) {
    std::int64_t value = 0;
    const std::string text = i < request.matches.size() ? request.matches[i].str() : "";
    if (!ParseInt(text, 0, std::numeric_limits<std::int32_t>::max(), value)) {
      SendError(response, 404, "'" + text + "' names nothing here");
      return false;
    }
    out = static_cast<std::int32_t>(value);
    return true;
  }

  // Driver and device of a /api/drivers/D/devices/I/... route.
  static bool DeviceOf(const httplib::Request& request, httplib::Response& response,
                       std::int32_t& driver, std::int32_t& id) {
    return PathNumber(request, 1, driver, response) && PathNumber(request, 2, id, response);
  }

  // A query parameter as a number; absent gives fallback.
  static bool QueryNumber(const httplib::Request& request, const char* name, double fallback,
                          double& out, httplib::Response& response) {
    out = fallback;
    if (!request.has_param(name)) return true;
    if (ParseDouble(request.get_param_value(name), out)) return true;
    SendError(response, 400, std::string(name) + " must be a finite number");
    return false;
  }

  // One export character: "tab" or one printable ASCII character.
  static bool QueryCharacter(const httplib::Request& request, const char* name, char fallback,
                             char& out, httplib::Response& response) {
    out = fallback;
    if (!request.has_param(name)) return true;
    const std::string text = request.get_param_value(name);
    if (text == "tab") {
      out = '\t';
      return true;
    }
    if (text.size() == 1 && text[0] > ' ' && text[0] < 0x7F) {
      out = text[0];
      return true;
    }
    SendError(response, 400, std::string(name) + " must be one printable character or tab");
    return false;
  }

  void Routes();
  void PageRoutes();
  void DeviceRoutes();
  void ControlRoutes();
  void DataRoutes();
  void RefuseOtherMethods();
  void Route(const char* method, const std::string& pattern, httplib::Server::Handler handler);
  std::set<std::string> patterns_;
  std::set<std::pair<std::string, std::string>> routes_;
};

// One device's path: driver and device number.
const std::string kDevicePath = R"(/api/drivers/([^/]+)/devices/([^/]+))";

void WebServer::Impl::Route(const char* method, const std::string& pattern,
                            httplib::Server::Handler handler) {
  const std::string name = method;
  if (name == "GET") server.Get(pattern, std::move(handler));
  if (name == "POST") server.Post(pattern, std::move(handler));
  if (name == "DELETE") server.Delete(pattern, std::move(handler));
  patterns_.insert(pattern);
  routes_.insert({name, pattern});
}

// Every route, then the 405 answers for the other methods on their paths.
void WebServer::Impl::Routes() {
  PageRoutes();
  DeviceRoutes();
  ControlRoutes();
  DataRoutes();
  RefuseOtherMethods();
}

// The page, its assets, and the state and log it polls.
void WebServer::Impl::PageRoutes() {
  Route("GET", "/", [this](const httplib::Request&, httplib::Response& response) {
    const EmbeddedAsset* page = FindEmbeddedAsset("index.html");
    std::string html(reinterpret_cast<const char*>(page->data), page->size);
    const std::size_t at = html.find(kTokenPlaceholder);
    if (at != std::string::npos) html.replace(at, std::string(kTokenPlaceholder).size(), token);
    response.set_header("Cache-Control", "no-store");
    response.set_content(html, page->type);
  });
  Route("GET", R"(/assets/([^/]+))",
        [](const httplib::Request& request, httplib::Response& response) {
          const EmbeddedAsset* asset = FindEmbeddedAsset(request.matches[1].str());
          if (asset == nullptr || asset->name == std::string("index.html")) {
            SendError(response, 404, "no asset " + request.matches[1].str());
            return;
          }
          response.set_content(reinterpret_cast<const char*>(asset->data), asset->size,
                               asset->type);
        });
  // Browsers that do not read the page's icon link ask here.
  Route("GET", "/favicon.ico", [](const httplib::Request&, httplib::Response& response) {
    const EmbeddedAsset* icon = FindEmbeddedAsset("favicon.svg");
    response.set_content(reinterpret_cast<const char*>(icon->data), icon->size, icon->type);
  });
  Route("GET", "/api/state", [this](const httplib::Request&, httplib::Response& response) {
    SendJson(response, 200, ToJson(session.State(), HostInfo{options.speed, {}}));
  });
  // The drivers' log lines numbered after `after` (0: all that are kept).
  Route("GET", "/api/log", [](const httplib::Request& request, httplib::Response& response) {
    double after = 0;
    if (!QueryNumber(request, "after", 0, after, response)) return;
    if (after < 0) return SendError(response, 400, "after must be 0 or more");
    SendJson(response, 200,
             ToJson(refhost::LogBook::Shared().After(
                 static_cast<std::uint64_t>(std::min(after, 1e18)), 500)));
  });
}

// Adding a device (from the dialog or an image), reading and removing one.
void WebServer::Impl::DeviceRoutes() {
  Route("POST", R"(/api/drivers/([^/]+)/devices)",
        [this](const httplib::Request& request, httplib::Response& response) {
          std::int32_t driver = 0;
          json body;
          refhost::AddRequest add;
          std::string error;
          if (!PathNumber(request, 1, driver, response) || !ReadBody(request, response, body)) {
            return;
          }
          if (!ParseAddRequest(body, add, error)) return SendError(response, 400, error);
          DeviceId id = 0;
          const SessionResult result = session.AddDevice(driver, add, id);
          SendResult(response, result, json{{"id", id}});
        });
  Route("POST", R"(/api/drivers/([^/]+)/restore)",
        [this](const httplib::Request& request, httplib::Response& response) {
          std::int32_t driver = 0;
          if (!PathNumber(request, 1, driver, response)) return;
          const ByteArray image(request.body.begin(), request.body.end());
          DeviceId id = 0;
          const SessionResult result = session.Restore(driver, image, id);
          SendResult(response, result, json{{"id", id}});
        });
  Route("GET", kDevicePath, [this](const httplib::Request& request, httplib::Response& response) {
    std::int32_t driver = 0, id = 0;
    if (!DeviceOf(request, response, driver, id)) return;
    refhost::DeviceState state;
    const SessionResult result = session.Device(driver, id, state);
    SendResult(response, result, result.ok() ? ToJson(state) : json());
  });
  Route("DELETE", kDevicePath,
        [this](const httplib::Request& request, httplib::Response& response) {
          std::int32_t driver = 0, id = 0;
          if (!DeviceOf(request, response, driver, id)) return;
          SendResult(response, session.RemoveDevice(driver, id), json{{"removed", id}});
        });
}

// The calls that change a device: settings, values, switches and display
// settings.
void WebServer::Impl::ControlRoutes() {
  Route("POST", kDevicePath + "/settings",
        [this](const httplib::Request& request, httplib::Response& response) {
          std::int32_t driver = 0, id = 0;
          json body;
          refhost::SettingsRequest settings;
          std::string error;
          if (!DeviceOf(request, response, driver, id) || !ReadBody(request, response, body)) {
            return;
          }
          if (!ParseSettingsRequest(body, settings, error)) return SendError(response, 400, error);
          SendResult(response, session.ShowSettings(driver, id, settings), json::object());
        });
  Route("POST", kDevicePath + "/values/([^/]+)",
        [this](const httplib::Request& request, httplib::Response& response) {
          std::int32_t driver = 0, id = 0, index = 0;
          json body;
          float value = 0.0f;
          std::string error;
          if (!DeviceOf(request, response, driver, id) ||
              !PathNumber(request, 3, index, response) || !ReadBody(request, response, body)) {
            return;
          }
          if (!ParseValue(body, value, error)) return SendError(response, 400, error);
          SendResult(response, session.SetValue(driver, id, index, value), json::object());
        });
  for (const char* what : {"updating", "recording"}) {
    const bool updating = std::string(what) == "updating";
    Route("POST", kDevicePath + "/" + what,
          [this, updating](const httplib::Request& request, httplib::Response& response) {
            std::int32_t driver = 0, id = 0;
            json body;
            bool on = false;
            std::string error;
            if (!DeviceOf(request, response, driver, id) || !ReadBody(request, response, body)) {
              return;
            }
            if (!ParseSwitch(body, on, error)) return SendError(response, 400, error);
            SendResult(response,
                       updating ? session.SetUpdating(driver, id, on)
                                : session.SetRecording(driver, id, on),
                       json::object());
          });
  }
  Route("POST", kDevicePath + "/channels/([^/]+)/config",
        [this](const httplib::Request& request, httplib::Response& response) {
          std::int32_t driver = 0, id = 0, index = 0;
          json body;
          refhost::ChannelConfigRequest config;
          std::string error;
          if (!DeviceOf(request, response, driver, id) ||
              !PathNumber(request, 3, index, response) || !ReadBody(request, response, body)) {
            return;
          }
          if (!ParseChannelConfigRequest(body, config, error)) {
            return SendError(response, 400, error);
          }
          SendResult(response, session.SetChannelConfig(driver, id, index, config), json::object());
        });
}

// The history and the image: clear, chart, save and export.
void WebServer::Impl::DataRoutes() {
  Route("POST", kDevicePath + "/clear",
        [this](const httplib::Request& request, httplib::Response& response) {
          std::int32_t driver = 0, id = 0;
          if (!DeviceOf(request, response, driver, id)) return;
          SendResult(response, session.ClearHistory(driver, id), json::object());
        });
  Route("GET", kDevicePath + "/chart",
        [this](const httplib::Request& request, httplib::Response& response) {
          std::int32_t driver = 0, id = 0;
          double from = 0.0, to = 0.0, points = 0.0;
          if (!DeviceOf(request, response, driver, id) ||
              !QueryNumber(request, "from", 0.0, from, response) ||
              !QueryNumber(request, "to", 0.0, to, response) ||
              !QueryNumber(request, "points", 300.0, points, response)) {
            return;
          }
          if (points != std::floor(points) || points < 1 || points > 1e6) {
            return SendError(response, 400, "points must be a whole number from 1");
          }
          refhost::ChartData chart;
          const SessionResult result =
              session.Chart(driver, id, from, to, static_cast<std::int32_t>(points), chart);
          SendResult(response, result, result.ok() ? ToJson(chart) : json());
        });
  Route("GET", kDevicePath + "/image",
        [this](const httplib::Request& request, httplib::Response& response) {
          std::int32_t driver = 0, id = 0;
          if (!DeviceOf(request, response, driver, id)) return;
          ByteArray image;
          const SessionResult result = session.Save(driver, id, image);
          if (!result.ok()) return SendError(response, HttpStatus(result.status), result.message);
          response.set_header("Content-Disposition", "attachment; filename=\"device-" +
                                                         std::to_string(driver) + "-" +
                                                         std::to_string(id) + ".img\"");
          response.set_content(reinterpret_cast<const char*>(image.data()), image.size(),
                               "application/octet-stream");
        });
  Route("GET", kDevicePath + "/export",
        [this](const httplib::Request& request, httplib::Response& response) {
          std::int32_t driver = 0, id = 0;
          char separator = ';', decimal = '.';
          if (!DeviceOf(request, response, driver, id) ||
              !QueryCharacter(request, "separator", ';', separator, response) ||
              !QueryCharacter(request, "decimal", '.', decimal, response)) {
            return;
          }
          std::string text;
          const SessionResult result =
              session.Export(driver, id, separator, decimal, options.tempFolder, text);
          if (!result.ok()) return SendError(response, HttpStatus(result.status), result.message);
          response.set_header("Content-Disposition", "attachment; filename=\"history-" +
                                                         std::to_string(driver) + "-" +
                                                         std::to_string(id) + ".csv\"");
          response.set_content(text, "text/csv");
        });
}

// A known path asked with another method: 405, naming the ones it takes.
void WebServer::Impl::RefuseOtherMethods() {
  for (const std::string& pattern : patterns_) {
    std::string allowed;
    for (const char* method : {"GET", "POST", "DELETE"}) {
      if (routes_.count({method, pattern}) != 0)
        allowed += (allowed.empty() ? "" : ", ") + std::string(method);
    }
    const httplib::Server::Handler refuse = [allowed](const httplib::Request& request,
                                                      httplib::Response& response) {
      response.set_header("Allow", allowed);
      SendError(response, 405, request.method + " is not allowed here; use " + allowed);
    };
    if (routes_.count({"GET", pattern}) == 0) server.Get(pattern, refuse);
    if (routes_.count({"POST", pattern}) == 0) server.Post(pattern, refuse);
    if (routes_.count({"DELETE", pattern}) == 0) server.Delete(pattern, refuse);
    server.Put(pattern, refuse);
    server.Patch(pattern, refuse);
  }
}

WebServer::WebServer(refhost::Session& session, WebOptions options)
    : impl_(std::make_unique<Impl>(session, std::move(options))) {
  Impl& self = *impl_;
  // A response goes out as headers, then body: with Nagle's algorithm the
  // body would wait for the client's delayed ACK of the headers (~40 ms).
  self.server.set_tcp_nodelay(true);
  self.server.set_keep_alive_max_count(std::max<std::size_t>(1, self.options.keepAliveRequests));
  self.server.set_keep_alive_timeout(self.options.keepAliveSeconds);
  const std::size_t workers = std::max<std::size_t>(1, self.options.workers);
  self.server.new_task_queue = [workers, start = self.options.startWorker] {
    return new ConnectionWorkers(workers, start);
  };
  self.server.set_payload_max_length(self.options.maxImageBytes);
  self.server.set_pre_routing_handler(
      [&self](const httplib::Request& request, httplib::Response& response) {
        return self.Guard(request, response);
      });
  self.server.set_error_handler([](const httplib::Request& request, httplib::Response& response) {
    if (!response.body.empty()) return;
    const std::string message = response.status == 404   ? "no route " + request.path
                                : response.status == 413 ? "the request is too large"
                                                         : "the request was not understood";
    SendError(response, response.status, message);
  });
  self.server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        SendError(response, 500, "the host failed to answer");
      });
  self.Routes();
}

WebServer::~WebServer() { Stop(); }

bool WebServer::Bind(std::string& error) {
  Impl& self = *impl_;
  if (self.options.port == 0) {
    self.port = self.server.bind_to_any_port(self.options.host);
  } else if (self.server.bind_to_port(self.options.host, self.options.port)) {
    self.port = self.options.port;
  } else {
    self.port = -1;
  }
  if (self.port <= 0) {
    error = "cannot listen on " + self.options.host + ":" + std::to_string(self.options.port);
    return false;
  }
  self.server.WidenBacklog();
  return true;
}

void WebServer::Serve() { impl_->server.listen_after_bind(); }

void WebServer::Stop() {
  if (impl_->server.is_running()) impl_->server.stop();
}

bool WebServer::running() const { return impl_->server.is_running(); }

int WebServer::port() const { return impl_->port; }
const std::string& WebServer::token() const { return impl_->token; }

std::string WebServer::url() const {
  const std::string& host = impl_->options.host;
  const bool v6 = host.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port()) + "/";
}

}  // namespace orv::web
