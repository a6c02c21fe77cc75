#include "ofw/dbq/status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "ofw/atomic_file.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ofw/logging/logger.h"
#include "ofw/unique_fd.h"

namespace ofw {

namespace {

LoggerPtr statusLogger() {
  static LoggerPtr logger = getLogger("ofw.status");
  return logger;
}

// Serializes the read-modify-write cycles of all Status objects of the process,
// so that two objects on one file cannot lose each other's changes.
std::mutex& changeMutex() {
  static std::mutex m;
  return m;
}

std::string parentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// mkdir -p with mode 0755; failures are left to the first write to report.
void makeDirectories(const std::string& dir) {
  struct stat st;
  if (dir.empty() || stat(dir.c_str(), &st) == 0) return;
  const std::string parent = parentOf(dir);
  if (parent != dir) makeDirectories(parent);
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    const int err = errno;
    OFW_DEBUG(statusLogger(), "Cannot create directory %s: %s", dir.c_str(),
              errnoText(err).c_str());
  }
}

bool writable(const std::string& path) {
  return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

bool parseUnsignedHex(const std::string& s, unsigned* out) {
  if (s.empty() || s.size() > 8) return false;
  unsigned long long v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = v * 16 + static_cast<unsigned>(d);
  }
  if (v > UINT_MAX) return false;
  *out = static_cast<unsigned>(v);
  return true;
}

bool parseSignedDecimal(const std::string& s, long long lo, long long hi, long long* out) {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  if (i == s.size() || s.size() - i > 19) return false;
  unsigned long long v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + static_cast<unsigned>(s[i] - '0');  // at most 19 digits: no wrap
  }
  if (v > static_cast<unsigned long long>(LLONG_MAX)) return false;
  const long long signedValue = negative ? -static_cast<long long>(v) : static_cast<long long>(v);
  if (signedValue < lo || signedValue > hi) return false;
  *out = signedValue;
  return true;
}

}  // namespace

std::string formatStatusFile(unsigned flags, long long time, int code, const std::string& text) {
  return format("%d\n%x\n%lld\n%d\n", Status::FORMAT_VERSION, flags, time, code) + text;
}

Status::Status(const std::string& path) : path_(path) {
  makeDirectories(parentOf(path_));
  struct stat st;
  if (stat(path_.c_str(), &st) == 0 && !writable(path_))
    throw IOException("No permission to write to status file", EACCES, __FILE__, __LINE__);
}

void Status::refreshLocked() {
  UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return;  // never written: the fields stand
    throw IOException("Unable to open status file", errno, __FILE__, __LINE__);
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0)
    throw IOException("Unable to open status file", errno, __FILE__, __LINE__);
  if (!S_ISREG(st.st_mode))
    throw IOException("Unable to open status file", EISDIR, __FILE__, __LINE__);
  if (static_cast<unsigned long long>(st.st_size) > MAX_FILE_SIZE) {
    OFW_WARN(statusLogger(), "Ignoring status file %s: %lld bytes", path_.c_str(),
             static_cast<long long>(st.st_size));
    return;
  }

  // Read at most one byte more than the limit, whatever the size said.
  std::string content;
  std::vector<char> chunk(4096);
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw IOException("Unable to open status file", errno, __FILE__, __LINE__);
    }
    if (n == 0) break;
    content.append(chunk.data(), static_cast<size_t>(n));
    if (content.size() > MAX_FILE_SIZE) {
      OFW_WARN(statusLogger(), "Ignoring status file %s: too large", path_.c_str());
      return;
    }
  }

  std::string lines[4];
  size_t pos = 0;
  for (std::string& line : lines) {
    const size_t nl = content.find('\n', pos);
    if (nl == std::string::npos) {
      OFW_DEBUG(statusLogger(), "Ignoring incomplete status file %s", path_.c_str());
      return;
    }
    line = content.substr(pos, nl - pos);
    pos = nl + 1;
  }
  if (lines[0] != "1") {
    OFW_DEBUG(statusLogger(), "Ignoring status file %s of format version '%s'", path_.c_str(),
              lines[0].c_str());
    return;
  }
  Fields f;
  long long code = 0;
  if (!parseUnsignedHex(lines[1], &f.flags) ||
      !parseSignedDecimal(lines[2], LLONG_MIN + 1, LLONG_MAX, &f.time) ||
      !parseSignedDecimal(lines[3], INT_MIN, INT_MAX, &code)) {
    OFW_WARN(statusLogger(), "Ignoring malformed status file %s", path_.c_str());
    return;
  }
  f.code = static_cast<int>(code);
  f.text = content.substr(pos);
  fields_ = std::move(f);
}

