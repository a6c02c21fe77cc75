#include "tools/shellside/session_requests.h"

#include <cstdlib>
#include <cstring>

#include "lrpc2/msg_types.h"

namespace ovg {

namespace {

// Collects the first failing write so a builder reads as a list of fields.
class Writer {
 public:
  Writer(uint32_t type, int* status) : status_(status) {
    if (type == 0) {
      rc_ = MSG_ERR_INVALID;
      return;
    }
    msg_.reset(MsgNew(type, 0, OVGPrivGetMsgTable(), MSG_MAX_HEADER_LENGTH, &rc_));
  }

  void i32(int32_t v) {
    if (ok()) rc_ = MsgWriteInt32(msg_.get(), v);
  }
  void u32(uint32_t v) {
    if (ok()) rc_ = MsgWriteUInt32(msg_.get(), v);
  }
  void b(bool v) {
    if (ok()) rc_ = MsgWriteBool(msg_.get(), v ? 1 : 0);
  }
  void str(const std::string& s) {
    if (ok()) rc_ = MsgWriteString(msg_.get(), s.c_str());
  }
  void blob(const std::string& s) {
    if (ok()) rc_ = MsgWriteBlob(msg_.get(), s.data(), static_cast<uint32_t>(s.size()));
  }
  void sequence(uint64_t n) {
    u32(static_cast<uint32_t>(n >> 32));
    u32(static_cast<uint32_t>(n & 0xffffffffu));
  }
  LRPC2Msg* finish() {
    if (ok()) rc_ = MsgComplete(msg_.get());
    if (status_) *status_ = rc_;
    if (!ok()) return nullptr;
    return msg_.release();
  }

