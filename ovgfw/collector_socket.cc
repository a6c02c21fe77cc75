#include "ovgfw/collector_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ovgfw/ovg_exception.h"

namespace ovgfw {

namespace {

[[noreturn]] void fail(ConnectFailure& failure, std::string message, std::string recordText) {
  failure.message = std::move(message);
  failure.recordText = std::move(recordText);
  throw OVGException(failure.message, 0, __FILE__, __LINE__);
}

// The first IPv4 address of `host`.
sockaddr_in resolve(const std::string& host, int port, ConnectFailure& failure) {
  addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr)
    fail(failure, "Unknown host: " + host + ".", std::string());
  sockaddr_in address;
  std::memcpy(&address, list->ai_addr, sizeof address);
  freeaddrinfo(list);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

}  // namespace

ofw::UniqueFd connectCollectorSocket(const std::string& host, int port, const std::string& target,
                                     int timeoutMs, const ofw::LoggerPtr& log, ConnectFailure& failure) {
  const sockaddr_in address = resolve(host, port, failure);
  ofw::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) {
    const int err = errno;
    fail(failure,
         ofw::withErrno(ofw::format("Unable to create socket while connecting to: %s from scp/ssl: %s.",
                                    host.c_str(), target.c_str()),
                        err),
         std::string());
  }
  const int rc = connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int err = rc == 0 ? 0 : errno;
  OFW_DEBUG(log, "connect returned: %d, errno: %d (%s)", rc, err, ofw::errnoText(err).c_str());
  if (rc == 0) return fd;
  if (err != EINPROGRESS) fail(failure, ofw::withErrno("Unable to connect", err), ofw::errnoText(err));

  OFW_DEBUG(log, "connection in progress...");
  pollfd p = {fd.get(), POLLOUT, 0};
  int n;
  do {
    n = poll(&p, 1, timeoutMs);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    const int perr = errno;
    fail(failure,
         ofw::format("Error in polling for connection readiness.  Return error: %d (%s).  Server: %s with SSL "
                     "endpoint %s",
                     perr, ofw::errnoText(perr).c_str(), host.c_str(), target.c_str()),
         "]Error in polling for connection readiness");
  }
  if (n == 0)
    fail(failure,
         ofw::format("Timed out while connecting to server: %s with SSL endpoint: %s", host.c_str(),
                     target.c_str()),
         "Timed out attempting to connect to collector");
  // A refused connect shows as an error or hang-up event; the socket's own
  // error tells which (refused, unreachable) in the record.
  int soError = 0;
  socklen_t len = sizeof soError;
  getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soError, &len);
  if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) || soError != 0)
    fail(failure,
         ofw::format("Error in polling for connection readiness.  Returned event: 0x%x.  Server: %s with SSL "
                     "endpoint %s",
                     static_cast<unsigned>(p.revents), host.c_str(), target.c_str()),
         "Error in polling for connection readiness");
  OFW_DEBUG(log, "connection is ready.");
  return fd;
}

}  // namespace ovgfw
