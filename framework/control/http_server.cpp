#include "framework/control/http_server.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <utility>

#include "platform/platform.h"

namespace orv {
namespace {

using Clock = std::chrono::steady_clock;

// Set on the accepting thread while it closes a connection it has no room
// for, and on a worker when the guard refused its request.
thread_local bool refusingConnection = false;
thread_local bool refusedRequest = false;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool ParsePort(const std::string& text, int& port) {
  const char* end = text.data() + text.size();
  const auto [stop, status] = std::from_chars(text.data(), end, port);
  return status == std::errc() && stop == end && port >= 0 && port <= 65535;
}

bool IsLoopbackIpv4(const std::string& name) {
  int parts = 0;
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t dot = std::min(name.find('.', start), name.size());
    int value = 0;
    const char* first = name.data() + start;
    const char* last = name.data() + dot;
    const auto [stop, status] = std::from_chars(first, last, value);
    if (dot == start || dot - start > 3 || status != std::errc() || stop != last || value > 255) {
      return false;
    }
    if (parts == 0 && value != 127) return false;
    ++parts;
    start = dot + 1;
  }
  return parts == 4;
}

// A Host header that names this endpoint on loopback: localhost, 127.x.x.x
// or [::1], with our port when it gives one. A name that merely resolves to
// loopback (DNS rebinding) is none of these.
bool HostAllowed(const std::string& header, int port) {
  std::string name = Lower(header);
  const std::size_t colon = name.rfind(':');
  const std::size_t bracket = name.rfind(']');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    int given = 0;
    if (!ParsePort(name.substr(colon + 1), given) || given != port) return false;
    name.resize(colon);
  }
  return name == "localhost" || name == "[::1]" || IsLoopbackIpv4(name);
}

bool SameToken(const std::string& given, const std::string& token) {
  if (given.size() != token.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < token.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ token[i]);
  }
  return difference == 0;
}

// A connection's socket as cpp-httplib reads and writes it for one request,
// with the caps on what a client may send (so many bytes, the whole request
// within a deadline, no gap between bytes longer than the read timeout) and
// with every wait cut into short slices that look at the stop: a stop ends a
// worker within one slice wherever it waits, on every system (shutting a
// socket down does not wake a thread polling it on all of them).
class ConnectionStream final : public httplib::Stream {
 public:
  static constexpr time_t kSliceMicros = 20000;

  ConnectionStream(socket_t sock, const HttpLimits& limits, const std::atomic<bool>& stopping)
      : sock_(sock),
        stopping_(stopping),
        budget_(limits.maxBody + 16 * 1024),
        deadline_(Clock::now() + std::chrono::seconds(limits.requestSeconds)),
        gap_(std::chrono::seconds(limits.readTimeoutSeconds)),
        lastByte_(Clock::now()) {}

  bool is_readable() const override { return Wait(true, lastByte_); }
  bool is_writable() const override { return Wait(false, Clock::now()); }
  ssize_t read(char* ptr, size_t size) override {
    if (offset_ == filled_) {
      if (budget_ == 0 || !Wait(true, lastByte_)) return -1;
      const ssize_t n =
          httplib::detail::read_socket(sock_, buffer_, std::min(sizeof buffer_, budget_), 0);
      if (n <= 0) return n;
      budget_ -= static_cast<std::size_t>(n);
      filled_ = static_cast<std::size_t>(n);
      offset_ = 0;
      lastByte_ = Clock::now();
    }
    const std::size_t n = std::min(size, filled_ - offset_);
    std::memcpy(ptr, buffer_ + offset_, n);
    offset_ += n;
    return static_cast<ssize_t>(n);
  }
  using httplib::Stream::write;
  ssize_t write(const char* ptr, size_t size) override {
    if (!Wait(false, Clock::now())) return -1;
    return httplib::detail::send_socket(sock_, ptr, size, CPPHTTPLIB_SEND_FLAGS);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    httplib::detail::get_remote_ip_and_port(sock_, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    httplib::detail::get_local_ip_and_port(sock_, ip, port);
  }
  socket_t socket() const override { return sock_; }

 private:
  // Until the socket is ready; false on a stop, an error, or when the gap
  // since `since` or (reading) the request's deadline has passed.
  bool Wait(bool reading, Clock::time_point since) const {
    for (;;) {
      if (stopping_.load()) return false;
      const Clock::time_point now = Clock::now();
      if (now - since > gap_ || (reading && now > deadline_)) return false;
      const ssize_t ready = reading ? httplib::detail::select_read(sock_, 0, kSliceMicros)
                                    : httplib::detail::select_write(sock_, 0, kSliceMicros);
      if (ready != 0) return ready > 0;
    }
  }

  const socket_t sock_;
  const std::atomic<bool>& stopping_;
  std::size_t budget_;
  const Clock::time_point deadline_;
  const Clock::duration gap_;
  Clock::time_point lastByte_;
  char buffer_[4096];
  std::size_t offset_ = 0;
  std::size_t filled_ = 0;
};

// The whole answer to a connection there is no room for.
const std::string& BusyResponse() {
  static const std::string response = [] {
    const std::string body = "{\"error\":\"too many connections; try again\"}";
    return "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\n"
           "Content-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
  }();
  return response;
}

void SendJson(httplib::Response& response, int status, const std::string& body) {
  response.status = status;
  response.set_content(body, "application/json");
}

}  // namespace

