// The service on a socket: cpp-httplib with a fixed pool of workers, the
// access log, read and write timeouts, and the signals of an operator.
//
// run_server() binds, prints "listening on http://HOST:PORT" on standard
// output once it listens, and serves until SIGTERM or SIGINT: then it stops
// accepting, says so in /readyz, lets the requests in flight finish within
// the deadline and returns.  How many requests group at once is the
// Service's own limit.  SIGHUP reloads every table set.  One access log
// line per request goes to standard error.
#pragma once

#include <string>

#include "serve/service.h"

namespace grouper::serve {

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 8080;  // 0: any free port
  int connections = 64;  // connections served at once, each by its own worker
  size_t max_body = size_t{64} << 20;
  int timeout_seconds = 10;   // read and write, per request
  int deadline_seconds = 10;  // for the requests in flight at a stop
};

// Returns 0 after a stop by signal, 1 when the address cannot be bound or
// the requests in flight outlast the deadline (the process then ends with 1
// at once).
int run_server(Service& service, const ServerOptions& options);

}  // namespace grouper::serve
