#include "ofw/script_runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>

#include "ofw/logging/logger.h"
#include "ofw/paths.h"

namespace ofw {

ScriptResult runScript(const std::string& path, const std::vector<std::string>& args) {
  ScriptResult r;
  std::vector<std::string> argvStore;
  argvStore.push_back(path);
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) {
    r.error = errno;
    return r;
  }
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    int fd = open("/dev/null", O_RDONLY);
    if (fd >= 0 && fd != 0) {
      dup2(fd, 0);
      close(fd);
    }
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  pid_t w;
  do {
    w = waitpid(pid, &status, 0);
  } while (w < 0 && errno == EINTR);
  if (w < 0) {
    r.error = errno;
    return r;
  }
  r.ran = true;
  if (WIFEXITED(status)) {
    r.exitedNormally = true;
    r.exitCode = WEXITSTATUS(status);
    if (r.exitCode == 127) r.ran = false;
  }
  return r;
}

namespace {
std::mutex gChildrenMutex;
std::set<int> gChildren;
}  // namespace

void registerBackgroundChild(int pid) {
  std::lock_guard<std::mutex> g(gChildrenMutex);
  gChildren.insert(pid);
}

void spawnfv_reap() {
  std::lock_guard<std::mutex> g(gChildrenMutex);
  for (auto it = gChildren.begin(); it != gChildren.end();) {
    int status;
    pid_t w = waitpid(*it, &status, WNOHANG);
    if (w == *it || (w < 0 && errno == ECHILD))
      it = gChildren.erase(it);
    else
      ++it;
  }
}

int ProcessNscdRequest(int request, const std::vector<std::string>& scripts) {
  static ofw::LoggerPtr logger = ofw::getLogger("ovg.vgd");
  static const char* const names[] = {"restart", "flush", "restartandflush"};
  if (request < 0 || request > 2) {
    OFW_DEBUG(logger, "Invalid nscd request '%d'", request);
    return -1;
  }
  for (const std::string& script : scripts) {
    struct stat st;
    if (stat(script.c_str(), &st) != 0) continue;
    ScriptResult r = runScript(script, {names[request]});
    OFW_DEBUG(logger, "NSCD script (%s %s) is run. (%d)", script.c_str(), names[request], r.exitCode);
    return r.exitCode;
  }
  for (const std::string& script : scripts) OFW_DEBUG(logger, "Can't find nscd script '%s'", script.c_str());
  return -1;
}

int ProcessNscdRequest(int request) {
  return ProcessNscdRequest(request, {ofw::paths::NSCD_SCRIPT, ofw::paths::NSCD_SCRIPT_ALT});
}

}  // namespace ofw
