// vgdclient: a small LRPC2 client of the daemon's local socket, for
// administrators' checks and for the tests.
//
//   vgdclient [-s SOCKET] [-V VERSION] [-g SIGNING] [-t SECONDS] ping [COUNT]
//   vgdclient [...] stop [--restart]
//   vgdclient [...] send TYPE        an empty request of TYPE; prints the reply's status
//   vgdclient [...] getpwnam NAME [--local]   prints the passwd line, exit 3 when not found
//   vgdclient [...] getpwuid UID [--local]
//   vgdclient [...] flush | reload | flushscp   prints the status the daemon answered
//   vgdclient [...] rebind          prints the collector rebind verdict
//   vgdclient [...] auditlevel USER | runlevel | apu USER
//   vgdclient [...] atevent ID SESSION [TEXT...]   an audit-trail event
//                                    (AuditTrailSessionData2) of this process,
//                                    time now, each TEXT a string parameter;
//                                    SESSION is a session GUID text or "-"
//   vgdclient [...] pause|continue|kill GUID   signal the shell of a connected
//                                    session (GUID as vgsession prints it);
//                                    prints the status the daemon answered
//
// Exit status: 0 success, 1 the daemon could not be reached or answered with
// an error, 2 usage.
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lrpc2/msg.h"
#include "lrpc2/msg_types.h"
#include "lrpc2/session.h"
#include "ofw/codec.h"
#include "ofw/guid.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: vgdclient [-s SOCKET] [-V VERSION] [-g SIGNING] [-t SECONDS] ping [COUNT]\n"
               "       vgdclient [options] stop [--restart]\n"
               "       vgdclient [options] send TYPE\n"
               "       vgdclient [options] getpwnam NAME [--local] | getpwuid UID [--local]\n"
               "       vgdclient [options] flush | reload | flushscp | rebind | runlevel | auditlevel USER | apu USER\n"
               "       vgdclient [options] pause GUID | continue GUID | kill GUID\n"
               "       vgdclient [options] atevent ID SESSION [TEXT...]\n");
}

struct Options {
  std::string socket = "/var/orvanevg/audit";
  int version = 5;
  int signing = SIGN_SETTING_DISABLED;
  int timeout = 15;
};

LRPC2SessionClient* connectOrDie(const Options& o) {
  int status = 0;
  LRPC2SessionClient* c =
      SessionConnectWithTimeout(o.socket.c_str(), OVGPrivGetMsgTable(), o.timeout, o.version, o.signing, &status);
  if (!c) {
    const char* text = SessionErr2Str(status);
    std::fprintf(stderr, "vgdclient: cannot connect to %s: %d %s\n", o.socket.c_str(), status, text ? text : "");
    std::exit(1);
  }
  return c;
}

// Sends a request built by `fill` and returns the reply (null on error, printed).
MsgPtr request(LRPC2SessionClient* c, const Options& o, uint32_t type, void (*fill)(LRPC2Msg*, const void*),
               const void* arg) {
  int status = 0;
  MsgPtr req(MsgNew(type, 0, OVGPrivGetMsgTable(), 48, &status));
  if (!req) {
    std::fprintf(stderr, "vgdclient: cannot build message type %u: %d\n", type, status);
    return nullptr;
  }
  if (fill) fill(req.get(), arg);
  MsgComplete(req.get());
  MsgPtr reply(SessionSendWithTimeout(c, req.get(), o.timeout, &status));
  if (!reply) {
    const char* text = SessionErr2Str(status);
    std::fprintf(stderr, "vgdclient: request %u failed: %d %s\n", type, status, text ? text : "");
  }
  return reply;
}

void fillRestart(LRPC2Msg* m, const void* arg) { MsgWriteBool(m, *static_cast<const bool*>(arg) ? 1 : 0); }

struct LookupArg {
  const char* key;
  bool local;
  bool byUid;
};
void fillLookup(LRPC2Msg* m, const void* arg) {
  const LookupArg* a = static_cast<const LookupArg*>(arg);
  if (a->byUid)
    MsgWriteUInt32(m, static_cast<uint32_t>(std::strtoul(a->key, nullptr, 10)));
  else
    MsgWriteString(m, a->key);
  MsgWriteBool(m, a->local ? 1 : 0);
}
void fillString(LRPC2Msg* m, const void* arg) { MsgWriteString(m, static_cast<const char*>(arg)); }
void fillGuid(LRPC2Msg* m, const void* arg) {
  MsgWriteBlob(m, static_cast<const ofw::Guid*>(arg)->data(), ofw::Guid::SIZE);
}