std::string ErrorBody(const std::string& message) {
  return nlohmann::json{{"error", message}}.dump(-1, ' ', false,
                                                 nlohmann::json::error_handler_t::replace);
}

struct HttpServer::Impl {
  // cpp-httplib's server, serving each connection with the caps above and
  // tracking it so that a stop can end it.
  class Server final : public httplib::Server {
   public:
    explicit Server(Impl& owner) : owner_(owner) {}
    // Closes the bound socket of a server that never listened.
    void CloseBound() {
      const socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
      if (sock != INVALID_SOCKET) {
        httplib::detail::shutdown_socket(sock);
        httplib::detail::close_socket(sock);
      }
    }

   private:
    bool process_and_close_socket(socket_t sock) override {
      bool served = false;
      if (refusingConnection) {
        const std::string& busy = BusyResponse();
        httplib::detail::send_socket(sock, busy.data(), busy.size(), CPPHTTPLIB_SEND_FLAGS);
      } else if (owner_.Track(sock)) {
        // cpp-httplib's own loop over a connection's requests, with the wait
        // between them cut into slices that look at the stop.
        std::size_t left = keep_alive_max_count_;
        while (left > 0 && owner_.NextRequest(sock)) {
          ConnectionStream stream(sock, owner_.limits, owner_.stopRequested);
          bool closed = false;
          refusedRequest = false;
          served = process_request(stream, left == 1, closed, nullptr);
          // A refused request's body was never read: nothing after it on
          // this connection can be parsed.
          if (refusedRequest) owner_.Linger(sock);
          if (!served || closed || refusedRequest) break;
          --left;
        }
        owner_.Untrack(sock);
      }
      httplib::detail::shutdown_socket(sock);
      httplib::detail::close_socket(sock);
      return served;
    }

    Impl& owner_;
  };

  // The queue cpp-httplib hands accepted connections to: each is served by
  // one worker until it closes; workers start as connections need them.
  class Queue final : public httplib::TaskQueue {
   public:
    explicit Queue(Impl& owner) : owner_(owner) {}
    void enqueue(std::function<void()> job) override { owner_.Enqueue(std::move(job)); }
    void shutdown() override { owner_.DrainWorkers(); }

   private:
    Impl& owner_;
  };

  struct Thread {
    Impl* owner = nullptr;
    platform::ThreadHandle handle = nullptr;
    platform::Event finished;  // set as the thread's last act
  };

  Impl(std::string t, HttpLimits l) : token(std::move(t)), limits(l) {
    // cpp-httplib's constructor ignores SIGPIPE for the whole process; the
    // host's own handling is put back (the server's writes never raise it).
    platform::SavedSignal saved = platform::SaveBrokenPipeSignal();
    server = std::make_unique<Server>(*this);
    platform::RestoreBrokenPipeSignal(saved);
    Configure();
  }

