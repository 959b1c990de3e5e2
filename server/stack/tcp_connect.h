#pragma once
// A TCP connection to HOST:PORT for a network serial port: every address of the name tried in
// turn, each by a non-blocking connect and poll, the whole bounded by a time-out and ended early
// when `wakeFd` becomes readable. The socket comes back non-blocking, close-on-exec, with
// TCP_NODELAY, keep-alive probes and a user time-out, so that a server that vanishes from the
// network ends the connection within seconds.
//
// Pure function; any thread. Blocks at most `timeout` (name resolution by getaddrinfo aside:
// numeric addresses need none).

#include <chrono>
#include <string>

namespace tavra::stack {

struct TcpConnectResult {
  int fd = -1;               // the connected socket, -1 on failure
  int error = 0;             // errno of the failure (ETIMEDOUT, ECONNREFUSED, EHOSTUNREACH, ...)
  bool interrupted = false;  // wakeFd fired
  bool unresolved = false;   // the name has no address
};

[[nodiscard]] TcpConnectResult ConnectTcp(const std::string& host,
                                          int port,
                                          std::chrono::milliseconds timeout,
                                          int wakeFd);

}  // namespace tavra::stack