 private:
  bool ok() const { return rc_ == 0 && msg_ != nullptr; }
  MsgPtr msg_;
  int rc_ = 0;
  int* status_;
};

}  // namespace

uint32_t startRequestType(int v) {
  switch (v) {
    case 1: return MsgType::VGSessionStart;
    case 2: return MsgType::VGSessionStart2;
    default: break;
  }
  if (v >= 4 && v <= 10) return MsgType::VGSessionStart4 + static_cast<uint32_t>(v - 4);
  if (v >= 11 && v <= 17) return MsgType::VGSessionStart11 + static_cast<uint32_t>(v - 11);
  return 0;
}

uint32_t resumeRequestType(int v) {
  return v >= 1 && v <= 5 ? MsgType::VGSessionResume + static_cast<uint32_t>(v - 1) : 0;
}
uint32_t dataRequestType(int v) { return v >= 1 && v <= 3 ? MsgType::VGSessionData + static_cast<uint32_t>(v - 1) : 0; }
uint32_t wsizeRequestType(int v) {
  return v >= 1 && v <= 3 ? MsgType::VGSessionWSizeChange + static_cast<uint32_t>(v - 1) : 0;
}
uint32_t endRequestType(int v) {
  if (v == 1) return MsgType::VGSessionEnd;
  if (v == 2) return MsgType::VGSessionEnd2;
  return 0;
}

std::string timevalBlob(const struct timeval& tv, size_t size) {
  std::string b(sizeof tv, '\0');
  std::memcpy(&b[0], &tv, sizeof tv);
  b.resize(size, '\0');
  return b;
}

StartRequest rootLoginStart(int32_t ovgshPid, const std::string& tty, const std::string& startTime,
                            const std::string& argv0) {
  StartRequest r;
  r.ovgshPid = ovgshPid;
  r.psid = -1;
  r.user = "root";
  r.tty = tty;
  r.program = "ovgsh";
  r.startTime = startTime;
  r.argv = {argv0};
  return r;
}

LRPC2Msg* buildStartRequest(int v, const StartRequest& r, int* status) {
  Writer w(startRequestType(v), status);
  if (v >= 5) {
    w.i32(r.ovgshPid);
    w.i32(r.ovgshParentPid);
    w.i32(r.shellPid);
  }
  w.i32(r.psid);
  if (v >= 17) w.b(r.userGiven);
  w.str(r.user);
  w.str(r.tty);
  if (v >= 4) w.str(r.slave);
  w.str(r.string1);
  w.str(r.string2);
  if (v >= 2) w.str(r.program);
  if (v >= 9) w.b(r.auditCommand);
  if (v >= 12) w.b(r.secondFlag);
  if (v >= 10 && v <= 15) w.str(r.reserved);
  if (v >= 11) w.str(r.actualUser);
  if (v >= 13) w.str(r.related);
  if (v >= 14) w.blob(r.startTime);
  w.i32(r.argcGiven ? r.argcField : static_cast<int32_t>(r.argv.size()));
  for (const std::string& a : r.argv) w.str(a);
  w.sequence(r.sequence);
  return w.finish();
}

LRPC2Msg* buildDataRequest(int v, int32_t stream, const std::string& data, const std::string& timeBlob,
                           uint64_t sequence, int* status) {
  Writer w(dataRequestType(v), status);
  w.i32(stream);
  w.blob(data);
  if (v >= 3) {
    w.blob(timeBlob);
    w.sequence(sequence);
  }
  return w.finish();
}

LRPC2Msg* buildWSizeRequest(int v, const std::string& timeBlob, const int32_t size[4], uint64_t sequence,
                            int* status) {
  Writer w(wsizeRequestType(v), status);
  if (v >= 2) w.blob(timeBlob);
  for (int i = 0; i < 4; ++i) w.i32(size[i]);
  if (v >= 3) w.sequence(sequence);
  return w.finish();
}

LRPC2Msg* buildPGIDRequest(int32_t pgid, int* status) {
  Writer w(MsgType::VGSessionPGID, status);
  w.i32(pgid);
  return w.finish();
}

LRPC2Msg* buildResumeRequest(int v, const std::string& guid, const std::string& tty, int32_t psid,
                             const std::string& body, int32_t ovgshPid, int32_t pgid, int* status) {
  Writer w(resumeRequestType(v), status);
  w.blob(guid);
  w.str(tty);
  w.i32(psid);
  if (v >= 2) w.blob(body);
  if (v >= 4) w.i32(ovgshPid);
  if (v >= 5) w.i32(pgid);
  return w.finish();
}

LRPC2Msg* buildEndRequest(int v, const std::string& timeBlob, int* status) {
  Writer w(endRequestType(v), status);
  if (v >= 2) w.blob(timeBlob);
  return w.finish();
}

namespace {
int readBlob(LRPC2Msg* m, std::string& out) {
  void* data = nullptr;
  uint32_t length = 0;
  int rc = MsgReadBlob(m, &data, &length);
  if (rc != 0) return rc;
  out.assign(data ? static_cast<const char*>(data) : "", data ? length : 0);
  std::free(data);
  return 0;
}
}  // namespace

int readStartReply(LRPC2Msg* reply, int v, StartReply& out) {
  out = StartReply();
  int audited = 0;
  int rc = MsgReadBool(reply, &audited);
  if (rc != 0) return rc;
  out.audited = audited != 0;
  if (v >= 7 && (rc = MsgReadInt32(reply, &out.status)) != 0) return rc;
  if (!out.audited) {
    int tag = 0;
    if (MsgPeekData(reply, &tag) == 0 && tag == MSG_TAG_STRING) {
      char* s = nullptr;
      if ((rc = MsgReadString(reply, &s)) != 0) return rc;
      out.existingId = s ? s : "";
      std::free(s);
    }
    return 0;
  }
  if ((rc = readBlob(reply, out.guid)) != 0) return rc;
  if (v >= 6 && (rc = readBlob(reply, out.body)) != 0) return rc;
  return 0;
}

int readStatusReply(LRPC2Msg* reply, int32_t* status) { return MsgReadInt32(reply, status); }

}  // namespace ovg
