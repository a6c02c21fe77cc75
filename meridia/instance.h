// One audit store (instance) of an installation: its name and GUID, the
// sites and subnets of its scope, the groups it trusts and its affinities.
//
// Built from one value of the installation object's "ServiceBindingInformation"
// attribute, a crammed list of keyword entries (meridia/keywords.h):
//   InstanceName, InstanceGuid, BindingInfo, NonActiveBindingInfo, BindingType,
//   AgentSiteAffinity, SystemTypeAffinity    once each
//   SiteName, Subnet, TrustedAgents, TrustedServers    repeatable
// Keyword names compare ignoring case; other names are logged and ignored.
// A value parses when its entries are well formed, no single keyword repeats,
// every GUID is in the 8-4-4-4-12 form and every subnet is "a.b.c.d/bits"
// with 1-32 bits. Only a value whose BindingType is "1" is an instance; it
// must also name the store and give its GUID.
//
// An Instance is a plain value: copyable, immutable after parsing.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "ofw/logging/logger.h"

namespace meridia {

class Instance {
 public:
  struct Subnet {
    uint32_t network = 0;  // host order, host bits cleared
    int bits = 0;          // 1..32
    std::string text;      // as written in the binding value
  };

  // Parses one binding value; throws ofw::BadDataException with the reason.
  // Does not check the binding type or the mandatory keywords (see isServiceInstance
  // and CreateInstances).
  static Instance Parse(const std::string& value,
                        const ofw::LoggerPtr& logger = ofw::getLogger("meridia.installation_info"));

  // Appends one Instance per value that parses, is a service instance
  // (binding type "1") and has a name and a GUID; every other value is logged
  // and skipped.
  static void CreateInstances(const std::vector<std::string>& values, std::vector<Instance>& out,
                              const ofw::LoggerPtr& logger = ofw::getLogger("meridia.installation_info"));

  // The prefix length of the first subnet, in stored order, that contains the
  // IPv4 address (host order); 0 when none does.
  int Contains(uint32_t address) const;
  // One of the site names equals, ignoring case, site@forest (or the bare
  // site when forest is empty).
  bool Contains(const std::string& site, const std::string& forest) const;
  // SystemTypeAffinity is empty, "0" (all systems) or "2" (UNIX).
  bool ContainsUnixAffinity() const;
  bool isServiceInstance() const { return bindingType_ == "1"; }

  // "Instance name=… guid=… bindingInfo=… bindingType=… sites=… subnets=…
  // trustedAgents=… trustedServers=… agentSiteAffinity=true|false
  // systemTypeAffinity=…", list values joined by ", ".
  std::string ToString() const;

  const std::string& name() const { return name_; }
  // The GUID as the binding value spells it; collectors publish the same
  // text as their "InstanceGuid" keyword.
  const std::string& guid() const { return guid_; }
  const std::string& bindingInfo() const { return bindingInfo_; }
  const std::string& nonActiveBindingInfo() const { return nonActiveBindingInfo_; }
  const std::string& bindingType() const { return bindingType_; }
  const std::vector<std::string>& sites() const { return sites_; }
  const std::vector<Subnet>& subnets() const { return subnets_; }
  const std::vector<std::string>& trustedAgents() const { return trustedAgents_; }
  const std::vector<std::string>& trustedServers() const { return trustedServers_; }
  bool agentSiteAffinity() const { return agentSiteAffinity_; }
  const std::string& systemTypeAffinity() const { return systemTypeAffinity_; }

 private:
  std::string name_;
  std::string guid_;
  std::string bindingInfo_;
  std::string nonActiveBindingInfo_;
  std::string bindingType_;
  std::vector<std::string> sites_;
  std::vector<Subnet> subnets_;
  std::vector<std::string> trustedAgents_;
  std::vector<std::string> trustedServers_;
  bool agentSiteAffinity_ = false;
  std::string systemTypeAffinity_;
};

}  // namespace meridia
