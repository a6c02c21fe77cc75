// The session lifecycle requests of the audit shell: start, data, window
// size, process group, resume, end, and the administrators' pause, continue
// and kill.
//
// A connection acts only on the session it opened or resumed. A resume is
// accepted only from root or from the user who owns the session's spool (a
// session without a spool gets one owned by the resumer), and only with a
// continuation body of that session. What a start or resume registers is
// checked against the peer (server/session_claims.h).
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "auditor/auditor.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ofw/config/properties.h"
#include "ovgfw/ovg_message.h"
#include "auditor/action_count.h"
#include "server/ipc_server.h"
#include "server/process_info.h"
#include "server/request_reader.h"
#include "server/server_session.h"
#include "server/session_claims.h"
#include "server/session_records.h"
#include "server/session_settings.h"
#include "server/session_start.h"
#include "server/user_lookup.h"

namespace ovg {
std::string gSrcEncoding = "utf8";
std::string gDataDir = "/var/orvanevg";
}  // namespace ovg

using ovg::RequestReader;

namespace {

const char* tf(bool b) { return b ? "True" : "False"; }

// `spool.maxdbsize` in bytes, 0 (no limit) when unset. A value that is not a
// non-negative decimal number would otherwise refuse every start: it is
// named in a WARN (once while it stays the same) and the default is used.
long long maxDbSizeSetting(const ofw::LoggerPtr& logger) {
  std::string v = ofw::Props().getProperty("spool.maxdbsize", "");
  if (v.empty()) return 0;
  char* end = nullptr;
  errno = 0;
  long long n = std::strtoll(v.c_str(), &end, 10);
  if (errno == 0 && v[0] >= '0' && v[0] <= '9' && *end == '\0') return n;
  static std::mutex warnedMutex;
  static std::string warned;
  std::lock_guard<std::mutex> lock(warnedMutex);
  if (v != warned) {
    warned = v;
    OFW_WARN(logger, "Illegal value for %s: '%s'. Using %d.", "spool.maxdbsize", v.c_str(), 0);
  }
  return 0;
}

uint8_t videoCaptureMode(const ofw::LoggerPtr& logger) {
  std::string v = ofw::Props().getProperty("agent.video.capture", "default");
  if (v == "disabled") return 0;
  if (v == "enabled") return 1;
  if (v != "default") OFW_DEBUG(logger, "WARN: invalid %s setting: %s", "agent.video.capture", v.c_str());
  return 2;
}

Vigilog::Auditor& auditor() {
  if (!Vigilog::gAuditor) throw ofw::SystemException("Auditing is not initialised", 0, __FILE__, __LINE__);
  return *Vigilog::gAuditor;
}

// Whether a continuation body is a record of the session it resumes: its
// first item is that session's GUID. The parsed record is left in *record.
bool continuationOf(const std::string& body, const ofw::Guid& guid, ovgfw::OVGRequestMessage* record) {
  try {
    record->deserialize(body);
    return record->readGUID() == guid;
  } catch (const std::exception&) {
    return false;
  }
}

ofw::Guid readGuidBlob(RequestReader& r, const char* field) {
  std::string b = r.blob(field);
  if (b.size() != ofw::Guid::SIZE)
    throw ofw::BadDataException(ofw::format("Malformed request: %s is %zu bytes, not 16", field, b.size()), 0, __FILE__,
                                __LINE__);
  return ofw::Guid(reinterpret_cast<const unsigned char*>(b.data()));
}

}  // namespace

int LRPC2ServerSession::spoolLimitStatus(bool forStart) {
  Vigilog::Auditor& a = auditor();
  if (a.overDiskQuota()) {
    if (forStart)
      OFW_WARN(logger_,
               "Vigilog cannot start a session, as it run out of disk space for spooling audit data. The spooling is "
               "done in %s. Please free some space from the partition.",
               ovg::gDataDir.c_str());
    else
      OFW_WARN(logger_,
               "Vigilog run out of disk space for spooling audit data. The spooling is done in %s. Please free some "
               "space from the partition.",
               ovg::gDataDir.c_str());
    return 1;
  }
  long long maxDb = maxDbSizeSetting(logger_);
  if (maxDb != 0 && static_cast<long long>(a.getDbSizeOnDisk()) > maxDb) {
    if (forStart)
      OFW_WARN(logger_,
               "Vigilog cannot start a session, as its spooling database is growing too big. The size reached upper "
               "limit %lld bytes. Please make sure the environment allows Vigilog to send audit data in order to keep "
               "the database small; or increase the maximum size limit.",
               maxDb);
    else
      OFW_WARN(logger_,
               "Vigilog's spooling database is growing too big. The size reached upper limit %lld bytes. Please make "
               "sure the environment allows Vigilog to send audit data in order to keep the database small; or "
               "increase the maximum size limit.",
               maxDb);
    return 2;
  }
  return 0;
}

