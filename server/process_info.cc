#include "server/process_info.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "ofw/logging/logger.h"
#include "ofw/unique_fd.h"

namespace ovg {

namespace {
// Fields after the command name: state ppid pgrp ...
// A process can end between the open and the read (ESRCH): that is "no such
// process", never an exception.
bool readStatTail(int pid, const std::string& procRoot, int* ppid, int* pgrp) {
  const std::string path = procRoot + "/" + std::to_string(pid) + "/stat";
  ofw::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  std::string line;
  char buf[512];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0 || line.size() > 8192) break;
    line.append(buf, static_cast<size_t>(n));
  }
  std::string::size_type close = line.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream rest(line.substr(close + 1));
  char state = 0;
  int p = 0, g = 0;
  if (!(rest >> state >> p >> g)) return false;
  if (ppid) *ppid = p;
  if (pgrp) *pgrp = g;
  return true;
}
}  // namespace

int parentPid(int pid, const std::string& procRoot) {
  int ppid = 0;
  return readStatTail(pid, procRoot, &ppid, nullptr) ? ppid : 0;
}

int findAuditedAncestor(int pid, const std::function<bool(int)>& isAudited, const std::string& procRoot) {
  static ofw::LoggerPtr logger = ofw::getLogger("ovg.lrpc2.server");
  for (int steps = 0; pid > 0 && steps < 4096; ++steps) {
    OFW_DEBUG(logger, "Checking PPid %ld", static_cast<long>(pid));
    if (isAudited(pid)) {
      OFW_DEBUG(logger, "Parent %ld is audited", static_cast<long>(pid));
      return pid;
    }
    int parent = parentPid(pid, procRoot);
    if (parent == 0 || parent == pid) return 0;
    pid = parent;
  }
  return 0;
}

bool processGroupOwnedBy(int pgid, int uid, const std::string& procRoot) {
  if (pgid <= 0) return false;
  struct stat st;
  std::string leader = procRoot + "/" + std::to_string(pgid);
  int grp = 0;
  if (stat(leader.c_str(), &st) == 0 && readStatTail(pgid, procRoot, nullptr, &grp) && grp == pgid)
    return uid < 0 || static_cast<int>(st.st_uid) == uid;
  // The leader is gone: look for a member of the group.
  DIR* d = opendir(procRoot.c_str());
  if (!d) return false;
  bool found = false;
  while (struct dirent* e = readdir(d)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    if (readStatTail(static_cast<int>(pid), procRoot, nullptr, &grp) && grp == pgid) {
      std::string p = procRoot + "/" + e->d_name;
      if (stat(p.c_str(), &st) == 0 && (uid < 0 || static_cast<int>(st.st_uid) == uid)) {
        found = true;
        break;
      }
    }
  }
  closedir(d);
  return found;
}

bool processOwnedBy(int pid, int uid, const std::string& procRoot) {
  struct stat st;
  if (pid <= 0) return false;
  std::string path = procRoot + "/" + std::to_string(pid);
  return stat(path.c_str(), &st) == 0 && static_cast<int>(st.st_uid) == uid;
}

bool terminalOwnedBy(const std::string& tty, int uid, const std::string& devRoot) {
  if (tty.empty()) return false;
  std::string path = tty[0] == '/' ? tty : devRoot + "/" + tty;
  struct stat st;
  return stat(path.c_str(), &st) == 0 && static_cast<int>(st.st_uid) == uid;
}

}  // namespace ovg
