#include "daemon/seams.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "daemon/daemon_state.h"
#include "ofw/paths.h"

namespace vgd {

DaemonState gState;

void resetActionCounters() {}

namespace {
std::unique_ptr<ofw::ServerFlags> gFlagsOwner;
}

bool isDaemonAnswering(const std::string& socketPath) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  struct sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
  bool ok = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

int checkDirectoryClientLibrary(const ofw::LoggerPtr& logger) {
  void* h = dlopen(ofw::paths::CAPI_LIBRARY, RTLD_LAZY);
  if (!h) {
    std::fprintf(stderr, "Components connecting to OPW could not be initialized. Please check whether OPW is installed. Exiting...\n");
    OFW_FATAL(logger, "Unable to start vgd. OPW CAPI (%s) could not be initialized.", ofw::paths::CAPI_LIBRARY);
    return 6;
  }
  bool core = dlsym(h, "opwSessionOpen") != nullptr;
  dlclose(h);
  if (!core) {
    std::fprintf(stderr, "Components connecting to OPW was not completely initialized. Please check whether OPW is properly installed. Exiting...\n");
    OFW_FATAL(logger, "Unable to start vgd. OPW CAPI was not completely initialized.");
    return 7;
  }
  return 0;
}

void auditLevelInitialize() {}
void auditLevelCleanup() {}
bool initAuditor(const std::string&, const std::string&, const std::string&) { return true; }
void shutdownConnection() {}
void shutdownAuditor() {}

bool createServer(const std::string&, std::string*) {
  gFlagsOwner.reset(new ofw::ServerFlags);
  gState.flags.store(gFlagsOwner.get());
  return true;
}

void runServerLoop() {
  ofw::ServerFlags* flags = gState.flags.load();
  while (flags && !flags->stop.load()) usleep(100000);
}

void destroyServer() {}
void startScheduler() {}
void stopScheduler() {}

}  // namespace vgd
