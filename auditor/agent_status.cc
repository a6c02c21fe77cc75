#include "auditor/agent_status.h"

#include <limits>

#include "ofw/config/properties.h"
#include "ovgfw/agent_state.h"

namespace Vigilog {

namespace {
const char* boolText(bool b) { return b ? "true" : "false"; }
}  // namespace

int missedUpdateTolerance() { return ofw::Props().getInt("agent.max.missed.update.tolerance", 4); }

int64_t upTimeUnits(const struct timeval& start, time_t now, const ofw::LoggerPtr& logger) {
  int64_t units = (static_cast<int64_t>(now) - static_cast<int64_t>(start.tv_sec)) * 10000000;
  if (units < 0) {
    OFW_DEBUG(logger, "Up Time is negative: %lld", static_cast<long long>(units));
    return 0;
  }
  return units;
}

AgentStatus::AgentStatus(ofw::LoggerPtr logger) : logger_(std::move(logger)) {}

void AgentStatus::setOnlineProbe(OnlineProbe probe) {
  ofw::Lock lock(mutex_);
  probe_ = std::move(probe);
}

void AgentStatus::probe(bool* online, bool* atOnline) {
  *online = *atOnline = false;
  if (probe_) probe_(online, atOnline);
}

void AgentStatus::setState(int state, const std::string& description) {
  ofw::Lock lock(mutex_);
  if (description != current_.description) {
    OFW_DEBUG(logger_, "Changing state description from '%s' to '%s'", current_.description.c_str(),
              description.c_str());
    current_.description = description;
  }
  if (state != current_.state) {
    OFW_DEBUG(logger_, "Changing state from '%s' to '%s'", ovgfw::AgentState::EnumToString(current_.state).c_str(),
              ovgfw::AgentState::EnumToString(state).c_str());
    current_.state = state;
    updateMaskedLocked();
  }
  if (state == ovgfw::AgentState::RUNNING) {
    failures_ = 0;
    OFW_DEBUG(logger_, "Heartbeat failure count was updated to %d", 0);
  }
}

int AgentStatus::getState() {
  ofw::Lock lock(mutex_);
  return current_.state;
}

std::string AgentStatus::getStateDescription() {
  ofw::Lock lock(mutex_);
  return current_.description;
}

void AgentStatus::setInstallation(const std::string& name, int attribute) {
  ofw::Lock lock(mutex_);
  current_.installation = name;
  current_.installationAttribute = attribute;
}

void AgentStatus::setAuditStore(const std::string& name) {
  ofw::Lock lock(mutex_);
  current_.auditStore = name;
}

void AgentStatus::setCollector(const std::string& name) {
  ofw::Lock lock(mutex_);
  current_.collector = name;
}

AgentStateFields AgentStatus::current() {
  ofw::Lock lock(mutex_);
  return current_;
}

void AgentStatus::updateMaskedState() {
  ofw::Lock lock(mutex_);
  updateMaskedLocked();
}

bool AgentStatus::differsLocked(bool online) {
  const AgentStateFields& c = current_;
  const MaskedAgentState& m = masked_;
  return c.state != m.state || c.description != m.description || c.installation != m.installation ||
         c.installationAttribute != m.installationAttribute || c.auditStore != m.auditStore ||
         c.collector != m.collector || online != m.online;
}

bool AgentStatus::isStateDiffer() {
  ofw::Lock lock(mutex_);
  bool online, atOnline;
  probe(&online, &atOnline);
  return differsLocked(online);
}

void AgentStatus::updateMaskedLocked() {
  const int tolerance = missedUpdateTolerance();
  if (current_.state == ovgfw::AgentState::NOT_CONNECTED && failures_ < static_cast<uint32_t>(tolerance < 0 ? 0 : tolerance)) {
    OFW_DEBUG(logger_, "Masked state is not updated");
    return;
  }
  bool online, atOnline;
  probe(&online, &atOnline);
  if (!differsLocked(online)) return;
  if (current_.state == ovgfw::AgentState::NOT_CONNECTED && masked_.state != ovgfw::AgentState::NOT_CONNECTED)
    OFW_WARN(logger_, "Unable to connect to collector: %s", current_.description.c_str());
  if (current_.state == ovgfw::AgentState::RUNNING && masked_.state != ovgfw::AgentState::RUNNING)
    OFW_INFO(logger_, "Connected to collector: %s", current_.collector.c_str());
  static_cast<AgentStateFields&>(masked_) = current_;
  masked_.online = online;
  masked_.atOnline = atOnline;
  OFW_DEBUG(logger_,
            "Masked state updated: state = \"%s\", stateDescription = \"%s\", installation = \"%s\", auditStore = \"%s\", collector = \"%s\", online = %s, ATOnline = %s",
            ovgfw::AgentState::EnumToString(masked_.state).c_str(), masked_.description.c_str(),
            masked_.installation.c_str(), masked_.auditStore.c_str(), masked_.collector.c_str(),
            boolText(masked_.online), boolText(masked_.atOnline));
}

void AgentStatus::heartbeatSucceeded() {
  ofw::Lock lock(mutex_);
  failures_ = 0;
  OFW_DEBUG(logger_, "Heartbeat failure count was updated to %d", 0);
}

void AgentStatus::heartbeatMissed() {
  ofw::Lock lock(mutex_);
  if (failures_ < std::numeric_limits<uint32_t>::max()) ++failures_;
  OFW_DEBUG(logger_, "Heartbeat failure count was updated to %u", failures_);
}

uint32_t AgentStatus::heartbeatFailures() {
  ofw::Lock lock(mutex_);
  return failures_;
}

void AgentStatus::setStartTime(const struct timeval& start) {
  ofw::Lock lock(mutex_);
  start_ = start;
}

struct timeval AgentStatus::startTime() {
  ofw::Lock lock(mutex_);
  return start_;
}

MaskedAgentState AgentStatus::masked() {
  ofw::Lock lock(mutex_);
  return masked_;
}

bool AgentStatus::isOnlineMasked() {
  ofw::Lock lock(mutex_);
  return masked_.online;
}

bool AgentStatus::isATOnlineMasked() {
  ofw::Lock lock(mutex_);
  return masked_.atOnline;
}

void AgentStatus::getCurrentInfo(int32_t* state, std::string* description, std::string* installation, bool* online,
                                 std::string* auditStore, std::string* collector) {
  ofw::Lock lock(mutex_);
  *state = masked_.state;
  *description = masked_.description;
  *installation = masked_.installation;
  *online = masked_.online;
  *auditStore = masked_.auditStore;
  *collector = masked_.collector;
}

}  // namespace Vigilog