std::string LRPC2ServerSession::peerUserName(std::string* gecos) {
  int uid = -1;
  if (!getPeerIdentity(&uid, nullptr) || uid < 0) return "<unknown>";
  ovg::PasswdDA record;
  bool found = false;
  try {
    // The daemon's own look-up: never the name-service switch, whose module
    // would ask this very daemon.
    found = server_->userLookup().vgd_getpwuid(static_cast<uint32_t>(uid), record, false);
  } catch (const std::exception& e) {
    OFW_WARN(logger_, "WARNING: Fail to find username for UID %d: %s.\n", uid, e.what());
    return ofw::format("<UID %d>", uid);
  }
  if (!found) {
    OFW_WARN(logger_,
             "The username of the UID %d cannot be found: %s.\nIf you have done an 'kirabind' since vgd started, "
             "please restart vgd.",
             uid, "no such user");
    return ofw::format("<UID %d>", uid);
  }
  OFW_TRACE(logger_, "Found UID %d matching user name <%s> for session", uid, record.name.c_str());
  std::string g = record.gecos.substr(0, record.gecos.find(','));
  OFW_DEBUG(logger_, "setting user gecos to: %s", g.c_str());
  OFW_DEBUG(logger_, "setting user name to: %s", record.name.c_str());
  if (gecos) *gecos = g;
  return record.name;
}

int LRPC2ServerSession::getUserType(const std::string& name, std::string* directoryName, std::string* sid) {
  ovg::UserLookup& users = server_->userLookup();
  ofw::Lock lock(users.passwdLock());
  if (VGCIsNonBlockingUser(users.auditLevelContext(), name.c_str()) || !users.isDirectoryInstalled()) return 0;
  return users.getUserAndSid(name, *directoryName, *sid) ? 1 : 0;
}

void LRPC2ServerSession::HandleSessionStart(LRPC2Msg* request, LRPC2Msg* reply, int v) {
  RequestReader r(request);
  uint8_t video = videoCaptureMode(logger_);
  countedShell = true;
  ovg::incrementActionCount(ovg::AC_OVGSH_CONNECT);
  ovg::StartRequest s = ovg::readStartRequest(r, v);
  if (!s.actualUser.empty()) OFW_DEBUG(logger_, "use actual username <%s>", s.actualUser.c_str());

  const ofw::Guid guid = ofw::Guid::generate();
  const std::string guidText = guid.toSwappedMSString();
  ovg::StartDecision decision;
  ovg::SessionClaims claims;
  ovg::Registered added;
  evaluateStart(s, guidText, &decision, &claims, &added);
  // The start record is stored before the answer, so that a record that
  // could not be stored is answered "not audited", status 1.
  std::string serialized;
  if (decision.audited && !storeStartRecord(r, request, s, guid, video, &serialized)) {
    decision.audited = false;
    decision.status = 1;
  }

  MsgWriteBool(reply, decision.audited ? 1 : 0);
  if (v >= 7) MsgWriteInt32(reply, decision.status);
  if (!decision.audited) {
    if (Vigilog::gAuditor) ovg::unregisterClaims(Vigilog::gAuditor->registry(), claims, added, guidText);
    if (decision.status == 4 && v >= 15) MsgWriteString(reply, decision.existingId.c_str());
    return;
  }
  adoptStartedSession(s, claims, guid);
  MsgWriteBlob(reply, guid.data(), ofw::Guid::SIZE);
  OFW_DEBUG(logger_, "beginVuvo session called for user: %s with tty: %s guid: %s (argc=%d)", s.user.c_str(),
            s.tty.c_str(), guidText.c_str(), s.argc);
  if (v >= 6) MsgWriteBlob(reply, serialized.data(), static_cast<uint32_t>(serialized.size()));
}

