#include "daemon/subsystems.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "daemon/daemon_state.h"
#include "auditor/action_count.h"
#include "auditor/auditor.h"
#include "host/audit_level.h"
#include "lrpc2/msg.h"
#include "ofw/config/properties.h"
#include "lrpc2/msg_types.h"
#include "lrpc2/session.h"
#include "ofw/capi/capi_loader.h"
#include "ofw/paths.h"
#include "server/ipc_server.h"

namespace vgd {

DaemonState gState;

void resetActionCounters() { ovg::resetActionCounts(); }

namespace {
std::unique_ptr<ofw::IPCServer> gServerOwner;
std::unique_ptr<Vigilog::Auditor> gAuditorOwner;
}

bool isDaemonAnswering(const std::string& socketPath) {
  // Connect with 15 s and signing off, then a ping with 5 s.
  int status = 0;
  LRPC2SessionClient* client = SessionConnectWithTimeout(socketPath.c_str(), OVGPrivGetMsgTable(), 15, 5,
                                                         SIGN_SETTING_DISABLED, &status);
  if (!client) return false;
  bool answered = false;
  MsgPtr ping(MsgNew(MsgType::VGPing, 0, OVGPrivGetMsgTable(), 48, &status));
  if (ping && MsgComplete(ping.get()) == 0) {
    MsgPtr reply(SessionSendWithTimeout(client, ping.get(), 5, &status));
    answered = reply != nullptr && status == 0;
  }
  SessionClientClose(client);
  return answered;
}

int checkDirectoryClientLibrary(const ofw::LoggerPtr& logger) {
  const ofw::CapiDynamicLoader& loader = ofw::CapiDynamicLoader::getInstance();
  if (!loader.isCapiLibAvailable()) {
    std::fprintf(stderr, "Components connecting to OPW could not be initialized. Please check whether OPW is installed. Exiting...\n");
    OFW_FATAL(logger, "Unable to start vgd. OPW CAPI (%s) could not be initialized.", loader.getRealCapiPath().c_str());
    return 6;
  }
  if (!loader.isCapiCoreAvailable()) {
    std::fprintf(stderr, "Components connecting to OPW was not completely initialized. Please check whether OPW is properly installed. Exiting...\n");
    OFW_FATAL(logger, "Unable to start vgd. OPW CAPI was not completely initialized.");
    return 7;
  }
  return 0;
}

void auditLevelInitialize() { VGCInitializeAuditLevel(); }
void auditLevelCleanup() { VGCCleanupAuditLevel(); }
bool initAuditor(const std::string& sessionsPath, const std::string& spoolPath, const std::string& atSpoolPath) {
  try {
    gAuditorOwner.reset(new Vigilog::Auditor());
    struct timeval started;
    gettimeofday(&started, nullptr);
    gAuditorOwner->setStartTime(started);
    Vigilog::gAuditor = gAuditorOwner.get();
    gAuditorOwner->init(sessionsPath, spoolPath, atSpoolPath, ofw::paths::CONTINUATION_DIR);
    ofw::Properties& props = ofw::Props();
    gAuditorOwner->setGssapi(props.getBool("vgd.gssapi.seal", true), props.getBool("vgd.gssapi.sign", true),
                             props.getBool("vgd.symmetric.encryption", true));
  } catch (const std::exception& e) {
    OFW_ERROR(ofw::getLogger("ovg.vgd"), "Auditor initialisation failed: %s", e.what());
    return false;
  } catch (...) {
    return false;
  }
  return true;
}

void shutdownConnection() {
  if (gAuditorOwner) gAuditorOwner->shutdownConnection();
}

void shutdownAuditor() {
  if (gAuditorOwner) gAuditorOwner->stop();
}

void destroyAuditor() {
  Vigilog::gAuditor = nullptr;
  gAuditorOwner.reset();
}

bool createServer(const std::string& socketPath, std::string* error) {
  try {
    gServerOwner.reset(new ofw::IPCServer(socketPath));
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  } catch (...) {
    *error = "Unknown exception";
    return false;
  }
  gServerOwner->flags().noCore = gState.noCore;
  ofw::gServer = gServerOwner.get();
  // The purge of registrations asks the server whether a session's client is still connected.
  if (gAuditorOwner) {
    ofw::IPCServer* server = gServerOwner.get();
    gAuditorOwner->setSessionConnectedCheck([server](const ofw::Guid& guid) { return server->hasClientWithSession(guid); });
    gAuditorOwner->setConnectedSessions([server] {
      std::vector<ofw::Guid> guids;
      server->getClientGuids(guids);
      return guids;
    });
  }
  gState.flags.store(&gServerOwner->flags());
  return true;
}

void runServerLoop() {
  if (gServerOwner) gServerOwner->loop();
}

void destroyServer() {
  if (gAuditorOwner) {
    gAuditorOwner->setSessionConnectedCheck(nullptr);
    gAuditorOwner->setConnectedSessions(nullptr);
  }
  gState.flags.store(nullptr);
  ofw::gServer = nullptr;
  gServerOwner.reset();
}

}  // namespace vgd
