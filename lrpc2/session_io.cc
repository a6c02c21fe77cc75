// Time-limited socket I/O, peer credentials and the session-layer texts.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <optional>

#include "lrpc2/session.h"
#include "lrpc2/session_internal.h"
#include "lrpc2/msg_internal.h"
#include "ofw/secure_bytes.h"

namespace lrpc2 {
namespace {

// Puts a descriptor into blocking or non-blocking mode for the life of the
// object and restores its previous mode afterwards.
class ModeGuard {
 public:
  ModeGuard(int fd, bool nonBlocking) : fd_(fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return;
    const bool isNonBlocking = (flags & O_NONBLOCK) != 0;
    if (isNonBlocking == nonBlocking) return;
    if (fcntl(fd, F_SETFL, nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0) {
      saved_ = flags;
      changed_ = true;
    }
  }
  ~ModeGuard() {
    if (changed_) fcntl(fd_, F_SETFL, saved_);
  }
  ModeGuard(const ModeGuard&) = delete;
  ModeGuard& operator=(const ModeGuard&) = delete;

 private:
  int fd_;
  int saved_ = 0;
  bool changed_ = false;
};

int WaitStatus(int w) {
  if (w == 0) return SESSION_ERR_TIMEOUT;
  if (w == -2) return SESSION_ERR_CLOSED;
  return SESSION_ERR_SOCKET;
}

}  // namespace

int64_t MonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

Deadline Deadline::inSeconds(int seconds) {
  if (seconds <= 0) return none();
  return Deadline(MonotonicMs() + static_cast<int64_t>(seconds) * 1000);
}

int Deadline::remainingMs() const {
  if (endMs_ < 0) return -1;
  const int64_t left = endMs_ - MonotonicMs();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

int WaitFd(int fd, short events, const Deadline& deadline) {
  for (;;) {
    struct pollfd p = {fd, events, 0};
    const int ms = deadline.remainingMs();
    const int n = poll(&p, 1, ms);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {
      // A limited wait ends only when its deadline has really passed.
      if (deadline.limited() && deadline.remainingMs() > 0) continue;
      return 0;
    }
    if (p.revents & events) return 1;
    if (p.revents & POLLHUP) return -2;
    return -1;  // POLLERR, POLLNVAL
  }
}

bool IsSocket(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

int SendFrameWith(const uint8_t* header, uint32_t headerLength, LRPC2Msg* msg,
                  const std::function<int(const uint8_t*, size_t)>& write) {
  size_t bodyLength = 0;
  const uint8_t* body = msg ? MsgBodyData(msg, &bodyLength) : nullptr;
  size_t total = 0;
  uint8_t* whole = msg ? MsgMutableData(msg, &total) : nullptr;
  const uint32_t reserved = msg ? MsgGetHeaderLength(msg) : 0;
  if (whole != nullptr && reserved >= headerLength) {
    uint8_t* start = whole + (reserved - headerLength);
    memcpy(start, header, headerLength);
    return write(start, headerLength + bodyLength);
  }
  ofw::SecureBytes joined;
  try {
    joined.reserve(headerLength + bodyLength);
    joined.insert(joined.end(), header, header + headerLength);
    if (bodyLength > 0) joined.insert(joined.end(), body, body + bodyLength);
  } catch (const std::bad_alloc&) {
    return SESSION_ERR_NOMEM;
  }
  return write(joined.data(), joined.size());
}

int SendFrame(int fd, const uint8_t* header, uint32_t headerLength, LRPC2Msg* msg,
              const Deadline& deadline, bool isSocket) {
  return SendFrameWith(header, headerLength, msg, [&](const uint8_t* data, size_t length) {
    return SendAll(fd, data, length, deadline, isSocket);
  });
}

int SendAll(int fd, const void* data, size_t length, const Deadline& deadline, bool isSocket) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  // Without a limit the call blocks (a non-blocking descriptor is switched to
  // blocking for the call); with one, every write is non-blocking so that a
  // full buffer cannot hold it past the deadline, and readiness is awaited
  // whenever a write would block.
  std::optional<ModeGuard> mode;
  if (!deadline.limited())
    mode.emplace(fd, false);
  else if (!isSocket)
    mode.emplace(fd, true);
  while (length > 0) {
    ssize_t n = isSocket ? send(fd, p, length, MSG_NOSIGNAL | (deadline.limited() ? MSG_DONTWAIT : 0))
                         : write(fd, p, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        const int w = WaitFd(fd, POLLOUT, deadline);
        if (w != 1) return WaitStatus(w);
        continue;
      }
      if (errno == EPIPE || errno == ECONNRESET) return SESSION_ERR_CLOSED;
      return SESSION_ERR_SOCKET;
    }
    if (n == 0) return SESSION_ERR_CLOSED;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return SESSION_OK;
}

int RecvAll(int fd, void* buffer, size_t length, const Deadline& deadline, bool isSocket) {
  uint8_t* p = static_cast<uint8_t*>(buffer);
  std::optional<ModeGuard> mode;
  if (!deadline.limited()) mode.emplace(fd, false);
  while (length > 0) {
    // A descriptor other than a socket cannot be read without waiting, so its
    // readiness is awaited first; a socket is read at once (MSG_DONTWAIT) and
    // awaited only when nothing is there.
    if (deadline.limited() && !isSocket) {
      const int w = WaitFd(fd, POLLIN, deadline);
      if (w != 1) return WaitStatus(w);
    }
    ssize_t n = isSocket ? recv(fd, p, length, deadline.limited() ? MSG_DONTWAIT : 0)
                         : read(fd, p, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (isSocket || !deadline.limited()) {
          const int w = WaitFd(fd, POLLIN, deadline);
          if (w != 1) return WaitStatus(w);
        }
        continue;
      }
      if (errno == ECONNRESET) return SESSION_ERR_CLOSED;
      return SESSION_ERR_SOCKET;
    }
    if (n == 0) return SESSION_ERR_CLOSED;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return SESSION_OK;
}

long RecvAvailable(int fd, void* buffer, size_t length, bool isSocket) {
  for (;;) {
    ssize_t n;
    if (isSocket) {
      n = recv(fd, buffer, length, MSG_DONTWAIT);
    } else {
      struct pollfd p = {fd, POLLIN, 0};
      const int r = poll(&p, 1, 0);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return -SESSION_ERR_SOCKET;
      if (r == 0) return 0;
      n = read(fd, buffer, length);
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      if (errno == ECONNRESET) return -SESSION_ERR_CLOSED;
      return -SESSION_ERR_SOCKET;
    }
    if (n == 0) return -SESSION_ERR_CLOSED;
    return n;
  }
}

ofw::LoggerPtr SessionLogger() {
  static ofw::LoggerPtr logger = ofw::getLogger("ovg.lrpc2");
  return logger;
}

}  // namespace lrpc2

using namespace lrpc2;

extern "C" {

int IOWait(int fd, int seconds, short events) {
  const Deadline d = seconds < 0 ? Deadline::none() : Deadline::inSeconds(seconds);
  if (seconds == 0) {
    // Immediate check.
    for (;;) {
      struct pollfd p = {fd, events, 0};
      const int n = poll(&p, 1, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -1;
      if (n == 0) return 0;
      return (p.revents & events) ? 1 : -1;
    }
  }
  const int w = WaitFd(fd, events, d);
  return w < 0 ? -1 : w;
}

int SendWait(int fd, int seconds) { return IOWait(fd, seconds, POLLOUT); }
int RecvWait(int fd, int seconds) { return IOWait(fd, seconds, POLLIN); }

int send_wrap(int fd, const void* data, size_t length, int timeout, int useSendmsg) {
  if (fd < 0 || (data == nullptr && length > 0)) return SESSION_ERR_PARAM;
  const Deadline d = Deadline::inSeconds(timeout);
  if (!useSendmsg || !IsSocket(fd)) return SendAll(fd, data, length, d, false);
  return SendAll(fd, data, length, d, true);
}

int recv_wrap(int fd, void* buffer, size_t length, int timeout, int useRecvmsg) {
  if (fd < 0 || (buffer == nullptr && length > 0)) return SESSION_ERR_PARAM;
  const Deadline d = Deadline::inSeconds(timeout);
  return RecvAll(fd, buffer, length, d, useRecvmsg && IsSocket(fd));
}

int get_peer_credential(int fd, int* uid, int* gid) {
  struct ucred cred;
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) {
    if (uid) *uid = -1;
    if (gid) *gid = -1;
    return SESSION_ERR_AUTH;
  }
  if (uid) *uid = static_cast<int>(cred.uid);
  if (gid) *gid = static_cast<int>(cred.gid);
  return SESSION_OK;
}

int SignStringToSignSetting(const char* text) {
  if (text == nullptr) return SIGN_SETTING_DISABLED;
  if (strcasecmp(text, "required") == 0) return SIGN_SETTING_REQUIRED;
  if (strcasecmp(text, "allowed") == 0) return SIGN_SETTING_ALLOWED;
  return SIGN_SETTING_DISABLED;
}

int SessionSignDecision(int serverSetting, int clientSetting, int* on) {
  int dummy;
  int& result = on ? *on : dummy;
  result = 0;
  if (serverSetting == SIGN_SETTING_REQUIRED && clientSetting == SIGN_SETTING_DISABLED)
    return SESSION_ERR_DENIED;
  if (serverSetting == SIGN_SETTING_DISABLED && clientSetting == SIGN_SETTING_REQUIRED)
    return SESSION_ERR_SIGNDISABLED;
  result = serverSetting != SIGN_SETTING_DISABLED && clientSetting != SIGN_SETTING_DISABLED;
  return SESSION_OK;
}

const char* SessionErr2Str(int status) {
  switch (status) {
    case SESSION_ERR_NOPATH: return "Socket path does not exist";
    case SESSION_ERR_OPEN: return "Cannot open socket";
    case SESSION_ERR_PROTOCOL: return "Wrong protocol in handshake";
    case SESSION_ERR_TABLEVERSION: return "Message table version mismatch";
    case SESSION_ERR_CLOSED: return "Socket closed";
    case SESSION_ERR_SOCKET: return "Socket error";
    case SESSION_ERR_INVALID: return "Invalid message handle or operation";
    case SESSION_ERR_NOMEM: return "Out of memory";
    case SESSION_ERR_TIMEOUT: return "Timeout during operation";
    case SESSION_ERR_AUTH: return "Process authentication failed";
    case SESSION_ERR_IDENTITY: return "Process identity is not known at this point";
    case SESSION_ERR_HANDLE: return "Bad or invalid session handle";
    case SESSION_ERR_NEEDTIMEOUT: return "A timeout value is required";
    case SESSION_ERR_MAGIC:
      return "Bad magic number in communication, potential network or byte order issue";
    case SESSION_ERR_TMPSPACE: return "Temporary storage is running out of space";
    case SESSION_ERR_FILEOPEN: return "Cannot open file";
    case SESSION_ERR_FILEOP: return "File operation error";
    case SESSION_ERR_LENGTH: return "Bad message length";
    case SESSION_ERR_CONNECTTIMEOUT: return "Timeout while connecting";
    case SESSION_ERR_HEADER: return "Bad or invalid message header";
    case SESSION_ERR_HEADERLENGTH: return "Bad or invalid message length";
    case SESSION_ERR_PID: return "Message version mismatch";
    case SESSION_ERR_SEQUENCE: return "Message sequence number mismatch";
    case SESSION_ERR_NOTIMPL: return "Module is not implemented";
    case SESSION_ERR_DENIED: return "Access denied";
    case SESSION_ERR_SIGNDISABLED: return "Signing is disabled";
    case SESSION_ERR_PARAM: return "Parameter is invalid";
    case SESSION_ERR_RETRY: return "Will retry";
    default: return MsgErr2Str(status);
  }
}

}  // extern "C"
