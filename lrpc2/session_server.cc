// Server side of the LRPC2 session transport.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <string>

#include "lrpc2/header.h"
#include "lrpc2/msg_internal.h"
#include "ofw/secure_bytes.h"
#include "lrpc2/session.h"
#include "lrpc2/session_internal.h"
#include "ofw/codec.h"
#include "ofw/random.h"
#include "ofw/paths.h"

namespace lrpc2 {
struct ServerOps;
struct PendingAuth;
}

struct LRPC2SessionServer {
  bool authenticated = false;
  int uid = -1;
  int gid = -1;
  int inFd = -1;
  int outFd = -1;
  bool inIsSocket = false;
  bool outIsSocket = false;
  int timeout = 0;
  const MsgTable* table = nullptr;
  int version = 0;
  const lrpc2::ServerOps* ops = nullptr;
  uint32_t headerLength = 0;
  bool signing = false;
  int signSetting = SIGN_SETTING_DISABLED;
  // The current request's header.
  bool haveRequest = false;
  lrpc2::Header request;
  // Where replies go instead of outFd (SessionSetOutput); null: written.
  SessionOutputFn output = nullptr;
  void* outputContext = nullptr;
  // A version-2 secure-file exchange awaiting the client's next message.
  lrpc2::PendingAuth* auth = nullptr;
};

struct SessionAcceptState {
  int inFd = -1;
  int outFd = -1;
  bool inIsSocket = false;
  bool outIsSocket = false;
  lrpc2::Deadline deadline = lrpc2::Deadline::none();
  const MsgTable* table = nullptr;
  int signSetting = SIGN_SETTING_DISABLED;
  uint8_t buffer[8] = {};
  size_t have = 0;
  size_t need = 4;  // the client's version first
  int version = 0;
  bool finished = false;
  int finalStatus = 0;
};

