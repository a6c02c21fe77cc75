// The session lifecycle requests of the audit shell: start, data, window
// size, process group, resume, end, and the administrators' pause, continue
// and kill.
//
// A connection acts only on the session it opened or resumed; a resume is
// accepted only from root or from the user who started the session.
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "auditor/auditor.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ofw/config/properties.h"
#include "ovgfw/ovg_message.h"
#include "server/action_count.h"
#include "server/ipc_server.h"
#include "server/process_info.h"
#include "server/request_reader.h"
#include "server/server_session.h"
#include "server/session_records.h"
#include "server/session_settings.h"
#include "server/user_lookup.h"

namespace ovg {
std::string gSrcEncoding = "utf8";
std::string gDataDir = "/var/orvanevg";
}  // namespace ovg

using ovg::RequestReader;

namespace {

const char* tf(bool b) { return b ? "True" : "False"; }

long long maxDbSizeSetting() {
  std::string v = ofw::Props().getProperty("spool.maxdbsize", "");
  if (v.empty()) return 0;
  return std::strtoll(v.c_str(), nullptr, 10);
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

bool listed(const ofw::ValueList& list, const std::string& item) {
  if (!list) return false;
  for (const std::string& s : *list)
    if (s == item) return true;
  return false;
}

std::string baseName(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
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
  long long maxDb = maxDbSizeSetting();
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

  int shPid = 0, shParent = 0, subshell = 0;
  if (v >= 5) {
    shPid = r.int32("ovgsh pid");
    shParent = r.int32("ovgsh parent pid");
    subshell = r.int32("shell pid");
  }
  int newPsid = r.int32("psid");
  bool userGiven = v >= 17 ? r.boolean("user given") : false;
  std::string user = r.string("user name");
  std::string newTty = r.string("tty");
  std::string slave = v >= 4 ? r.string("slave pty") : std::string();
  std::string string1 = r.string("first shell string");
  std::string string2 = r.string("second shell string");
  std::string program = v >= 2 ? r.string("program name") : std::string();
  bool isAuditCommand = v >= 9 ? r.boolean("audit command flag") : false;
  bool secondFlag = v >= 12 ? r.boolean("second flag") : false;
  bool isNssCmdShell = v >= 12 && !isAuditCommand && !secondFlag;
  if (v >= 10 && v <= 15) r.string("reserved string");
  std::string actualUser = v >= 11 ? r.string("actual user name") : std::string();
  if (!actualUser.empty()) OFW_DEBUG(logger_, "use actual username <%s>", actualUser.c_str());
  ofw::Guid related;
  if (v >= 13) {
    std::string text = r.string("related session");
    if (!text.empty()) related = ofw::Guid::fromSwappedString(text);
  }
  struct timeval startTime = v >= 14 ? ovg::timevalFromBlob(r.blob("start time")) : ovg::now();
  int32_t argc = r.int32("argc");
  std::vector<std::string> argv;
  argv.push_back(r.string("argv[0]"));

  bool audited = false;
  int status = 0;
  std::string existingId;
  ofw::Guid guid = ofw::Guid::generate();
  std::string guidText = guid.toSwappedMSString();
  bool addedPid = false, addedTty = false, addedPsid = false;
  int peerUid = -1;
  getPeerIdentity(&peerUid, nullptr);
  try {
    Vigilog::Auditor& a = auditor();
    Vigilog::AuditRegistry& reg = a.registry();
    // Step 3: the user name is the peer's own unless a trusted caller gave one.
    bool trustGiven = false;
    if (userGiven) {
      ovg::PasswdDA given;
      trustGiven = peerUid == 0 ||
                   (server_->userLookup().vgd_getpwnam(user, given, false) && static_cast<int>(given.uid) == peerUid);
      if (!trustGiven) OFW_WARN(logger_, "Ignoring the user name %s sent by uid %d for a session start", user.c_str(), peerUid);
    }
    if (!trustGiven) user = peerUserName(nullptr);

    int parentAudited = 0;
    if (isAuditCommand || isNssCmdShell)
      parentAudited = ovg::findAuditedAncestor(shParent, [&reg](int pid) { return reg.isVuvoAuditing(pid); });
    bool isParentAudit = parentAudited != 0;
    bool auditThisTTY = !reg.isTTYAuditing(newTty);
    bool auditThisPSID = newPsid != -1 && !reg.isPSIDAuditing(newPsid);

    bool initScript;
    const std::string& a0 = argv[0];
    if ((!a0.empty() && a0[0] == '-') || (!(a0.size() && a0[0] == '/') && a0 != "sh") || program == "xterm")
      initScript = false;
    else if (baseName(a0) == ofw::Props().getProperty("vgsh.shell.name", "ovgsh"))
      initScript = false;
    else
      initScript = listed(ofw::Props().getValueList("vgd.ignore.nonlogin.ttys"), newTty);
    OFW_DEBUG(logger_, "OS %s running init-script", initScript ? "is" : "is not");

    audited = (auditThisPSID || (newPsid == -1 && auditThisTTY) || isAuditCommand) && !initScript && !isParentAudit;
    if (audited) {
      addedPid = reg.addVuvoPID(shPid, guidText);
      addedTty = reg.addTTY(newTty, guidText);
      addedPsid = newPsid != -1 && reg.addPSID(newPsid, guidText);
      if (addedPid) reg.addCmdAuditOvgsh(shPid, guidText);
      status = 0;
    } else if (newPsid == -1 || reg.isPSIDAuditing(newPsid)) {
      status = 4;
      existingId = reg.getSessionIDFromPSID(newPsid);
    } else if (!reg.isTTYAuditing(newTty)) {
      if (isParentAudit) {
        status = 4;
        existingId = reg.getSessionIDFromVuvoPID(parentAudited);
      } else {
        status = 0;
      }
    } else {
      status = 4;
      existingId = reg.getSessionIDFromTTY(newTty);
    }
    OFW_DEBUG(logger_,
              "evaluating start session for tty: %s(slave:[%s]) PID: %d vgshPPID: %d shellPid: %d PSID(session ID for "
              "ovgsh): %d, auditThisPSID: %s, auditThisTTY: %s, isAuditCommand: %s, isNssCmdShell: %s, isParentAudit: "
              "%s, session audited: %s",
              newTty.c_str(), slave.c_str(), shPid, shParent, subshell, newPsid, tf(auditThisPSID), tf(auditThisTTY),
              tf(isAuditCommand), tf(isNssCmdShell), tf(isParentAudit), tf(audited));

    int limit = spoolLimitStatus(true);
    if (limit != 0) {
      status = limit;
      audited = false;
    }
  } catch (const std::exception& e) {
    OFW_WARN(logger_,
             "Vigilog cannot start a session, as there was a problem evaluating whether to start the session: %s",
             e.what());
    audited = false;
  }

  std::string serialized;
  if (audited) {
    // Build and store the start record before answering, so that a record
    // that could not be stored is answered "not audited", status 1.
    try {
      ovg::SessionStartInfo info;
      info.guid = guid;
      info.start = startTime;
      info.userType = getUserType(user, &info.directoryName, &info.sid);
      if (info.userType) {
        OFW_DEBUG(logger_, "setting user adname to: %s", info.directoryName.c_str());
        OFW_DEBUG(logger_, "setting user sid: %s", info.sid.c_str());
      }
      info.userName = user;
      info.tty = newTty;
      info.string1 = string1;
      info.string2 = string2;
      // Arguments are read one by one, each from the message: argc never
      // sizes anything, and a request whose argc is below 1 or above the
      // strings it carries is refused.
      if (argc < 1)
        throw ofw::BadDataException(ofw::format("Malformed request: argc is %d", static_cast<int>(argc)), 0, __FILE__,
                                    __LINE__);
      for (int32_t i = 1; i < argc; ++i) argv.push_back(r.string("argv"));
      info.argv = argv;
      getSequenceNumber(request);
      if (!actualUser.empty()) {
        std::string source = server_->userLookup().getUserSource(actualUser);
        for (auto& ch : source) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        info.userSource = actualUser + "@" + source;
      }
      info.videoCapture = video;
      info.related = related;
      Vigilog::Auditor& a = auditor();
      auto sq = a.sessions()->add(guid, a.maxSingleFileSize());
      sq->setOwner(peerUid);
      ovgfw::OVGRequestMessage record;
      ovg::buildSessionStart(record, info);
      serialized = record.serialize();
      if (!slave.empty() && !a.registry().addUtmpEntity(guidText, newTty, slave))
        OFW_WARN(logger_,
                 "Not auditing %s's session on %s, as we failed while trying to add utmp/utmpx/utmps entity. Slave pty "
                 "name is %s",
                 user.c_str(), newTty.c_str(), slave.c_str());
      a.postSessionData(guid, record);
    } catch (const std::exception& e) {
      OFW_WARN(logger_, "Vigilog cannot start a session, as its start record could not be spooled: %s", e.what());
      audited = false;
      status = 1;
      if (Vigilog::gAuditor) Vigilog::gAuditor->registry().removeUtmpEntity(guidText);
    }
  }

  MsgWriteBool(reply, audited ? 1 : 0);
  if (v >= 7) MsgWriteInt32(reply, status);
  if (!audited) {
    if (Vigilog::gAuditor) {
      Vigilog::AuditRegistry& reg = Vigilog::gAuditor->registry();
      if (addedPsid) reg.removePSID(newPsid, guidText);
      if (addedTty) reg.removeTTY(newTty, guidText);
      if (addedPid) {
        reg.removeVuvoPID(shPid, guidText);
        reg.removeCmdAuditOvgsh(shPid, guidText);
      }
    }
    if (status == 4 && v >= 15) MsgWriteString(reply, existingId.c_str());
    return;
  }
  // One session per connection: a session this connection still holds is
  // ended before the new one takes its place, or its registrations and its
  // open spool would outlive it. What both had registered (the same audit
  // shell's pid, tty or psid) then belongs to the new session.
  if (sessionOpen) {
    endSession(nullptr);
    if (Vigilog::gAuditor) {
      Vigilog::AuditRegistry& reg = Vigilog::gAuditor->registry();
      reg.addTTY(newTty, guidText);
      if (newPsid != -1) reg.addPSID(newPsid, guidText);
      if (reg.addVuvoPID(shPid, guidText)) reg.addCmdAuditOvgsh(shPid, guidText);
    }
  }
  tty = newTty;
  psid = newPsid;
  ovgshPid = shPid;
  ovgshParentPid = shParent;
  shellPid = subshell;
  sessionGuid = guid;
  sessionOpen = 1;
  MsgWriteBlob(reply, guid.data(), ofw::Guid::SIZE);
  OFW_DEBUG(logger_, "beginVuvo session called for user: %s with tty: %s guid: %s (argc=%d)", user.c_str(),
            newTty.c_str(), guidText.c_str(), argc);
  if (v >= 6) MsgWriteBlob(reply, serialized.data(), static_cast<uint32_t>(serialized.size()));
}

void LRPC2ServerSession::HandleSessionData(LRPC2Msg* request, LRPC2Msg* reply, int v) {
  RequestReader r(request);
  int32_t stream = r.int32("stream");
  std::string data = r.blob("data");
  struct timeval when = v >= 3 ? ovg::timevalFromBlob(r.blob("time")) : ovg::now();
  uint64_t seq = getSequenceNumber(request);
  int status = 0;
  std::string guidText = sessionGuid.toSwappedMSString();
  try {
    if (!sessionOpen) {
      OFW_WARN(logger_, "Session data on a connection without an open session (fd %d); %zu bytes discarded", fd.load(),
               data.size());
      status = 1;
    } else {
      if (ovg::gSrcEncoding != "utf8" && !data.empty()) {
        OFW_TRACE(logger_, "Convert session data from %s to %s", ovg::gSrcEncoding.c_str(), "utf8");
        std::string converted =
            ovg::latin1ToUtf8(reinterpret_cast<const unsigned char*>(data.data()), data.size());
        if (stream != 1) {
          logger_->hexData(ofw::Logger::TRACE, "Original:", data.data(), data.size());
          logger_->hexData(ofw::Logger::TRACE, "Result:", converted.data(), converted.size());
        }
        data.swap(converted);
      }
      status = spoolLimitStatus(false);
      if (status != 0) {
        OFW_TRACE(logger_, "Too less disk space, cannot post data. Guid: %s; Stream: %d; Data size: %d",
                  guidText.c_str(), stream, static_cast<int>(data.size()));
      } else if (data.empty()) {
        OFW_DEBUG(logger_, "Request to send session data but no data to be sent");
      } else {
        ovgfw::OVGRequestMessage record;
        ovg::buildSessionData(record, sessionGuid, when, ovg::streamByte(stream), data.data(),
                              static_cast<uint32_t>(data.size()));
        auditor().postSessionData(sessionGuid, record);
        OFW_TRACE(logger_, "Session data for guid: %s on stream %d, sequence number: %llu data:", guidText.c_str(),
                  stream, static_cast<unsigned long long>(seq));
        // Typed input may hold passwords: its length only.
        if (stream == 1)
          OFW_TRACE(logger_, "(%zu bytes of terminal input)", data.size());
        else
          logger_->hexData(ofw::Logger::TRACE, "", data.data(), data.size());
      }
    }
  } catch (const std::exception& e) {
    OFW_WARN(logger_, "Problem processing %d bytes of session data for GUID %s on stream %d: %s",
             static_cast<int>(data.size()), guidText.c_str(), stream, e.what());
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
  std::string guidText = sessionGuid.toSwappedMSString();
  try {
    if (!sessionOpen) {
      OFW_WARN(logger_, "Window size change on a connection without an open session (fd %d)", fd.load());
      status = 1;
    } else {
      OFW_DEBUG(logger_, "Window size change on guid %s", guidText.c_str());
      status = spoolLimitStatus(false);
      if (status == 0) {
        ovgfw::OVGRequestMessage record;
        ovg::buildWindowSize(record, sessionGuid, when, size);
        auditor().postSessionData(sessionGuid, record);
      }
    }
  } catch (const std::exception& e) {
    OFW_WARN(logger_, "Unable to process window size change for GUID %s: %s", guidText.c_str(), e.what());
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
    if (!ovg::processGroupOwnedBy(group, uid == 0 ? -1 : uid)) {
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
    int owner = a.sessions()->exists(guid) ? a.sessions()->getSessionQueue(guid)->getOwner() : -1;
    if (owner < 0) {
      OFW_WARN(logger_, "Session %s has no recorded owner; resume by uid %d accepted", guidText.c_str(), uid);
    } else if (uid != 0 && uid != owner) {
      OFW_WARN(logger_, "Refusing resume of session %s by uid %d: it belongs to uid %d", guidText.c_str(), uid, owner);
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
    reg.addTTY(newTty, guidText);
    if (newPsid != -1) reg.addPSID(newPsid, guidText);
    if (v >= 4) {
      ovgshPid = shPid;
      reg.addVuvoPID(shPid, guidText);
      reg.addCmdAuditOvgsh(shPid, guidText);
      OFW_DEBUG(logger_, "Pid %d was added back", shPid);
    }
    if (v >= 5) {
      pgid = group;
      if (group > 0) reg.addPSID(group, guidText);
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
        ovgfw::OVGRequestMessage record;
        record.deserialize(body);
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
