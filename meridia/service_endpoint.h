// One collector found in the directory: where it listens, its Kerberos
// principal, whether its computer passed the audit store's trust test, and
// what its service connection point says of it. A plain value; lists of
// endpoints (and the SCP cache) share them read-only through ServiceEndpointPtr.
#pragma once
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

namespace meridia {

struct ServiceEndpoint {
  std::string hostname;
  int32_t port = 0;
  std::string servicePrincipalName;
  bool trusted = false;
  std::string protocolVersion;
  std::string softwareVersion;
  std::string site;

  // "(hostname='…', port=…, servicePrincipalName='…', trusted=true|false,
  // protocolVersion='…', softwareVersion='…', site='…')"
  std::string toString() const;
};

typedef boost::shared_ptr<const ServiceEndpoint> ServiceEndpointPtr;

}  // namespace meridia
