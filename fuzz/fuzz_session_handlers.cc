// Fuzz target: the daemon's request handlers (session lifecycle and queries)
// fed arbitrary request bodies from a local client, through the same path a
// worker of the IPC server takes once a whole request is queued.
//
// Each input is one client connection. A socket pair is made (under the chosen
// effective uid, so that the transport's peer credentials name that user), the
// LRPC2 session is negotiated by LRPC2ServerSession::negotiate, and each
// request is framed with a correct header, queued, and handled by
// IPCServer::execute, which reads, dispatches, answers or drops the client
// exactly as the server does. The client then hangs up (the server's
// end-of-session path) unless it was dropped before.
//
// Input layout:
//   byte 0: bits 0-1 the peer (0, 3: root; 1: uid 65534, in the passwd file;
//           2: uid 4242, in no passwd file), bits 2-3 the LRPC2 version (3, 4,
//           5, 5), bit 4 "raw": the harness does not append the end tag,
//           bit 5 session data arrives in ISO-8859-1 (else UTF-8), bits 6-7
//           the spool limits (0, 1: none; 2: the database is over
//           `spool.maxdbsize`; 3: the disk is below `spool.diskspace.min`
//           and the Auditor's disk state is full).
//   then up to kMaxRequests requests, each:
//     1 byte   the message type (an index into kTypes, modulo its size)
//     uint16   n (host order), then n bytes: the values of the body, which
//              the harness prefixes with the uint16 type and ends with tag 0.
//
// Process-group reports (and psids) can name a live group of the peer's
// through a dictionary of the target's own group and one led by a child
// running as uid 65534 (their numbers differ from run to run).
//
// After each input the connection has ended, dropped by the server or hung up
// by the client, and must have left nothing behind (checked): its session
// ended, its socket closed, no registration in the Auditor's registry, no
// session spool open; every spooled audit-trail record must read back as the
// 12 values of an audit-trail message, exactly (checked). State across inputs
// stays bounded: every session spool is removed, the audit-trail spool emptied
// and the secret cache emptied.
//
// With VGD_FUZZ_WRITE_SEEDS=<dir> in the environment the target writes its
// seed corpus (valid start, data, window-size, process-group, resume, end,
// query and audit-trail requests, built with the message encoders) into <dir> and exits. With
// VGD_FUZZ_KEEP set, the temporary directory (and the daemon's log in it) is
// left in place at exit.
#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <boost/shared_ptr.hpp>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "auditor/auditor.h"
#include "lrpc2/header.h"
#include "lrpc2/msg.h"
#include "lrpc2/msg_types.h"
#include "lrpc2/session.h"
#include "ofw/codec.h"
#include "ofw/guid.h"
#include "ofw/logging/logger.h"
#include "ofw/config/properties.h"
#include "ovgfw/at_message.h"
#include "server/ipc_server.h"
#include "server/server_session.h"
#include "server/session_records.h"
#include "server/session_settings.h"