void Status::writeFile(const Fields& f) {
  // The file may have been made read-only since construction: respect that,
  // as an in-place rewrite would have. The replacement keeps its mode.
  struct stat st;
  if (stat(path_.c_str(), &st) == 0 && !writable(path_))
    throw IOException("Unable to write status file", EACCES, __FILE__, __LINE__);
  try {
    replaceFile(path_, formatStatusFile(f.flags, f.time, f.code, f.text), 0644);
  } catch (const IOException& e) {
    throw IOException("Unable to write status file", e.code(), __FILE__, __LINE__);
  }
}

void Status::commitLocked(const Fields& next) {
  if (next.flags == fields_.flags && next.time == fields_.time && next.code == fields_.code &&
      next.text == fields_.text)
    return;
  writeFile(next);
  fields_ = next;
}

bool Status::isFlagSet(unsigned flag) {
  Lock lock(mutex_);
  refreshLocked();
  return (fields_.flags & flag) != 0;
}

unsigned Status::getFlags() {
  Lock lock(mutex_);
  refreshLocked();
  return fields_.flags;
}

int Status::getStatus() {
  Lock lock(mutex_);
  refreshLocked();
  return fields_.code;
}

std::string Status::getStatusString() {
  Lock lock(mutex_);
  refreshLocked();
  return fields_.text;
}

time_t Status::getTime() {
  Lock lock(mutex_);
  refreshLocked();
  return static_cast<time_t>(fields_.time);
}

void Status::setFlag(unsigned flag) {
  Lock lock(mutex_);
  std::lock_guard<std::mutex> change(changeMutex());
  refreshLocked();
  Fields next = fields_;
  next.flags |= flag;
  commitLocked(next);
}

void Status::clearFlag(unsigned flag) {
  Lock lock(mutex_);
  std::lock_guard<std::mutex> change(changeMutex());
  refreshLocked();
  Fields next = fields_;
  next.flags &= ~flag;
  commitLocked(next);
}

void Status::setStatus(int code, const std::string& text) {
  Lock lock(mutex_);
  std::lock_guard<std::mutex> change(changeMutex());
  refreshLocked();
  if (code == fields_.code && text == fields_.text) return;
  Fields next = fields_;
  next.code = code;
  next.text = text;
  next.time = static_cast<long long>(::time(nullptr));
  commitLocked(next);
}

void Status::setStatus(int code, const std::string& text, unsigned flags) {
  Lock lock(mutex_);
  std::lock_guard<std::mutex> change(changeMutex());
  refreshLocked();
  Fields next = fields_;
  next.flags = flags;
  if (code != fields_.code || text != fields_.text) {
    next.code = code;
    next.text = text;
    next.time = static_cast<long long>(::time(nullptr));
  }
  commitLocked(next);
}

void Status::setStatusString(const std::string& text) {
  Lock lock(mutex_);
  std::lock_guard<std::mutex> change(changeMutex());
  refreshLocked();
  if (text == fields_.text) return;
  Fields next = fields_;
  next.text = text;
  next.time = static_cast<long long>(::time(nullptr));
  commitLocked(next);
}

}  // namespace ofw
