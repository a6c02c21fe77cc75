// Status queries of the tools: whether the daemon and its audit-trail channel
// are on line, the collector and its connection records, the spools. They
// only read the Auditor's masked state and records, never the connection
// itself, so a slow collector never delays them. Without an Auditor they
// answer as a daemon that is not connected.
#include <vector>

#include "auditor/auditor.h"
#include "lrpc2/msg_types.h"
#include "server/server_session.h"

namespace {

// The low 32 bits of a time.
int32_t low32(time_t t) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(t))); }

void writeSpoolInfo(LRPC2Msg* reply, const ovgfw::SpoolInfo& info) {
  MsgWriteString(reply, info.name.c_str());
  MsgWriteBool(reply, info.paused ? 1 : 0);
  MsgWriteBool(reply, info.inProgress ? 1 : 0);
  MsgWriteString(reply, info.status.c_str());
}

}  // namespace

void LRPC2ServerSession::HandleIsDaemonOnline(LRPC2Msg*, LRPC2Msg* reply) {
  MsgWriteBool(reply, Vigilog::gAuditor && Vigilog::gAuditor->isOnlineMasked() ? 1 : 0);
}

void LRPC2ServerSession::HandleIsATChannelOnline(LRPC2Msg*, LRPC2Msg* reply) {
  MsgWriteBool(reply, Vigilog::gAuditor && Vigilog::gAuditor->isATOnlineMasked() ? 1 : 0);
}

void LRPC2ServerSession::HandleCollectorStatus(LRPC2Msg*, LRPC2Msg* reply) {
  std::string collector = Vigilog::gAuditor ? Vigilog::gAuditor->currentCollector() : std::string();
  MsgWriteString(reply, collector.c_str());
}

void LRPC2ServerSession::HandleCollectorStatus2(LRPC2Msg*, LRPC2Msg* reply) {
  int32_t state = 0;
  std::string description, installation, auditStore, collector;
  bool online = false;
  if (Vigilog::gAuditor)
    Vigilog::gAuditor->getCurrentInfo(&state, &description, &installation, &online, &auditStore, &collector);
  MsgWriteInt32(reply, state);
  MsgWriteString(reply, description.c_str());
  MsgWriteString(reply, installation.c_str());
  MsgWriteBool(reply, online ? 1 : 0);
  MsgWriteString(reply, auditStore.c_str());
  MsgWriteString(reply, collector.c_str());
}

void LRPC2ServerSession::HandleConnectionStatistics(LRPC2Msg*, LRPC2Msg* reply) {
  if (!Vigilog::gAuditor) return;
  for (const ovgfw::ConnectionInfo& c : Vigilog::gAuditor->getConnectionInfoList()) {
    MsgWriteString(reply, c.hostPortSpn.c_str());
    MsgWriteInt32(reply, low32(c.offLimitsUntil));
    MsgWriteInt32(reply, low32(c.lastConnected));
    MsgWriteInt32(reply, low32(c.lastTransmissionSuccess));
    MsgWriteInt32(reply, low32(c.lastConnectErrorTime));
    MsgWriteInt32(reply, low32(c.lastTransmissionErrorTime));
    MsgWriteString(reply, c.lastConnectError.c_str());
    MsgWriteString(reply, c.lastTransmissionError.c_str());
  }
}

// Each entry: name, paused flag, in-progress flag, status text.
void LRPC2ServerSession::HandleSpoolInfo(LRPC2Msg*, LRPC2Msg* reply) {
  if (!ClientIsRoot() || !Vigilog::gAuditor) return;
  for (const ovgfw::SpoolInfo& info : Vigilog::gAuditor->getSpoolInfoList()) writeSpoolInfo(reply, info);
  for (const ovgfw::SpoolInfo& info : Vigilog::gAuditor->getSessionSpoolInfoList()) writeSpoolInfo(reply, info);
}