namespace {

using namespace lrpc2;

const uint32_t kTypes[] = {
    // Session lifecycle.
    MsgType::VGSessionStart, MsgType::VGSessionStart2, MsgType::VGSessionStart4, MsgType::VGSessionStart5,
    MsgType::VGSessionStart6, MsgType::VGSessionStart7, MsgType::VGSessionStart8, MsgType::VGSessionStart9,
    MsgType::VGSessionStart10, MsgType::VGSessionStart11, MsgType::VGSessionStart12, MsgType::VGSessionStart13,
    MsgType::VGSessionStart14, MsgType::VGSessionStart15, MsgType::VGSessionStart16, MsgType::VGSessionStart17,
    MsgType::VGSessionResume, MsgType::VGSessionResume2, MsgType::VGSessionResume3, MsgType::VGSessionResume4,
    MsgType::VGSessionResume5, MsgType::VGSessionData, MsgType::VGSessionData2, MsgType::VGSessionData3,
    MsgType::VGSessionWSizeChange, MsgType::VGSessionWSizeChange2, MsgType::VGSessionWSizeChange3,
    MsgType::VGSessionPGID, MsgType::VGSessionEnd, MsgType::VGSessionEnd2, MsgType::VGSessionPause,
    MsgType::VGSessionContinue, MsgType::VGSessionKill,
    // Queries and control.
    MsgType::NSSGetPasswdDataByName, MsgType::NSSGetPasswdDataByName2, MsgType::NSSGetPasswdDataByUID,
    MsgType::NSSGetPasswdDataByUID2, MsgType::VGGetAuditLevel, MsgType::VGQueryIsUserAlwaysPermittedLogin,
    MsgType::VGQueryRunlevel, MsgType::VGQueryOriginalShell, MsgType::VGCacheOvsSecret, MsgType::VGFlushCache,
    MsgType::VGReloadProps, MsgType::ControlLog2, MsgType::VGPing,
    // Audit-trail events.
    MsgType::AuditTrailSessionData, MsgType::AuditTrailSessionData2,
    // Status, statistics and spool control.
    MsgType::VGQueryVgdParameters, MsgType::VGQueryVgdParameter, MsgType::VGQueryDBSize, MsgType::VGQueryATDBSize,
    MsgType::VGQueryDespoolRate, MsgType::VGQueryDespoolATRate, MsgType::VGResumeSpool,
    MsgType::VGQueryVgdActionCount, MsgType::VGQueryIsHooked, MsgType::VGQueryIsLibauditEnabled,
    MsgType::VGEnableLibaudit, MsgType::VGReloadMonitoring, MsgType::VGQueryIsSessionAudited,
    // Agent and collector status, the installation-cache flush (the rebind
    // request is left out: it waits for the despooler up to its time-out).
    MsgType::VGQueryIsDaemonOnline, MsgType::VGQueryIsATChannelOnline, MsgType::VGQueryCollectorStatus,
    MsgType::VGQueryCollectorStatus2, MsgType::VGQueryConnectionStatistics, MsgType::VGQuerySpoolInfo,
    MsgType::VGFlushInstallationInfoCache};
const size_t kTypeCount = sizeof kTypes / sizeof kTypes[0];

const size_t kMaxRequests = 32;
const int kSocketBuffer = 4 << 20;

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "fuzz_session_handlers: %s\n", what);
    abort();
  }
}

int PeerUid(uint8_t sel) {
  switch (sel & 3) {
    case 1: return 65534;
    case 2: return 4242;
    default: return 0;
  }
}

int VersionOf(uint8_t sel) {
  static const int versions[] = {3, 4, 5, 5};
  return versions[(sel >> 2) & 3];
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

void Drain(int fd) {
  uint8_t buf[8192];
  while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
  }
}

std::vector<uint8_t> Framed(int version, uint32_t sequence, const std::vector<uint8_t>& body) {
  const uint32_t hl = HeaderLengthOf(version);
  std::vector<uint8_t> out(hl + body.size());
  Header h;
  h.magic = kMagic;
  h.totalLength = static_cast<uint32_t>(kHeaderLengthV23 + body.size());
  h.headerLength = static_cast<uint16_t>(hl);
  h.version = static_cast<uint32_t>(version);
  h.pid = static_cast<uint64_t>(getpid());
  h.sequence = sequence;
  h.time = 1;
  h.bodyLength = static_cast<uint32_t>(body.size());
  h.flags = 0;
  EncodeHeader(version, h, out.data());
  if (!body.empty()) memcpy(out.data() + hl, body.data(), body.size());
  return out;
}

struct Env {
  std::string dir;
  std::unique_ptr<ofw::IPCServer> server;
  std::unique_ptr<Vigilog::Auditor> auditor;
};

Env* gEnv = nullptr;

// At exit only the temporary directory goes: the objects stay (still
// reachable), as their destructors would log after this thread's log state
// was destroyed.
void Teardown() {
  if (!gEnv) return;
  if (getenv("VGD_FUZZ_KEEP")) {
    fprintf(stderr, "fuzz_session_handlers: kept %s\n", gEnv->dir.c_str());
    return;
  }
  if (std::system(("rm -rf " + gEnv->dir).c_str()) != 0) {
  }
}

