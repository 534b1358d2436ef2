// control/: the control endpoint, through which a tester or a trainer steers
// the emulated devices of a running host over HTTP on loopback: reads them,
// posts events, loads scenarios and advances the manual clock. Uses devices/
// (and what it uses), cpp-httplib and nlohmann-json; started and stopped by
// the table adapters in boundary/.
//
// Off unless ORV_CONTROL is set when the host calls Init. Then one endpoint
// per plug-in listens on 127.0.0.1, publishes its port and a random token in
// a connection file that only the user may read, answers only requests that
// carry the token and name a loopback Host, and turns requests into the same
// event records a scenario file makes, checked by the same code. Nothing a
// host's table call waits on is ever held by its threads.
#ifndef ORV_FRAMEWORK_CONTROL_CONTROL_H
#define ORV_FRAMEWORK_CONTROL_CONTROL_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "framework/devices/driver.h"
#include "orv/driver_api.h"

namespace orv {

inline constexpr const char* kControlVariable = "ORV_CONTROL";

// What a value of ORV_CONTROL asks for.
struct ControlSetting {
  enum class Kind {
    kOff,          // unset or empty: no endpoint, nothing logged
    kServe,        // PORT or a loopback ADDRESS:PORT
    kInvalid,      // not PORT or ADDRESS:PORT: ignored with a log line
    kNotLoopback,  // an address that is not loopback: refused with a log line
  };
  Kind kind = Kind::kOff;
  std::string address = "127.0.0.1";
  int port = 0;  // 0: a free port
  std::string reason;
};

// "PORT" or "ADDRESS:PORT", PORT from 0 to 65535; ADDRESS 127.x.x.x or
// localhost (127.0.0.1).
ControlSetting ParseControlSetting(const std::string& text);

// The log line Init writes for a setting it does not serve; empty otherwise.
// value is the variable's text, already cut to a printable length.
std::string ControlRefusalLine(const ControlSetting& setting, const std::string& value);

class ControlServer;

// One plug-in's endpoint. Constructed with the driver; does nothing until
// Start finds ORV_CONTROL set.
class ControlEndpoint {
 public:
  explicit ControlEndpoint(Driver& driver);
  // The library is being unloaded: stops the endpoint if it still runs.
  ~ControlEndpoint();
  ControlEndpoint(const ControlEndpoint&) = delete;
  ControlEndpoint& operator=(const ControlEndpoint&) = delete;

  // Called by Init before the driver's own: reads ORV_CONTROL and starts the
  // endpoint (once: a second Init with the same setting keeps it, with
  // another it starts anew). Returns the log function the driver is to use:
  // the host's own when no endpoint runs, else one that also feeds GET /log.
  LogFn Start(LogFn hostLog);
  // Stops listening, ends every connection and thread, removes the
  // connection file. Returns within about 100 ms.
  void Stop();
  bool running() const;

  int port() const;
  std::string connectionFile() const;

 private:
  struct UnloadStopper;
  void StopLocked(bool unloading);
  // Binds, publishes the connection file and starts the threads for an
  // accepted setting (mutex_ held); the log function to hand the driver, or
  // log itself with a line saying why nothing runs.
  LogFn OpenLocked(const ControlSetting& setting, const std::string& text, const std::string& shown,
                   LogFn log);

  Driver& driver_;
  mutable std::mutex mutex_;  // Start and Stop, never taken by the server's threads
  std::unique_ptr<ControlServer> server_;
  std::string setting_;  // the ORV_CONTROL text the running server was started for
  std::string file_;     // its connection file
};

}  // namespace orv

#endif  // ORV_FRAMEWORK_CONTROL_CONTROL_H