  void Configure();
  bool Track(socket_t sock);
  void Untrack(socket_t sock);
  // Waits in slices for a connection's next request: false when the
  // keep-alive time passes, the client closes or the server stops.
  bool NextRequest(socket_t sock) const;
  // After a refusal: ends the sending side and reads what the client still
  // sends (a body up to the cap, for a moment), so that closing the socket
  // with unread data does not reset the connection before the client has
  // read the answer.
  void Linger(socket_t sock) const;
  void Enqueue(std::function<void()> job);
  void DrainWorkers();
  bool StartWorkerLocked();
  void WorkLoop();
  void ErrorAnswer(const httplib::Request& request, httplib::Response& response);

  static void ListenMain(void* arg) {
    auto* thread = static_cast<Thread*>(arg);
    thread->owner->server->listen_after_bind();
    thread->finished.set();
  }
  static void WorkerMain(void* arg) {
    auto* thread = static_cast<Thread*>(arg);
    thread->owner->WorkLoop();
    thread->finished.set();
  }

  const std::string token;
  const HttpLimits limits;
  std::unique_ptr<Server> server;
  int port = 0;
  bool started = false;
  std::vector<std::pair<std::string, std::string>> routes;  // method, pattern

  std::atomic<bool> stopRequested{false};  // every connection's waits look at it

  std::mutex mutex_;
  std::condition_variable work_;  // workers wait here for a connection
  std::condition_variable left_;  // DrainWorkers waits here for the workers to leave
  std::deque<std::function<void()>> jobs_;
  std::size_t workers_ = 0;  // worker loops running
  std::size_t busy_ = 0;     // of them serving a connection
  bool stopping_ = false;
  std::set<socket_t> connections_;
  std::vector<std::unique_ptr<Thread>> threads_;  // every thread ever started, until Stop
};

void HttpServer::Impl::Configure() {
  server->new_task_queue = [this] { return new Queue(*this); };
  server->set_payload_max_length(limits.maxBody);
  server->set_read_timeout(limits.readTimeoutSeconds, 0);
  server->set_write_timeout(limits.readTimeoutSeconds, 0);
  server->set_keep_alive_timeout(limits.keepAliveSeconds);
  server->set_keep_alive_max_count(limits.keepAliveRequests);
  // The accepting thread looks up at least this often, so a stop is quick.
  server->set_idle_interval(0, 50000);
  server->set_tcp_nodelay(true);
  server->set_socket_options([](socket_t sock) {
    int yes = 1;
#ifdef SO_EXCLUSIVEADDRUSE
    // No other socket may bind the port while this one holds it.
    setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&yes), sizeof yes);
#else
    // A port left in TIME_WAIT may be bound again; one that listens may not
    // (cpp-httplib's default, SO_REUSEPORT, would let two plug-ins share it).
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<char*>(&yes), sizeof yes);
#endif
  });
  server->set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        const std::string host = request.get_header_value("Host");
        if (!HostAllowed(host, port)) {
          refusedRequest = true;
          SendJson(response, 403,
                   ErrorBody("this endpoint answers only requests for a loopback host (Host: '" +
                             host + "')"));
          return httplib::Server::HandlerResponse::Handled;
        }
        const std::string authorization = request.get_header_value("Authorization");
        const std::string scheme = "bearer ";
        const bool bearer = Lower(authorization.substr(0, scheme.size())) == scheme;
        if (!bearer || !SameToken(authorization.substr(scheme.size()), token)) {
          refusedRequest = true;
          response.set_header("WWW-Authenticate", "Bearer realm=\"orv-emu control\"");
          SendJson(response, 401,
                   ErrorBody(bearer ? "the token is not this endpoint's"
                                    : "a request needs the token of the connection file "
                                      "(Authorization: Bearer TOKEN)"));
          return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
      });
  server->set_error_handler(httplib::Server::HandlerWithResponse(
      [this](const httplib::Request& request, httplib::Response& response) {
        ErrorAnswer(request, response);
        return httplib::Server::HandlerResponse::Handled;
      }));
  server->set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        SendJson(response, 500, ErrorBody("the request failed inside the endpoint"));
      });
}