std::string LRPC2ServerSession::trustedUserName(const ovg::StartRequest& s, int peerUid) {
  if (s.userGiven) {
    ovg::PasswdDA given;
    if (peerUid == 0 ||
        (server_->userLookup().vgd_getpwnam(s.user, given, false) && static_cast<int>(given.uid) == peerUid))
      return s.user;
    OFW_WARN(logger_, "Ignoring the user name %s sent by uid %d for a session start", s.user.c_str(), peerUid);
  }
  return peerUserName(nullptr);
}

void LRPC2ServerSession::evaluateStart(ovg::StartRequest& s, const std::string& guidText, ovg::StartDecision* decision,
                                       ovg::SessionClaims* claims, ovg::Registered* added) {
  int peerUid = -1;
  getPeerIdentity(&peerUid, nullptr);
  try {
    Vigilog::AuditRegistry& reg = auditor().registry();
    s.user = trustedUserName(s, peerUid);
    int parentAudited = 0;
    if (s.isAuditCommand || s.isNssCmdShell)
      parentAudited = ovg::findAuditedAncestor(s.ovgshParentPid, [&reg](int pid) { return reg.isVuvoAuditing(pid); });
    const bool initScript = ovg::isInitScript(s);
    OFW_DEBUG(logger_, "OS %s running init-script", initScript ? "is" : "is not");
    // The decision reads what the request names; the checks below decide only
    // what is registered, so a failed check never turns an audited start
    // into an unaudited one.
    *decision = ovg::decideStart(reg, s, initScript, parentAudited);
    if (decision->audited) {
      *claims = ovg::checkClaims(peerUid, s.ovgshPid, s.tty, s.psid, logger_);
      *added = ovg::registerClaims(reg, *claims, guidText);
    }
    OFW_DEBUG(logger_,
              "evaluating start session for tty: %s(slave:[%s]) PID: %d vgshPPID: %d shellPid: %d PSID(session ID for "
              "ovgsh): %d, auditThisPSID: %s, auditThisTTY: %s, isAuditCommand: %s, isNssCmdShell: %s, isParentAudit: "
              "%s, session audited: %s",
              s.tty.c_str(), s.slave.c_str(), s.ovgshPid, s.ovgshParentPid, s.shellPid, s.psid,
              tf(decision->auditThisPSID), tf(decision->auditThisTTY), tf(s.isAuditCommand), tf(s.isNssCmdShell),
              tf(decision->isParentAudit), tf(decision->audited));
    int limit = spoolLimitStatus(true);
    if (limit != 0) {
      decision->status = limit;
      decision->audited = false;
    }
  } catch (const std::exception& e) {
    OFW_WARN(logger_,
             "Vigilog cannot start a session, as there was a problem evaluating whether to start the session: %s",
             e.what());
    decision->audited = false;
  }
}

ovg::SessionStartInfo LRPC2ServerSession::startRecordInfo(ovg::RequestReader& r, LRPC2Msg* request,
                                                          const ovg::StartRequest& s, const ofw::Guid& guid,
                                                          uint8_t video) {
  ovg::SessionStartInfo info;
  info.guid = guid;
  info.start = s.startTime;
  info.userType = getUserType(s.user, &info.directoryName, &info.sid);
  if (info.userType) {
    OFW_DEBUG(logger_, "setting user adname to: %s", info.directoryName.c_str());
    OFW_DEBUG(logger_, "setting user sid: %s", info.sid.c_str());
  }
  info.userName = s.user;
  info.tty = s.tty;
  info.string1 = s.string1;
  info.string2 = s.string2;
  // Arguments are read one by one, each from the message: argc never sizes
  // anything, and a request whose argc is below 1 or above the strings it
  // carries is refused.
  if (s.argc < 1)
    throw ofw::BadDataException(ofw::format("Malformed request: argc is %d", static_cast<int>(s.argc)), 0, __FILE__,
                                __LINE__);
  info.argv = s.argv;
  for (int32_t i = 1; i < s.argc; ++i) info.argv.push_back(r.string("argv"));
  getSequenceNumber(request);
  if (!s.actualUser.empty()) {
    std::string source = server_->userLookup().getUserSource(s.actualUser);
    for (auto& ch : source) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    info.userSource = s.actualUser + "@" + source;
  }
  info.videoCapture = video;
  info.related = s.related;
  return info;
}

