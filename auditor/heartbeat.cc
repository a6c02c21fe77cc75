// The heartbeat (session ping), the active session list, and the small
// queries of the local tools about the spools and the connection.
#include <strings.h>
#include <sys/time.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "auditor/action_count.h"
#include "auditor/auditor.h"
#include "host/nss_hook.h"
#include "meridia/installation_info.h"
#include "ofw/capi/dirsettings.h"
#include "ofw/config/properties.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ovgfw/agent_state.h"

namespace Vigilog {

namespace {

// GSS_S_CONTEXT_EXPIRED.
const int kContextExpired = 0x000C0000;
// The daemon's version and build number joined by a dot.
const char* const kAgentVersion = "3.7.0" "." "172";

bool isTrueOrYes(const std::string& v) { return strcasecmp(v.c_str(), "true") == 0 || strcasecmp(v.c_str(), "yes") == 0; }

// "site@forest" with the forest lower-cased; empty when either cannot be read.
std::string siteText() {
  std::string site, forest;
  if (!ofw::getDirectorySetting("site", site) || !ofw::getDirectorySetting("forest", forest)) return "";
  std::transform(forest.begin(), forest.end(), forest.begin(), [](unsigned char c) { return std::tolower(c); });
  return site + "@" + forest;
}

}  // namespace

// ---- requests from other threads ----

void Auditor::requestAgentStatusUpdate() {
  agentStatusRequested_ = true;
  nudgeDespooler();
}

void Auditor::requestActiveList() {
  activeListRequested_ = true;
  nudgeDespooler();
}

void Auditor::serveRequests() {
  if (agentStatusRequested_.exchange(false)) updateAgentStatus();
  if (activeListRequested_.exchange(false)) sendActiveList();
}

// ---- heartbeat ----

void Auditor::updateAgentStatus() {
  ovg::incrementActionCount(ovg::AC_UPDATE_AGENT_STATUS);
  if (!isOnline()) {
    OFW_DEBUG(logger_, "Deferring agent status update because we're not connected");
    status_.heartbeatMissed();
    status_.updateMaskedState();
    return;
  }
  // State 8 follows the spool file system, which fills and empties while connected.
  const bool full = isDiskFull() || overDiskQuota();
  const int state = status_.getState();
  if (state == ovgfw::AgentState::RUNNING && full)
    setState(ovgfw::AgentState::SPOOL_DISK_FULL, "");
  else if (state == ovgfw::AgentState::SPOOL_DISK_FULL && !full)
    setState(ovgfw::AgentState::RUNNING, "");
  OFW_DEBUG(logger_, "Updating collector with agent status");
  std::string failure;
  try {
    ovgfw::SessionPingPayload payload;
    prepareSessionPingPayload(payload);
    connection_->sessionPing(payload, 4);
    connection_->markTransmissionSuccess();
    status_.heartbeatSucceeded();
    return;
  } catch (const ofw::KerberosException& e) {
    failure = e.what();
    if (e.code() == kContextExpired) {
      OFW_DEBUG(logger_, "Kerberos context expired when updating agent status, reconnect immediately.");
      std::string target = connection_->getTarget();
      connection_->disconnect();
      try {
        connect(target);  // the connected step asks for a heartbeat again
        return;
      } catch (const std::exception&) {
        OFW_DEBUG(logger_, "Error when reconnecting collector. Back off and retry later.");
      }
    }
  } catch (const std::exception& e) {
    failure = e.what();
  }
  OFW_DEBUG(logger_, "Unable to update collector with agent status: %s", failure.c_str());
  ovg::incrementActionCount(ovg::AC_UPDATE_STATUS_FAILED);
  status_.heartbeatMissed();
  backoff(failure, ofw::Props().getInt("vgd.backoff.time", 10));
}

void Auditor::prepareSessionPingPayload(ovgfw::SessionPingPayload& p) {
  ofw::Properties& props = ofw::Props();
  p.updateInterval = props.getInt("vgd.timer.update.agent.status", 300) * missedUpdateTolerance();
  p.state = status_.getState();
  p.stateDescription = status_.getStateDescription();
  p.startupTime = status_.startTime();
  p.upTime = upTimeUnits(p.startupTime, time(nullptr), logger_);
  p.agentVersion = kAgentVersion;

  bool sendName = isTrueOrYes(props.getProperty("agent.send.hostname", ""));
  if (ofw::isInContainer()) {
    OFW_DEBUG(logger_, "Always send hostname when we are in docker container.");
    sendName = true;
  }
  p.hostname.clear();
  if (sendName) {
    try {
      p.hostname = ofw::longJoinedHostName();
      OFW_TRACE(logger_, "Send host name %s to collector.", p.hostname.c_str());
    } catch (const std::exception&) {
      OFW_INFO(logger_, "Vgd failed to retrieve machine's host name.");
    }
  }

  p.sessionOfflineStoreSize = static_cast<int64_t>((sessions_ ? sessions_->getDataSize() : 0) / 1024);
  p.auditTrailOfflineStoreSize = static_cast<int64_t>(getATDbSize() / 1024);
  p.freeDiskSpace = spoolPath_.empty() ? 0 : percentFree(diskSpaceOf(spoolPath_));
  p.site = siteText();
  // The hook monitor's last answer: asking the editing script here would
  // hold the despooler thread for as long as the script runs.
  int hooked = nssMonitor_.lastAnswer();
  if (hooked < 0) {
    try {
      hooked = ovg::IsHooked() ? 1 : 0;
    } catch (const std::exception& e) {
      OFW_DEBUG(logger_, "Unable to tell whether the name-service hook is in place: %s", e.what());
      hooked = 0;
    }
  }
  p.sessionAuditing = hooked;
  try {
    p.deploymentType = meridia::InstallationInfo::GetCurrentInstallationGuid().isNull() ? 1 : 0;
  } catch (const std::exception& e) {
    OFW_DEBUG(logger_, "Unable to read the installation GUID: %s", e.what());
    p.deploymentType = 1;
  }
  p.advancedMonitoring = 2;
  p.despoolRate = static_cast<int32_t>(despoolRate());
  p.fbSessionAuditing = 2;
}

// ---- active session list ----

void Auditor::sendActiveList() {
  if (!isOnline()) {
    OFW_DEBUG(logger_, "Skipping send of active session list because daemon is not on-line");
    return;
  }
  const int initial = ofw::Props().getInt("vgd.timer.send.initial.list", 30);
  if (time(nullptr) - status_.startTime().tv_sec < initial) {
    OFW_DEBUG(logger_, "Deferring sending active session list until the collector has an accurate list of sessions");
    return;
  }
  ovg::incrementActionCount(ovg::AC_SEND_ACTIVE_LIST);
  OFW_DEBUG(logger_, "Sending active session list");
  std::set<ofw::Guid> guids;
  ConnectedSessions clients;
  {
    ofw::Lock lock(connectedMutex_);
    clients = connectedSessions_;
  }
  if (clients)
    for (const ofw::Guid& g : clients()) guids.insert(g);
  if (sessions_) {
    for (auto it = sessions_->begin(); !it.atEnd(); ++it) {
      try {
        boost::shared_ptr<ovgfw::SessionQueue> sq = *it;
        if (sq && sq->isInProgress()) guids.insert(sq->getSessionGuid());
      } catch (const std::exception& e) {
        OFW_DEBUG(logger_, "Skipping a session spool: %s", e.what());
      }
    }
    sessions_->cleanReferences();
  }
  try {
    ovgfw::OVGRequestMessage msg(ovgfw::OVGMessage::TYPE_ACTIVE_LIST);
    msg.writeInt32(static_cast<int32_t>(guids.size()));
    for (const ofw::Guid& g : guids) msg.writeGUID(g);
    sendMessageCheckReply(msg, true);
  } catch (const std::exception& e) {
    OFW_DEBUG(logger_, "Unable to send active session list: %s", e.what());
  }
}

// ---- queries ----

std::vector<ovgfw::ConnectionInfo> Auditor::getConnectionInfoList() {
  if (!connection_) return {};
  return connection_->getConnectionInfoList();
}

std::vector<ovgfw::SpoolInfo> Auditor::getSpoolInfoList() {
  std::vector<ovgfw::SpoolInfo> out;
  auto add = [&out](const char* name, const boost::shared_ptr<ofw::Status>& status) {
    if (!status) return;
    unsigned flags = status->getFlags();
    out.emplace_back(name, (flags & ofw::Status::FLAG_PAUSED) != 0, (flags & ofw::Status::FLAG_IN_PROGRESS) != 0,
                     status->getStatusString());
  };
  add("Common Spool", commonStatus_);
  add("Audit Trail Spool", atStatus_);
  return out;
}

std::vector<ovgfw::SpoolInfo> Auditor::getSessionSpoolInfoList() {
  std::vector<ovgfw::SpoolInfo> out;
  if (!sessions_) return out;
  for (auto it = sessions_->begin(); !it.atEnd(); ++it) {
    try {
      boost::shared_ptr<ovgfw::SessionQueue> sq = *it;
      if (!sq) continue;
      out.emplace_back(ofw::format("Session Spool %s", sq->getSessionGuid().toSwappedMSString().c_str()),
                       sq->isPaused(), sq->isInProgress(), sq->getStatus());
    } catch (const std::exception& e) {
      // Retired since the listing.
      OFW_DEBUG(logger_, "Skipping a session spool: %s", e.what());
    }
  }
  return out;
}

}  // namespace Vigilog