namespace lrpc2 {

// Version-specific parts of the server session.
struct ServerOps {
  int version;
  uint32_t headerLength;
  // Checks a decoded request header; gives the body length.
  int (*checkHeader)(const LRPC2SessionServer* s, const Header& h, uint32_t* bodyLength);
  // Fills the reply header (request pid and sequence, now, lengths, status).
  void (*prepareReplyHeader)(const LRPC2SessionServer* s, Header* h, uint32_t bodyLength,
                             uint32_t status);
  // SESSION_OK, a failure, or SESSION_ERR_RETRY: an exchange was begun
  // (s->auth set) and continues with the client's next message.
  int (*authenticate)(LRPC2SessionServer* s, const Deadline& deadline);
  int (*getPeerPid)(const LRPC2SessionServer* s, pid_t* pid);
};

namespace {

std::mutex gAuthDirMutex;
std::string gAuthDir = ofw::paths::LRPC2_AUTH_DIR;

// ---- per-version operations ------------------------------------------------

int CheckHeaderV23(const LRPC2SessionServer*, const Header& h, uint32_t* bodyLength) {
  if (h.magic != kMagic) return SESSION_ERR_MAGIC;
  if (h.totalLength < kHeaderLengthV23) return SESSION_ERR_LENGTH;
  if (h.totalLength - kHeaderLengthV23 > kMaxBody) return SESSION_ERR_LENGTH;
  *bodyLength = h.totalLength - kHeaderLengthV23;
  return SESSION_OK;
}

int CheckHeaderV45(const LRPC2SessionServer* s, const Header& h, uint32_t* bodyLength) {
  if (h.magic != kMagic) return SESSION_ERR_MAGIC;
  if (h.headerLength != s->headerLength) return SESSION_ERR_HEADERLENGTH;
  if (h.version != static_cast<uint32_t>(s->version)) return SESSION_ERR_TABLEVERSION;
  if (h.bodyLength > kMaxBody) return SESSION_ERR_LENGTH;
  *bodyLength = h.bodyLength;
  return SESSION_OK;
}

void PrepareReplyV23(const LRPC2SessionServer*, Header* h, uint32_t bodyLength, uint32_t) {
  h->magic = kMagic;
  h->totalLength = kHeaderLengthV23 + bodyLength;
}

void PrepareReplyV45(const LRPC2SessionServer* s, Header* h, uint32_t bodyLength,
                     uint32_t status) {
  h->magic = kMagic;
  h->headerLength = static_cast<uint16_t>(s->headerLength);
  h->version = static_cast<uint32_t>(s->version);
  h->pid = s->request.pid;
  h->sequence = s->request.sequence;
  h->time = static_cast<uint64_t>(::time(nullptr));
  h->bodyLength = bodyLength;
  if (s->version == 5) {
    h->flags = s->signing ? kFlagSigned : 0;
    h->signature = 0;
    h->status = status;
  }
}

int AuthPeerCred(LRPC2SessionServer* s, const Deadline&) {
  int uid, gid;
  if (get_peer_credential(s->inFd, &uid, &gid) != SESSION_OK) {
    OFW_DEBUG(SessionLogger(), "Peer credentials of fd %d cannot be read", s->inFd);
    s->uid = s->gid = -1;
    s->authenticated = false;
    return SESSION_ERR_AUTH;
  }
  s->uid = uid;
  s->gid = gid;
  s->authenticated = true;
  return SESSION_OK;
}

int AuthSecFileBegin(LRPC2SessionServer* s, const Deadline& deadline);

int PidNone(const LRPC2SessionServer*, pid_t*) { return SESSION_ERR_NOPID; }

int PidFromHeader(const LRPC2SessionServer* s, pid_t* pid) {
  if (!s->haveRequest) return SESSION_ERR_IDENTITY;
  *pid = static_cast<pid_t>(s->request.pid);
  return SESSION_OK;
}

const ServerOps kOpsV2 = {2, kHeaderLengthV23, CheckHeaderV23, PrepareReplyV23, AuthSecFileBegin, PidNone};
const ServerOps kOpsV3 = {3, kHeaderLengthV23, CheckHeaderV23, PrepareReplyV23, AuthPeerCred, PidNone};
const ServerOps kOpsV4 = {4, kHeaderLengthV4, CheckHeaderV45, PrepareReplyV45, AuthPeerCred,
                          PidFromHeader};
const ServerOps kOpsV5 = {5, kHeaderLengthV5, CheckHeaderV45, PrepareReplyV45, AuthPeerCred,
                          PidFromHeader};

const ServerOps* OpsFor(int version) {
  switch (version) {
    case 2: return &kOpsV2;
    case 3: return &kOpsV3;
    case 4: return &kOpsV4;
    case 5: return &kOpsV5;
    default: return nullptr;
  }
}

// ---- sending ---------------------------------------------------------------

// Bytes for the peer: to the session's output function when one is set and
// fd is the session's output, else written within the deadline.
int Emit(LRPC2SessionServer* s, int fd, const uint8_t* data, size_t length, const Deadline& deadline,
         bool isSocket) {
  if (s->output != nullptr && fd == s->outFd) return s->output(s->outputContext, data, length);
  return SendAll(fd, data, length, deadline, isSocket);
}

// Sends header and body in one write.
int SendWithHeader(LRPC2SessionServer* s, int fd, Header& h, LRPC2Msg* msg,
                   const Deadline& deadline) {
  size_t bodyLength = 0;
  const uint8_t* body = msg ? MsgBodyData(msg, &bodyLength) : nullptr;
  const uint32_t hl = s->headerLength;
  uint8_t header[kHeaderLengthV5];
  EncodeHeader(s->version, h, header);
  if (s->version == 5 && (h.flags & kFlagSigned)) {
    h.signature = ComputeSignature(header, body, bodyLength);
    ofw::codec::putU64(header + kOffSignature, h.signature);
  }
  const bool isSocket = fd == s->outFd ? s->outIsSocket : IsSocket(fd);
  return SendFrameWith(header, hl, msg, [&](const uint8_t* data, size_t length) {
    return Emit(s, fd, data, length, deadline, isSocket);
  });
}

int SendReply(LRPC2SessionServer* s, int fd, LRPC2Msg* reply, const Deadline& deadline) {
  if (reply == nullptr || MsgGetState(reply) != MSG_STATE_COMPLETE) return SESSION_ERR_INVALID;
  const size_t bodyLength = MsgGetBodyLength(reply);
  if (bodyLength > kMaxBody) return SESSION_ERR_LENGTH;
  Header h;
  s->ops->prepareReplyHeader(s, &h, static_cast<uint32_t>(bodyLength), 0);
  return SendWithHeader(s, fd, h, reply, deadline);
}

// Version 5: header-only reply carrying a status.
int SendErrorReply(LRPC2SessionServer* s, uint32_t status, const Deadline& deadline) {
  Header h;
  s->ops->prepareReplyHeader(s, &h, 0, status);
  return SendWithHeader(s, s->outFd, h, nullptr, deadline);
}

// ---- receiving -------------------------------------------------------------

// Reads one header and body into a buffer of their exact size. The body length
// is checked before anything is allocated.
int RecvFrame(LRPC2SessionServer* s, int fd, const Deadline& deadline, Header* h,
              ofw::SecureBytes* frame) {
  const uint32_t hl = s->headerLength;
  const bool isSocket = fd == s->inFd ? s->inIsSocket : IsSocket(fd);
  uint8_t raw[kHeaderLengthV5];
  int rc = RecvAll(fd, raw, hl, deadline, isSocket);
  if (rc != SESSION_OK) return rc;
  *h = DecodeHeader(s->version, raw);
  uint32_t bodyLength = 0;
  if ((rc = s->ops->checkHeader(s, *h, &bodyLength)) != SESSION_OK) return rc;
  try {
    frame->assign(hl + static_cast<size_t>(bodyLength), 0);
  } catch (const std::bad_alloc&) {
    return SESSION_ERR_NOMEM;
  }
  memcpy(frame->data(), raw, hl);
  if (bodyLength > 0) rc = RecvAll(fd, frame->data() + hl, bodyLength, deadline, isSocket);
  return rc;
}

// A frame whose bytes are all in memory: header checked as RecvFrame does,
// then copied whole.
int TakeFrame(LRPC2SessionServer* s, const uint8_t* data, size_t length, Header* h,
              ofw::SecureBytes* frame) {
  const uint32_t hl = s->headerLength;
  if (data == nullptr || length < hl) return SESSION_ERR_CLOSED;
  *h = DecodeHeader(s->version, data);
  uint32_t bodyLength = 0;
  int rc = s->ops->checkHeader(s, *h, &bodyLength);
  if (rc != SESSION_OK) return rc;
  if (length != hl + static_cast<size_t>(bodyLength)) return SESSION_ERR_LENGTH;
  try {
    frame->assign(data, data + length);
  } catch (const std::bad_alloc&) {
    return SESSION_ERR_NOMEM;
  }
  return SESSION_OK;
}

// A frame of the negotiated version wrapped as a message, without the
// signature or authentication steps (the version-2 exchange uses it).
LRPC2Msg* PlainMessage(LRPC2SessionServer* s, ofw::SecureBytes&& frame, int* status) {
  int mst;
  LRPC2Msg* m = MsgAdoptBuffer(std::move(frame), s->table, s->headerLength, &mst);
  *status = m ? SESSION_OK : SESSION_ERR_INVALID;
  return m;
}

// ---- version-2 secure-file authentication ------------------------------------

// One challenge file: removed, closed and wiped on every path.
struct AuthFile {
  std::string path;
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  uint8_t content[kAuthFileSize];

