#include "server/stack/tcp_connect.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>

namespace tavra::stack {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kKeepIdleSeconds = 5;
constexpr int kKeepIntervalSeconds = 2;
constexpr int kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = 10000;

void SetOptions(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleSeconds, sizeof kKeepIdleSeconds);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalSeconds, sizeof kKeepIntervalSeconds);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
}

// One address: the connected socket, or -1 with result.error / result.interrupted set.
int ConnectOne(const addrinfo& address,
               Clock::time_point deadline,
               int wakeFd,
               TcpConnectResult& result) {
  const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          address.ai_protocol);
  if (fd < 0) {
    result.error = errno;
    return -1;
  }
  if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) {
    return fd;
  }
  if (errno != EINPROGRESS) {
    result.error = errno;
    ::close(fd);
    return -1;
  }
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      result.error = ETIMEDOUT;
      ::close(fd);
      return -1;
    }
    std::array<pollfd, 2> fds{{{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}}};
    const int rc = ::poll(fds.data(), wakeFd >= 0 ? 2 : 1, static_cast<int>(left.count()));
    if (rc < 0 && errno == EINTR) {
      continue;
    }
    if (rc > 0 && (fds[1].revents & POLLIN) != 0) {
      result.interrupted = true;
      ::close(fd);
      return -1;
    }
    if (rc > 0 && fds[0].revents != 0) {
      int error = 0;
      socklen_t length = sizeof error;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
      }
      if (error == 0) {
        return fd;
      }
      result.error = error;
      ::close(fd);
      return -1;
    }
    if (rc < 0) {
      result.error = errno;
      ::close(fd);
      return -1;
    }
  }
}

}  // namespace

TcpConnectResult ConnectTcp(const std::string& host,
                            int port,
                            std::chrono::milliseconds timeout,
                            int wakeFd) {
  TcpConnectResult result;
  const auto deadline = Clock::now() + timeout;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    result.unresolved = true;
    result.error = EHOSTUNREACH;
    return result;
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    const int fd = ConnectOne(*address, deadline, wakeFd, result);
    if (fd >= 0) {
      SetOptions(fd);
      result.fd = fd;
      result.error = 0;
      return result;
    }
    if (result.interrupted || result.error == ETIMEDOUT) {
      break;
    }
  }
  return result;
}

}  // namespace tavra::stack