struct EventArg {
  uint32_t id;
  const char* session;
  char** texts;
  int count;
};
void fillEvent(LRPC2Msg* m, const void* arg) {
  const EventArg* a = static_cast<const EventArg*>(arg);
  struct timeval now;
  gettimeofday(&now, nullptr);
  unsigned char seconds[8], microseconds[8], pid[8];
  ofw::codec::putU64(seconds, static_cast<uint64_t>(now.tv_sec));
  ofw::codec::putU64(microseconds, static_cast<uint64_t>(now.tv_usec));
  ofw::codec::putU64(pid, static_cast<uint64_t>(getpid()));
  MsgWriteString(m, "vgdclient");
  MsgWriteString(m, "event");
  MsgWriteUInt32(m, a->id);
  MsgWriteBlob(m, seconds, sizeof seconds);
  MsgWriteBlob(m, microseconds, sizeof microseconds);
  MsgWriteString(m, "");
  MsgWriteString(m, "");
  MsgWriteBlob(m, nullptr, 0);
  MsgWriteString(m, std::strcmp(a->session, "-") == 0 ? "" : a->session);
  MsgWriteBlob(m, pid, sizeof pid);
  for (int i = 0; i < a->count; ++i) {
    MsgWriteUInt32(m, 8);  // UTF8STRING
    MsgWriteBlob(m, a->texts[i], static_cast<uint32_t>(std::strlen(a->texts[i])));
  }
  MsgWriteUInt32(m, 0);  // END
}

