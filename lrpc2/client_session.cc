#include "lrpc2/client_session.h"

#include "ofw/exceptions.h"
#include "ofw/format.h"

namespace {

std::string StatusText(int status) {
  const char* text = SessionErr2Str(status);
  return text ? text : ofw::format("status %d", status);
}

[[noreturn]] void Fail(const std::string& what, int status, const char* file, int line) {
  throw ofw::IOException(what + ": " + StatusText(status), status, file, line);
}

}  // namespace

LRPC2ClientSession::~LRPC2ClientSession() { close(); }

void LRPC2ClientSession::close() {
  SessionClientClose(session_);
  session_ = nullptr;
}

void LRPC2ClientSession::connect(const std::string& path, int timeoutSeconds, int signSetting,
                                 int version, const MsgTable* table) {
  close();
  table_ = table ? table : OVGPrivGetMsgTable();
  int status = 0;
  session_ = SessionConnectWithTimeout(path.c_str(), table_, timeoutSeconds, version, signSetting,
                                       &status);
  if (session_ == nullptr)
    Fail(ofw::format("Cannot connect LRPC2 session to %s", path.c_str()), status, __FILE__,
         __LINE__);
}

MsgPtr LRPC2ClientSession::newRequest(uint32_t type) const {
  int status = 0;
  MsgPtr m(MsgNew(type, 0, table_ ? table_ : OVGPrivGetMsgTable(), MSG_MAX_HEADER_LENGTH, &status));
  if (!m) Fail(ofw::format("Cannot create LRPC2 message %u", type), status, __FILE__, __LINE__);
  return m;
}

MsgPtr LRPC2ClientSession::request(LRPC2Msg* req, int timeoutSeconds) {
  if (session_ == nullptr) Fail("LRPC2 session is not connected", SESSION_ERR_HANDLE, __FILE__, __LINE__);
  if (MsgGetState(req) == MSG_STATE_BUILDING) {
    const int rc = MsgComplete(req);
    if (rc != MSG_OK) Fail("Cannot complete LRPC2 request", rc, __FILE__, __LINE__);
  }
  int status = 0;
  MsgPtr reply(SessionSendWithTimeout(session_, req, timeoutSeconds, &status));
  if (!reply && status != SESSION_OK) Fail("LRPC2 request failed", status, __FILE__, __LINE__);
  return reply;
}

bool LRPC2ClientSession::ping(int timeoutSeconds) {
  MsgPtr req = newRequest(MsgType::VGPing);
  MsgPtr reply = request(req.get(), timeoutSeconds);
  uint32_t type = 0;
  return reply && MsgReadMsgType(reply.get(), &type) == MSG_OK && type == MsgType::VGPing;
}
