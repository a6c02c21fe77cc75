// The Auditor's side of collector selection: the evaluation runs on the
// despooler thread, which owns the connection; other threads raise flags or
// post a request and wait for its outcome.
#include "auditor/action_count.h"
#include "auditor/auditor.h"
#include "ofw/config/properties.h"
#include "ovgfw/agent_state.h"
#include "ovgfw/ovg_exception.h"

namespace Vigilog {

// The evaluation's hold on the Auditor's connection (despooler thread).
class Auditor::Link : public CollectorLink {
 public:
  explicit Link(Auditor& a) : a_(a) {}
  bool connected() override { return a_.isOnline(); }
  std::string current() override { return a_.currentCollector(); }
  void drop(int state, const std::string& message) override {
    a_.connection_->disconnect();
    {
      ofw::Lock lock(a_.currentMutex_);
      a_.currentCollector_.clear();
    }
    a_.setState(state, message);
  }
  void adjustDiskState() override {
    int state = a_.getState();
    bool full = a_.overDiskQuota();
    if (state == ovgfw::AgentState::RUNNING && full)
      a_.setState(ovgfw::AgentState::SPOOL_DISK_FULL, a_.getStateDescription());
    else if (state == ovgfw::AgentState::SPOOL_DISK_FULL && !full)
      a_.setState(ovgfw::AgentState::RUNNING, a_.getStateDescription());
  }
  void probe(const std::string& target) override {
    refuseAfterShutdown();
    ovgfw::SecureConnection trial;
    trial.setSigned(a_.sign_);
    trial.setSealed(a_.seal_);
    trial.setSymmetric(a_.symmetric_);
    trial.connectToCollector(target, false);
    trial.disconnect();
  }
  void switchTo(const std::string& target) override {
    refuseAfterShutdown();
    a_.connection_->disconnect();
    {
      ofw::Lock lock(a_.currentMutex_);
      a_.currentCollector_.clear();
    }
    a_.connection_->setSigned(a_.sign_);
    a_.connection_->setSealed(a_.seal_);
    a_.connection_->setSymmetric(a_.symmetric_);
    try {
      a_.connection_->connectToCollector(target, false);
    } catch (const std::exception& e) {
      a_.setState(ovgfw::AgentState::NOT_CONNECTED, e.what());
      throw;
    }
    ovg::incrementActionCount(ovg::AC_COLLECTOR_CONNECT);
    a_.onConnected();
  }

 private:
  void refuseAfterShutdown() {
    if (a_.connectionShutdown_.load()) throw ovgfw::OVGException("The connection is shut down");
  }
  Auditor& a_;
};

void Auditor::setVerifyCollector() {
  rebindDue_ = true;
  requestReconnect();
}

void Auditor::setForcedRebind() { forcedRebind_ = true; }

std::string Auditor::currentCollector() {
  if (!isOnline()) return std::string();
  ofw::Lock lock(currentMutex_);
  return currentCollector_;
}

int Auditor::rebindToBestSCP(RebindFlags flags) {
  ovg::incrementActionCount(ovg::AC_REBIND_SCP);
  Link link(*this);
  return selection_->rebindToBestSCP(link, flags);
}

void Auditor::serveRebindRequests() {
  uint64_t upTo = rebindRequests_.take();
  if (upTo == 0) return;
  RebindRequests::Outcome outcome;
  outcome.oldName = currentCollector();
  try {
    RebindFlags flags;
    flags.forced = true;
    outcome.code = rebindToBestSCP(flags);
  } catch (const std::exception& e) {
    OFW_INFO(logger_, "Unable to rebind connection: %s", e.what());
  }
  outcome.newName = currentCollector();
  rebindRequests_.complete(upTo, outcome);
}

int Auditor::performRebind(std::string& oldName, std::string& newName) {
  uint64_t ticket = rebindRequests_.post();
  requestReconnect();
  const int seconds = ofw::Props().getInt("lrpc2.rebind.timeout", 300);
  RebindRequests::Outcome outcome;
  if (!rebindRequests_.wait(ticket, seconds, outcome)) {
    OFW_WARN(logger_, "The collector rebind did not finish within %d seconds; it goes on without an answer", seconds);
    oldName = newName = currentCollector();
    return -1;
  }
  oldName = outcome.oldName;
  newName = outcome.newName;
  return outcome.code;
}

int Auditor::flushScpCache() {
  ovg::incrementActionCount(ovg::AC_FLUSH_SCP_CACHE);
  return selection_->flushScpCache();
}

}  // namespace Vigilog
