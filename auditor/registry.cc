#include "auditor/registry.h"

#include <set>

namespace Vigilog {

AuditRegistry::AuditRegistry() : logger_(ofw::getLogger("ovg.vgd.auditor")) {}

bool AuditRegistry::addTTY(const std::string& tty, const std::string& sessionId) {
  ofw::Lock lock(ttyMutex_);
  OFW_TRACE(logger_, "checking to see if %s is being audited", tty.c_str());
  if (ttys_.count(tty)) {
    OFW_TRACE(logger_, "tty %s is already being audited", tty.c_str());
    return false;
  }
  OFW_TRACE(logger_, "tty %s (VG Session ID: %s) isn't currently audited. Adding it to list of audited tty's",
            tty.c_str(), sessionId.c_str());
  ttys_[tty] = Entry{sessionId, time(nullptr)};
  return true;
}

void AuditRegistry::removeTTY(const std::string& tty, const std::string& sessionId) {
  ofw::Lock lock(ttyMutex_);
  OFW_TRACE(logger_, "looking for tty: %s in audited list", tty.c_str());
  auto it = ttys_.find(tty);
  if (it == ttys_.end() || (!sessionId.empty() && it->second.sessionId != sessionId)) return;
  OFW_TRACE(logger_, "removing tty: %s from audited list", tty.c_str());
  ttys_.erase(it);
}

bool AuditRegistry::isTTYAuditing(const std::string& tty) {
  ofw::Lock lock(ttyMutex_);
  OFW_TRACE(logger_, "checking to see if %s is being audited", tty.c_str());
  if (ttys_.count(tty)) {
    OFW_TRACE(logger_, "tty: %s already in audited list", tty.c_str());
    return true;
  }
  OFW_TRACE(logger_, "tty %s isn't currently audited.", tty.c_str());
  return false;
}

std::string AuditRegistry::getSessionIDFromTTY(const std::string& tty) {
  ofw::Lock lock(ttyMutex_);
  auto it = ttys_.find(tty);
  return it == ttys_.end() ? std::string() : it->second.sessionId;
}

bool AuditRegistry::addPSID(int psid, const std::string& sessionId) {
  ofw::Lock lock(psidMutex_);
  OFW_TRACE(logger_, "checking to see if %d psid is being audited", psid);
  if (psids_.count(psid)) {
    OFW_TRACE(logger_, "psid %d is already being audited", psid);
    return false;
  }
  OFW_TRACE(logger_, "psid %d (VG Session ID: %s) isn't currently audited. Adding it to list of audited psid's",
            psid, sessionId.c_str());
  psids_[psid] = Entry{sessionId, time(nullptr)};
  return true;
}

void AuditRegistry::removePSID(int psid, const std::string& sessionId) {
  ofw::Lock lock(psidMutex_);
  auto it = psids_.find(psid);
  if (it == psids_.end() || (!sessionId.empty() && it->second.sessionId != sessionId)) {
    OFW_TRACE(logger_, "psid %d wasn't being audited", psid);
    return;
  }
  OFW_TRACE(logger_, "Removing %d from list of audited psid's", psid);
  psids_.erase(it);
}

bool AuditRegistry::isPSIDAuditing(int psid) {
  ofw::Lock lock(psidMutex_);
  OFW_TRACE(logger_, "checking to see if %d psid is being audited", psid);
  if (psids_.count(psid)) {
    OFW_TRACE(logger_, "psid %d is already being audited", psid);
    return true;
  }
  OFW_TRACE(logger_, "psid %d isn't currently audited.", psid);
  return false;
}

std::string AuditRegistry::getSessionIDFromPSID(int psid) {
  ofw::Lock lock(psidMutex_);
  auto it = psids_.find(psid);
  return it == psids_.end() ? std::string() : it->second.sessionId;
}

bool AuditRegistry::addVuvoPID(int pid, const std::string& sessionId) {
  ofw::Lock lock(pidMutex_);
  OFW_TRACE(logger_, "checking to see if %d pid is being audited", pid);
  if (pids_.count(pid)) {
    OFW_TRACE(logger_, "pid %d is already being audited", pid);
    return false;
  }
  OFW_TRACE(logger_, "pid %d (VG Session ID: %s) isn't currently audited. Adding it to list of audited pid's", pid,
            sessionId.c_str());
  pids_[pid] = Entry{sessionId, time(nullptr)};
  return true;
}

void AuditRegistry::removeVuvoPID(int pid, const std::string& sessionId) {
  ofw::Lock lock(pidMutex_);
  auto it = pids_.find(pid);
  if (it == pids_.end() || (!sessionId.empty() && it->second.sessionId != sessionId)) {
    OFW_TRACE(logger_, "pid %d wasn't being audited", pid);
    return;
  }
  OFW_TRACE(logger_, "Removing %d from list of audited pid's", pid);
  pids_.erase(it);
}

bool AuditRegistry::isVuvoAuditing(int pid) {
  ofw::Lock lock(pidMutex_);
  OFW_TRACE(logger_, "checking to see if %d pid is being audited", pid);
  if (pids_.count(pid)) {
    OFW_TRACE(logger_, "pid %d is already being audited", pid);
    return true;
  }
  OFW_TRACE(logger_, "pid %d isn't currently audited.", pid);
  return false;
}

std::string AuditRegistry::getSessionIDFromVuvoPID(int pid) {
  ofw::Lock lock(pidMutex_);
  auto it = pids_.find(pid);
  return it == pids_.end() ? std::string() : it->second.sessionId;
}

bool AuditRegistry::addUtmpEntity(const std::string& key, const std::string& a, const std::string& b) {
  ofw::Lock lock(utmpMutex_);
  bool ok = utmp_.emplace(key, std::make_pair(a, b)).second;
  OFW_DEBUG(logger_, "Add utmp entity associated with %s pty %s. %s", key.c_str(), a.c_str(), ok ? "success" : "failure");
  return ok;
}

bool AuditRegistry::removeUtmpEntity(const std::string& key) {
  ofw::Lock lock(utmpMutex_);
  auto it = utmp_.find(key);
  std::string pty = it == utmp_.end() ? std::string() : it->second.first;
  if (it != utmp_.end()) utmp_.erase(it);
  OFW_DEBUG(logger_, "Remove utmp entity associated with %s pty %s. %s", key.c_str(), pty.c_str(), "success");
  return true;
}

void AuditRegistry::addCmdAuditOvgsh(int pid, const std::string& sessionId) {
  ofw::Lock lock(cmdMutex_);
  cmdAudit_.emplace(pid, sessionId);
}

void AuditRegistry::removeCmdAuditOvgsh(int pid, const std::string& sessionId) {
  ofw::Lock lock(cmdMutex_);
  auto it = cmdAudit_.find(pid);
  if (it != cmdAudit_.end() && (sessionId.empty() || it->second == sessionId)) cmdAudit_.erase(it);
}

namespace {
// Erases the entries of map that belong to a session in ids and are at least
// minAge seconds old.
template <typename Map>
void eraseOldEntries(Map& map, const std::set<std::string>& ids, time_t now, int minAge) {
  for (auto it = map.begin(); it != map.end();)
    it = ids.count(it->second.sessionId) && now - it->second.added >= minAge ? map.erase(it) : std::next(it);
}

struct SessionSeen {
  time_t newest = 0;
  int pid = 0;
};

template <typename Map>
void noteSessions(Map& map, std::map<std::string, SessionSeen>& seen) {
  for (const auto& e : map) {
    SessionSeen& s = seen[e.second.sessionId];
    if (e.second.added > s.newest) s.newest = e.second.added;
  }
}
}  // namespace

int AuditRegistry::purgeGoneSessions(time_t now, int minAge, const SessionGone& gone) {
  std::map<std::string, SessionSeen> seen;
  {
    ofw::Lock lock(pidMutex_);
    noteSessions(pids_, seen);
    for (const auto& e : pids_) seen[e.second.sessionId].pid = e.first;
  }
  {
    ofw::Lock lock(ttyMutex_);
    noteSessions(ttys_, seen);
  }
  {
    ofw::Lock lock(psidMutex_);
    noteSessions(psids_, seen);
  }
  std::set<std::string> dead;
  for (const auto& s : seen)
    if (now - s.second.newest >= minAge && gone(s.first, s.second.pid)) dead.insert(s.first);
  if (dead.empty()) return 0;
  std::set<int> keptPids;  // registered again meanwhile: their command-audit entries stay
  {
    ofw::Lock lock(pidMutex_);
    eraseOldEntries(pids_, dead, now, minAge);
    for (const auto& e : pids_)
      if (dead.count(e.second.sessionId)) keptPids.insert(e.first);
  }
  {
    ofw::Lock lock(ttyMutex_);
    eraseOldEntries(ttys_, dead, now, minAge);
  }
  {
    ofw::Lock lock(psidMutex_);
    eraseOldEntries(psids_, dead, now, minAge);
  }
  {
    ofw::Lock lock(cmdMutex_);
    for (auto it = cmdAudit_.begin(); it != cmdAudit_.end();)
      it = dead.count(it->second) && !keptPids.count(it->first) ? cmdAudit_.erase(it) : std::next(it);
  }
  for (const std::string& id : dead) OFW_DEBUG(logger_, "Purged registrations of session %s: it is gone", id.c_str());
  return static_cast<int>(dead.size());
}

size_t AuditRegistry::ttyCount() {
  ofw::Lock lock(ttyMutex_);
  return ttys_.size();
}
size_t AuditRegistry::psidCount() {
  ofw::Lock lock(psidMutex_);
  return psids_.size();
}
size_t AuditRegistry::pidCount() {
  ofw::Lock lock(pidMutex_);
  return pids_.size();
}

}  // namespace Vigilog