  AuthFile() { memset(content, 0, sizeof content); }
  ~AuthFile() {
    if (!path.empty()) unlink(path.c_str());
    if (fd >= 0) close(fd);
    explicit_bzero(content, sizeof content);
  }
  AuthFile(const AuthFile&) = delete;
  AuthFile& operator=(const AuthFile&) = delete;
};

int EnsureAuthDir(const std::string& dir) {
  if (mkdir(dir.c_str(), 0711) == 0) {
    if (chmod(dir.c_str(), 0711) != 0) return SESSION_ERR_FILEOP;
  } else if (errno != EEXIST) {
    OFW_DEBUG(SessionLogger(), "Cannot create authentication directory %s: %s", dir.c_str(),
              strerror(errno));
    return SESSION_ERR_FILEOPEN;
  }
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    OFW_DEBUG(SessionLogger(), "Authentication directory %s is not a private directory",
              dir.c_str());
    return SESSION_ERR_FILEOPEN;
  }
  return SESSION_OK;
}

int CreateAuthFile(const std::string& dir, uid_t owner, gid_t group, mode_t mode, AuthFile& f) {
  std::string name = dir + "/lrpc2authXXXXXX";
  f.fd = mkstemp(&name[0]);
  if (f.fd < 0) return errno == ENOSPC || errno == EDQUOT ? SESSION_ERR_TMPSPACE : SESSION_ERR_FILEOPEN;
  f.path = name;
  if (ofw::fillRandom(f.content, sizeof f.content) != 0) return SESSION_ERR_FILEOP;
  size_t done = 0;
  while (done < sizeof f.content) {
    const ssize_t n = write(f.fd, f.content + done, sizeof f.content - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == ENOSPC || errno == EDQUOT ? SESSION_ERR_TMPSPACE : SESSION_ERR_FILEOP;
    done += static_cast<size_t>(n);
  }
  if (fchmod(f.fd, mode) != 0 || fchown(f.fd, owner, group) != 0) return SESSION_ERR_FILEOP;
  struct stat st;
  if (fstat(f.fd, &st) != 0) return SESSION_ERR_FILEOP;
  f.dev = st.st_dev;
  f.ino = st.st_ino;
  return SESSION_OK;
}

// The file at the path is still the one created (not replaced or removed).
bool StillOurs(const AuthFile& f) {
  struct stat st;
  return lstat(f.path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == f.dev &&
         st.st_ino == f.ino;
}

bool SameContent(const AuthFile& f, const void* data, uint32_t length) {
  if (data == nullptr || length != sizeof f.content) return false;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint8_t diff = 0;
  for (size_t i = 0; i < sizeof f.content; ++i) diff |= static_cast<uint8_t>(p[i] ^ f.content[i]);
  return diff == 0;
}


}  // namespace

// A version-2 secure-file exchange between its steps: the request that needs
// it (answered once the peer is known) and the two files of the challenge.
struct PendingAuth {
  LRPC2Msg* request = nullptr;
  Header header;
  bool verified = false;
  bool filesSent = false;  // false: the claimed uid and gid are awaited
  uint32_t claimedUid = 0, claimedGid = 0;
  AuthFile userFile, groupFile;
  Deadline deadline = Deadline::none();
  ~PendingAuth() { MsgFree(request); }
};

namespace {

void DropAuth(LRPC2SessionServer* s) {
  delete s->auth;
  s->auth = nullptr;
}

// 1. Challenge; the client answers with its claimed uid and gid.
int AuthSecFileBegin(LRPC2SessionServer* s, const Deadline& deadline) {
  const MsgTable* product = OVGPrivGetMsgTable();
  int rc;
  MsgPtr challenge(MsgNew(MsgType::ProcessAuthChallenge, 0, product, MSG_MAX_HEADER_LENGTH, &rc));
  if (challenge.get() == nullptr || MsgComplete(challenge.get()) != MSG_OK) return SESSION_ERR_NOMEM;
  DropAuth(s);
  s->auth = new (std::nothrow) PendingAuth;
  if (s->auth == nullptr) return SESSION_ERR_NOMEM;
  s->auth->deadline = deadline;
  if ((rc = SendReply(s, s->outFd, challenge.get(), deadline)) != SESSION_OK) {
    DropAuth(s);
    return rc;
  }
  return SESSION_ERR_RETRY;
}

// 2. Two files only the claimed user (resp. group) can read.
int AuthSendFiles(LRPC2SessionServer* s, PendingAuth* a, LRPC2Msg* answer) {
  uint32_t type;
  if (MsgReadMsgType(answer, &type) != MSG_OK || type != MsgType::ProcessAuthChallenge ||
      MsgReadUInt32(answer, &a->claimedUid) != MSG_OK || MsgReadUInt32(answer, &a->claimedGid) != MSG_OK)
    return SESSION_ERR_AUTH;
  if (a->claimedUid == UINT32_MAX || a->claimedGid == UINT32_MAX) return SESSION_ERR_AUTH;
  const std::string dir = AuthFileDir();
  int rc;
  if ((rc = EnsureAuthDir(dir)) != SESSION_OK) return rc;
  if ((rc = CreateAuthFile(dir, a->claimedUid, 0, 0400, a->userFile)) != SESSION_OK) return rc;
  if ((rc = CreateAuthFile(dir, 0, a->claimedGid, 0440, a->groupFile)) != SESSION_OK) return rc;
  MsgPtr response(MsgNew(MsgType::ProcessAuthResponse, 0, OVGPrivGetMsgTable(), MSG_MAX_HEADER_LENGTH, &rc));
  if (response.get() == nullptr || MsgWriteString(response.get(), a->userFile.path.c_str()) != MSG_OK ||
      MsgWriteString(response.get(), a->groupFile.path.c_str()) != MSG_OK || MsgComplete(response.get()) != MSG_OK)
    return SESSION_ERR_NOMEM;
  if ((rc = SendReply(s, s->outFd, response.get(), a->deadline)) != SESSION_OK) return rc;
  a->filesSent = true;
  return SESSION_ERR_RETRY;
}

// 3. The client proves it could read both.
int AuthCheckProof(LRPC2SessionServer* s, PendingAuth* a, LRPC2Msg* proof) {
  uint32_t type;
  void* userData = nullptr;
  void* groupData = nullptr;
  uint32_t userLength = 0, groupLength = 0;
  bool ok = MsgReadMsgType(proof, &type) == MSG_OK && type == MsgType::ProcessAuthResponse &&
            MsgReadBlob(proof, &userData, &userLength) == MSG_OK &&
            MsgReadBlob(proof, &groupData, &groupLength) == MSG_OK;
  ok = ok && StillOurs(a->userFile) && StillOurs(a->groupFile) &&
       SameContent(a->userFile, userData, userLength) && SameContent(a->groupFile, groupData, groupLength);
  MsgFreeSensitive(userData, userLength);
  MsgFreeSensitive(groupData, groupLength);
  if (!ok) {
    OFW_DEBUG(SessionLogger(), "Secure-file authentication failed for claimed uid %u gid %u",
              a->claimedUid, a->claimedGid);
    return SESSION_ERR_AUTH;
  }
  s->uid = static_cast<int>(a->claimedUid);
  s->gid = static_cast<int>(a->claimedGid);
  s->authenticated = true;
  return SESSION_OK;  // the files are removed with the exchange
}

// The client's next message of a pending exchange. Gives the authenticated
// request (status 0), or null with 428 (more to come) or the failure; the
// exchange is dropped unless 428.
LRPC2Msg* AuthStep(LRPC2SessionServer* s, ofw::SecureBytes&& frame, int* status) {
  PendingAuth* a = s->auth;
  int rc = SESSION_ERR_TIMEOUT;
  if (!a->deadline.expired()) {
    MsgPtr m(PlainMessage(s, std::move(frame), &rc));
    if (m) rc = a->filesSent ? AuthCheckProof(s, a, m.get()) : AuthSendFiles(s, a, m.get());
  }
  *status = rc;
  if (rc == SESSION_ERR_RETRY) return nullptr;
  LRPC2Msg* request = nullptr;
  if (rc == SESSION_OK) {
    request = a->request;
    a->request = nullptr;
    s->request = a->header;  // the reply answers the original request
    if (a->verified) MsgSetSigChecks(request, 1);
  }
  DropAuth(s);
  return request;
}

// A received frame: version-5 signature, message, authentication when its
// type needs it. Null with 428 when a version-5 error reply was sent or an
// authentication exchange was begun.
LRPC2Msg* ProcessFrame(LRPC2SessionServer* s, const Header& h, ofw::SecureBytes&& frame,
                       const Deadline& deadline, int* status) {
  s->request = h;
  s->haveRequest = true;
  bool verified = false;
  if (s->version == 5) {
    const uint8_t* body = frame.data() + s->headerLength;
    const size_t bodyLength = frame.size() - s->headerLength;
    bool good;
    if (h.flags & kFlagSigned) {
      good = ComputeSignature(frame.data(), body, bodyLength) == h.signature;
      verified = good;
    } else {
      good = !s->signing;
    }
    if (!good) {
      OFW_DEBUG(SessionLogger(), "Request signature check failed (signed: %d, signing: %d)",
                (h.flags & kFlagSigned) != 0, s->signing);
      if (h.flags & kFlagAsync) {
        *status = SESSION_ERR_DENIED;
        return nullptr;
      }
      const int sent = SendErrorReply(s, SESSION_ERR_DENIED, deadline);
      *status = sent == SESSION_OK ? SESSION_ERR_RETRY : sent;
      return nullptr;
    }
  }
  int mst;
  LRPC2Msg* m = MsgAdoptBuffer(std::move(frame), s->table, s->headerLength, &mst);
  if (m == nullptr) {
    *status = mst == MSG_ERR_NOMEM ? SESSION_ERR_NOMEM : SESSION_ERR_INVALID;
    return nullptr;
  }
  if (verified) MsgSetSigChecks(m, 1);
  const MsgTableEntry* e = MsgTableFindEntry(s->table, MsgTypeOf(m));
  if (e != nullptr && (e->flags & MSG_FLAG_AUTH) == MSG_FLAG_AUTH && !s->authenticated) {
    const Header saved = s->request;
    const int rc = s->ops->authenticate(s, deadline);
    s->request = saved;
    if (rc == SESSION_ERR_RETRY && s->auth != nullptr) {
      s->auth->request = m;
      s->auth->header = saved;
      s->auth->verified = verified;
      *status = rc;
      return nullptr;
    }
    if (rc != SESSION_OK) {
      MsgFree(m);
      *status = rc;
      return nullptr;
    }
  }
  *status = SESSION_OK;
  return m;
}

// ---- accepting -------------------------------------------------------------

LRPC2SessionServer* NewSession(SessionAcceptState* a, bool signing) {
  LRPC2SessionServer* s = new (std::nothrow) LRPC2SessionServer;
  if (s == nullptr) return nullptr;
  s->inFd = a->inFd;
  s->outFd = a->outFd;
  s->inIsSocket = a->inIsSocket;
  s->outIsSocket = a->outIsSocket;
  s->table = a->table;
  s->version = a->version;
  s->ops = OpsFor(a->version);
  s->headerLength = s->ops->headerLength;
  s->signing = signing;
  s->signSetting = a->signSetting;
  return s;
}

int Finish(SessionAcceptState* a, int outcome, int status) {
  a->finished = true;
  a->finalStatus = status;
  return outcome;
}

int Refuse(SessionAcceptState* a, int status) {
  uint8_t zero[4];
  ofw::codec::putU32(zero, 0);
  SendAll(a->outFd, zero, sizeof zero, a->deadline.limited() ? a->deadline : Deadline::inSeconds(5),
          a->outIsSocket);
  OFW_DEBUG(SessionLogger(), "Refused LRPC2 handshake for version %d: %d", a->version, status);
  return Finish(a, SESSION_ACCEPT_FAILED, status);
}

// Runs when the wanted bytes are in: decides and answers.
int Advance(SessionAcceptState* a, LRPC2SessionServer** session) {
  const Deadline& d = a->deadline;
  if (a->need == 4) {
    a->version = static_cast<int>(ofw::codec::getU32(a->buffer));
    if (a->version < SESSION_MIN_VERSION || a->version > SESSION_MAX_VERSION)
      return Refuse(a, SESSION_ERR_PROTOCOL);
    if (a->signSetting == SIGN_SETTING_REQUIRED && a->version < 5) return Refuse(a, SESSION_ERR_DENIED);
    if (a->version == 5) {
      a->need = 4 + 4;  // hello length and signing setting follow
      return SESSION_ACCEPT_PENDING;
    }
    uint8_t reply[8];
    ofw::codec::putU32(reply, 1);
    ofw::codec::putU32(reply + 4, kMaxBody);
    const size_t n = a->version == 4 ? 8 : 4;
    const int rc = SendAll(a->outFd, reply, n, d, a->outIsSocket);
    if (rc != SESSION_OK) return Finish(a, SESSION_ACCEPT_FAILED, rc);
    *session = NewSession(a, false);
    if (*session == nullptr) return Finish(a, SESSION_ACCEPT_FAILED, SESSION_ERR_NOMEM);
    return Finish(a, SESSION_ACCEPT_DONE, SESSION_OK);
  }
  // Version 5 hello.
  const uint16_t helloLength = ofw::codec::getU16(a->buffer + 4);
  const uint16_t clientSetting = ofw::codec::getU16(a->buffer + 6);
  int on = 0;
  int status;
  if (helloLength != kHelloV5Length)
    status = SESSION_ERR_LENGTH;
  else if (clientSetting > SIGN_SETTING_REQUIRED)
    status = SESSION_ERR_PARAM;
  else
    status = SessionSignDecision(a->signSetting, clientSetting, &on);
  uint8_t reply[kHandshakeReplyV5Length];
  ofw::codec::putU32(reply + kReplyOffOk, 1);
  ofw::codec::putU32(reply + kReplyOffMaxBody, kMaxBody);
  ofw::codec::putU16(reply + kReplyOffLength, kHandshakeReplyV5Length);
  ofw::codec::putU32(reply + kReplyOffStatus, static_cast<uint32_t>(status));
  ofw::codec::putU16(reply + kReplyOffSigning, static_cast<uint16_t>(a->signSetting));
  const int rc = SendAll(a->outFd, reply, sizeof reply, d, a->outIsSocket);
  if (status != SESSION_OK) {
    OFW_DEBUG(SessionLogger(), "LRPC2 version 5 handshake refused: %d (server %d, client %u)",
              status, a->signSetting, clientSetting);
    return Finish(a, SESSION_ACCEPT_FAILED, status);
  }
  if (rc != SESSION_OK) return Finish(a, SESSION_ACCEPT_FAILED, rc);
  *session = NewSession(a, on != 0);
  if (*session == nullptr) return Finish(a, SESSION_ACCEPT_FAILED, SESSION_ERR_NOMEM);
  return Finish(a, SESSION_ACCEPT_DONE, SESSION_OK);
}

// A frame a receive got (rc: how getting it went): the next step of a pending
// exchange, or a request.
LRPC2Msg* Received(LRPC2SessionServer* s, int rc, const Header& h, ofw::SecureBytes&& frame,
                   const Deadline& deadline, int* status) {
  if (rc != SESSION_OK) {
    DropAuth(s);
    *status = rc;
    return nullptr;
  }
  return s->auth ? AuthStep(s, std::move(frame), status) : ProcessFrame(s, h, std::move(frame), deadline, status);
}

}  // namespace

std::string AuthFileDir() {
  std::lock_guard<std::mutex> lock(gAuthDirMutex);
  return gAuthDir;
}

}  // namespace lrpc2

using namespace lrpc2;

extern "C" {

void SessionSetAuthFileDir(const char* path) {
  std::lock_guard<std::mutex> lock(gAuthDirMutex);
  gAuthDir = path ? path : ofw::paths::LRPC2_AUTH_DIR;
}

const char* SessionGetAuthFileDir(void) {
  // The returned text stays valid until the next SessionSetAuthFileDir.
  std::lock_guard<std::mutex> lock(gAuthDirMutex);
  return gAuthDir.c_str();
}

SessionAcceptState* SessionAcceptBegin(int inFd, int outFd, int timeout, const MsgTable* table,
                                       int signSetting) {
  if (inFd < 0 || outFd < 0 || signSetting < SIGN_SETTING_DISABLED ||
      signSetting > SIGN_SETTING_REQUIRED)
    return nullptr;
  SessionAcceptState* a = new (std::nothrow) SessionAcceptState;
  if (a == nullptr) return nullptr;
  a->inFd = inFd;
  a->outFd = outFd;
  a->inIsSocket = IsSocket(inFd);
  a->outIsSocket = inFd == outFd ? a->inIsSocket : IsSocket(outFd);
  a->deadline = Deadline::inSeconds(timeout);
  a->table = table ? table : OVGPrivGetMsgTable();
  a->signSetting = signSetting;
  return a;
}

int SessionAcceptStep(SessionAcceptState* a, LRPC2SessionServer** session, int* status,
                      int* version) {
  int dummyStatus, dummyVersion;
  LRPC2SessionServer* dummySession;
  int& st = status ? *status : dummyStatus;
  if (session == nullptr) session = &dummySession;
  *session = nullptr;
  if (a == nullptr) {
    st = SESSION_ERR_PARAM;
    return SESSION_ACCEPT_FAILED;
  }
  int& ver = version ? *version : dummyVersion;
  int outcome = SESSION_ACCEPT_PENDING;
  if (a->finished) {
    // A finished handshake cannot be stepped again (nor give its session twice).
    ver = a->version;
    st = a->finalStatus != SESSION_OK ? a->finalStatus : SESSION_ERR_PARAM;
    return SESSION_ACCEPT_FAILED;
  }
  while (outcome == SESSION_ACCEPT_PENDING) {
    if (a->have < a->need) {
      const long n = RecvAvailable(a->inFd, a->buffer + a->have, a->need - a->have, a->inIsSocket);
      if (n < 0) {
        outcome = Finish(a, SESSION_ACCEPT_FAILED, static_cast<int>(-n));
        break;
      }
      if (n == 0) {
        if (a->deadline.expired()) outcome = Finish(a, SESSION_ACCEPT_FAILED, SESSION_ERR_TIMEOUT);
        break;
      }
      a->have += static_cast<size_t>(n);
      continue;
    }
    outcome = Advance(a, session);
  }
  ver = a->version;
  st = outcome == SESSION_ACCEPT_PENDING ? SESSION_OK : a->finalStatus;
  return outcome;
}

int SessionAcceptTimeLeftMs(const SessionAcceptState* a) {
  return a ? a->deadline.remainingMs() : 0;
}

void SessionAcceptFree(SessionAcceptState* a) { delete a; }

LRPC2SessionServer* SessionAccept(int inFd, int outFd, int timeout, const MsgTable* table,
                                  int signSetting, int* status, int* version) {
  int dummyStatus, dummyVersion;
  int& st = status ? *status : dummyStatus;
  int& ver = version ? *version : dummyVersion;
  ver = 0;
  SessionAcceptState* a = SessionAcceptBegin(inFd, outFd, timeout, table, signSetting);
  if (a == nullptr) {
    st = SESSION_ERR_PARAM;
    return nullptr;
  }
  LRPC2SessionServer* s = nullptr;
  for (;;) {
    const int outcome = SessionAcceptStep(a, &s, &st, &ver);
    if (outcome != SESSION_ACCEPT_PENDING) break;
    const int w = WaitFd(inFd, POLLIN, a->deadline);
    if (w == 0) {
      st = SESSION_ERR_TIMEOUT;
      break;
    }
    // Readable, hung up or failed: the next step reads and reports it.
    if (w < 0) {
      const int again = SessionAcceptStep(a, &s, &st, &ver);
      if (again == SESSION_ACCEPT_PENDING) st = w == -2 ? SESSION_ERR_CLOSED : SESSION_ERR_SOCKET;
      break;
    }
  }
  SessionAcceptFree(a);
  if (s == nullptr && st == SESSION_OK) st = SESSION_ERR_SOCKET;
  return s;
}

LRPC2Msg* SessionRecv(int fd, LRPC2SessionServer* s, int timeout, int* status, int flags) {
  int dummy;
  int& st = status ? *status : dummy;
  if (s == nullptr || s->ops == nullptr) {
    st = SESSION_ERR_HANDLE;
    return nullptr;
  }
  if (flags != 0 || timeout < 0) {
    st = SESSION_ERR_PARAM;
    return nullptr;
  }
  if (fd < 0) fd = s->inFd;
  const Deadline deadline = Deadline::inSeconds(timeout);
  Header h;
  ofw::SecureBytes frame;
  int rc = RecvFrame(s, fd, deadline, &h, &frame);
  LRPC2Msg* m = Received(s, rc, h, std::move(frame), deadline, &rc);
  // A blocking receive runs an exchange it begins to its end.
  while (m == nullptr && rc == SESSION_ERR_RETRY && s->auth != nullptr) {
    rc = RecvFrame(s, fd, s->auth->deadline, &h, &frame);
    m = Received(s, rc, h, std::move(frame), deadline, &rc);
  }
  st = rc;
  return m;
}

LRPC2Msg* SessionRecvFrame(LRPC2SessionServer* s, const uint8_t* data, size_t length, int timeout,
                           int* status) {
  int dummy;
  int& st = status ? *status : dummy;
  if (s == nullptr || s->ops == nullptr) {
    st = SESSION_ERR_HANDLE;
    return nullptr;
  }
  if (timeout < 0) {
    st = SESSION_ERR_PARAM;
    return nullptr;
  }
  Header h;
  ofw::SecureBytes frame;
  const int rc = TakeFrame(s, data, length, &h, &frame);
  return Received(s, rc, h, std::move(frame), Deadline::inSeconds(timeout), &st);
}

void SessionSetOutput(LRPC2SessionServer* s, SessionOutputFn output, void* context) {
  if (s == nullptr) return;
  s->output = output;
  s->outputContext = context;
}

int SessionAuthPending(const LRPC2SessionServer* s) { return s != nullptr && s->auth != nullptr; }

int SessionServerSend(int fd, LRPC2SessionServer* s, LRPC2Msg* reply, int timeout) {
  if (s == nullptr || s->ops == nullptr) return SESSION_ERR_HANDLE;
  if (timeout < 0) return SESSION_ERR_PARAM;
  if (reply == nullptr || MsgGetState(reply) != MSG_STATE_COMPLETE) return SESSION_ERR_INVALID;
  if (!s->haveRequest) return SESSION_ERR_INVALID;
  if (s->version == 5 && (s->request.flags & kFlagAsync)) return SESSION_OK;  // no reply expected
  if (fd < 0) fd = s->outFd;
  return SendReply(s, fd, reply, Deadline::inSeconds(timeout));
}

int SessionProcessIdentity(LRPC2SessionServer* s, int* uid, int* gid) {
  if (s == nullptr) return SESSION_ERR_HANDLE;
  if (!s->authenticated) return SESSION_ERR_IDENTITY;
  if (uid) *uid = s->uid;
  if (gid) *gid = s->gid;
  return SESSION_OK;
}

int SessionProcessPid(LRPC2SessionServer* s, pid_t* pid) {
  if (s == nullptr || s->ops == nullptr) return SESSION_ERR_HANDLE;
  if (pid == nullptr) return SESSION_ERR_PARAM;
  return s->ops->getPeerPid(s, pid);
}

void SessionClearIdentity(LRPC2SessionServer* s) {
  if (s == nullptr) return;
  s->authenticated = false;
  s->uid = s->gid = -1;
}

int SessionGetVersion(const LRPC2SessionServer* s) { return s ? s->version : 0; }
int SessionIsSigning(const LRPC2SessionServer* s) { return s && s->signing; }

void SessionServerClose(LRPC2SessionServer* s) {
  if (s != nullptr) DropAuth(s);
  delete s;
}

}  // extern "C"
