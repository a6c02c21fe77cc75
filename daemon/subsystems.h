// The calls the start-up makes into the server, the Auditor, the audit-level
// machinery and the scheduler.
#pragma once
#include <string>

#include "ofw/logging/logger.h"

namespace vgd {

// True when a daemon answers a ping on the socket.
bool isDaemonAnswering(const std::string& socketPath);
// 0 when the directory-client library loads and its core is usable, else the
// exit status (6 or 7) after the messages were written.
int checkDirectoryClientLibrary(const ofw::LoggerPtr& logger);
void auditLevelInitialize();
void auditLevelCleanup();
bool initAuditor(const std::string& sessionsPath, const std::string& spoolPath, const std::string& atSpoolPath);
void shutdownConnection();
void shutdownAuditor();
void destroyAuditor();
// Creates the IPC server on the socket and publishes its flags.
bool createServer(const std::string& socketPath, std::string* error);
void runServerLoop();
void destroyServer();
// The scheduler thread (daemon/scheduler.cc).
void startScheduler();
void stopScheduler();

}  // namespace vgd
