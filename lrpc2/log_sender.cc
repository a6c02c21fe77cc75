#include "lrpc2/log_sender.h"

#include <cstdio>

#include "lrpc2/client_session.h"
#include "lrpc2/msg_types.h"
#include "lrpc2/session.h"
#include "ofw/config/properties.h"

extern "C" int LogBufferSendControlLog2(void*, const LogBuffer* buffer, const LogRecordFields* records,
                                        size_t count, char* error, size_t errorSize) {
  const char* path = LogBufferSocketPath(buffer);
  LRPC2ClientSession session;
  try {
    int signing = SignStringToSignSetting(ofw::Props().getProperty("lrpc2.message.signing", "disabled").c_str());
    int connectTimeout = LogBufferConnectTimeout(buffer);
    session.connect(path ? path : "", connectTimeout > 0 ? connectTimeout : 5, signing);
  } catch (const std::exception& e) {
    std::snprintf(error, errorSize, "%s", e.what());
    return LOG_BUFFER_ECONNECT;
  }
  try {
    MsgPtr req = session.newRequest(MsgType::ControlLog2);
    LRPC2Msg* m = req.get();
    for (size_t i = 0; i < count; ++i) {
      const LogRecordFields& r = records[i];
      MsgWriteUInt32(m, r.time ? r.time : 1);
      MsgWriteString(m, r.program);
      MsgWriteInt32(m, r.pid);
      MsgWriteInt32(m, r.level);
      MsgWriteString(m, r.file);
      MsgWriteInt32(m, r.line);
      MsgWriteString(m, r.function);
      MsgWriteString(m, r.text);
    }
    MsgWriteUInt32(m, 0);
    int timeout = LogBufferTimeout(buffer);
    MsgPtr reply = session.request(m, timeout > 0 ? timeout : 300);
    int ok = 0;
    if (!reply || MsgReadBool(reply.get(), &ok) != 0 || !ok) {
      std::snprintf(error, errorSize, "%s", "the daemon did not accept the records");
      return LOG_BUFFER_ESEND;
    }
  } catch (const std::exception& e) {
    std::snprintf(error, errorSize, "%s", e.what());
    return LOG_BUFFER_ESEND;
  }
  return 0;
}
