// Client side of the LRPC2 session transport.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <new>
#include <random>
#include <string>

#include "lrpc2/header.h"
#include "lrpc2/msg_internal.h"
#include "ofw/secure_bytes.h"
#include "lrpc2/session.h"
#include "lrpc2/session_internal.h"
#include "ofw/codec.h"

struct LRPC2SessionClient {
  int fd = -1;
  bool connected = false;
  int signSetting = SIGN_SETTING_DISABLED;
  bool signing = false;
  uint32_t serverMaxBody = lrpc2::kMaxBody;
  pid_t pid = 0;
  uint32_t sequence = 0;
  int version = 0;
  uint32_t headerLength = 0;
  const MsgTable* table = nullptr;
};

namespace lrpc2 {
namespace {

// Maximum authentication rounds answered within one request.
constexpr int kMaxAuthRounds = 4;

pthread_once_t gSeedOnce = PTHREAD_ONCE_INIT;
std::mutex gRandomMutex;
std::minstd_rand gRandom;

void SeedRandom() {
  const uint32_t pid = static_cast<uint32_t>(getpid());
  const uint32_t tid = static_cast<uint32_t>(syscall(SYS_gettid));
  gRandom.seed(((pid << 16) & 0xFFFFFFFFu) | (tid & 0xFFFFu));
}

uint32_t RandomSequence() {
  pthread_once(&gSeedOnce, SeedRandom);
  std::lock_guard<std::mutex> lock(gRandomMutex);
  const uint32_t high = static_cast<uint32_t>(gRandom());
  const uint32_t low = static_cast<uint32_t>(gRandom());
  return (high << 16) ^ low;
}

// The stream can no longer be trusted: close it.
int Broken(LRPC2SessionClient* c, int status) {
  if (c->fd >= 0) close(c->fd);
  c->fd = -1;
  c->connected = false;
  OFW_DEBUG(SessionLogger(), "LRPC2 client session closed after error %d", status);
  return status;
}

uint32_t MaxBody(const LRPC2SessionClient* c) { return std::min(c->serverMaxBody, kMaxBody); }

// ---- connecting --------------------------------------------------------------

int Handshake(LRPC2SessionClient* c, const Deadline& d) {
  uint8_t hello[8];
  ofw::codec::putU32(hello, static_cast<uint32_t>(c->version));
  size_t helloLength = 4;
  if (c->version == 5) {
    ofw::codec::putU16(hello + 4, kHelloV5Length);
    ofw::codec::putU16(hello + 6, static_cast<uint16_t>(c->signSetting));
    helloLength = 8;
  }
  int rc = SendAll(c->fd, hello, helloLength, d, true);
  if (rc != SESSION_OK) return rc;
  uint8_t reply[kHandshakeReplyV5Length];
  if ((rc = RecvAll(c->fd, reply, 4, d, true)) != SESSION_OK) return rc;
  if (ofw::codec::getU32(reply + kReplyOffOk) != 1)
    return c->version == 5 ? SESSION_ERR_PROTOCOL : SESSION_ERR_INVALID;
  if (c->version < 4) return SESSION_OK;
  if ((rc = RecvAll(c->fd, reply + 4, 4, d, true)) != SESSION_OK) return rc;
  c->serverMaxBody = ofw::codec::getU32(reply + kReplyOffMaxBody);
  if (c->version == 4) return SESSION_OK;
  if ((rc = RecvAll(c->fd, reply + 8, sizeof reply - 8, d, true)) != SESSION_OK) return rc;
  if (ofw::codec::getU16(reply + kReplyOffLength) != kHandshakeReplyV5Length) return SESSION_ERR_LENGTH;
  const uint32_t status = ofw::codec::getU32(reply + kReplyOffStatus);
  if (status != 0) return static_cast<int>(status);
  const uint16_t server = ofw::codec::getU16(reply + kReplyOffSigning);
  if (server > SIGN_SETTING_REQUIRED) return SESSION_ERR_PROTOCOL;
  // The mirror of the server's decision.
  if (c->signSetting == SIGN_SETTING_REQUIRED && server == SIGN_SETTING_DISABLED)
    return SESSION_ERR_SIGNDISABLED;
  if (c->signSetting == SIGN_SETTING_DISABLED && server == SIGN_SETTING_REQUIRED)
    return SESSION_ERR_DENIED;
  c->signing = c->signSetting != SIGN_SETTING_DISABLED && server != SIGN_SETTING_DISABLED;
  return SESSION_OK;
}

int OpenSocket(LRPC2SessionClient* c, const char* path, const Deadline& d) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path == nullptr || path[0] != '/' || strlen(path) >= sizeof addr.sun_path)
    return SESSION_ERR_NOPATH;
  memcpy(addr.sun_path, path, strlen(path));
  c->fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (c->fd < 0) return SESSION_ERR_OPEN;
  const int flags = fcntl(c->fd, F_GETFL);
  if (flags < 0 || fcntl(c->fd, F_SETFL, flags | O_NONBLOCK) != 0) return SESSION_ERR_OPEN;
  // On a UNIX socket EAGAIN means the server's listen queue is full, not a
  // connect in progress: the attempt is repeated after a short pause until
  // the connect time-out passes.
  int pauseMs = 1;
  for (;;) {
    if (connect(c->fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0) return SESSION_OK;
    if (errno == ENOENT || errno == ENOTDIR) return SESSION_ERR_NOPATH;
    if (errno == EINPROGRESS || errno == EINTR) break;
    if (errno != EAGAIN) return SESSION_ERR_OPEN;
    const int left = d.remainingMs();
    if (left == 0) return SESSION_ERR_CONNECTTIMEOUT;
    const int sleepMs = left < 0 ? pauseMs : std::min(pauseMs, left);
    struct timespec ts = {sleepMs / 1000, (sleepMs % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
    pauseMs = std::min(pauseMs * 2, 50);
  }
  const int w = WaitFd(c->fd, POLLOUT, d);
  if (w == 0) return SESSION_ERR_CONNECTTIMEOUT;
  if (w < 0) return SESSION_ERR_SOCKET;
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return SESSION_ERR_SOCKET;
  return SESSION_OK;
}

LRPC2SessionClient* Connect(const char* path, const MsgTable* table, const Deadline& d,
                            int version, int signSetting, int* status) {
  if (version < SESSION_MIN_VERSION || version > SESSION_MAX_VERSION ||
      signSetting < SIGN_SETTING_DISABLED || signSetting > SIGN_SETTING_REQUIRED) {
    *status = SESSION_ERR_PARAM;
    return nullptr;
  }
  LRPC2SessionClient* c = new (std::nothrow) LRPC2SessionClient;
  if (c == nullptr) {
    *status = SESSION_ERR_NOMEM;
    return nullptr;
  }
  c->version = version;
  c->headerLength = HeaderLengthOf(version);
  c->signSetting = signSetting;
  c->table = table ? table : OVGPrivGetMsgTable();
  int rc = OpenSocket(c, path, d);
  if (rc == SESSION_OK) rc = Handshake(c, d);
  if (rc != SESSION_OK) {
    if (c->fd >= 0) close(c->fd);
    delete c;
    *status = rc;
    return nullptr;
  }
  const int on = 1;
  setsockopt(c->fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
  c->sequence = RandomSequence();
  c->pid = getpid();
  c->connected = true;
  *status = SESSION_OK;
  return c;
}

// ---- exchanging ----------------------------------------------------------------

// Sends `msg` as a request with the current sequence number: header and body
// in one write.
int SendRequest(LRPC2SessionClient* c, LRPC2Msg* msg, bool async, const Deadline& d) {
  size_t bodyLength = 0;
  const uint8_t* body = MsgBodyData(msg, &bodyLength);
  if (bodyLength > MaxBody(c)) return SESSION_ERR_LENGTH;
  Header h;
  h.magic = kMagic;
  h.totalLength = static_cast<uint32_t>(kHeaderLengthV23 + bodyLength);
  h.headerLength = static_cast<uint16_t>(c->headerLength);
  h.version = static_cast<uint32_t>(c->version);
  h.pid = static_cast<uint64_t>(c->pid);
  h.sequence = c->sequence;
  h.time = static_cast<uint64_t>(::time(nullptr));
  h.bodyLength = static_cast<uint32_t>(bodyLength);
  if (c->version == 5) {
    if (async) h.flags |= kFlagAsync;
    if (c->signing) h.flags |= kFlagSigned;
  }
  uint8_t header[kHeaderLengthV5];
  EncodeHeader(c->version, h, header);
  if (c->version == 5 && c->signing)
    ofw::codec::putU64(header + kOffSignature, ComputeSignature(header, body, bodyLength));
  return SendFrame(c->fd, header, c->headerLength, msg, d, true);
}

// Reads and checks the reply to the current sequence number.
LRPC2Msg* ReadReply(LRPC2SessionClient* c, const Deadline& d, int* status) {
  const uint32_t hl = c->headerLength;
  uint8_t raw[kHeaderLengthV5];
  int rc = RecvAll(c->fd, raw, hl, d, true);
  if (rc != SESSION_OK) {
    *status = Broken(c, rc);
    return nullptr;
  }
  const Header h = DecodeHeader(c->version, raw);
  uint32_t bodyLength = 0;
  if (h.magic != kMagic) {
    rc = SESSION_ERR_MAGIC;
  } else if (c->version < 4) {
    if (h.totalLength < kHeaderLengthV23 || h.totalLength - kHeaderLengthV23 > MaxBody(c))
      rc = SESSION_ERR_LENGTH;
    bodyLength = h.totalLength - kHeaderLengthV23;
  } else if (h.headerLength != hl) {
    rc = SESSION_ERR_HEADERLENGTH;
  } else if (h.version != static_cast<uint32_t>(c->version)) {
    rc = SESSION_ERR_TABLEVERSION;
  } else if (h.pid != static_cast<uint64_t>(c->pid)) {
    rc = SESSION_ERR_PID;
  } else if (h.sequence != c->sequence) {
    rc = SESSION_ERR_SEQUENCE;
  } else if (h.bodyLength > MaxBody(c)) {
    rc = SESSION_ERR_LENGTH;
  } else {
    bodyLength = h.bodyLength;
  }
  if (rc != SESSION_OK) {
    // The rest of the reply is unread: the stream is out of step.
    *status = Broken(c, rc);
    return nullptr;
  }
  ofw::SecureBytes frame;
  try {
    frame.assign(hl + static_cast<size_t>(bodyLength), 0);
  } catch (const std::bad_alloc&) {
    *status = Broken(c, SESSION_ERR_NOMEM);
    return nullptr;
  }
  memcpy(frame.data(), raw, hl);
  if (bodyLength > 0 && (rc = RecvAll(c->fd, frame.data() + hl, bodyLength, d, true)) != SESSION_OK) {
    *status = Broken(c, rc);
    return nullptr;
  }
  bool verified = false;
  if (c->version == 5) {
    if (h.flags & kFlagSigned) {
      if (ComputeSignature(frame.data(), frame.data() + hl, bodyLength) != h.signature) {
        *status = Broken(c, SESSION_ERR_DENIED);
        return nullptr;
      }
      verified = true;
    } else if (c->signing) {
      *status = Broken(c, SESSION_ERR_DENIED);
      return nullptr;
    }
    if (h.status != 0) {
      *status = static_cast<int>(h.status);
      if (h.status == SESSION_ERR_DENIED) Broken(c, SESSION_ERR_DENIED);
      return nullptr;
    }
    if (bodyLength == 0) {
      *status = SESSION_ERR_LENGTH;
      return nullptr;
    }
  }
  int mst;
  LRPC2Msg* m = MsgAdoptBuffer(std::move(frame), c->table, hl, &mst);
  if (m == nullptr) {
    *status = mst == MSG_ERR_NOMEM ? SESSION_ERR_NOMEM : SESSION_ERR_INVALID;
    return nullptr;
  }
  if (verified) MsgSetSigChecks(m, 1);
  *status = SESSION_OK;
  return m;
}

bool IsAuthReply(const LRPC2SessionClient* c, uint32_t type) {
  return type == MsgType::ProcessAuthChallenge2 ||
         (c->version == 2 &&
          (type == MsgType::ProcessAuthChallenge || type == MsgType::ProcessAuthResponse));
}

// Reads one version-2 authentication file named by the server. Only regular
// files directly inside the authentication directory are read, so that a
// rogue server cannot make the client disclose other files.
bool ReadAuthFile(const char* path, ofw::SecureBytes* out) {
  if (path == nullptr) return false;
  const std::string dir = AuthFileDir();
  const size_t n = strlen(path);
  if (n <= dir.size() + 1 || strncmp(path, dir.c_str(), dir.size()) != 0 || path[dir.size()] != '/')
    return false;
  const char* name = path + dir.size() + 1;
  if (strchr(name, '/') != nullptr || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            st.st_size == static_cast<off_t>(kAuthFileSize);
  if (ok) {
    out->assign(kAuthFileSize, 0);
    size_t done = 0;
    while (ok && done < kAuthFileSize) {
      const ssize_t r = read(fd, out->data() + done, kAuthFileSize - done);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) ok = false;
      else done += static_cast<size_t>(r);
    }
  }
  close(fd);
  return ok;
}

LRPC2Msg* AnswerAuth(LRPC2SessionClient* c, LRPC2Msg* challenge, const Deadline& d, int* status) {
  const uint32_t type = lrpc2::MsgTypeOf(challenge);
  if (!IsAuthReply(c, type)) {
    *status = SESSION_ERR_INVALID;
    return nullptr;
  }
  int rc;
  MsgPtr answer(MsgNew(type, 0, OVGPrivGetMsgTable(), MSG_MAX_HEADER_LENGTH, &rc));
  if (answer.get() == nullptr) {
    *status = SESSION_ERR_NOMEM;
    return nullptr;
  }
  rc = MSG_OK;
  if (type == MsgType::ProcessAuthChallenge) {
    rc = MsgWriteUInt32(answer.get(), static_cast<uint32_t>(getuid()));
    if (rc == MSG_OK) rc = MsgWriteUInt32(answer.get(), static_cast<uint32_t>(getgid()));
  } else if (type == MsgType::ProcessAuthResponse) {
    char* paths[2] = {nullptr, nullptr};
    for (int i = 0; i < 2 && rc == MSG_OK; ++i) rc = MsgReadString(challenge, &paths[i]);
    for (int i = 0; i < 2 && rc == MSG_OK; ++i) {
      // A file that cannot be read is answered with a null blob: the server
      // then fails the authentication and removes its files at once.
      ofw::SecureBytes content;
      if (ReadAuthFile(paths[i], &content))
        rc = MsgWriteBlob(answer.get(), content.data(), static_cast<uint32_t>(content.size()));
      else
        rc = MsgWriteBlob(answer.get(), nullptr, 0);
    }
    free(paths[0]);
    free(paths[1]);
  }
  if (rc == MSG_OK) rc = MsgComplete(answer.get());
  if (rc != MSG_OK) {
    *status = SESSION_ERR_INVALID;
    return nullptr;
  }
  if ((rc = SendRequest(c, answer.get(), false, d)) != SESSION_OK) {
    *status = Broken(c, rc);
    return nullptr;
  }
  return ReadReply(c, d, status);
}

LRPC2Msg* Exchange(LRPC2SessionClient* c, LRPC2Msg* request, const Deadline& d, int* status) {
  if (c == nullptr) {
    *status = SESSION_ERR_HANDLE;
    return nullptr;
  }
  if (!c->connected) {
    *status = SESSION_ERR_CLOSED;
    return nullptr;
  }
  if (request == nullptr || MsgGetState(request) != MSG_STATE_COMPLETE) {
    *status = SESSION_ERR_INVALID;
    return nullptr;
  }
  const bool async = c->version == 5 && (MsgGetFlags(request) & MSG_FLAG_DOASYNC) != 0;
  int rc = SendRequest(c, request, async, d);
  if (rc != SESSION_OK) {
    *status = rc == SESSION_ERR_LENGTH || rc == SESSION_ERR_NOMEM ? rc : Broken(c, rc);
    return nullptr;
  }
  if (async) {
    ++c->sequence;
    *status = SESSION_OK;
    return nullptr;
  }
  MsgPtr reply(ReadReply(c, d, status));
  for (int round = 0; reply && IsAuthReply(c, MsgTypeOf(reply.get())); ++round) {
    if (round == kMaxAuthRounds) {
      reply.reset();
      *status = Broken(c, SESSION_ERR_AUTH);
      break;
    }
    reply.reset(AnswerAuth(c, reply.get(), d, status));
  }
  ++c->sequence;
  return reply.release();
}

}  // namespace
}  // namespace lrpc2

using namespace lrpc2;

extern "C" {

LRPC2SessionClient* SessionConnectWithTimeout(const char* path, const MsgTable* table, int timeout,
                                              int version, int signSetting, int* status) {
  int dummy;
  int& st = status ? *status : dummy;
  if (timeout <= 0) {
    st = SESSION_ERR_NEEDTIMEOUT;
    return nullptr;
  }
  return Connect(path, table, Deadline::inSeconds(timeout), version, signSetting, &st);
}

LRPC2SessionClient* SessionConnect(const char* path, const MsgTable* table, int version,
                                   int signSetting, int* status) {
  int dummy;
  return Connect(path, table, Deadline::none(), version, signSetting, status ? status : &dummy);
}

LRPC2Msg* SessionSendWithTimeout(LRPC2SessionClient* session, LRPC2Msg* request, int timeout,
                                 int* status) {
  int dummy;
  int& st = status ? *status : dummy;
  if (timeout <= 0) {
    st = SESSION_ERR_NEEDTIMEOUT;
    return nullptr;
  }
  return Exchange(session, request, Deadline::inSeconds(timeout), &st);
}

LRPC2Msg* SessionSend(LRPC2SessionClient* session, LRPC2Msg* request, int* status) {
  int dummy;
  return Exchange(session, request, Deadline::none(), status ? status : &dummy);
}

int SessionIsConnected(const LRPC2SessionClient* session) { return session && session->connected; }
int SessionClientVersion(const LRPC2SessionClient* session) { return session ? session->version : 0; }
int SessionClientIsSigning(const LRPC2SessionClient* session) { return session && session->signing; }

void SessionClientClose(LRPC2SessionClient* session) {
  if (session == nullptr) return;
  if (session->fd >= 0) close(session->fd);
  delete session;
}

LRPC2Msg* ClientProcessAuth(LRPC2SessionClient* session, LRPC2Msg* challenge, int timeout,
                            int* status) {
  int dummy;
  int& st = status ? *status : dummy;
  if (session == nullptr) {
    st = SESSION_ERR_HANDLE;
    return nullptr;
  }
  if (!session->connected) {
    st = SESSION_ERR_CLOSED;
    return nullptr;
  }
  if (challenge == nullptr || MsgGetState(challenge) != MSG_STATE_COMPLETE) {
    st = SESSION_ERR_INVALID;
    return nullptr;
  }
  return AnswerAuth(session, challenge, Deadline::inSeconds(timeout), &st);
}

}  // extern "C"
