// The session-start request of the audit shell: its fields, and the decision
// whether the session it announces is audited.
#pragma once
#include <sys/time.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "auditor/registry.h"
#include "ofw/guid.h"
#include "server/request_reader.h"

namespace ovg {

// The fields of a start request up to argv[0], in the order they are sent;
// those a version does not carry keep their defaults. The further argv
// strings follow argv[0] in the request and are read only when the start
// record is built (argc never sizes anything before then).
struct StartRequest {
  int version = 0;
  int ovgshPid = 0, ovgshParentPid = 0, shellPid = 0;
  int psid = -1;
  bool userGiven = false;
  std::string user;
  std::string tty;
  std::string slave;
  std::string string1, string2;
  std::string program;
  bool isAuditCommand = false;
  bool isNssCmdShell = false;
  std::string actualUser;
  ofw::Guid related;
  struct timeval startTime = {0, 0};
  int32_t argc = 0;
  std::vector<std::string> argv;  // argv[0] only
};

// Reads the fields of a version-v start request; a missing or mistyped field
// raises ofw::BadDataException naming it.
StartRequest readStartRequest(RequestReader& r, int v);

// The init-script test: a start from a boot script on one of the terminals
// `vgd.ignore.nonlogin.ttys` lists is not audited; a login shell ("-..."), a
// shell started by a relative name other than "sh", an xterm and the audit
// shell itself never count as init scripts.
bool isInitScript(const StartRequest& s);

struct StartDecision {
  bool audited = false;
  int status = 0;           // 0, or 4: inside an audited session
  std::string existingId;   // status 4: the session it is inside (may be empty)
  bool auditThisTTY = false, auditThisPSID = false, isParentAudit = false;
};

// Whether the session is audited, from what the registry holds for the
// request's psid and tty and from parentAudited (the audited ancestor of an
// audit command's shell, 0 when none). Reads the registry only.
StartDecision decideStart(Vigilog::AuditRegistry& reg, const StartRequest& s, bool initScript, int parentAudited);

}  // namespace ovg
