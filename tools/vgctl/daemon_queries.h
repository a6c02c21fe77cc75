// The client side of the daemon's status, statistics and control requests:
// each function sends one request over the caller's session and decodes its
// reply in the order the daemon writes it.
//
// Failures are thrown as DaemonError: kUnreachable when no session could be
// opened, kNoAnswer when a request went unanswered (the daemon drops the
// connection of a request it does not know) or its reply lacks a field.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lrpc2/client_session.h"

namespace vgctl {

struct DaemonError : std::runtime_error {
  enum Kind { kUnreachable, kNoAnswer };
  DaemonError(Kind k, const std::string& text) : std::runtime_error(text), kind(k) {}
  Kind kind;
};

// One connection to the daemon's local socket, reopened after a request that
// failed (the daemon closes the connection of a request it could not serve),
// so that the next request still gets its answer.
class Daemon {
 public:
  // signSetting: SIGN_SETTING_* (lrpc2/session.h).
  Daemon(std::string socketPath, int timeoutSeconds, int signSetting);
  // Opens the session now; throws kUnreachable.
  void connect();
  // Sends the request (fields already written) and returns its reply.
  MsgPtr call(MsgPtr request, int timeoutSeconds = 0);
  MsgPtr newRequest(uint32_t type);
  int timeout() const { return timeout_; }

 private:
  std::string path_;
  int timeout_;
  int signSetting_;
  LRPC2ClientSession session_;
};

struct CollectorStatus {
  int32_t state = 0;
  std::string description;
  std::string installation;
  bool online = false;
  std::string auditStore;
  std::string collector;
};

struct ConnectionStats {
  std::string target;  // host:port:principal
  // Low 32 bits of the times (seconds): off-limits until, last connected,
  // last transmission success, last connect error, last transmission error.
  uint32_t times[5] = {0, 0, 0, 0, 0};
  std::string connectError;
  std::string transmissionError;
};

struct SpoolEntry {
  std::string name;
  bool paused = false;
  bool inProgress = false;  // a session spool whose session has not ended
  std::string status;
};

struct Answer {  // a status word and the daemon's text
  int32_t status = 0;
  std::string text;
};

bool queryBool(Daemon& d, uint32_t type);
std::string queryString(Daemon& d, uint32_t type);
CollectorStatus queryCollectorStatus(Daemon& d);
std::vector<ConnectionStats> queryConnectionStatistics(Daemon& d);
// Empty for a caller that is not root.
std::vector<SpoolEntry> querySpoolInfo(Daemon& d);
std::pair<int32_t, int32_t> queryDiskParameters(Daemon& d);
std::string queryParameter(Daemon& d, const std::string& key);
std::vector<std::pair<std::string, std::string>> queryActionCounts(Daemon& d);
// Whether pid (or psid, or tty) belongs to an audited session; *id gets its id.
bool querySessionAudited(Daemon& d, int32_t pid, int32_t psid, const std::string& tty, std::string* id);

// Requests answered by one int32 status (reload, flush, resume): arg is
// written as a string when given.
int32_t requestStatus(Daemon& d, uint32_t type, const std::string* arg = nullptr);
// The monitoring requests: a status and a text.
Answer requestMonitoring(Daemon& d, uint32_t type, bool enable);
// The rebind request: the verdict text, or a refusal status (text empty).
Answer requestRebind(Daemon& d, int timeoutSeconds);
// VGStop: an empty reply whoever asks.
void requestStop(Daemon& d);
void ping(Daemon& d);

}  // namespace vgctl
