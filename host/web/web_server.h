// The dashboard face of the reference host: serves the embedded page and a
// small JSON API over one Session. Every route parses its request, makes one
// session call and answers with JSON (or the file asked for).
//
// Safe by default: it answers only requests whose Host names the address it
// serves (an IP literal with its port, or localhost), accepts state-changing
// requests only with the per-run token its own page carries and without a
// foreign Origin, caps request sizes, and answers anything malformed with a
// 4xx status and a message.
#ifndef ORV_HOST_WEB_WEB_SERVER_H
#define ORV_HOST_WEB_WEB_SERVER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "host/refhost/session.h"

namespace orv::web {

struct WebOptions {
  std::string host = "127.0.0.1";
  int port = 8080;         // 0: any free port
  std::string tempFolder;  // for exports; empty: the system's temporary folder
  std::size_t maxImageBytes = std::size_t{256} << 20;  // restore upload
  std::size_t maxJsonBytes = 64 << 10;
  double speed = 1.0;  // shown on the page
  // Connections: each is served by one worker thread from its first request
  // until it closes, so an idle keep-alive connection holds a worker. Up to
  // `workers` threads serve many viewers at once (started as connections
  // need them), and a connection closes after keepAliveRequests requests or
  // keepAliveSeconds without one, so that connections beyond them are not
  // starved.
  std::size_t workers = 64;
  std::size_t keepAliveRequests = 100;
  int keepAliveSeconds = 2;
  // Starts a connection thread or throws; empty: std::thread. Tests pass one
  // that fails.
  std::function<std::thread(std::function<void()>)> startWorker;
};

// True for a loopback address or "localhost".
bool IsLoopbackHost(const std::string& host);

class WebServer {
 public:
  WebServer(refhost::Session& session, WebOptions options);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds the address; false with error set when it cannot.
  bool Bind(std::string& error);
  // Serves on the calling thread until Stop.
  void Serve();
  void Stop();
  bool running() const;

  int port() const;
  const std::string& token() const;
  std::string url() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orv::web

#endif  // ORV_HOST_WEB_WEB_SERVER_H
