#include "meridia/service_endpoint.h"

#include "ofw/format.h"

namespace meridia {

std::string ServiceEndpoint::toString() const {
  return ofw::format(
      "(hostname='%s', port=%d, servicePrincipalName='%s', trusted=%s, protocolVersion='%s', "
      "softwareVersion='%s', site='%s')",
      hostname.c_str(), port, servicePrincipalName.c_str(), trusted ? "true" : "false",
      protocolVersion.c_str(), softwareVersion.c_str(), site.c_str());
}

}  // namespace meridia