// Every refusal cpp-httplib makes itself answers in JSON too; a path that a
// route serves with other methods answers 405.
void HttpServer::Impl::ErrorAnswer(const httplib::Request& request, httplib::Response& response) {
  if (!response.body.empty()) return;
  // cpp-httplib's own refusals leave what the client sent unread.
  if (response.status != 404) refusedRequest = true;
  switch (response.status) {
    case 404: {
      std::string allowed;
      for (const auto& [method, pattern] : routes) {
        if (!std::regex_match(request.path, std::regex(pattern))) continue;
        allowed += (allowed.empty() ? "" : ", ") + method;
      }
      if (!allowed.empty()) {
        response.set_header("Allow", allowed);
        SendJson(response, 405, ErrorBody(request.method + " is not served on " + request.path));
      } else {
        SendJson(response, 404, ErrorBody("no route " + request.path));
      }
      return;
    }
    case 413:
      SendJson(response, 413,
               ErrorBody("the body exceeds " + std::to_string(limits.maxBody) + " bytes"));
      return;
    case 414:
      SendJson(response, 414, ErrorBody("the request line is too long"));
      return;
    default:
      SendJson(response, response.status,
               ErrorBody(std::string("the request cannot be served: ") +
                         httplib::detail::status_message(response.status)));
  }
}

bool HttpServer::Impl::NextRequest(socket_t sock) const {
  const Clock::time_point limit = Clock::now() + std::chrono::seconds(limits.keepAliveSeconds);
  while (!stopRequested.load() && Clock::now() < limit) {
    const ssize_t ready = httplib::detail::select_read(sock, 0, ConnectionStream::kSliceMicros);
    if (ready != 0) return ready > 0;
  }
  return false;
}

void HttpServer::Impl::Linger(socket_t sock) const {
  constexpr int kSendSide = 1;  // SHUT_WR and SD_SEND alike
  shutdown(sock, kSendSide);
  const Clock::time_point limit = Clock::now() + std::chrono::milliseconds(200);
  std::size_t left = limits.maxBody + 16 * 1024;
  char sink[4096];
  while (left > 0 && !stopRequested.load() && Clock::now() < limit) {
    const ssize_t ready = httplib::detail::select_read(sock, 0, ConnectionStream::kSliceMicros);
    if (ready < 0) return;
    if (ready == 0) continue;
    const ssize_t n = httplib::detail::read_socket(sock, sink, std::min(sizeof sink, left), 0);
    if (n <= 0) return;
    left -= static_cast<std::size_t>(n);
  }
}

bool HttpServer::Impl::Track(socket_t sock) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return false;
  connections_.insert(sock);
  return true;
}

void HttpServer::Impl::Untrack(socket_t sock) {
  // Before the socket is closed: a stop never touches a number that the
  // system may already have handed to someone else.
  std::lock_guard<std::mutex> lock(mutex_);
  connections_.erase(sock);
}

bool HttpServer::Impl::StartWorkerLocked() {
  auto thread = std::make_unique<Thread>();
  thread->owner = this;
  if (!thread->finished.valid()) return false;
  std::uint32_t id = 0;
  if (!platform::StartThread(&WorkerMain, thread.get(), &thread->handle, &id)) return false;
  ++workers_;
  threads_.push_back(std::move(thread));
  return true;
}

void HttpServer::Impl::Enqueue(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopping_) {
      const std::size_t idle = workers_ - busy_;
      if (jobs_.size() >= idle && workers_ < limits.workers) {
        try {
          StartWorkerLocked();
        } catch (const std::bad_alloc&) {
        }
      }
      if (workers_ > 0 && jobs_.size() < (workers_ - busy_) + limits.queued) {
        jobs_.push_back(std::move(job));
        work_.notify_one();
        return;
      }
    }
  }
  // No room: the connection is answered 503 and closed at once, here.
  refusingConnection = true;
  job();
  refusingConnection = false;
}

void HttpServer::Impl::WorkLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [&] { return !jobs_.empty() || stopping_; });
    if (jobs_.empty()) break;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    ++busy_;
    lock.unlock();
    try {
      job();
    } catch (...) {
    }
    job = nullptr;
    lock.lock();
    --busy_;
  }
  --workers_;
  left_.notify_all();
}

void HttpServer::Impl::DrainWorkers() {
  std::unique_lock<std::mutex> lock(mutex_);
  stopping_ = true;
  work_.notify_all();
  left_.wait(lock, [&] { return workers_ == 0; });
}

HttpServer::HttpServer(std::string token, HttpLimits limits)
    : impl_(std::make_unique<Impl>(std::move(token), limits)) {}