int printPasswd(LRPC2Msg* r) {
  int found = 0;
  if (MsgReadBool(r, &found) != 0) return 1;
  if (!found) return 3;
  char *name = nullptr, *pw = nullptr, *gecos = nullptr, *dir = nullptr, *shell = nullptr;
  uint32_t uid = 0, gid = 0;
  MsgReadString(r, &name);
  MsgReadString(r, &pw);
  MsgReadUInt32(r, &uid);
  MsgReadUInt32(r, &gid);
  MsgReadString(r, &gecos);
  MsgReadString(r, &dir);
  MsgReadString(r, &shell);
  std::printf("%s:%s:%u:%u:%s:%s:%s\n", name ? name : "", pw ? pw : "", uid, gid, gecos ? gecos : "", dir ? dir : "",
              shell ? shell : "");
  std::free(name);
  std::free(pw);
  std::free(gecos);
  std::free(dir);
  std::free(shell);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int opt;
  while ((opt = getopt(argc, argv, "+s:V:g:t:")) != -1) {
    switch (opt) {
      case 's': o.socket = optarg; break;
      case 'V': o.version = std::atoi(optarg); break;
      case 'g': o.signing = SignStringToSignSetting(optarg); break;
      case 't': o.timeout = std::atoi(optarg); break;
      default: usage(); return 2;
    }
  }
  if (optind >= argc) {
    usage();
    return 2;
  }
  std::string cmd = argv[optind];
  if (cmd == "ping") {
    long count = optind + 1 < argc ? std::atol(argv[optind + 1]) : 1;
    LRPC2SessionClient* c = connectOrDie(o);
    for (long i = 0; i < count; ++i) {
      MsgPtr r = request(c, o, MsgType::VGPing, nullptr, nullptr);
      if (!r) return 1;
    }
    SessionClientClose(c);
    return 0;
  }
  if (cmd == "stop") {
    bool restart = optind + 1 < argc && std::strcmp(argv[optind + 1], "--restart") == 0;
    LRPC2SessionClient* c = connectOrDie(o);
    MsgPtr r = restart ? request(c, o, MsgType::VGStop2, fillRestart, &restart)
                       : request(c, o, MsgType::VGStop, nullptr, nullptr);
    SessionClientClose(c);
    if (!r) return 1;
    return 0;
  }
  if ((cmd == "getpwnam" || cmd == "getpwuid") && optind + 1 < argc) {
    LookupArg a{argv[optind + 1], optind + 2 < argc && std::strcmp(argv[optind + 2], "--local") == 0,
                cmd == "getpwuid"};
    LRPC2SessionClient* c = connectOrDie(o);
    MsgPtr r = request(c, o, a.byUid ? MsgType::NSSGetPasswdDataByUID2 : MsgType::NSSGetPasswdDataByName2,
                       fillLookup, &a);
    SessionClientClose(c);
    if (!r) return 1;
    int rc = printPasswd(r.get());
    return rc;
  }
  if (cmd == "rebind") {
    LRPC2SessionClient* c = connectOrDie(o);
    MsgPtr r = request(c, o, MsgType::VGRebindCollector, nullptr, nullptr);
    SessionClientClose(c);
    if (!r) return 1;
    char* verdict = nullptr;
    if (MsgReadString(r.get(), &verdict) != 0 || !verdict) return 1;
    std::printf("%s\n", verdict);
    std::free(verdict);
    return 0;
  }
  if (cmd == "flush" || cmd == "reload" || cmd == "flushscp" || cmd == "runlevel" ||
      ((cmd == "auditlevel" || cmd == "apu") && optind + 1 < argc)) {
    uint32_t type = cmd == "flush"        ? MsgType::VGFlushCache
                    : cmd == "reload"     ? MsgType::VGReloadProps
                    : cmd == "flushscp"   ? MsgType::VGFlushInstallationInfoCache
                    : cmd == "runlevel"   ? MsgType::VGQueryRunlevel
                    : cmd == "auditlevel" ? MsgType::VGGetAuditLevel
                                          : MsgType::VGQueryIsUserAlwaysPermittedLogin;
    bool withUser = cmd == "auditlevel" || cmd == "apu";
    LRPC2SessionClient* c = connectOrDie(o);
    MsgPtr r = request(c, o, type, withUser ? fillString : nullptr, withUser ? argv[optind + 1] : nullptr);
    SessionClientClose(c);
    if (!r) return 1;
    int32_t v = 0;
    int b = 0;
    if (cmd == "apu") {
      MsgReadBool(r.get(), &b);
      std::printf("%s\n", b ? "yes" : "no");
    } else {
      MsgReadInt32(r.get(), &v);
      std::printf("%d\n", v);
    }
    return 0;
  }
  if ((cmd == "pause" || cmd == "continue" || cmd == "kill") && optind + 1 < argc) {
    if (!ofw::Guid::isValidGuidStringFormat(argv[optind + 1])) {
      std::fprintf(stderr, "vgdclient: bad session GUID %s\n", argv[optind + 1]);
      return 2;
    }
    ofw::Guid guid = ofw::Guid::fromSwappedString(argv[optind + 1]);
    uint32_t type = cmd == "pause"      ? MsgType::VGSessionPause
                    : cmd == "continue" ? MsgType::VGSessionContinue
                                        : MsgType::VGSessionKill;
    LRPC2SessionClient* c = connectOrDie(o);
    MsgPtr r = request(c, o, type, fillGuid, &guid);
    SessionClientClose(c);
    if (!r) return 1;
    int32_t v = 0;
    int rc = MsgReadInt32(r.get(), &v);
    if (rc != 0) {
      std::fprintf(stderr, "vgdclient: reply without a status\n");
      return 1;
    }
    std::printf("%d\n", v);
    return 0;
  }
  if (cmd == "atevent" && optind + 2 < argc) {
    EventArg a{static_cast<uint32_t>(std::strtoul(argv[optind + 1], nullptr, 10)), argv[optind + 2],
               argv + optind + 3, argc - optind - 3};
    LRPC2SessionClient* c = connectOrDie(o);
    MsgPtr r = request(c, o, MsgType::AuditTrailSessionData2, fillEvent, &a);
    SessionClientClose(c);
    return r ? 0 : 1;
  }
  if (cmd == "send" && optind + 1 < argc) {
    uint32_t type = static_cast<uint32_t>(std::strtoul(argv[optind + 1], nullptr, 10));
    LRPC2SessionClient* c = connectOrDie(o);
    MsgPtr r = request(c, o, type, nullptr, nullptr);
    SessionClientClose(c);
    if (!r) return 1;
    std::printf("ok\n");
    return 0;
  }
  usage();
  return 2;
}
