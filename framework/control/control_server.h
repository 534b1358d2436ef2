// A running control endpoint: the HTTP server with its routes over one
// driver, the events it posted and the driver's log feed. Each route parses
// its request, makes one call into the driver, the registry or the clock,
// and answers in JSON.
#ifndef ORV_FRAMEWORK_CONTROL_CONTROL_SERVER_H
#define ORV_FRAMEWORK_CONTROL_CONTROL_SERVER_H

#include <atomic>
#include <mutex>
#include <string>

#include "framework/control/http_server.h"
#include "framework/control/live_registry.h"
#include "framework/control/log_feed.h"
#include "framework/devices/driver.h"

namespace orv {

class ControlServer {
 public:
  // plugin: the plug-in's file name, for GET /.
  ControlServer(Driver& driver, LogFeed& feed, std::string token, std::string plugin);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  bool Bind(const std::string& address, int port) { return http_.Bind(address, port); }
  int port() const { return http_.port(); }
  bool Start() { return http_.Start(); }
  // Ends a waiting advance and every connection, then the threads.
  void Stop(bool unloading);

  // The routes' work, public for the tests that call them without HTTP.
  ControlReply Index(const ControlRequest& request);
  ControlReply Devices(const ControlRequest& request);
  ControlReply Clock(const ControlRequest& request);
  ControlReply Advance(const ControlRequest& request);
  ControlReply PostEvent(const ControlRequest& request);
  ControlReply EndEvent(const ControlRequest& request);
  ControlReply LoadScenario(const ControlRequest& request);
  ControlReply Log(const ControlRequest& request);

 private:
  // Logs a line of the endpoint's own through the driver's log.
  void LogLine(const std::string& text);
  // What the endpoint reads events in: this plug-in, the working folder for
  // a replay's relative file, and what is left of the recordings' cap beside
  // the replays already posted.
  ScenarioContext Context();

  Driver& driver_;
  LogFeed& feed_;
  const std::string plugin_;
  LiveRegistry registry_;
  std::atomic<bool> stopping_{false};
  std::mutex advanceMutex_;  // one advance at a time
  HttpServer http_;          // last: its threads use the members above
};

}  // namespace orv

#endif  // ORV_FRAMEWORK_CONTROL_CONTROL_SERVER_H
