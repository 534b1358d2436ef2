// The control endpoint's HTTP server: cpp-httplib on one loopback address,
// with the guards every request passes before a route sees it (a loopback
// Host, the bearer token), caps on what a client may send (a body of 64 KiB,
// header lines of 256 bytes, 10 s to send a request, 5 s between bytes), a
// bounded number of connections served at once (more are answered 503 and
// closed), and a stop that ends every connection and thread at once. Routes
// are functions from a small request record to a JSON answer, so that they
// know nothing of HTTP.
#ifndef ORV_FRAMEWORK_CONTROL_HTTP_SERVER_H
#define ORV_FRAMEWORK_CONTROL_HTTP_SERVER_H

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace orv {

struct ControlRequest {
  std::string method;
  std::string path;
  std::vector<std::string> captures;  // the route pattern's groups
  std::map<std::string, std::string> params;
  std::string body;
};

struct ControlReply {
  int status = 200;
  std::string body;  // JSON text
};

using ControlHandler = std::function<ControlReply(const ControlRequest&)>;

struct HttpLimits {
  std::size_t maxBody = 64 * 1024;
  std::size_t workers = 32;  // connections served at once
  std::size_t queued = 64;   // connections waiting for a worker beyond them
  int readTimeoutSeconds = 5;
  int requestSeconds = 10;  // to send one request whole
  int keepAliveSeconds = 2;
  std::size_t keepAliveRequests = 100;
};

// {"error": message}, as JSON text.
std::string ErrorBody(const std::string& message);

class HttpServer {
 public:
  HttpServer(std::string token, HttpLimits limits = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // method "GET", "POST" or "DELETE"; pattern a regular expression of the
  // whole path (bounded: a route's pattern meets every path a client sends).
  void Route(const std::string& method, const std::string& pattern, ControlHandler handler);
  // Binds address:port (port 0: a free one); false when it cannot.
  bool Bind(const std::string& address, int port);
  int port() const;
  // Serves on threads of its own from here on; false when they cannot start.
  bool Start();
  // Ends every connection and thread; unloading: the library is being
  // unloaded (see platform::JoinThreadAtUnload).
  void Stop(bool unloading);

  // Makes now what cpp-httplib and this server keep in function-local
  // statics (tables, patterns) and otherwise make on first use, by serving
  // one request from memory. A library destroys its statics in the reverse
  // order they were made: whatever is made after this call goes first, while
  // these still stand, so that a server stopped at unload never meets them
  // destroyed under its threads.
  static void MakeStatics();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orv

#endif  // ORV_FRAMEWORK_CONTROL_HTTP_SERVER_H
