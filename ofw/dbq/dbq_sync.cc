#include "ofw/dbq/dbq_sync.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <sstream>

#include "ofw/config/properties.h"
#include "ofw/logging/logger.h"
#include "ofw/unique_fd.h"

namespace ofw {

namespace {

constexpr int64_t kMaxIntervalMs = 3600000;

std::atomic<uint64_t> gSyncs{0};
std::atomic<uint64_t> gSyncedBytes{0};

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool isDigits(const std::string& s) {
  if (s.empty() || s.size() > 7) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

bool parseSpoolSync(const std::string& text, SpoolSyncPolicy& out) {
  std::istringstream in(text);
  std::string word, number, extra;
  if (!(in >> word)) return false;
  SpoolSyncPolicy p;
  if (strcasecmp(word.c_str(), "none") == 0) {
    p.mode = SpoolSyncPolicy::NONE;
  } else if (strcasecmp(word.c_str(), "always") == 0) {
    p.mode = SpoolSyncPolicy::ALWAYS;
  } else if (strcasecmp(word.c_str(), "interval") == 0) {
    if (!(in >> number) || !isDigits(number)) return false;
    p.mode = SpoolSyncPolicy::INTERVAL;
    p.intervalMs = std::stoll(number);
    if (p.intervalMs < 1 || p.intervalMs > kMaxIntervalMs) return false;
  } else {
    return false;
  }
  if (in >> extra) return false;
  out = p;
  return true;
}

SpoolSyncPolicy configuredSpoolSync() {
  static std::mutex warnedMutex;
  static std::string warned;
  std::string value = Props().getProperty("spool.sync", "none");
  SpoolSyncPolicy p;
  if (parseSpoolSync(value, p)) return p;
  {
    std::lock_guard<std::mutex> lock(warnedMutex);
    if (warned == value) return p;
    warned = value;
  }
  OFW_WARN(getLogger("ofw.dbqs"), "Bad value [%s] of spool.sync (none, interval N or always); using none",
           value.c_str());
  return p;
}

void CommitSync::reset(const SpoolSyncPolicy& p) {
  policy_ = p;
  lastSyncMs_ = nowMs();
  pendingBytes_ = 0;
}

int CommitSync::afterCommit(int fd, uint64_t bytes) {
  if (policy_.mode == SpoolSyncPolicy::NONE) return 0;
  pendingBytes_ += bytes;
  if (policy_.mode == SpoolSyncPolicy::INTERVAL && nowMs() - lastSyncMs_ < policy_.intervalMs) return 0;
  return sync(fd);
}

int CommitSync::syncPending(int fd) { return pendingBytes_ == 0 ? 0 : sync(fd); }

int CommitSync::syncDirectoryOf(const std::string& path) {
  if (policy_.mode == SpoolSyncPolicy::NONE) return 0;
  std::string::size_type slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd || ::fsync(fd.get()) != 0) return errno;
  return 0;
}

int CommitSync::sync(int fd) {
  lastSyncMs_ = nowMs();
  if (::fdatasync(fd) != 0) return errno;  // the bytes stay pending: the next sync covers them
  ++gSyncs;
  gSyncedBytes += pendingBytes_;
  pendingBytes_ = 0;
  return 0;
}

uint64_t CommitSync::statSyncs() { return gSyncs.load(); }
uint64_t CommitSync::statSyncedBytes() { return gSyncedBytes.load(); }

}  // namespace ofw