void SetUp() {
  signal(SIGPIPE, SIG_IGN);
  char tmpl[] = "/tmp/fuzzsessionXXXXXX";
  Check(mkdtemp(tmpl) != nullptr, "mkdtemp");
  gEnv = new Env;
  gEnv->dir = tmpl;
  // Everything is logged (the log calls' formats see the fuzzed values too),
  // into a small rotated file.
  const std::string conf = gEnv->dir + "/vgd.conf";
  {
    std::ofstream out(conf);
    out << "logger.destination " << gEnv->dir << "/vgd.log\n"
        << "log TRACE\n"
        << "logger.queue.size 0\n"
        << "logger.file.maxsize 1\n"
        << "logger.file.maxcount 1\n"
        << "lrpc.connect.timeout 5\n"
        << "vgd.ignore.nonlogin.ttys console,tty9\n"
        << "qx.apu.file.path " << gEnv->dir << "/apu.lst\n";
    std::ofstream apu(gEnv->dir + "/apu.lst");
    apu << "root\nnobody\n";
  }
  ofw::SetPropsPath(conf);
  ofw::Props();
  ofw::Logger::ReconfigureLevels(ofw::Props());
  SessionSetAuthFileDir((gEnv->dir + "/auth").c_str());
  ovg::gDataDir = gEnv->dir;
  gEnv->server.reset(new ofw::IPCServer(gEnv->dir + "/audit"));
  ofw::gServer = gEnv->server.get();
  // One Auditor for the whole run: a new one would start a new despooler
  // thread, whose first log records register thread-local destructors that
  // the leak check cannot see the owner of.
  gEnv->auditor.reset(new Vigilog::Auditor());
  gEnv->auditor->init(gEnv->dir + "/spool-sessions", gEnv->dir + "/spool-dbqc", gEnv->dir + "/spool-atdbqc", "");
  Vigilog::gAuditor = gEnv->auditor.get();
  atexit(Teardown);
}

// The settings an input selects.
void Configure(uint8_t sel) {
  ovg::gSrcEncoding = (sel & 0x20) ? "iso-8859-1" : "utf8";
  const int limits = sel >> 6;
  ofw::Props().setProperty("spool.maxdbsize", limits == 2 ? "1" : "");
  ofw::Props().setProperty("spool.diskspace.min", limits == 3 ? "100" : "0");
  gEnv->auditor->diskState().diskFull = limits == 3;
}

// Every audit-trail record reads back as the 12 values of its message and
// nothing more; the spool is emptied.
void CheckAuditTrailSpool() {
  boost::shared_ptr<ofw::DBQComposite> at = gEnv->auditor->atSpool();
  while (!at->empty()) {
    boost::shared_array<unsigned char> data;
    unsigned int length = 0;
    at->dequeue(data, length);
    ovgfw::ATMessage m(std::string(reinterpret_cast<const char*>(data.get()), length), true);
    Check(m.readByte() == 2, "audit-trail record kind");
    m.readString();
    m.readString();
    m.readInt32();
    m.readTimestamp();
    m.readString();
    m.readString();
    Check(m.readString().empty(), "audit-trail record carries a user SID");
    m.readGuid();
    const uint32_t pid32 = static_cast<uint32_t>(m.readInt32());
    m.readString();
    const uint64_t pid64 = static_cast<uint64_t>(m.readInt64());
    Check(m.getOffset() == length, "audit-trail record length");
    Check(pid32 == (pid64 <= UINT32_MAX ? pid64 : 0), "audit-trail pid fields disagree");
  }
}

// The connection of one input: the client's end, and the server's session.
int Connect(int uid, int version, ofw::ClientPtr* session) {
  int sv[2];
  if (uid != 0) Check(seteuid(static_cast<uid_t>(uid)) == 0, "seteuid");
  const int rc = socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
  if (uid != 0) Check(seteuid(0) == 0, "seteuid back");
  Check(rc == 0, "socketpair");
  for (int fd : sv) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &kSocketBuffer, sizeof kSocketBuffer);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kSocketBuffer, sizeof kSocketBuffer);
  }
  uint8_t hello[8];
  ofw::codec::putU32(hello, static_cast<uint32_t>(version));
  ofw::codec::putU16(hello + 4, 8);
  ofw::codec::putU16(hello + 6, 0);
  Check(WriteAll(sv[1], hello, version == 5 ? 8 : 4), "hello");
  session->reset(new LRPC2ServerSession(gEnv->server.get()));
  (*session)->negotiate(sv[0]);
  Drain(sv[1]);
  return sv[1];
}

