// Finds the collectors of one audit store in the directory.
//
// Collectors publish service connection points (SCPs) under their computer
// objects. An SCP carries "Keywords" entries ("Version:Orvane.Meridia.Server.1",
// "ModuleGuid:<module>", "InstanceGuid:<audit store>", "ProtocolVersion:…",
// "SoftwareVersion:…", "Site:…") and "ServiceBindingInformation"
// "<port>:<principal>"; the computer object gives the host name
// ("DnsHostName", else a "HOST/" principal of "servicePrincipalName") and its
// group membership decides trust.
//
// The locator borrows the loader, which must outlive it; GetServers opens
// a directory session of its own per call and may run on any thread.
#pragma once
#include <string>
#include <vector>

#include "meridia/service_endpoint.h"
#include "ofw/capi/capi_loader.h"
#include "ofw/guid.h"
#include "ofw/logging/logger.h"

namespace meridia {

class ServiceLocator {
 public:
  static constexpr const char* VERSION_KEYWORD_VALUE = "Orvane.Meridia.Server.1";

  explicit ServiceLocator(const ofw::CapiDynamicLoader& loader,
                          const ofw::LoggerPtr& logger = ofw::getLogger("meridia.service_locator"));

  // Replaces out with one endpoint per usable SCP of the module and audit
  // store, in the directory's order; trust is decided against the
  // trusted-server groups (GUID texts; none = every server is trusted).
  // An SCP that cannot be read is logged at WARN and skipped. Throws
  // ofw::CapiException (directory status as code) when the directory cannot
  // be reached or searched, or holds no matching SCP.
  void GetServers(const ofw::Guid& moduleGuid, const std::string& instanceGuid,
                  const std::vector<std::string>& trustedServers, std::vector<ServiceEndpointPtr>& out);

 private:
  ServiceEndpointPtr readScp(OPW_SESSION session, OPW_OBJECT scp, const std::string& dn,
                             const std::vector<std::string>& trustedServers);
  bool isTrusted(OPW_SESSION session, OPW_OBJECT computer, const std::string& computerDn,
                 const std::vector<std::string>& trustedServers);
  std::string hostName(OPW_SESSION session, OPW_OBJECT computer, const std::string& computerDn);

  const ofw::CapiDynamicLoader& loader_;
  ofw::LoggerPtr logger_;
};

// Splits "<port>:<principal>" at the first ':'; the port is decimal 1-65535,
// the principal not empty. Throws ofw::SystemException "Malformed
// <port>:<principal> '<text>'".
void parseServiceBinding(const std::string& text, int32_t& port, std::string& principal);

}  // namespace meridia
