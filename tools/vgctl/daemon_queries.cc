#include "tools/vgctl/daemon_queries.h"

#include <cstdlib>

#include "lrpc2/msg_types.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"

namespace vgctl {

namespace {

const char* typeName(uint32_t type) {
  const char* n = MsgTableGetMsgTypeName(type);
  return n ? n : "?";
}

// Reads the reply's fields in order; a missing or mistyped field is kNoAnswer.
class Reply {
 public:
  Reply(MsgPtr m, uint32_t type) : m_(std::move(m)), type_(type) {}
  bool boolean() {
    int v = 0;
    check(MsgReadBool(m_.get(), &v), "bool");
    return v != 0;
  }
  int32_t int32() {
    int32_t v = 0;
    check(MsgReadInt32(m_.get(), &v), "int32");
    return v;
  }
  std::string string() {
    char* v = nullptr;
    check(MsgReadString(m_.get(), &v), "string");
    std::string s = v ? v : "";
    std::free(v);
    return s;
  }
  int nextTag() {
    int tag = MSG_TAG_END;
    if (MsgPeekData(m_.get(), &tag) != MSG_OK) return MSG_TAG_END;
    return tag;
  }
  LRPC2Msg* get() { return m_.get(); }

 private:
  void check(int rc, const char* what) {
    if (rc != MSG_OK)
      throw DaemonError(DaemonError::kNoAnswer,
                        ofw::format("malformed %s reply: no %s field (%d)", typeName(type_), what, rc));
  }
  MsgPtr m_;
  uint32_t type_;
};

Reply ask(Daemon& d, uint32_t type, int timeout = 0) { return Reply(d.call(d.newRequest(type), timeout), type); }

}  // namespace

Daemon::Daemon(std::string socketPath, int timeoutSeconds, int signSetting)
    : path_(std::move(socketPath)), timeout_(timeoutSeconds), signSetting_(signSetting) {}

void Daemon::connect() {
  try {
    session_.connect(path_, timeout_, signSetting_);
  } catch (const ofw::IOException& e) {
    // No socket, or nobody accepting on it: the daemon is not running. Any
    // other failure is a daemon that refused the session (signing, protocol).
    bool down = e.code() == SESSION_ERR_NOPATH || e.code() == SESSION_ERR_OPEN;
    throw DaemonError(down ? DaemonError::kUnreachable : DaemonError::kNoAnswer,
                      down ? e.what() : std::string("the daemon refused the session: ") + e.what());
  }
}

MsgPtr Daemon::newRequest(uint32_t type) {
  if (!session_.isConnected()) connect();
  return session_.newRequest(type);
}

MsgPtr Daemon::call(MsgPtr request, int timeoutSeconds) {
  uint32_t type = 0;
  // A complete message can be read: its type names the request in errors.
  if (MsgGetState(request.get()) == MSG_STATE_BUILDING) MsgComplete(request.get());
  MsgReadMsgType(request.get(), &type);
  if (!session_.isConnected()) connect();
  MsgPtr reply;
  try {
    reply = session_.request(request.get(), timeoutSeconds > 0 ? timeoutSeconds : timeout_);
  } catch (const std::exception& e) {
    session_.close();
    throw DaemonError(DaemonError::kNoAnswer, ofw::format("%s was not answered: %s", typeName(type), e.what()));
  }
  if (!reply) {
    session_.close();
    throw DaemonError(DaemonError::kNoAnswer, ofw::format("%s was not answered", typeName(type)));
  }
  return reply;
}

bool queryBool(Daemon& d, uint32_t type) { return ask(d, type).boolean(); }

std::string queryString(Daemon& d, uint32_t type) { return ask(d, type).string(); }

CollectorStatus queryCollectorStatus(Daemon& d) {
  Reply r = ask(d, MsgType::VGQueryCollectorStatus2);
  CollectorStatus s;
  s.state = r.int32();
  s.description = r.string();
  s.installation = r.string();
  s.online = r.boolean();
  s.auditStore = r.string();
  s.collector = r.string();
  return s;
}

std::vector<ConnectionStats> queryConnectionStatistics(Daemon& d) {
  Reply r = ask(d, MsgType::VGQueryConnectionStatistics);
  std::vector<ConnectionStats> out;
  // No count precedes the entries: they run to the end of the reply.
  while (r.nextTag() != MSG_TAG_END) {
    ConnectionStats c;
    c.target = r.string();
    for (uint32_t& t : c.times) t = static_cast<uint32_t>(r.int32());
    c.connectError = r.string();
    c.transmissionError = r.string();
    out.push_back(c);
  }
  return out;
}

std::vector<SpoolEntry> querySpoolInfo(Daemon& d) {
  Reply r = ask(d, MsgType::VGQuerySpoolInfo, 0);
  std::vector<SpoolEntry> out;
  while (r.nextTag() != MSG_TAG_END) {
    SpoolEntry e;
    e.name = r.string();
    e.paused = r.boolean();
    e.inProgress = r.boolean();
    e.status = r.string();
    out.push_back(e);
  }
  return out;
}

std::pair<int32_t, int32_t> queryDiskParameters(Daemon& d) {
  Reply r = ask(d, MsgType::VGQueryVgdParameters);
  int32_t min = r.int32();
  return {min, r.int32()};
}

std::string queryParameter(Daemon& d, const std::string& key) {
  MsgPtr m = d.newRequest(MsgType::VGQueryVgdParameter);
  MsgWriteString(m.get(), key.c_str());
  return Reply(d.call(std::move(m)), MsgType::VGQueryVgdParameter).string();
}

std::vector<std::pair<std::string, std::string>> queryActionCounts(Daemon& d) {
  Reply r = ask(d, MsgType::VGQueryVgdActionCount);
  MsgKeyValue* pairs = nullptr;
  if (MsgReadKeyValueSet(r.get(), &pairs) != MSG_OK)
    throw DaemonError(DaemonError::kNoAnswer, "malformed VGQueryVgdActionCount reply: no key/value set");
  std::vector<std::pair<std::string, std::string>> out;
  for (MsgKeyValue* p = pairs; p && p->key; ++p) out.emplace_back(p->key, p->value ? p->value : "");
  FreeMsgKeyValueSet(pairs);
  return out;
}

bool querySessionAudited(Daemon& d, int32_t pid, int32_t psid, const std::string& tty, std::string* id) {
  MsgPtr m = d.newRequest(MsgType::VGQueryIsSessionAudited);
  MsgWriteInt32(m.get(), pid);
  MsgWriteInt32(m.get(), psid);
  MsgWriteString(m.get(), tty.c_str());
  Reply r(d.call(std::move(m)), MsgType::VGQueryIsSessionAudited);
  bool audited = r.boolean();
  if (audited) *id = r.string();
  return audited;
}

int32_t requestStatus(Daemon& d, uint32_t type, const std::string* arg) {
  MsgPtr m = d.newRequest(type);
  if (arg) MsgWriteString(m.get(), arg->c_str());
  return Reply(d.call(std::move(m)), type).int32();
}

Answer requestMonitoring(Daemon& d, uint32_t type, bool enable) {
  MsgPtr m = d.newRequest(type);
  if (type == MsgType::VGEnableLibaudit) {
    MsgWriteBool(m.get(), enable ? 1 : 0);
    MsgWriteBool(m.get(), enable ? 1 : 0);
  }
  Reply r(d.call(std::move(m)), type);
  Answer a;
  a.status = r.int32();
  if (r.nextTag() == MSG_TAG_STRING) a.text = r.string();
  return a;
}

Answer requestRebind(Daemon& d, int timeoutSeconds) {
  Reply r = Reply(d.call(d.newRequest(MsgType::VGRebindCollector), timeoutSeconds), MsgType::VGRebindCollector);
  Answer a;
  // A refusal is a status word; a verdict is its text (after a status when one leads).
  if (r.nextTag() == MSG_TAG_INT32) a.status = r.int32();
  if (r.nextTag() == MSG_TAG_STRING) a.text = r.string();
  if (a.status == 0 && a.text.empty())
    throw DaemonError(DaemonError::kNoAnswer, "malformed VGRebindCollector reply: no verdict");
  return a;
}

void requestStop(Daemon& d) { d.call(d.newRequest(MsgType::VGStop)); }

void ping(Daemon& d) { d.call(d.newRequest(MsgType::VGPing)); }

}  // namespace vgctl
