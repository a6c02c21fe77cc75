#include "meridia/installation_info.h"

#include <strings.h>

#include <tuple>

#include "meridia/directory_calls.h"
#include "meridia/keywords.h"
#include "ofw/capi/dirsettings.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"

namespace meridia {

namespace {

const char* const kAttributes[] = {"keywords", "ServiceBindingInformation", nullptr};

std::string joinAddresses(const std::vector<uint32_t>& addresses) {
  std::string out;
  for (uint32_t a : addresses) {
    if (!out.empty()) out += ", ";
    out += formatIPv4(a);
  }
  return out;
}

}  // namespace

HostScope HostScope::Read(const ofw::Properties& properties, const std::string& settingsPrefix,
                          const AddressProbe& probe, const ofw::LoggerPtr& logger) {
  HostScope h;
  h.preferredStore = properties.getProperty("preferred.audit.store", "");
  OFW_DEBUG(logger, "preferred.audit.store: %s", h.preferredStore.c_str());
  ofw::getDirectorySetting("site", h.site, settingsPrefix);
  ofw::getDirectorySetting("domain", h.domain, settingsPrefix);
  ofw::getDirectorySetting("forest", h.forest, settingsPrefix);
  if (h.site.empty())
    OFW_WARN(logger, "This machine does not belong to any configured site.  Please check your site "
                     "configuration in Active Directory Sites and Services");
  if (h.domain.empty())
    OFW_WARN(logger, "This machine does not join to any domain. Please make sure you have joined domain.");
  if (h.forest.empty())
    OFW_WARN(logger, "This machine does not belong to any forest. Please make sure you have joined domain.");
  if (probe) h.addresses = probe();
  return h;
}

InstallationInfo::InstallationInfo(const ofw::CapiDynamicLoader& loader, const ofw::LoggerPtr& logger)
    : loader_(loader), logger_(logger) {}

void InstallationInfo::Load() {
  ofw::CapiSession session(loader_);
  openDirectorySession(loader_, session);
  if (!guid_.isNull())
    LoadFromGuid(session.get());
  else if (!id_.empty())
    LoadFromInstallationId(session.get());
  else
    LoadFromInstallationName(session.get());
}

void InstallationInfo::LoadFromGuid(OPW_SESSION session) {
  OFW_DEBUG(logger_, "Determining installation based on guid");
  ofw::CapiObject object(loader_);
  int rc = fetchDirectoryObject(loader_, session, "<GUID=" + guid_.toSwappedString() + ">", kAttributes, object);
  if (rc != OPW_OK)
    OFW_THROW_CODE(ofw::CapiException,
                   ofw::format("Unable to find installation SCP with GUID %s", guid_.toMSString().c_str()), rc);
  Load(session, object.get());
}

void InstallationInfo::LoadFromInstallationId(OPW_SESSION session) {
  OFW_DEBUG(logger_, "Finding installation based on installation id '%s'", id_.c_str());
  loadByKeyword(session, "InstallationId", id_);
}

void InstallationInfo::LoadFromInstallationName(OPW_SESSION session) {
  OFW_DEBUG(logger_, "Finding installation based on installation name '%s'", name_.c_str());
  loadByKeyword(session, "InstallationName", name_);
}

void InstallationInfo::loadByKeyword(OPW_SESSION session, const char* keyword, const std::string& value) {
  const std::string filter = ofw::format("(&(%s=%s)(%s=%s))", "keywords",
                                         keywordFilterValue("Version", VERSION_KEYWORD_VALUE).c_str(),
                                         "keywords", keywordFilterValue(keyword, value).c_str());
  ofw::CapiSearch search(loader_);
  int rc = openDirectorySearch(loader_, session, filter, kAttributes, search);
  if (rc != OPW_OK)
    OFW_THROW_CODE(ofw::CapiException, "Unable to search for the installation: " + loader_.codeText(rc), rc);
  ofw::CapiObject object(loader_);
  rc = loader_.opwLdapSearchNext(search.get(), object.out());
  if (rc == OPW_ERR_NO_MORE_RESULTS)
    OFW_THROW_CODE(ofw::CapiException, ofw::format("No installation has %s '%s'", keyword, value.c_str()),
                   OPW_ERR_NOT_FOUND);
  if (rc != OPW_OK)
    OFW_THROW_CODE(ofw::CapiException, "Unable to search for the installation: " + loader_.codeText(rc), rc);
  Load(session, object.get());
  OFW_DEBUG(logger_, "Found installation based on matching %s of '%s'", keyword, value.c_str());
}

void InstallationInfo::Load(OPW_SESSION session, OPW_OBJECT object) {
  std::string dn;
  if (loader_.getAttributeString(session, object, "_dn", dn) != OPW_OK)
    OFW_THROW(ofw::SystemException, "Unable to get distinguished name");
  std::vector<std::string> entries;
  if (loader_.getAttributeStringList(session, object, "keywords", entries) != OPW_OK)
    OFW_THROW(ofw::SystemException, ofw::format("Unable to get keywords attribute for %s", dn.c_str()));
  std::vector<Keyword> keywords;
  for (const std::string& e : entries) {
    Keyword k;
    if (parseKeyword(e, k)) keywords.push_back(k);
  }
  std::string version, id, name;
  if (!findKeyword(keywords, "Version", version) || version != VERSION_KEYWORD_VALUE)
    OFW_THROW(ofw::SystemException,
              ofw::format("Object %s doesn't have the expected version %s", dn.c_str(), VERSION_KEYWORD_VALUE));
  for (auto& wanted : {std::make_pair("InstallationId", &id), std::make_pair("InstallationName", &name)})
    if (!findKeyword(keywords, wanted.first, *wanted.second))
      OFW_THROW(ofw::SystemException, ofw::format("Object %s is missing %s keyword", dn.c_str(), wanted.first));
  std::vector<std::string> bindings;
  int rc = loader_.getAttributeStringList(session, object, "ServiceBindingInformation", bindings);
  // An installation without audit stores yet is not malformed: it has no instance.
  if (rc != OPW_OK && rc != OPW_ERR_NO_ATTRIBUTE)
    OFW_THROW(ofw::SystemException,
              ofw::format("Unable to get ServiceBindingInformation attribute for %s", dn.c_str()));
  std::vector<Instance> instances;
  Instance::CreateInstances(bindings, instances, logger_);
  dn_ = dn;
  id_ = id;
  name_ = name;
  instances_.swap(instances);
}

std::optional<Instance> ChooseInstance(const std::vector<Instance>& instances, const HostScope& host,
                                       const ofw::LoggerPtr& logger) {
  OFW_DEBUG(logger, "Looking for an instance matching our site '%s' or IP address(es) %s", host.site.c_str(),
           joinAddresses(host.addresses).c_str());
  // The preferred store wins over every subnet, so it is looked for first;
  // this also finds it on a host whose addresses cannot be probed.
  if (!host.preferredStore.empty()) {
    for (const Instance& in : instances) {
      if (in.ContainsUnixAffinity() && in.name() == host.preferredStore) {
        OFW_DEBUG(logger, "Using instance %s base on the setting of \"preferred.audit.store\"", in.name().c_str());
        return in;
      }
    }
  }
  const Instance* best = nullptr;
  int bestBits = 0;
  for (uint32_t address : host.addresses) {
    for (const Instance& in : instances) {
      if (!in.ContainsUnixAffinity()) continue;
      int bits = in.Contains(address);
      if (bits <= 0) continue;
      OFW_DEBUG(logger, "Instance %s contains %s with %d mask bits", in.name().c_str(),
                formatIPv4(address).c_str(), bits);
      if (bits > bestBits) {
        best = &in;
        bestBits = bits;
      }
    }
  }
  if (best) return *best;
  OFW_DEBUG(logger, "No explicit subnet match found for this computer");
  if (host.site.empty()) return std::nullopt;
  const Instance* bySite = nullptr;
  for (const Instance& in : instances) {
    if (!in.ContainsUnixAffinity()) continue;
    if (in.Contains(host.site, host.forest)) {
      OFW_DEBUG(logger, "Using instance '%s' based on matching site name of '%s@%s'", in.name().c_str(),
               host.site.c_str(), host.forest.c_str());
      return in;
    }
    if (!bySite && in.Contains(host.site, "")) {
      OFW_DEBUG(logger, "Instance '%s' looks good on matching site name of '%s', use it if no better one",
                in.name().c_str(), host.site.c_str());
      bySite = &in;
    }
  }
  if (bySite) return *bySite;
  return std::nullopt;
}

std::string InstallationInfo::SettingsPrefix(const std::string& settingsDir) {
  if (!settingsDir.empty() && settingsDir.back() == '/') return settingsDir;
  return settingsDir + "/";
}

std::string InstallationInfo::GetCurrentInstallationId(const ofw::CapiDynamicLoader& loader,
                                                       const std::string& settingsDir,
                                                       const ofw::LoggerPtr& logger) {
  const std::string prefix = SettingsPrefix(settingsDir);
  std::string id;
  ofw::getDirectorySetting(ID_SETTING, id, prefix);
  if (!id.empty()) return id;
  InstallationInfo info(loader, logger);
  info.setName(DEFAULT_INSTALLATION);
  try {
    info.Load();
  } catch (const ofw::Base_Exception& e) {
    OFW_DEBUG(logger, "No installation id configured and no installation '%s': %s", DEFAULT_INSTALLATION,
              e.what());
    return std::string();
  }
  try {
    ofw::setDirectorySetting(ID_SETTING, info.id(), prefix);
    ofw::setDirectorySetting(NAME_SETTING, DEFAULT_INSTALLATION, prefix);
  } catch (const ofw::Base_Exception& e) {
    OFW_WARN(logger, "Unable to store the installation settings in %s: %s", settingsDir.c_str(), e.what());
  }
  return info.id();
}

bool InstallationInfo::lessThan(const InstallationInfo& other) const {
  return std::tie(guid_, id_, name_) < std::tie(other.guid_, other.id_, other.name_);
}

bool InstallationInfo::equivalent(const InstallationInfo& other) const {
  return !lessThan(other) && !other.lessThan(*this);
}

}  // namespace meridia
