#include "ovgfw/scp.h"

#include <chrono>
#include <memory>
#include <optional>
#include <random>

#include "meridia/installation_info.h"
#include "meridia/service_locator.h"
#include "ofw/capi/dirsettings.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"

namespace ovgfw {

namespace {

const char* const kNotConfigured =
    "The Vigilog installation is not configured.  Use vgcontrol to configure the installation.";
const char* const kOutOfScope = "The agent is not in the scope of any audit store";

SCP::RandomSource defaultRandom() {
  auto engine = std::make_shared<std::mt19937>(std::random_device{}());
  return [engine] { return static_cast<uint32_t>((*engine)()); };
}

double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Writes the setting when it differs from what the file holds.
void storeSetting(const std::string& prefix, const char* name, const std::string& value,
                  const ofw::LoggerPtr& logger) {
  std::string current;
  if (ofw::getDirectorySetting(name, current, prefix) && current == value) return;
  try {
    ofw::setDirectorySetting(name, value, prefix);
  } catch (const ofw::Base_Exception& e) {
    OFW_WARN(logger, "Unable to store %s: %s", name, e.what());
  }
}

}  // namespace

SCP::SCP(const ofw::CapiDynamicLoader& loader, const ofw::Properties& properties, Options options)
    : loader_(loader), properties_(properties), options_(std::move(options)), logger_(ofw::getLogger("ovg.scp")) {
  if (!options_.random) options_.random = defaultRandom();
  if (!options_.clock) options_.clock = steadySeconds;
}

void SCP::setState(Collectors& out, int state, const std::string& message) {
  out.state = state;
  out.message = message;
  if (options_.reportState) options_.reportState(state, message);
}

void SCP::flush() {
  OFW_DEBUG(logger_, "Flushing configuration information");
  ofw::Lock lock(cacheMutex_);
  cached_ = false;
  cachedAnswer_ = Collectors();
}

void SCP::getCollectors(int maxAgeSeconds, const std::string& settingsDir, Collectors& out) {
  out = Collectors();
  setState(out, STATE_DETERMINING_INSTALLATION, "");
  ofw::Guid gpGuid;
  std::string localId;
  try {
    gpGuid = meridia::InstallationInfo::GetCurrentInstallationGuid(options_.policyFile);
    // The local id matters only without a group-policy installation.
    if (gpGuid.isNull()) localId = meridia::InstallationInfo::GetCurrentInstallationId(loader_, settingsDir);
  } catch (const ofw::Base_Exception& e) {
    // A policy that cannot be read does not say which installation to use.
    OFW_WARN(logger_, "%s", e.what());
    setState(out, STATE_NOT_CONFIGURED, e.what());
    return;
  }
  if (gpGuid.isNull() && localId.empty()) {
    OFW_INFO(logger_, "%s", kNotConfigured);
    setState(out, STATE_NOT_CONFIGURED, kNotConfigured);
    return;
  }

  bool hit = false;
  {
    ofw::Lock lock(cacheMutex_);
    hit = cached_ && cachedGuid_ == gpGuid && cachedId_ == localId && maxAgeSeconds > 0 &&
          options_.clock() - cachedAt_ < maxAgeSeconds;
    if (hit) out = cachedAnswer_;
  }
  if (hit) {
    OFW_DEBUG(logger_, "Using cached configuration information");
    if (options_.reportState) options_.reportState(out.state, out.message);
    return;
  }
  OFW_DEBUG(logger_, "Getting fresh configuration information");

  std::vector<std::string> trustedServers;
  std::string storeGuid;
  if (!loadInstallation(gpGuid, localId, settingsDir, out, trustedServers, storeGuid)) return;

  std::vector<meridia::ServiceEndpointPtr> found;
  try {
    meridia::ServiceLocator(loader_).GetServers(ofw::Guid::fromString(COLLECTOR_MODULE_GUID), storeGuid,
                                               trustedServers, found);
  } catch (const ofw::Base_Exception& e) {
    OFW_WARN(logger_, "%s", e.what());
    setState(out, STATE_NOT_CONNECTED, e.what());
    return;
  }
  std::vector<meridia::ServiceEndpointPtr> trusted;
  for (const meridia::ServiceEndpointPtr& e : found)
    if (e->trusted) trusted.push_back(e);
  while (trusted.size() > 1) {
    size_t pick = options_.random() % trusted.size();
    out.endpoints.push_back(trusted[pick]);
    trusted.erase(trusted.begin() + static_cast<long>(pick));
  }
  if (!trusted.empty()) out.endpoints.push_back(trusted.front());

  OFW_DEBUG(logger_, "Caching configuration information");
  ofw::Lock lock(cacheMutex_);
  cached_ = true;
  cachedGuid_ = gpGuid;
  cachedId_ = localId;
  cachedAnswer_ = out;
  cachedAt_ = options_.clock();
}

bool SCP::loadInstallation(const ofw::Guid& gpGuid, const std::string& localId, const std::string& settingsDir,
                           Collectors& out, std::vector<std::string>& trustedServers, std::string& storeGuid) {
  meridia::InstallationInfo info(loader_);
  try {
    if (!gpGuid.isNull()) {
      OFW_DEBUG(logger_, "The agent has been configured with GP to use the Installation with Guid %s",
               gpGuid.toMSString().c_str());
      info.setGuid(gpGuid);
      info.Load();
      OFW_DEBUG(logger_, "Using GP configured installation '%s'", info.name().c_str());
    } else {
      OFW_DEBUG(logger_, "No installation guid has been configured with GP.");
      OFW_DEBUG(logger_, "The Agent has been locally configured to use the installation with id %s", localId.c_str());
      info.setId(localId);
      info.Load();
      OFW_DEBUG(logger_, "Using locally configured installation '%s'", info.name().c_str());
    }
  } catch (const ofw::Base_Exception& e) {
    const std::string message =
        gpGuid.isNull()
            ? ofw::format("Unable to find an installation with ID %s: %s", localId.c_str(), e.what())
            : ofw::format("Unable to find an installation with GUID %s: %s", gpGuid.toMSString().c_str(), e.what());
    OFW_WARN(logger_, "%s", message.c_str());
    setState(out, STATE_DETERMINING_INSTALLATION, message);
    return false;
  }
  const std::string prefix = meridia::InstallationInfo::SettingsPrefix(settingsDir);
  storeSetting(prefix, meridia::InstallationInfo::ID_SETTING, info.id(), logger_);
  storeSetting(prefix, meridia::InstallationInfo::NAME_SETTING, info.name(), logger_);
  out.installationId = info.id();
  out.installationName = info.name();

  setState(out, STATE_DETERMINING_AUDIT_STORE, "");
  const meridia::HostScope host = meridia::HostScope::Read(properties_, options_.hostSettingsPrefix,
                                                           options_.addresses, logger_);
  std::optional<meridia::Instance> store = info.GetInstance(host);
  if (!store) {
    OFW_INFO(logger_, "%s", kOutOfScope);
    setState(out, STATE_OUT_OF_SCOPE, kOutOfScope);
    return false;
  }
  OFW_DEBUG(logger_, "Using Audit Store '%s'", store->name().c_str());
  out.auditStoreName = store->name();
  out.agentSiteAffinity = store->agentSiteAffinity();
  trustedServers = store->trustedServers();
  storeGuid = store->guid();
  setState(out, STATE_NOT_CONNECTED, "");
  return true;
}

}  // namespace ovgfw
