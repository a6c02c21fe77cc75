// Collector control requests of root's tools: rebind the collector, flush
// the cached directory answer. Both act through the Auditor, whose despooler
// thread owns the collector connection.
#include "auditor/auditor.h"
#include "lrpc2/msg_types.h"
#include "server/server_session.h"

namespace {

const char* const kRebindRefused = "The collector may only be rebound by root.";

}  // namespace

void LRPC2ServerSession::HandleRebindCollector(LRPC2Msg*, LRPC2Msg* reply) {
  if (!ClientIsRoot()) {
    OFW_INFO(logger_, "Refused a collector rebind request from a user other than root");
    MsgWriteString(reply, kRebindRefused);
    return;
  }
  Vigilog::Auditor* auditor = Vigilog::gAuditor;
  std::string oldName, newName;
  int code = auditor ? auditor->performRebind(oldName, newName) : -1;
  std::string verdict = Vigilog::rebindVerdict(code, oldName, newName);
  OFW_DEBUG(logger_, "Collector rebind: %s", verdict.c_str());
  MsgWriteString(reply, verdict.c_str());
}

void LRPC2ServerSession::HandleFlushInstallationInfoCache(LRPC2Msg*, LRPC2Msg* reply) {
  if (!ClientIsRoot()) {
    MsgWriteInt32(reply, 500);
    return;
  }
  Vigilog::Auditor* auditor = Vigilog::gAuditor;
  MsgWriteInt32(reply, auditor ? auditor->flushScpCache() : 1);
}
