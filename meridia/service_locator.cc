#include "meridia/service_locator.h"

#include <strings.h>

#include "meridia/directory_calls.h"
#include "meridia/keywords.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"

namespace meridia {

namespace {

const char* const kScpAttributes[] = {"Keywords", "ServiceBindingInformation", nullptr};
const char* const kComputerAttributes[] = {"servicePrincipalName", "DnsHostName", nullptr};

}  // namespace

void parseServiceBinding(const std::string& text, int32_t& port, std::string& principal) {
  size_t colon = text.find(':');
  const std::string portText = text.substr(0, colon);
  bool ok = colon != std::string::npos && colon + 1 < text.size() && !portText.empty() &&
            portText.size() <= 5 && portText.find_first_not_of("0123456789") == std::string::npos;
  long value = ok ? std::stol(portText) : 0;
  if (!ok || value < 1 || value > 65535)
    OFW_THROW(ofw::SystemException, "Malformed <port>:<principal> '" + text + "'");
  port = static_cast<int32_t>(value);
  principal = text.substr(colon + 1);
}

ServiceLocator::ServiceLocator(const ofw::CapiDynamicLoader& loader, const ofw::LoggerPtr& logger)
    : loader_(loader), logger_(logger) {}

void ServiceLocator::GetServers(const ofw::Guid& moduleGuid, const std::string& instanceGuid,
                                const std::vector<std::string>& trustedServers,
                                std::vector<ServiceEndpointPtr>& out) {
  out.clear();
  ofw::CapiSession session(loader_);
  openDirectorySession(loader_, session);
  const std::string filter =
      ofw::format("(&(%s=%s)(%s=%s)(%s=%s))", "Keywords", keywordFilterValue("Version", VERSION_KEYWORD_VALUE).c_str(),
                  "Keywords", keywordFilterValue("ModuleGuid", moduleGuid.toMSString()).c_str(), "Keywords",
                  keywordFilterValue("InstanceGuid", instanceGuid).c_str());
  ofw::CapiSearch search(loader_);
  int rc = openDirectorySearch(loader_, session.get(), filter, kScpAttributes, search);
  if (rc != OPW_OK)
    OFW_THROW_CODE(ofw::CapiException,
                   "Unable to search for service information in Active Directory: " + loader_.codeText(rc), rc);
  for (bool first = true;; first = false) {
    ofw::CapiObject scp(loader_);
    rc = loader_.opwLdapSearchNext(search.get(), scp.out());
    if (rc == OPW_ERR_NO_MORE_RESULTS && first)
      OFW_THROW_CODE(ofw::CapiException, "Unable to find any service information in Active Directory", rc);
    if (rc == OPW_ERR_NO_MORE_RESULTS) break;
    if (rc != OPW_OK)
      OFW_THROW_CODE(ofw::CapiException,
                     "Unable to get next service information from Active Directory: " + loader_.codeText(rc), rc);
    std::string dn;
    rc = loader_.getAttributeString(session.get(), scp.get(), "_dn", dn);
    if (rc != OPW_OK)
      OFW_THROW_CODE(ofw::CapiException, "Unable to get distinguished name of service SCP", rc);
    OFW_DEBUG(logger_, "Found service SCP %s", dn.c_str());
    try {
      ServiceEndpointPtr endpoint = readScp(session.get(), scp.get(), dn, trustedServers);
      OFW_DEBUG(logger_, "Found service %s", endpoint->toString().c_str());
      out.push_back(endpoint);
    } catch (const ofw::Base_Exception& e) {
      OFW_WARN(logger_, "Skipping SCP %s: %s", dn.c_str(), e.what());
    }
  }
}

ServiceEndpointPtr ServiceLocator::readScp(OPW_SESSION session, OPW_OBJECT scp, const std::string& dn,
                                           const std::vector<std::string>& trustedServers) {
  size_t comma = dn.find(',');
  if (comma == std::string::npos)
    OFW_THROW(ofw::SystemException, "Badly formatted distinguished name: '" + dn + "'");
  const std::string computerDn = dn.substr(comma + 1);
  std::string domain;
  int rc = loader_.domainFromDN(computerDn, domain);
  if (rc != OPW_OK)
    OFW_THROW_CODE(ofw::CapiException, "Unable to determine the domain for computer object " + computerDn, rc);
  ofw::CapiObject computer(loader_);
  rc = loader_.opwLdapFetch(session, domain.c_str(), computerDn.c_str(), kComputerAttributes, computer.out());
  if (rc != OPW_OK) OFW_THROW_CODE(ofw::CapiException, "Unable to fetch computer object " + computerDn, rc);

  boost::shared_ptr<ServiceEndpoint> endpoint(new ServiceEndpoint);
  endpoint->trusted = isTrusted(session, computer.get(), computerDn, trustedServers);
  endpoint->hostname = hostName(session, computer.get(), computerDn);

  std::vector<std::string> entries;
  if (loader_.getAttributeStringList(session, scp, "Keywords", entries) != OPW_OK)
    OFW_THROW(ofw::SystemException, "Unable to get the keyword information from SCP " + dn);
  std::vector<Keyword> keywords;
  for (const std::string& e : entries) {
    Keyword k;
    if (parseKeyword(e, k)) keywords.push_back(k);
  }
  findKeyword(keywords, "ProtocolVersion", endpoint->protocolVersion);
  findKeyword(keywords, "SoftwareVersion", endpoint->softwareVersion);
  findKeyword(keywords, "Site", endpoint->site);

  std::vector<std::string> bindings;
  if (loader_.getAttributeStringList(session, scp, "ServiceBindingInformation", bindings) != OPW_OK ||
      bindings.empty())
    OFW_THROW(ofw::SystemException, "Unable to get the service binding information from SCP " + dn);
  parseServiceBinding(bindings.front(), endpoint->port, endpoint->servicePrincipalName);
  return endpoint;
}

bool ServiceLocator::isTrusted(OPW_SESSION session, OPW_OBJECT computer, const std::string& computerDn,
                               const std::vector<std::string>& trustedServers) {
  if (trustedServers.empty()) {
    OFW_DEBUG(logger_, "Server %s is trusted because the agent has been configured to trust all servers",
              computerDn.c_str());
    return true;
  }
  bool trusted = false;
  for (const std::string& group : trustedServers) {
    int member = 0;
    int rc = loader_.opwValidateUserGroup(session, computer, group.c_str(), &member);
    if (rc == OPW_ERR_NOT_FOUND) {
      OFW_WARN(logger_, "Trusted Server of GUID %s not found", group.c_str());
      continue;
    }
    if (rc != OPW_OK)
      OFW_THROW_CODE(ofw::CapiException,
                     "Unable to check the membership of " + computerDn + " in " + group + ": " + loader_.codeText(rc),
                     rc);
    if (member) {
      trusted = true;
      break;
    }
  }
  OFW_DEBUG(logger_, "Server %s is%s trusted", computerDn.c_str(), trusted ? "" : " not");
  return trusted;
}

std::string ServiceLocator::hostName(OPW_SESSION session, OPW_OBJECT computer, const std::string& computerDn) {
  std::string name;
  if (loader_.getAttributeString(session, computer, "DnsHostName", name) == OPW_OK && !name.empty()) return name;
  OFW_DEBUG(logger_,
            "Try to get DNS hostname from the attribute 'servicePrincipalName' because the attribute "
            "'dNSHostName' of computer (%s) is not set.",
            computerDn.c_str());
  std::vector<std::string> principals;
  loader_.getAttributeStringList(session, computer, "servicePrincipalName", principals);
  // A fully qualified name (one with a '.') is preferred over a short one.
  std::string shortName;
  for (const std::string& p : principals) {
    if (p.size() <= 5 || strncasecmp(p.c_str(), "HOST/", 5) != 0) continue;
    const std::string rest = p.substr(5);
    if (rest.find('.') != std::string::npos) return rest;
    if (shortName.empty()) shortName = rest;
  }
  if (!shortName.empty()) return shortName;
  OFW_THROW(ofw::SystemException, "Unable to get DNS hostname for computer: '" + computerDn + "'");
}

}  // namespace meridia