bool LRPC2ServerSession::storeStartRecord(ovg::RequestReader& r, LRPC2Msg* request, const ovg::StartRequest& s,
                                          const ofw::Guid& guid, uint8_t video, std::string* serialized) {
  const std::string guidText = guid.toSwappedMSString();
  bool spoolMade = false;
  try {
    ovgfw::OVGRequestMessage record;
    ovg::buildSessionStart(record, startRecordInfo(r, request, s, guid, video));
    *serialized = record.serialize();
    Vigilog::Auditor& a = auditor();
    int peerUid = -1;
    getPeerIdentity(&peerUid, nullptr);
    spoolMade = true;
    a.sessions()->add(guid, a.maxSingleFileSize())->setOwner(peerUid);
    if (!s.slave.empty() && !a.registry().addUtmpEntity(guidText, s.tty, s.slave))
      OFW_WARN(logger_,
               "Not auditing %s's session on %s, as we failed while trying to add utmp/utmpx/utmps entity. Slave pty "
               "name is %s",
               s.user.c_str(), s.tty.c_str(), s.slave.c_str());
    a.postSessionData(guid, record);
    return true;
  } catch (const std::exception& e) {
    OFW_WARN(logger_, "Vigilog cannot start a session, as its start record could not be spooled: %s", e.what());
    if (Vigilog::gAuditor) {
      Vigilog::gAuditor->registry().removeUtmpEntity(guidText);
      // No record of the session was stored: its spool, status and owner files go.
      if (spoolMade) Vigilog::gAuditor->discardSessionSpool(guid);
    }
    return false;
  }
}

void LRPC2ServerSession::adoptStartedSession(const ovg::StartRequest& s, const ovg::SessionClaims& claims,
                                             const ofw::Guid& guid) {
  // One session per connection: a session this connection still holds is
  // ended before the new one takes its place, or its registrations and its
  // open spool would outlive it. What both had registered (the same audit
  // shell's pid, tty or psid) then belongs to the new session.
  if (sessionOpen) {
    endSession(nullptr);
    if (Vigilog::gAuditor) ovg::registerClaims(Vigilog::gAuditor->registry(), claims, guid.toSwappedMSString());
  }
  tty = s.tty;
  psid = s.psid;
  ovgshPid = s.ovgshPid;
  ovgshParentPid = s.ovgshParentPid;
  shellPid = s.shellPid;
  sessionGuid = guid;
  sessionOpen = 1;
}

void LRPC2ServerSession::HandleSessionData(LRPC2Msg* request, LRPC2Msg* reply, int v) {
  RequestReader r(request);
  int32_t stream = r.int32("stream");
  // The bytes as decoded, not copied again (or their conversion).
  RequestReader::Bytes raw = r.blobBytes("data");
  const char* data = raw.data();
  size_t size = raw.size;
  std::string converted;
  struct timeval when = v >= 3 ? ovg::timevalFromBlob(r.blob("time")) : ovg::now();
  uint64_t seq = getSequenceNumber(request);
  int status = 0;
  // Only log lines use the GUID's text: made when one is written.
  auto guidText = [this] { return sessionGuid.toSwappedMSString(); };
  try {
    if (!sessionOpen) {
      OFW_WARN(logger_, "Session data on a connection without an open session (fd %d); %zu bytes discarded", fd.load(),
               size);
      status = 1;
    } else {
      if (ovg::gSrcEncoding != "utf8" && size != 0) {
        OFW_TRACE(logger_, "Convert session data from %s to %s", ovg::gSrcEncoding.c_str(), "utf8");
        converted = ovg::latin1ToUtf8(reinterpret_cast<const unsigned char*>(data), size);
        if (stream != 1) {
          logger_->hexData(ofw::Logger::TRACE, "Original:", data, size);
          logger_->hexData(ofw::Logger::TRACE, "Result:", converted.data(), converted.size());
        }
        data = converted.data();
        size = converted.size();
      }
      status = spoolLimitStatus(false);
      if (status != 0) {
        OFW_TRACE(logger_, "Too less disk space, cannot post data. Guid: %s; Stream: %d; Data size: %d",
                  guidText().c_str(), stream, static_cast<int>(size));
      } else if (size == 0) {
        OFW_DEBUG(logger_, "Request to send session data but no data to be sent");
      } else {
        ovgfw::OVGRequestMessage record;
        ovg::buildSessionData(record, sessionGuid, when, ovg::streamByte(stream), data,
                              static_cast<uint32_t>(size));
        auditor().postSessionData(sessionGuid, record);
        OFW_TRACE(logger_, "Session data for guid: %s on stream %d, sequence number: %llu data:", guidText().c_str(),
                  stream, static_cast<unsigned long long>(seq));
        // Typed input may hold passwords: its length only.
        if (stream == 1)
          OFW_TRACE(logger_, "(%zu bytes of terminal input)", size);
        else
          logger_->hexData(ofw::Logger::TRACE, "", data, size);
      }
    }
  } catch (const std::exception& e) {
    OFW_WARN(logger_, "Problem processing %d bytes of session data for GUID %s on stream %d: %s",
             static_cast<int>(size), guidText().c_str(), stream, e.what());
    status = 1;
  }
  if (v >= 2) MsgWriteInt32(reply, status);
}

