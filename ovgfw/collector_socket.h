// The TCP part of connecting to a collector: name resolution (getaddrinfo,
// first IPv4 address), a non-blocking connect and a poll for its completion.
#pragma once
#include <string>

#include "ofw/logging/logger.h"
#include "ofw/unique_fd.h"

namespace ovgfw {

// Why a TCP connect failed: the exception text, and the shorter text the
// collector's record keeps (empty when the record is not stamped, e.g. an
// unknown host).
struct ConnectFailure {
  std::string message;
  std::string recordText;
};

// Returns the connected, non-blocking socket (close-on-exec). On failure no
// descriptor stays open and `failure` is filled before OVGException
// (message as in failure.message) is thrown. `target` names the collector in
// the texts; timeoutMs bounds the wait for the connect.
ofw::UniqueFd connectCollectorSocket(const std::string& host, int port, const std::string& target,
                                     int timeoutMs, const ofw::LoggerPtr& log, ConnectFailure& failure);

}  // namespace ovgfw
