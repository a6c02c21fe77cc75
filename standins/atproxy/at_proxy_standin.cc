// Stand-in for the audit-trail proxy library: records each event in a file
// and, when asked, hands it to the daemon as a local program's event.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "audittrail/at_proxy_api.h"
#include "lrpc2/msg.h"
#include "lrpc2/msg_types.h"
#include "lrpc2/session.h"
#include "tools/shellside/at_event_request.h"

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const unsigned kContextMagic = 0x41545058;  // "ATPX"

struct Context {
  unsigned magic = kContextMagic;
};

[[maybe_unused]] std::string field(const char* text) {
  std::string s = text ? text : "-";
  for (char& c : s)
    if (c == '\t' || c == '\n') c = ' ';
  return s;
}

// Short: the daemon waits for the answer (its stop event finds no server).
const int kForwardTimeout = 2;
// Returned when the event could not be handed to the daemon's socket.
const int kNotDelivered = 111;

// Sends the event to the daemon listening on `socket`; 0 when it answered.
[[maybe_unused]] int forward(const char* socket, const char* product, const char* source, int eventId,
                             const char* userName, const char* parameters) {
  int status = 0;
  LRPC2SessionClient* c = SessionConnectWithTimeout(socket, OVGPrivGetMsgTable(), kForwardTimeout, 5,
                                                    SIGN_SETTING_DISABLED, &status);
  if (!c) return kNotDelivered;
  MsgPtr request(MsgNew(MsgType::AuditTrailSessionData2, 0, OVGPrivGetMsgTable(), 48, &status));
  int rc = kNotDelivered;
  if (request) {
    // Source and product texts, the user name, no session, the parameter
    // text as one string parameter.
    ovg::ATEventRequest e = ovg::atEventNow(static_cast<uint32_t>(eventId));
    e.first = source ? source : "";
    e.second = product ? product : "";
    e.fifth = userName ? userName : "";
    if (parameters && *parameters) e.strings.push_back(parameters);
    ovg::writeATEventRequest(request.get(), e);
    MsgComplete(request.get());
    MsgPtr reply(SessionSendWithTimeout(c, request.get(), kForwardTimeout, &status));
    if (reply) rc = 0;
  }
  SessionClientClose(c);
  return rc;
}

}  // namespace

STANDIN_EXPORT int ATProxyGetVersion(int* major, int* minor, int* patch) {
  const char* text = std::getenv("AT_PROXY_STANDIN_VERSION");
  int v[3] = {1, 0, 0};
  if (text && std::sscanf(text, "%d.%d.%d", &v[0], &v[1], &v[2]) != 3) v[0] = v[1] = v[2] = 0;
  *major = v[0];
  *minor = v[1];
  *patch = v[2];
  return 0;
}

STANDIN_EXPORT int ATProxyCheckVersion(int major, int, int) { return major == 1 ? 0 : 1; }

STANDIN_EXPORT int ATProxyInitATContext(void** ctx) {
  if (!ctx) return 22;
  *ctx = new Context;
  return 0;
}

STANDIN_EXPORT int ATProxyFreeATContext(void** ctx) {
  if (!ctx || !*ctx || static_cast<Context*>(*ctx)->magic != kContextMagic) return 22;
  static_cast<Context*>(*ctx)->magic = 0;
  delete static_cast<Context*>(*ctx);
  *ctx = nullptr;
  return 0;
}

#ifndef AT_PROXY_STANDIN_NOSEND
STANDIN_EXPORT int ATProxySetAuditTrailEvent2(void* ctx, const char* product, const char* source, int eventId,
                                              const char* userName, unsigned int uid, const char* parameters) {
  if (!ctx || static_cast<Context*>(ctx)->magic != kContextMagic) return 22;
  const char* path = std::getenv("AT_PROXY_STANDIN_RECORD");
  if (!path || !*path) path = "/var/orvanepw/at-proxy-events";
  const std::string line = std::to_string(eventId) + "\t" + field(source) + "\t" + field(product) + "\t" +
                           field(userName) + "\t" + std::to_string(uid) + "\t" + field(parameters) + "\n";
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return 5;
  const bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  close(fd);
  if (!ok) return 5;
  const char* socket = std::getenv("AT_PROXY_STANDIN_SOCKET");
  return socket && *socket ? forward(socket, product, source, eventId, userName, parameters) : 0;
}
#endif