void LRPC2ServerSession::HandleSessionWSizeChange(LRPC2Msg* request, LRPC2Msg* reply, int v) {
  RequestReader r(request);
  struct timeval when = v >= 2 ? ovg::timevalFromBlob(r.blob("time")) : ovg::now();
  int32_t size[4];
  for (int i = 0; i < 4; ++i) size[i] = r.int32("window size");
  if (v >= 3) getSequenceNumber(request);
  int status = 0;
  auto guidText = [this] { return sessionGuid.toSwappedMSString(); };
  try {
    if (!sessionOpen) {
      OFW_WARN(logger_, "Window size change on a connection without an open session (fd %d)", fd.load());
      status = 1;
    } else {
      OFW_DEBUG(logger_, "Window size change on guid %s", guidText().c_str());
      status = spoolLimitStatus(false);
      if (status == 0) {
        ovgfw::OVGRequestMessage record;
        ovg::buildWindowSize(record, sessionGuid, when, size);
        auditor().postSessionData(sessionGuid, record);
      }
    }
  } catch (const std::exception& e) {
    OFW_WARN(logger_, "Unable to process window size change for GUID %s: %s", guidText().c_str(), e.what());
    status = 1;
  }
  MsgWriteInt32(reply, status);
}

void LRPC2ServerSession::HandleSessionPGID(LRPC2Msg* request, LRPC2Msg*) {
  RequestReader r(request);
  int32_t group = r.int32("pgid");
  std::string guidText = sessionGuid.toSwappedMSString();
  try {
    if (!sessionOpen) {
      OFW_WARN(logger_, "Process group %d reported on a connection without an open session (fd %d)", group, fd.load());
      return;
    }
    int uid = -1;
    getPeerIdentity(&uid, nullptr);
    // Only a process group of the peer's own (any, for root) joins the session:
    // a user must not pre-register someone else's future login as audited.
    if (uid < 0 || !ovg::processGroupOwnedBy(group, uid == 0 ? -1 : uid)) {
      OFW_WARN(logger_, "Process group %d is not a process group of uid %d; ignored", group, uid);
      return;
    }
    // A later report replaces the earlier group (the psid itself stays).
    if (pgid > 0 && pgid != group && pgid != psid) auditor().registry().removePSID(pgid, guidText);
    pgid = group;
    auditor().registry().addPSID(group, guidText);
  } catch (const std::exception& e) {
    OFW_WARN(logger_, "Error in processing process group information for GUID %s: %s", guidText.c_str(), e.what());
  }
}

