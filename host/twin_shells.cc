#include "host/twin_shells.h"

#include <fcntl.h>
#include <selinux/restorecon.h>
#include <selinux/selinux.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <set>
#include <sstream>

#include "ofw/atomic_file.h"
#include "ofw/format.h"
#include "ofw/unique_fd.h"

namespace ovg {

namespace {

const char kTwinDir[] = "ovgx";

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string dirName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool readWhole(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  *out = ss.str();
  return !in.bad();
}

// The content of `name` in dirFd, not following a symbolic link; false when it
// is not a readable regular file.
bool readAt(int dirFd, const std::string& name, std::string* out) {
  ofw::UniqueFd fd(openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  out->clear();
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(buf, static_cast<size_t>(n));
  }
}

bool isTrustedDirectory(int fd, uid_t owner) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == owner && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

void restoreLabel(const std::string& path, const ofw::LoggerPtr& logger) {
  if (is_selinux_enabled() <= 0) return;
  if (selinux_restorecon(path.c_str(), 0) != 0)
    OFW_DEBUG(logger, "Failed to restore the SELinux label of %s: %s", path.c_str(), ofw::errnoText(errno).c_str());
}

// The twin directory of `shellDir`, created when missing; invalid when it is
// not a safe place for a twin.
ofw::UniqueFd openTwinDirectory(const NssHookPaths& p, const std::string& shellDir, const ofw::LoggerPtr& logger) {
  const std::string twinDir = (shellDir == "/" ? "" : shellDir) + "/" + kTwinDir + "/";
  ofw::UniqueFd parent(open(shellDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent || !isTrustedDirectory(parent.get(), p.trustedOwner)) {
    OFW_DEBUG(logger, "Skipping twin shells in %s: not a directory of its owner alone", shellDir.c_str());
    return ofw::UniqueFd();
  }
  bool created = mkdirat(parent.get(), kTwinDir, 0755) == 0;
  if (!created && errno != EEXIST) {
    int err = errno;
    OFW_DEBUG(logger, "Fail to create directory : %s, Error : %s (%d)", twinDir.c_str(), ofw::errnoText(err).c_str(),
              err);
    return ofw::UniqueFd();
  }
  ofw::UniqueFd dir(openat(parent.get(), kTwinDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!dir || fstat(dir.get(), &st) != 0 || st.st_uid != p.trustedOwner) {
    OFW_DEBUG(logger, "Skipping twin shells in %s: not a directory of its owner alone", twinDir.c_str());
    return ofw::UniqueFd();
  }
  if (created) {
    // The daemon's umask would leave the new directory closed to the shells' users.
    if (fchmod(dir.get(), 0755) != 0) {
      int err = errno;
      OFW_DEBUG(logger, "Change permission of %s is failed, Error : %s (%d)", twinDir.c_str(),
                ofw::errnoText(err).c_str(), err);
    }
  } else if (!isTrustedDirectory(dir.get(), p.trustedOwner)) {
    OFW_DEBUG(logger, "Skipping twin shells in %s: not a directory of its owner alone", twinDir.c_str());
    return ofw::UniqueFd();
  }
  return dir;
}

void makeTwin(const NssHookPaths& p, const std::string& shell, const ofw::LoggerPtr& logger) {
  ofw::UniqueFd dir = openTwinDirectory(p, dirName(shell), logger);
  if (!dir) return;
  struct stat auditStat;
  if (stat(p.auditShell.c_str(), &auditStat) != 0) {
    OFW_DEBUG(logger, "%s is not found.", p.auditShell.c_str());
    return;
  }
  const std::string name = baseName(shell);
  const std::string twin = (dirName(shell) == "/" ? "" : dirName(shell)) + "/" + kTwinDir + "/" + name;
  OFW_DEBUG(logger, "Creating %s for %s", twin.c_str(), shell.c_str());
  // The link is made under a temporary name and renamed over the old twin, so
  // that a login never finds the twin missing.
  const std::string linkName = "." + name + ".new";
  unlinkat(dir.get(), linkName.c_str(), 0);
  OFW_DEBUG(logger, "Linking %s to %s", p.auditShell.c_str(), twin.c_str());
  if (linkat(AT_FDCWD, p.auditShell.c_str(), dir.get(), linkName.c_str(), 0) == 0) {
    if (renameat(dir.get(), linkName.c_str(), dir.get(), name.c_str()) == 0) {
      restoreLabel(twin, logger);
      return;
    }
    unlinkat(dir.get(), linkName.c_str(), 0);
  }
  OFW_DEBUG(logger, "Failed to hard link to %s, error: %s", twin.c_str(), ofw::errnoText(errno).c_str());
  std::string program, existing;
  if (!readWhole(p.auditShell, &program)) {
    OFW_DEBUG(logger, "%s is not found.", p.auditShell.c_str());
    return;
  }
  if (readAt(dir.get(), name, &existing) && existing == program) return;
  try {
    // The audit shell's permissions, never writable by group or others.
    ofw::replaceFileAt(dir.get(), name, program, auditStat.st_mode & 07755, p.trustedOwner, 0);
    restoreLabel(twin, logger);
  } catch (const std::exception& e) {
    OFW_DEBUG(logger, "Failed to copy %s to %s: %s", p.auditShell.c_str(), twin.c_str(), e.what());
  }
}

}  // namespace

std::vector<std::string> getAvailableShells(const NssHookPaths& p, bool withBuiltin) {
  std::vector<std::string> candidates;
  std::ifstream in(p.shellsFile);
  std::string line;
  while (std::getline(in, line)) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] != '/') continue;
    size_t end = line.find_first_of(" \t\r", start);
    candidates.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
  }
  if (withBuiltin) candidates.insert(candidates.end(), p.builtinShells.begin(), p.builtinShells.end());

  std::vector<std::string> shells;
  for (const std::string& c : candidates) {
    const std::string base = baseName(c);
    struct stat st;
    if (base == "nologin" || base == "passwd" || base.rfind("vgsh_", 0) == 0 || c.find("/ovgx/") != std::string::npos ||
        stat(c.c_str(), &st) != 0 || S_ISDIR(st.st_mode) ||
        std::find(shells.begin(), shells.end(), c) != shells.end())
      continue;
    shells.push_back(c);
  }
  return shells;
}

void addValidShellToEtcShells(const NssHookPaths& p) {
  ofw::LoggerPtr logger = ofw::getLogger("ovg.vgd.nss");
  std::string content;
  if (!readWhole(p.shellsFile, &content)) {
    OFW_WARN(logger, "Fail to open /etc/shells for adding our own shells to it.");
    return;
  }
  std::set<std::string> present;
  std::istringstream lines(content);
  for (std::string line; std::getline(lines, line);) present.insert(line);
  std::string added;
  for (const std::string& shell : getAvailableShells(p, true)) {
    if (present.count(shell)) continue;
    OFW_DEBUG(logger, "Add %s to /etc/shells.", shell.c_str());
    added += shell + "\n";
  }
  if (added.empty()) return;
  if (!content.empty() && content.back() != '\n') content += '\n';
  try {
    ofw::replaceFile(p.shellsFile, content + added);
  } catch (const std::exception& e) {
    OFW_WARN(logger, "Fail to add our own shells to %s: %s", p.shellsFile.c_str(), e.what());
  }
}

void makeOvgOwnShell(const NssHookPaths& p, const ofw::LoggerPtr& logger) {
  OFW_TRACE(logger, "Creating OVGX shells");
  for (const std::string& shell : getAvailableShells(p, true)) makeTwin(p, shell, logger);
}

}  // namespace ovg
