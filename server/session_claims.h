// What a client may register in the Auditor's registry for its session.
//
// The registry decides which later starts are "already audited": a user who
// could register another user's session id, process group, audit-shell pid or
// terminal could make that user's next login run unaudited. So the values a
// request names are checked against the peer: root may name anything; any
// other uid (an unknown one included) only a process group or process of its
// own and a terminal it owns. A value that fails is not registered (WARN);
// what the session is audited as does not change.
#pragma once
#include <string>

#include "auditor/registry.h"
#include "ofw/logging/logger.h"

namespace ovg {

// The values one session named, and which of them it may register.
struct SessionClaims {
  int pid = 0;
  std::string tty;
  int psid = -1;  // -1: none named
  bool pidOk = true, ttyOk = true, psidOk = true;
};

// What a session may register, from the values its request named, checked
// against the peer's uid. psid -1 and pid 0 name nothing and are not checked.
SessionClaims checkClaims(int peerUid, int pid, const std::string& tty, int psid, const ofw::LoggerPtr& logger);

// A session id or process group a peer may register: root any, another uid
// an existing group of its own, an unknown peer (uid < 0) none.
bool groupClaimAllowed(int peerUid, int pgid);

// Which of a session's claims it registered: entries it added, so that an
// undo removes only those.
struct Registered {
  bool pid = false, tty = false, psid = false;
};

// Registers the claims under sessionId (tty, psid, audit-shell pid and its
// command-audit entry).
Registered registerClaims(Vigilog::AuditRegistry& reg, const SessionClaims& claims, const std::string& sessionId);
// Removes what registerClaims added.
void unregisterClaims(Vigilog::AuditRegistry& reg, const SessionClaims& claims, const Registered& added,
                      const std::string& sessionId);

}  // namespace ovg