void LRPC2ServerSession::HandleSessionResume(LRPC2Msg* request, LRPC2Msg* reply, int v) {
  RequestReader r(request);
  int status = 0;
  ofw::Guid guid;
  std::string newTty, body;
  int newPsid = -1, shPid = 0, group = -1;
  std::string guidText;
  try {
    guid = readGuidBlob(r, "session GUID");
    guidText = guid.toSwappedMSString();
    newTty = r.string("tty");
    newPsid = r.int32("psid");
    if (v >= 2) body = r.blob("continuation body");
    if (v >= 4) shPid = r.int32("ovgsh pid");
    if (v >= 5) group = r.int32("pgid");

    Vigilog::Auditor& a = auditor();
    int uid = -1;
    getPeerIdentity(&uid, nullptr);
    // A body is posted into the resumed session's spool: it must be a record
    // of that session, not of another one.
    ovgfw::OVGRequestMessage record;
    if (!body.empty() && !continuationOf(body, guid, &record)) {
      OFW_WARN(logger_, "Refusing resume of session %s by uid %d: its continuation body is not a record of it",
               guidText.c_str(), uid);
      MsgWriteInt32(reply, 1);
      return;
    }
    if (!admitResume(guid, uid)) {
      MsgWriteInt32(reply, 1);
      return;
    }
    Vigilog::AuditRegistry& reg = a.registry();
    if (sessionOpen && sessionGuid != guid) endSession(nullptr);
    // The open session resumed again on this connection: what the request
    // names replaces the earlier registrations instead of adding to them
    // (those would outlive the session).
    const bool again = sessionOpen != 0;
    if (again) {
      reg.removeTTY(tty, guidText);
      reg.removePSID(psid, guidText);
      if (v >= 4) {
        reg.removeVuvoPID(ovgshPid, guidText);
        reg.removeCmdAuditOvgsh(ovgshPid, guidText);
      }
      if (v >= 5) reg.removePSID(pgid, guidText);
    }
    sessionGuid = guid;
    tty = newTty;
    psid = newPsid;
    sessionOpen = 1;
    OFW_DEBUG(logger_, "session resumed for guid: %s.  tty: %s,  psid: %d", guidText.c_str(), newTty.c_str(), newPsid);
    ovg::SessionClaims claims = ovg::checkClaims(uid, v >= 4 ? shPid : 0, newTty, newPsid, logger_);
    claims.pidOk = claims.pidOk && v >= 4;  // below version 4 no pid is named
    ovg::registerClaims(reg, claims, guidText);
    if (v >= 4) {
      ovgshPid = shPid;
      OFW_DEBUG(logger_, "Pid %d was added back", shPid);
    }
    if (v >= 5) {
      // Only a group the peer may register is kept: a later resume below
      // version 5 registers the kept one again.
      pgid = -1;
      if (group > 0 && ovg::groupClaimAllowed(uid, group)) {
        pgid = group;
        reg.addPSID(group, guidText);
      } else if (group > 0) {
        OFW_WARN(logger_, "Process group %d is not a process group of uid %d; not registered", group, uid);
      }
    } else if (again && pgid > 0) {
      reg.addPSID(pgid, guidText);  // kept, and it may have been the old psid's entry
    }
    status = spoolLimitStatus(false);
    if (status == 0) {
      if (body.empty()) {
        OFW_INFO(logger_,
                 "Zero size ContinueTermSession message body from ovgsh. (GUID=%s, psid=%d, tty=%s, version=%d) "
                 "Despooling may be affected. Please run 'vginfo -t' and send the result to Orvane Support.",
                 guidText.c_str(), newPsid, newTty.c_str(), v);
      } else {
        record.setType(ovgfw::OVGMessage::TYPE_SESSION_RESUME);
        a.postSessionData(guid, record);
      }
    }
  } catch (const std::exception& e) {
    OFW_WARN(logger_, "Error in resuming session for GUID %s: %s", guidText.c_str(), e.what());
    status = 1;
  }
  MsgWriteInt32(reply, status);
}

