// What is being audited on the host: terminals, login-session ids (PSIDs) and
// audit-shell pids, each mapped to the text id of the session that registered
// it, plus utmp entities. Thread safe; each map has its own mutex.
//
// Removal is by owner: an entry is removed only when it maps to the session
// that asks, so a session ending (or a failed start being undone) never drops
// the registration of another session on a reused tty, psid or pid.
#pragma once
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ofw/logging/logger.h"
#include "ofw/threads/mutex.h"

namespace Vigilog {

class AuditRegistry {
 public:
  AuditRegistry();

  bool addTTY(const std::string& tty, const std::string& sessionId);
  // Removes the entry when it belongs to sessionId (any owner when sessionId is empty).
  void removeTTY(const std::string& tty, const std::string& sessionId = std::string());
  bool isTTYAuditing(const std::string& tty);
  std::string getSessionIDFromTTY(const std::string& tty);

  bool addPSID(int psid, const std::string& sessionId);
  void removePSID(int psid, const std::string& sessionId = std::string());
  bool isPSIDAuditing(int psid);
  std::string getSessionIDFromPSID(int psid);

  bool addVuvoPID(int pid, const std::string& sessionId);
  void removeVuvoPID(int pid, const std::string& sessionId = std::string());
  bool isVuvoAuditing(int pid);
  std::string getSessionIDFromVuvoPID(int pid);

  bool addUtmpEntity(const std::string& key, const std::string& a, const std::string& b);
  bool removeUtmpEntity(const std::string& key);

  // Command-audit list of audit-shell pids.
  void addCmdAuditOvgsh(int pid, const std::string& sessionId);
  void removeCmdAuditOvgsh(int pid, const std::string& sessionId = std::string());

  // Whether a session is gone: (session id, its audit-shell pid or 0 when it
  // registered none).
  typedef std::function<bool(const std::string& sessionId, int pid)> SessionGone;
  // Removes the entries (tty, psid, pid, command audit) of the sessions that
  // are gone. Every session with an entry is looked at, whatever it
  // registered; gone() is asked without any registry lock held, once per
  // session whose newest entry is at least minAge seconds old, and only
  // entries of that age are removed (a session registering again meanwhile
  // keeps its new entries). Returns the number of sessions purged.
  int purgeGoneSessions(time_t now, int minAge, const SessionGone& gone);

  size_t ttyCount();
  size_t psidCount();
  size_t pidCount();

 private:
  struct Entry {
    std::string sessionId;
    time_t added;
  };
  ofw::Mutex ttyMutex_, psidMutex_, pidMutex_, utmpMutex_, cmdMutex_;
  std::map<std::string, Entry> ttys_;
  std::map<int, Entry> psids_;
  std::map<int, Entry> pids_;
  std::map<std::string, std::pair<std::string, std::string>> utmp_;
  std::map<int, std::string> cmdAudit_;
  ofw::LoggerPtr logger_;
};

}  // namespace Vigilog
