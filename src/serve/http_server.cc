// cpp-httplib under the service: every method and path reaches
// Service::handle (so that a wrong method is a 405, not a 404), errors the
// library answers itself (a body too large, a malformed request) get the
// JSON error body, and the logger writes the access log and the metrics.
#include "serve/http_server.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <httplib.h>
#include <mutex>
#include <thread>

#include "episode_grouper/version.h"

namespace grouper::serve {
namespace {

using Clock = std::chrono::steady_clock;

// When the request this worker is on began (set before its body is read).
thread_local Clock::time_point request_start{};

std::string now_text() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const long micros = static_cast<long>(
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() % 1000000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, micros);
  return text;
}

void log_line(const std::string& text) {
  std::fprintf(stderr, "%s %s\n", now_text().c_str(), text.c_str());
}

// The method as a log shows it: an unknown one is not echoed.
std::string_view method_label(std::string_view method) {
  for (std::string_view m : {"GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "OPTIONS"}) {
    if (m == method) return m;
  }
  return "OTHER";
}

// The body of the request a connection worker is on.  It is kept between
// requests: a batch of 10,000 lines is some 3 MB, read in pieces of a few
// KB, and a reused buffer spares growing (copying) and faulting in megabytes
// for every batch.  A buffer grown past kKeptBody is let go before the next
// request.
thread_local std::string request_body;
constexpr size_t kKeptBody = size_t{8} << 20;

void answer(const httplib::Request& req, httplib::Response& res, Service& service, std::string_view body) {
  const std::string content_type = req.get_header_value("Content-Type");
  const std::string accept = req.get_header_value("Accept");
  const std::string authorization = req.get_header_value("Authorization");
  Request request;
  request.method = req.method;
  request.path = req.path;
  for (const auto& [name, value] : req.params) request.query.emplace_back(name, value);
  request.content_type = content_type;
  request.accept = accept;
  request.authorization = authorization;
  request.body = body;
  Response out = service.handle(request);
  res.status = out.status;
  for (const auto& [name, value] : out.headers) res.set_header(name, value);
  if (out.status == 200 && (request.path == "/v1/group" || request.path == "/v1/explain")) {
    res.set_header("X-Records", std::to_string(out.records));
  }
  res.body = std::move(out.body);
  res.set_header("Content-Type", out.content_type);
}

// Reads the body into the worker's buffer, then answers.  The library
// bounds a body sent with a Content-Length; one sent in chunks is bounded
// here: past --max-body it is read to its end and dropped, as the library
// does, so that the connection stays in step, and answered 413.  A form
// upload is read and dropped: no route takes one, and the service answers
// for its route with an empty body.
void answer_with_body(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader,
                      Service& service, size_t max_body) {
  std::string& body = request_body;
  if (body.capacity() > kKeptBody) std::string().swap(body);
  body.clear();
  bool too_large = false;
  bool read = false;
  if (req.is_multipart_form_data()) {
    read = reader([](const httplib::MultipartFormData&) { return true; }, [](const char*, size_t) { return true; });
  } else {
    const std::string announced = req.get_header_value("Content-Length");
    body.reserve(std::min<size_t>(std::strtoull(announced.c_str(), nullptr, 10), max_body));
    read = reader([&](const char* data, size_t length) {
      too_large = too_large || length > max_body - body.size();
      if (!too_large) body.append(data, length);
      return true;
    });
  }
  if (too_large) {
    res.status = 413;
  } else if (!read) {
    // The library has set 413 or 400 for what it found itself.
    if (res.status < 400) res.status = 400;
  } else {
    answer(req, res, service, body);  // empty for a form upload
  }
}

// The body of an error the HTTP library answered by itself.
void library_error(httplib::Response& res) {
  const int status = res.status;
  Response e = status == 413   ? error_response(413, "payload_too_large", "the body is larger than --max-body")
               : status == 414 ? error_response(414, "uri_too_long", "the request target is too long")
               : status == 404 ? error_response(404, "not_found", "no such route")
               : status >= 500 ? error_response(status, "internal", "the request failed inside the service")
                               : error_response(status, "bad_request", "the request is not well-formed HTTP");
  res.body = std::move(e.body);
  res.set_header("Content-Type", e.content_type);
  // A request the library could not read leaves the connection in an
  // unknown state: it is closed, not kept for another request.
  res.set_header("Connection", "close");
}

}  // namespace

int run_server(Service& service, const ServerOptions& options) {
  // The operator's signals are taken by one thread; every other thread,
  // the workers included, keeps them blocked.
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR2}) sigaddset(&signals, sig);
  sigset_t old_mask;
  pthread_sigmask(SIG_BLOCK, &signals, &old_mask);
  std::signal(SIGPIPE, SIG_IGN);
  service.set_log(log_line);

  httplib::Server server;
  // A worker holds its connection while the connection lives, mostly
  // waiting; the grouping itself is bounded by the service.
  const size_t workers = static_cast<size_t>(options.connections > 0 ? options.connections : 1);
  server.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
  server.set_payload_max_length(options.max_body);
  server.set_read_timeout(options.timeout_seconds, 0);
  server.set_write_timeout(options.timeout_seconds, 0);
  // Each open connection holds a worker while it lives: an idle one is let
  // go after 2 seconds, a busy one after 100 requests, so that connections
  // waiting for a worker get their turn.
  server.set_keep_alive_timeout(2);
  server.set_keep_alive_max_count(100);
  server.set_tcp_nodelay(true);
  // Every answer, errors of the HTTP library included, names the version.
  server.set_default_headers({{"X-Grouper-Version", episode_grouper::version()}});
  server.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
    request_start = Clock::now();
    return httplib::Server::HandlerResponse::Unhandled;
  });
  const httplib::Server::Handler handler = [&service](const httplib::Request& req, httplib::Response& res) {
    answer(req, res, service, req.body);
  };
  const size_t max_body = options.max_body;
  server.Post(".*", [&service, max_body](const httplib::Request& req, httplib::Response& res,
                                         const httplib::ContentReader& reader) {
    answer_with_body(req, res, reader, service, max_body);
  });
  server.Get(".*", handler).Put(".*", handler).Patch(".*", handler);
  server.Delete(".*", handler).Options(".*", handler);
  server.set_error_handler(httplib::Server::HandlerWithResponse(
      [](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        library_error(res);
        return httplib::Server::HandlerResponse::Handled;
      }));
  server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    res.status = 500;
    res.body.clear();
    library_error(res);
  });
  server.set_logger([&service](const httplib::Request& req, const httplib::Response& res) {
    const Route route = route_of(req.path);
    double seconds = 0;
    if (request_start != Clock::time_point{}) {
      seconds = std::chrono::duration<double>(Clock::now() - request_start).count();
      request_start = Clock::time_point{};
    }
    const std::string records_text = res.get_header_value("X-Records");
    const int64_t records = records_text.empty() ? 0 : std::atoll(records_text.c_str());
    service.metrics().count_request(route, res.status, seconds, records);
    std::fprintf(stderr, "%s %.*s %.*s %d records=%lld us=%lld\n", now_text().c_str(),
                 static_cast<int>(method_label(req.method).size()), method_label(req.method).data(),
                 static_cast<int>(route_label(route).size()), route_label(route).data(), res.status,
                 static_cast<long long>(records), static_cast<long long>(seconds * 1e6));
  });

  int port = options.port;
  if (port == 0) {
    port = server.bind_to_any_port(options.host);
    if (port < 0) port = 0;
  } else if (!server.bind_to_port(options.host, port)) {
    port = 0;
  }
  if (port == 0) {
    std::fprintf(stderr, "grouper serve: cannot listen on %s:%d\n", options.host.c_str(), options.port);
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    return 1;
  }
  const bool v6 = options.host.find(':') != std::string::npos;
  std::printf("listening on http://%s%s%s:%d\n", v6 ? "[" : "", options.host.c_str(), v6 ? "]" : "", port);
  std::fflush(stdout);

  std::mutex mutex;
  std::condition_variable finished_cv;
  bool finished = false;
  std::thread signal_thread([&] {
    for (;;) {
      int sig = 0;
      if (sigwait(&signals, &sig) != 0) continue;
      if (sig == SIGUSR2) {
        std::lock_guard<std::mutex> lock(mutex);
        if (finished) return;
        continue;
      }
      if (sig == SIGHUP) {
        log_line("SIGHUP: reloading every table set");
        service.reload();
        continue;
      }
      log_line(std::string(sig == SIGTERM ? "SIGTERM" : "SIGINT") +
               ": no new connections; waiting for the requests in flight");
      service.set_draining();
      server.stop();
      std::unique_lock<std::mutex> lock(mutex);
      if (!finished_cv.wait_for(lock, std::chrono::seconds(options.deadline_seconds), [&] { return finished; })) {
        log_line("requests still running after " + std::to_string(options.deadline_seconds) +
                 " s; ending with them unfinished");
        std::fflush(stderr);
        std::_Exit(1);
      }
      return;
    }
  });

  server.listen_after_bind();  // returns once stopped and every worker is done
  {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
  }
  finished_cv.notify_all();
  pthread_kill(signal_thread.native_handle(), SIGUSR2);
  signal_thread.join();
  log_line("stopped");
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  return 0;
}

}  // namespace grouper::serve