// Descriptors of the process open on files under `dir` (removed ones too).
int OpenUnder(const std::string& dir) {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (struct dirent* e = readdir(d)) {
      char target[PATH_MAX];
      const std::string link = std::string("/proc/self/fd/") + e->d_name;
      const ssize_t len = readlink(link.c_str(), target, sizeof target - 1);
      if (len > 0 && std::string(target, static_cast<size_t>(len)).compare(0, dir.size(), dir) == 0) ++n;
    }
    closedir(d);
  }
  return n;
}

// Checks that the ended connection left nothing behind: its socket closed, no
// registration, no session spool open; removes the input's spools so that
// state across inputs stays bounded.
void Reclaim(ofw::ClientPtr& session) {
  Check(!session->sessionOpen, "an ended connection's session was not ended");
  Check(session->getFd() < 0, "an ended connection kept its descriptor");
  Vigilog::AuditRegistry& reg = gEnv->auditor->registry();
  Check(reg.ttyCount() == 0 && reg.psidCount() == 0 && reg.pidCount() == 0,
        "registrations outlived the connection that made them");
  session.reset();
  Vigilog::Auditor& a = *gEnv->auditor;
  for (const ofw::Guid& guid : a.sessions()->listSessions()) a.sessions()->destroy(guid);
  Check(a.sessions()->listSessions().empty(), "a session spool could not be removed");
  // An active session's spool stays open (its removed files with it).
  Check(OpenUnder(gEnv->dir + "/spool-sessions") == 0, "an ended connection left its session spool open");
  gEnv->server->userLookup().secretCache().clear();
  CheckAuditTrailSpool();
}

// ---- seed corpus ------------------------------------------------------------

class SeedWriter {
 public:
  explicit SeedWriter(uint8_t sel) { bytes_.push_back(sel); }

  // Appends one request built by `fill` on a fresh message of `type`.
  template <typename Fill>
  SeedWriter& add(uint32_t type, Fill fill) {
    size_t index = 0;
    while (kTypes[index] != type) ++index;
    int st = 0;
    LRPC2Msg* m = MsgNew(type, 0, nullptr, 0, &st);
    Check(m != nullptr, "MsgNew");
    fill(m);
    Check(MsgComplete(m) == MSG_OK, "MsgComplete");
    size_t length = 0;
    const uint8_t* data = MsgGetData(m, &length);
    // Drop the type (the selector names it) and the end tag (the harness adds it).
    Check(length >= 3, "body");
    const size_t n = length - 3;
    bytes_.push_back(static_cast<uint8_t>(index));
    uint8_t len[2];
    ofw::codec::putU16(len, static_cast<uint16_t>(n));
    bytes_.insert(bytes_.end(), len, len + 2);
    bytes_.insert(bytes_.end(), data + 2, data + 2 + n);
    MsgFree(m);
    return *this;
  }

  void write(const std::string& dir, const std::string& name) const {
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
    Check(static_cast<bool>(out), "cannot write a seed");
  }

 private:
  std::vector<uint8_t> bytes_;
};

void WriteTime(LRPC2Msg* m) {
  struct timeval tv = {1700000000, 250000};
  MsgWriteBlob(m, &tv, sizeof tv);
}

void WriteSequence(LRPC2Msg* m, uint32_t low) {
  MsgWriteUInt32(m, 0);
  MsgWriteUInt32(m, low);
}

// A start request of `version` (1, 2, 4 ... 17) for tty, with three arguments.
void WriteStart(LRPC2Msg* m, int version, const char* tty) {
  if (version >= 5) {
    MsgWriteInt32(m, 4000);
    MsgWriteInt32(m, 3999);
    MsgWriteInt32(m, 4001);
  }
  MsgWriteInt32(m, -1);
  if (version >= 17) MsgWriteBool(m, 0);
  MsgWriteString(m, "nobody");
  MsgWriteString(m, tty);
  if (version >= 4) MsgWriteString(m, "/dev/pts/9");
  MsgWriteString(m, "first");
  MsgWriteString(m, "second");
  if (version >= 2) MsgWriteString(m, "sshd");
  if (version >= 9) MsgWriteBool(m, 0);
  if (version >= 12) MsgWriteBool(m, 1);
  if (version >= 10 && version <= 15) MsgWriteString(m, "");
  if (version >= 11) MsgWriteString(m, "");
  if (version >= 13) MsgWriteString(m, "00112233-4455-6677-8899-aabbccddeeff");
  if (version >= 14) WriteTime(m);
  MsgWriteInt32(m, 3);
  MsgWriteString(m, "-bash");
  MsgWriteString(m, "-c");
  MsgWriteString(m, "true");
  WriteSequence(m, 1);
}