bool LRPC2ServerSession::admitResume(const ofw::Guid& guid, int uid) {
  Vigilog::Auditor& a = auditor();
  const std::string guidText = guid.toSwappedMSString();
  // Two resumes of one session without a spool: exactly one makes it.
  static std::mutex spoolMutex;
  std::lock_guard<std::mutex> lock(spoolMutex);
  if (!a.sessions()->exists(guid)) {
    // A drained spool is removed once its client is gone: the resumer owns
    // the new one, so that no other user can resume the session afterwards.
    if (uid < 0) {
      OFW_WARN(logger_, "Refusing resume of session %s by an unknown uid", guidText.c_str());
      return false;
    }
    a.sessions()->add(guid, a.maxSingleFileSize())->setOwner(uid);
    OFW_DEBUG(logger_, "Session %s has no spool; a new one belongs to uid %d", guidText.c_str(), uid);
    return true;
  }
  int owner = a.sessions()->getSessionQueue(guid)->getOwner();
  if (owner < 0) {
    OFW_WARN(logger_, "Session %s has no recorded owner; resume by uid %d accepted", guidText.c_str(), uid);
  } else if (uid != 0 && uid != owner) {
    OFW_WARN(logger_, "Refusing resume of session %s by uid %d: it belongs to uid %d", guidText.c_str(), uid, owner);
    return false;
  }
  return true;
}

void LRPC2ServerSession::HandleSessionEnd(LRPC2Msg* request, LRPC2Msg*, int v) {
  RequestReader r(request);
  try {
    if (v >= 2) {
      bool valid = false;
      struct timeval end = ovg::timevalFromBlob(r.blob("end time"), &valid);
      endSession(valid ? &end : nullptr);
    } else {
      endSession(nullptr);
    }
  } catch (const std::exception& e) {
    OFW_WARN(logger_, "Error in processing the end of session for GUID %s: %s", sessionGuid.toSwappedMSString().c_str(),
             e.what());
  }
}

void LRPC2ServerSession::endSession(const struct timeval* end) {
  if (!sessionOpen) return;
  std::string guidText = sessionGuid.toSwappedMSString();
  OFW_DEBUG(logger_, "End session for guid: %s. psid: %d tty: %s", guidText.c_str(), psid.load(), tty.c_str());
  sessionOpen = 0;
  if (!Vigilog::gAuditor) return;
  Vigilog::AuditRegistry& reg = Vigilog::gAuditor->registry();
  reg.removeTTY(tty, guidText);
  reg.removePSID(psid, guidText);
  reg.removePSID(pgid, guidText);
  pgid = -1;  // a later session on this connection reports its own
  reg.removeVuvoPID(ovgshPid, guidText);
  reg.removeCmdAuditOvgsh(ovgshPid, guidText);
  if (!reg.removeUtmpEntity(guidText)) OFW_WARN(logger_, "Remove utmp entity failed in utmp/utmpx/utmps file.");
  struct timeval t = end ? *end : ovg::now();
  try {
    ovgfw::OVGRequestMessage record;
    ovg::buildSessionEnd(record, sessionGuid, t);
    Vigilog::gAuditor->postSessionData(sessionGuid, record);
  } catch (const std::exception& e) {
    OFW_ERROR(logger_, "The end of session %s could not be spooled: %s", guidText.c_str(), e.what());
  }
}

void LRPC2ServerSession::HandleSessionPause(LRPC2Msg* request, LRPC2Msg* reply) {
  RequestReader r(request);
  ofw::Guid guid = readGuidBlob(r, "session GUID");
  if (!ClientIsRoot()) {
    MsgWriteInt32(reply, 500);
    return;
  }
  OFW_DEBUG(logger_, "Looking to pause session guid: %s", guid.toSwappedMSString().c_str());
  MsgWriteInt32(reply, server_->pauseVuvoSession(guid));
}

void LRPC2ServerSession::HandleSessionContinue(LRPC2Msg* request, LRPC2Msg* reply) {
  RequestReader r(request);
  ofw::Guid guid = readGuidBlob(r, "session GUID");
  if (!ClientIsRoot()) {
    MsgWriteInt32(reply, 500);
    return;
  }
  OFW_DEBUG(logger_, "Looking to continue session guid: %s", guid.toSwappedMSString().c_str());
  MsgWriteInt32(reply, server_->continueVuvoSession(guid));
}

void LRPC2ServerSession::HandleSessionKill(LRPC2Msg* request, LRPC2Msg* reply) {
  RequestReader r(request);
  ofw::Guid guid = readGuidBlob(r, "session GUID");
  if (!ClientIsRoot()) {
    MsgWriteInt32(reply, 500);
    return;
  }
  OFW_DEBUG(logger_, "Looking to kill session guid: %s", guid.toSwappedMSString().c_str());
  MsgWriteInt32(reply, server_->killVuvoSession(guid));
}