HttpServer::~HttpServer() { Stop(false); }

void HttpServer::Route(const std::string& method, const std::string& pattern,
                       ControlHandler handler) {
  auto serve = [handler = std::move(handler)](const httplib::Request& request,
                                              httplib::Response& response) {
    ControlRequest r;
    r.method = request.method;
    r.path = request.path;
    for (std::size_t i = 1; i < request.matches.size(); ++i)
      r.captures.push_back(request.matches[i]);
    for (const auto& [key, value] : request.params) r.params.emplace(key, value);
    r.body = request.body;
    const ControlReply reply = handler(r);
    SendJson(response, reply.status, reply.body);
  };
  if (method == "GET") impl_->server->Get(pattern, std::move(serve));
  if (method == "POST") impl_->server->Post(pattern, std::move(serve));
  if (method == "DELETE") impl_->server->Delete(pattern, std::move(serve));
  impl_->routes.emplace_back(method, pattern);
}

bool HttpServer::Bind(const std::string& address, int port) {
  if (port == 0) {
    impl_->port = impl_->server->bind_to_any_port(address);
    return impl_->port > 0;
  }
  impl_->port = port;
  return impl_->server->bind_to_port(address, port);
}

int HttpServer::port() const { return impl_->port; }

bool HttpServer::Start() {
  auto thread = std::make_unique<Impl::Thread>();
  thread->owner = impl_.get();
  std::uint32_t id = 0;
  if (!thread->finished.valid() ||
      !platform::StartThread(&Impl::ListenMain, thread.get(), &thread->handle, &id)) {
    return false;
  }
  Impl::Thread& listening = *thread;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    impl_->threads_.push_back(std::move(thread));
  }
  // A stop asked for before the server runs would not reach it.
  const auto limit = Clock::now() + std::chrono::seconds(5);
  while (!impl_->server->is_running() && Clock::now() < limit) {
    if (listening.finished.waitMs(1)) break;
  }
  impl_->started = true;
  return impl_->server->is_running();
}

void HttpServer::MakeStatics() {
  // A request with a range and a multipart body meets every table the
  // server side of cpp-httplib keeps.
  class Warming final : public httplib::Server {
   public:
    void Serve(httplib::Stream& stream) {
      bool closed = false;
      process_request(stream, true, closed, nullptr);
    }
  };
  static_cast<void>(BusyResponse());
  platform::SavedSignal saved = platform::SaveBrokenPipeSignal();
  Warming server;
  platform::RestoreBrokenPipeSignal(saved);
  const std::string body =
      "--b\r\nContent-Disposition: form-data; name=\"a\"\r\nContent-Type: text/plain\r\n\r\n"
      "x\r\n--b--\r\n";
  const std::string request =
      "POST / HTTP/1.1\r\nHost: localhost\r\nRange: bytes=0-1,2-3\r\n"
      "Content-Type: multipart/form-data; boundary=b\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body;
  httplib::detail::BufferStream stream;
  stream.write(request.data(), request.size());
  server.Serve(stream);
}

void HttpServer::Stop(bool unloading) {
  Impl& impl = *impl_;
  impl.stopRequested.store(true);
  {
    std::lock_guard<std::mutex> lock(impl.mutex_);
    impl.stopping_ = true;
    // A worker waiting to read or write returns within a slice; where the
    // system wakes a polling thread for it, at once.
    for (const socket_t sock : impl.connections_) httplib::detail::shutdown_socket(sock);
    impl.work_.notify_all();
  }
  if (impl.server->is_running()) {
    impl.server->stop();
  } else {
    impl.server->CloseBound();
  }
  // The accepting thread first: it ends after every worker has left, and
  // starts none after.
  std::vector<std::unique_ptr<Impl::Thread>> threads;
  {
    std::lock_guard<std::mutex> lock(impl.mutex_);
    threads.swap(impl.threads_);
  }
  for (auto& thread : threads) {
    if (!unloading) {
      platform::JoinThread(thread->handle);
    } else if (!platform::JoinThreadAtUnload(thread->handle, thread->finished, 100)) {
      // A thread not known to be done may still touch its record: it stays.
      static_cast<void>(thread.release());
    }
  }
}

}  // namespace orv