void WriteData(LRPC2Msg* m, int version, int stream, const char* text) {
  MsgWriteInt32(m, stream);
  MsgWriteBlob(m, text, static_cast<uint32_t>(strlen(text)));
  if (version >= 3) WriteTime(m);
  WriteSequence(m, 2);
}

void WriteWindow(LRPC2Msg* m, int version) {
  if (version >= 2) WriteTime(m);
  const int32_t size[4] = {24, 80, 640, 480};
  for (int32_t v : size) MsgWriteInt32(m, v);
  if (version >= 3) WriteSequence(m, 3);
}

void WriteResume(LRPC2Msg* m, int version) {
  const unsigned char guid[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe,
                                  0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
  MsgWriteBlob(m, guid, sizeof guid);
  MsgWriteString(m, "pts/7");
  MsgWriteInt32(m, -1);
  if (version >= 2) {
    // The continuation body: the session's start record, as the shell keeps it.
    ovg::SessionStartInfo info;
    info.guid = ofw::Guid(guid);
    info.start = {1700000000, 0};
    info.userName = "nobody";
    info.tty = "pts/7";
    info.argv = {"-bash"};
    ovgfw::OVGRequestMessage record;
    ovg::buildSessionStart(record, info);
    const std::string body = record.serialize();
    MsgWriteBlob(m, body.data(), static_cast<uint32_t>(body.size()));
  }
  if (version >= 4) MsgWriteInt32(m, 4100);
  if (version >= 5) MsgWriteInt32(m, 4100);
}

void WriteGuid(LRPC2Msg* m) {
  const unsigned char guid[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  MsgWriteBlob(m, guid, sizeof guid);
}

// An audit-trail event: a 1210 time as a 64-bit timeval, a 1212 time as two
// 8-byte blobs; a valid session GUID, an 8-byte pid and one parameter of each
// type.
void WriteEvent(LRPC2Msg* m, bool two) {
  MsgWriteString(m, "app");
  MsgWriteString(m, "host1");
  MsgWriteUInt32(m, 42);
  const uint64_t seconds = 1700000000, microseconds = 250000, pid = 1ull << 32;
  if (two) {
    MsgWriteBlob(m, &seconds, sizeof seconds);
    MsgWriteBlob(m, &microseconds, sizeof microseconds);
  } else {
    const uint64_t tv[2] = {seconds, microseconds};
    MsgWriteBlob(m, tv, sizeof tv);
  }
  MsgWriteString(m, "alice");
  MsgWriteString(m, "login");
  MsgWriteBlob(m, "S-1-5-21", 8);
  MsgWriteString(m, "00112233-4455-6677-8899-aabbccddeeff");
  MsgWriteBlob(m, &pid, sizeof pid);
  const uint64_t eight = 0x0102030405060708ull;
  const char text[] = "a,b;c\\d";
  const char array[] = "x\0y;z\0";
  for (uint32_t type = 1; type <= 16; ++type) {
    MsgWriteUInt32(m, type);
    if (type == 8) {
      MsgWriteBlob(m, text, sizeof text - 1);
    } else if (type == 14) {
      MsgWriteBlob(m, array, sizeof array - 1);
    } else {
      static const uint32_t sizes[] = {0, 2, 4, 8, 2, 4, 8, 4, 0, 8, 1, 2, 8, 16, 0, 8, 4};
      const unsigned char guid[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
      MsgWriteBlob(m, type == 13 ? static_cast<const void*>(guid) : &eight, sizes[type]);
    }
  }
  MsgWriteUInt32(m, 0);
}

void WriteSeeds(const std::string& dir) {
  const uint8_t root5 = 0 | (2 << 2), user5 = 1 | (2 << 2), user4 = 1 | (1 << 2), stranger5 = 2 | (2 << 2),
                root3 = 0;
  SeedWriter(root5)
      .add(MsgType::VGSessionStart17, [](LRPC2Msg* m) { WriteStart(m, 17, "pts/3"); })
      .add(MsgType::VGSessionData3, [](LRPC2Msg* m) { WriteData(m, 3, 2, "output line\n"); })
      .add(MsgType::VGSessionData3, [](LRPC2Msg* m) { WriteData(m, 3, 1, "typed"); })
      .add(MsgType::VGSessionWSizeChange3, [](LRPC2Msg* m) { WriteWindow(m, 3); })
      .add(MsgType::VGSessionPGID, [](LRPC2Msg* m) { MsgWriteInt32(m, 1); })
      .add(MsgType::VGSessionEnd2, [](LRPC2Msg* m) { WriteTime(m); })
      .write(dir, "start17-data-end");
  SeedWriter(user5)
      .add(MsgType::VGSessionStart15, [](LRPC2Msg* m) { WriteStart(m, 15, "pts/4"); })
      .add(MsgType::VGSessionData2, [](LRPC2Msg* m) { WriteData(m, 2, 2, "ls\n"); })
      .add(MsgType::VGSessionWSizeChange2, [](LRPC2Msg* m) { WriteWindow(m, 2); })
      .add(MsgType::VGSessionEnd, [](LRPC2Msg*) {})
      .write(dir, "start15-user");
  SeedWriter(root3)
      .add(MsgType::VGSessionStart, [](LRPC2Msg* m) { WriteStart(m, 1, "tty1"); })
      .add(MsgType::VGSessionData, [](LRPC2Msg* m) { WriteData(m, 1, 2, "x"); })
      .add(MsgType::VGSessionWSizeChange, [](LRPC2Msg* m) { WriteWindow(m, 1); })
      .add(MsgType::VGSessionEnd, [](LRPC2Msg*) {})
      .write(dir, "start1-v3");
  SeedWriter(user4)
      .add(MsgType::VGSessionStart9, [](LRPC2Msg* m) { WriteStart(m, 9, "pts/5"); })
      .add(MsgType::VGSessionStart13, [](LRPC2Msg* m) { WriteStart(m, 13, "pts/6"); })
      .add(MsgType::VGSessionData3, [](LRPC2Msg* m) { WriteData(m, 3, 2, "y"); })
      .write(dir, "start9-start13-hangup");
  SeedWriter(stranger5)
      .add(MsgType::VGSessionStart14, [](LRPC2Msg* m) { WriteStart(m, 14, "pts/8"); })
      .add(MsgType::VGSessionData3, [](LRPC2Msg* m) { WriteData(m, 3, 0, "z"); })
      .write(dir, "start14-unknown-uid");
  SeedWriter(user5)
      .add(MsgType::VGSessionResume5, [](LRPC2Msg* m) { WriteResume(m, 5); })
      .add(MsgType::VGSessionData3, [](LRPC2Msg* m) { WriteData(m, 3, 2, "after resume"); })
      .add(MsgType::VGSessionResume2, [](LRPC2Msg* m) { WriteResume(m, 2); })
      .add(MsgType::VGSessionEnd2, [](LRPC2Msg* m) { WriteTime(m); })
      .write(dir, "resume5-data-end");
  SeedWriter(user4)
      .add(MsgType::VGSessionResume5, [](LRPC2Msg* m) { WriteResume(m, 5); })
      .add(MsgType::VGSessionResume4, [](LRPC2Msg* m) { WriteResume(m, 4); })
      .add(MsgType::VGSessionResume5, [](LRPC2Msg* m) { WriteResume(m, 5); })
      .add(MsgType::VGSessionEnd2, [](LRPC2Msg* m) { WriteTime(m); })
      .write(dir, "resume-again");
  SeedWriter(root5)
      .add(MsgType::VGSessionResume4, [](LRPC2Msg* m) { WriteResume(m, 4); })
      .add(MsgType::VGSessionResume, [](LRPC2Msg* m) { WriteResume(m, 1); })
      .add(MsgType::VGSessionResume3, [](LRPC2Msg* m) { WriteResume(m, 3); })
      .write(dir, "resume-versions");
  SeedWriter(root5)
      .add(MsgType::VGSessionPause, WriteGuid)
      .add(MsgType::VGSessionContinue, WriteGuid)
      .add(MsgType::VGSessionKill, WriteGuid)
      .write(dir, "pause-continue-kill");
  SeedWriter(root5)
      .add(MsgType::NSSGetPasswdDataByName, [](LRPC2Msg* m) { MsgWriteString(m, "root"); })
      .add(MsgType::NSSGetPasswdDataByName2,
           [](LRPC2Msg* m) {
             MsgWriteString(m, "nobody");
             MsgWriteBool(m, 1);
           })
      .add(MsgType::NSSGetPasswdDataByUID, [](LRPC2Msg* m) { MsgWriteUInt32(m, 0); })
      .add(MsgType::NSSGetPasswdDataByUID2,
           [](LRPC2Msg* m) {
             MsgWriteUInt32(m, 65534);
             MsgWriteBool(m, 0);
           })
      .add(MsgType::VGGetAuditLevel, [](LRPC2Msg* m) { MsgWriteString(m, "root"); })
      .add(MsgType::VGQueryIsUserAlwaysPermittedLogin, [](LRPC2Msg* m) { MsgWriteString(m, "root"); })
      .add(MsgType::VGQueryRunlevel, [](LRPC2Msg*) {})
      .add(MsgType::VGQueryOriginalShell, [](LRPC2Msg* m) { MsgWriteUInt32(m, 0); })
      .add(MsgType::VGCacheOvsSecret, [](LRPC2Msg* m) { MsgWriteString(m, "s3cret"); })
      .add(MsgType::VGFlushCache, [](LRPC2Msg*) {})
      .add(MsgType::VGReloadProps, [](LRPC2Msg*) {})
      .add(MsgType::ControlLog2,
           [](LRPC2Msg* m) {
             MsgWriteUInt32(m, 1);
             MsgWriteString(m, "prog");
             MsgWriteInt32(m, 77);
             MsgWriteInt32(m, 3);
             MsgWriteString(m, "file.c");
             MsgWriteInt32(m, 12);
             MsgWriteString(m, "function");
             MsgWriteString(m, "text");
             MsgWriteUInt32(m, 0);
           })
      .write(dir, "queries-root");
  SeedWriter(user5)
      .add(MsgType::VGFlushCache, [](LRPC2Msg*) {})
      .add(MsgType::VGReloadProps, [](LRPC2Msg*) {})
      .add(MsgType::VGSessionKill, WriteGuid)
      .add(MsgType::VGQueryOriginalShell, [](LRPC2Msg* m) { MsgWriteUInt32(m, 65534); })
      .write(dir, "queries-user");
  SeedWriter(user5)
      .add(MsgType::AuditTrailSessionData, [](LRPC2Msg* m) { WriteEvent(m, false); })
      .add(MsgType::AuditTrailSessionData2, [](LRPC2Msg* m) { WriteEvent(m, true); })
      .write(dir, "audit-trail-events");
  auto control = [](SeedWriter w) {
    return w.add(MsgType::VGQueryVgdParameters, [](LRPC2Msg*) {})
        .add(MsgType::VGQueryVgdParameter, [](LRPC2Msg* m) { MsgWriteString(m, "spool.maxdbsize"); })
        .add(MsgType::VGQueryDBSize, [](LRPC2Msg*) {})
        .add(MsgType::VGQueryATDBSize, [](LRPC2Msg*) {})
        .add(MsgType::VGQueryDespoolRate, [](LRPC2Msg*) {})
        .add(MsgType::VGQueryDespoolATRate, [](LRPC2Msg*) {})
        .add(MsgType::VGResumeSpool, [](LRPC2Msg* m) { MsgWriteString(m, "all"); })
        .add(MsgType::VGResumeSpool, [](LRPC2Msg* m) { MsgWriteString(m, "01234567-89ab-cdef-0123-456789abcdef"); })
        .add(MsgType::VGQueryVgdActionCount, [](LRPC2Msg*) {})
        .add(MsgType::VGQueryIsHooked, [](LRPC2Msg*) {})
        .add(MsgType::VGQueryIsLibauditEnabled, [](LRPC2Msg*) {})
        .add(MsgType::VGEnableLibaudit,
             [](LRPC2Msg* m) {
               MsgWriteBool(m, 1);
               MsgWriteBool(m, 0);
             })
        .add(MsgType::VGReloadMonitoring, [](LRPC2Msg*) {})
        .add(MsgType::VGQueryIsSessionAudited,
             [](LRPC2Msg* m) {
               MsgWriteInt32(m, 1);
               MsgWriteInt32(m, -1);
               MsgWriteString(m, "");
             })
        .add(MsgType::VGQueryIsDaemonOnline, [](LRPC2Msg*) {})
        .add(MsgType::VGQueryIsATChannelOnline, [](LRPC2Msg*) {})
        .add(MsgType::VGQueryCollectorStatus, [](LRPC2Msg*) {})
        .add(MsgType::VGQueryCollectorStatus2, [](LRPC2Msg*) {})
        .add(MsgType::VGQueryConnectionStatistics, [](LRPC2Msg*) {})
        .add(MsgType::VGQuerySpoolInfo, [](LRPC2Msg*) {})
        .add(MsgType::VGFlushInstallationInfoCache, [](LRPC2Msg*) {});
  };
  control(SeedWriter(root5)).write(dir, "control-root");
  control(SeedWriter(user5)).write(dir, "control-user");
}

// Process-group reports are accepted only for a live group of the peer's:
// the target's own group (root's) and one that a child running as uid 65534
// leads. Their int32 encodings go into a dictionary, added to the arguments
// unless a dictionary was given.
void AddGroupDictionary(int* argc, char*** argv) {
  for (int i = 1; i < *argc; ++i)
    if (strncmp((*argv)[i], "-dict=", 6) == 0) return;
  const pid_t parent = getpid();
  const pid_t child = fork();
  Check(child >= 0, "fork");
  if (child == 0) {
    setpgid(0, 0);
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
    // After the change of user, which clears it: gone with the target.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(0);
    for (;;) pause();
  }
  setpgid(child, child);
  const std::string path = gEnv->dir + "/groups.dict";
  {
    std::ofstream out(path);
    const int32_t groups[] = {static_cast<int32_t>(getpgrp()), static_cast<int32_t>(child)};
    for (int32_t g : groups) {
      uint8_t item[5] = {MSG_TAG_INT32};
      ofw::codec::putU32(item + 1, static_cast<uint32_t>(g));
      out << "group=\"";
      for (uint8_t b : item) {
        char hex[5];
        snprintf(hex, sizeof hex, "\\x%02x", b);
        out << hex;
      }
      out << "\"\n";
    }
  }
  static std::vector<char*> args;
  args.assign(*argv, *argv + *argc);
  static std::string flag = "-dict=" + path;
  args.push_back(&flag[0]);
  args.push_back(nullptr);
  *argv = args.data();
  ++*argc;
}

}  // namespace

// glibc keeps the list of a thread's thread-local destructors where the leak
// check does not look: the list's nodes (one per thread-local object the log
// uses in a thread) are not leaks.
extern "C" const char* __lsan_default_suppressions() { return "leak:__cxa_thread_atexit_impl\n"; }

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  if (const char* dir = getenv("VGD_FUZZ_WRITE_SEEDS")) {
    WriteSeeds(dir);
    exit(0);
  }
  SetUp();
  AddGroupDictionary(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t sel = data[0];
  ++data;
  --size;
  const int version = VersionOf(sel);
  const bool raw = (sel & 0x10) != 0;
  Configure(sel);

  ofw::ClientPtr session;
  const int client = Connect(PeerUid(sel), version, &session);
  uint32_t sequence = 1;
  for (size_t i = 0; i < kMaxRequests && size >= 3 && session->alive.load(); ++i) {
    const uint32_t type = kTypes[data[0] % kTypeCount];
    size_t n = ofw::codec::getU16(data + 1);
    data += 3;
    size -= 3;
    if (n > size) n = size;
    std::vector<uint8_t> body(2);
    ofw::codec::putU16(body.data(), static_cast<uint16_t>(type));
    body.insert(body.end(), data, data + n);
    if (!raw) body.push_back(MSG_TAG_END);
    data += n;
    size -= n;
    const std::vector<uint8_t> frame = Framed(version, sequence++, body);
    Check(WriteAll(client, frame.data(), frame.size()), "request");
    gEnv->server->execute(session);
    Drain(client);
  }
  // Unless the server dropped it, the client hangs up; the server notices on
  // its next turn. Either way the connection ends.
  if (session->alive.load()) {
    shutdown(client, SHUT_WR);
    gEnv->server->execute(session);
    Check(!session->alive.load(), "a hung-up client was kept");
  }
  close(client);
  Reclaim(session);
  return 0;
}
