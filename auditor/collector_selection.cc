#include "auditor/collector_selection.h"

#include <algorithm>
#include <cctype>
#include <random>
#include <sstream>

#include "ofw/capi/dirsettings.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"

namespace Vigilog {

namespace {

const char* const kNoCollectorConfigured =
    "No collector is configured: the host has no directory client and vgd.collectors is empty";

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// Targets compare as the connection's records key them: ignoring case.
bool sameTarget(const std::string& a, const std::string& b) { return !a.empty() && lower(a) == lower(b); }

bool holds(const std::vector<std::string>& targets, const std::string& target) {
  return std::any_of(targets.begin(), targets.end(), [&](const std::string& t) { return sameTarget(t, target); });
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& i : items) out += (out.empty() ? "" : ", ") + i;
  return out;
}

CollectorSelection::RandomSource defaultRandom() {
  auto engine = std::make_shared<std::mt19937>(std::random_device{}());
  return [engine] { return static_cast<uint32_t>((*engine)()); };
}

}  // namespace

std::string rebindVerdict(int code, const std::string& oldName, const std::string& newName) {
  switch (code) {
    case REBIND_CHANGED:
      return ofw::format("Collector was changed from %s to %s.", oldName.c_str(), newName.c_str());
    case REBIND_DISCONNECTED:
      return ofw::format("Collector %s is disconnected.", oldName.c_str());
    case REBIND_EMPTY_LIST:
      return ofw::format("Collector %s is disconnected due to empty collector list.", oldName.c_str());
    case REBIND_NOT_CONNECTED:
      return "No collector is connected.";
    case REBIND_NO_CHANGE:
      return ofw::format("No change to connected collector %s.", newName.c_str());
    case REBIND_TRIAL_FAILED:
      return ofw::format("Tried to connect to other collector(s) but failed. No change to connected collector %s.",
                         newName.c_str());
    default:
      return "Unknown reason.";
  }
}

std::vector<std::string> configuredCollectors(const ofw::Properties& properties) {
  std::vector<std::string> out;
  std::stringstream in(properties.getProperty("vgd.collectors", ""));
  std::string item;
  while (std::getline(in, item, ',')) {
    size_t b = item.find_first_not_of(" \t");
    size_t e = item.find_last_not_of(" \t");
    if (b != std::string::npos) out.push_back(item.substr(b, e - b + 1));
  }
  return out;
}

CollectorSelection::CollectorSelection(const ofw::CapiDynamicLoader& loader, const ofw::Properties& properties,
                                       Options options)
    : properties_(properties), options_(std::move(options)), logger_(ofw::getLogger("ovg.vgd.auditor")) {
  if (!options_.random) options_.random = defaultRandom();
  if (loader.isCapiCoreAvailable()) scp_.reset(new ovgfw::SCP(loader, properties, options_.scp));
}

void CollectorSelection::getCollectorList(CollectorList& out) {
  out = CollectorList();
  std::string site, forest;
  ofw::getDirectorySetting("site", site, options_.scp.hostSettingsPrefix);
  ofw::getDirectorySetting("forest", forest, options_.scp.hostSettingsPrefix);
  const std::string machineSite = lower(site + "@" + forest);
  OFW_DEBUG(logger_, "Machine is in site %s", machineSite.c_str());

  ovgfw::SCP::Collectors found;
  if (scp_) {
    scp_->getCollectors(properties_.getInt("vgd.configuration.cache.max.age", 120), options_.settingsDir, found);
    // Each announcement once, until the condition changes.
    if (found.state == ovgfw::SCP::STATE_NOT_CONFIGURED) {
      if (!configuredAnnounced_)
        OFW_INFO(logger_, "The Installation has not configured, you may use vgcontrol -i installation-name ");
      configuredAnnounced_ = true;
    } else {
      configuredAnnounced_ = false;
    }
    if ((lastState_ == ovgfw::SCP::STATE_NOT_CONFIGURED || lastState_ == ovgfw::SCP::STATE_OUT_OF_SCOPE) &&
        found.state == ovgfw::SCP::STATE_NOT_CONNECTED && !found.endpoints.empty())
      OFW_INFO(logger_, "Collector is now configured.");
    lastState_ = found.state;
  } else {
    found.state = ovgfw::SCP::STATE_NOT_CONFIGURED;
    found.message = kNoCollectorConfigured;
  }
  out.installationName = found.installationName;
  out.auditStoreName = found.auditStoreName;

  if (found.state == ovgfw::SCP::STATE_NOT_CONNECTED && !found.endpoints.empty()) {
    out.fromDirectory = true;
    out.state = found.state;
    OFW_DEBUG(logger_, "AgentSiteAffinity = %s", found.agentSiteAffinity ? "true" : "false");
    for (const meridia::ServiceEndpointPtr& e : found.endpoints) {
      const std::string target = ofw::format("%s:%d:%s", e->hostname.c_str(), e->port, e->servicePrincipalName.c_str());
      OFW_DEBUG(logger_, "Collector - %s: Site = %s", target.c_str(), e->site.c_str());
      (!found.agentSiteAffinity || lower(e->site) == machineSite ? out.preferred : out.other).push_back(target);
    }
  } else {
    // No collector from the directory: the static list, all of it preferred.
    out.preferred = configuredCollectors(properties_);
    if (!out.preferred.empty()) {
      OFW_DEBUG(logger_, "Using the collectors of vgd.collectors: %s", joined(out.preferred).c_str());
      out.state = ovgfw::SCP::STATE_NOT_CONNECTED;
    } else {
      out.state = found.state;
      out.message = found.message;
    }
  }
  if (out.preferred.empty()) OFW_DEBUG(logger_, "No running collectors found.");
}

int CollectorSelection::rebindToBestSCP(CollectorLink& link, RebindFlags flags) {
  OFW_DEBUG(logger_, "Evaluating current collector selection");
  CollectorList list;
  getCollectorList(list);
  return rebind(list, link, flags);
}

int CollectorSelection::rebind(const CollectorList& list, CollectorLink& link, RebindFlags flags) {
  if (list.state != ovgfw::SCP::STATE_NOT_CONNECTED) {
    link.drop(list.state, list.message);
    return REBIND_DISCONNECTED;
  }
  if (list.preferred.empty() && list.other.empty()) {
    link.drop(list.state, list.message);
    if (!emptyAnnounced_) OFW_INFO(logger_, "Collector list is empty; perhaps a collector needs to be published?");
    emptyAnnounced_ = true;
    return REBIND_EMPTY_LIST;
  }
  emptyAnnounced_ = false;
  if (!link.connected()) {
    OFW_DEBUG(logger_, "Not connected, skipping rebind");
    return REBIND_NOT_CONNECTED;
  }
  link.adjustDiskState();
  const std::string current = link.current();
  const std::vector<std::string>& only = list.preferred.empty() ? list.other : list.preferred;
  if (only.size() == 1 && sameTarget(only.front(), current)) {
    OFW_DEBUG(logger_, "Already connected to the only configured collector");
    return REBIND_NO_CHANGE;
  }

  std::vector<std::string> candidates = list.preferred;
  candidates.insert(candidates.end(), list.other.begin(), list.other.end());
  if (!holds(candidates, current)) {
    OFW_INFO(logger_, "%s is no longer a valid collector.  Attempting to connect to another collector",
             current.c_str());
  } else {
    // An odd draw keeps the collector.
    bool move = flags.forced || (flags.loadBalance && options_.random() % 2 == 0);
    if (!move) {
      OFW_DEBUG(logger_, "Already connected to a collector, continuing to use %s", current.c_str());
      return REBIND_NO_CHANGE;
    }
    OFW_INFO(logger_, "Attempting to reconnect to another collector for load balancing");
    candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                    [&](const std::string& t) { return sameTarget(t, current); }),
                     candidates.end());
  }

  std::string chosen;
  try {
    for (const std::string& candidate : candidates) {
      OFW_DEBUG(logger_, "Found a potential collector: %s, attempting connection.", candidate.c_str());
      try {
        link.probe(candidate);
      } catch (const ofw::Base_Exception&) {
        OFW_DEBUG(logger_, "Connection failed, stepping to next scp.");
        continue;
      }
      OFW_INFO(logger_, "Connected to %s, disconnecting from current connector and switching.", candidate.c_str());
      chosen = candidate;
      break;
    }
  } catch (const std::exception&) {
    // Not a connect error (no memory, a broken invariant): keep what works.
    OFW_DEBUG(logger_, "Unable to use lrpc shim, no change to collector");
    return REBIND_TRIAL_FAILED;
  }
  if (chosen.empty()) {
    OFW_INFO(logger_, "Unable to connect to a new collector, leaving existing connection in place");
    return REBIND_TRIAL_FAILED;
  }
  if (!list.other.empty() && holds(list.other, chosen) && holds(list.preferred, current)) {
    OFW_INFO(logger_, "No local collector is available. no change to collector.");
    return REBIND_NO_CHANGE;
  }
  try {
    link.switchTo(chosen);
  } catch (const std::exception& e) {
    // The connection was given up for the switch: the next reconnect pass
    // connects again over the list.
    OFW_WARN(logger_, "Unable to switch to collector %s: %s", chosen.c_str(), e.what());
    return REBIND_DISCONNECTED;
  }
  return REBIND_CHANGED;
}

int CollectorSelection::flushScpCache() {
  OFW_DEBUG(logger_, "Flushing installation info (SCP) cache");
  try {
    if (scp_) scp_->flush();
    return 0;
  } catch (const std::exception& e) {
    OFW_WARN(logger_, "Unable to flush installation info cache: %s", e.what());
    return 1;
  }
}

}  // namespace Vigilog
