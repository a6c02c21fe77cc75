// vgsession: the project's audit-shell test client. It plays the audit shell's
// part towards the daemon: runs a command on a new pseudo-terminal as an
// audited session, or sends single session requests for tests.
//
//   vgsession run [options] -- COMMAND [ARG...]
//   vgsession single [options] STEP [STEP...]
//
// run: connects to the daemon, starts COMMAND on a new pseudo-terminal (its
// own session, the terminal as its controlling terminal), sends the start
// request, the child's process group, then relays: the terminal's input (own
// standard input; raw mode when it is a terminal, restored on exit) goes to
// the command and to the daemon as stream 1, the command's output to standard
// output and to the daemon as stream 2; SIGWINCH sends a window-size change;
// the end request follows when COMMAND has exited. The exit status is
// COMMAND's (128 + signal when killed). When the daemon answers "not audited"
// or cannot be reached the command still runs, unaudited. When the daemon goes
// away during an audited session, vgsession reconnects and resumes the
// session (as an audit shell does) until --reconnect-time has passed; data of
// the gap is not audited.
//
// single: one connection, the STEPs in order, one line of result each on
// standard output:
//   start                       a start request (fields from the options)
//   data STREAM TEXT            TEXT with \n, \r, \t, \\, \xNN escapes
//   wsize ROWS COLS XPIXEL YPIXEL
//   pgid N|self
//   resume GUID|-               GUID as swapped 8-4-4-4-12 text, or any
//                               number of bytes in hexadecimal; "-" = the
//                               session of the last start of this run
//   end
//   reconnect                   close the connection and open a new one
//   sleep SECONDS
//   wait PATH                   until PATH exists (at most a minute)
// Exit status 0 when every step got a reply, 1 otherwise, 2 usage.
//
// Every request and the connection are bounded by the -T time-out: a daemon
// that goes silent or away never hangs vgsession.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lrpc2/msg.h"
#include "lrpc2/session.h"
#include "ofw/guid.h"
#include "tools/shellside/session_record_reader.h"
#include "tools/shellside/session_requests.h"

namespace {

const char* kProg = "vgsession";

struct Options {
  std::string socket = "/var/orvanevg/audit";
  int transport = 5;
  int timeout = 15;
  int startVersion = 17;
  int dataVersion = 3;
  int wsizeVersion = 3;
  int resumeVersion = 5;
  int endVersion = 2;
  bool psidGiven = false;
  int32_t psid = -1;
  bool ttyGiven = false;
  std::string tty;
  bool slaveGiven = false;
  std::string slave;
  std::string user;
  bool userGiven = false;
  std::string argv0;
  std::vector<std::string> args;  // single: argv of the start request
  std::string program = "vgsession";
  std::string string1, string2;
  bool auditCommand = false;
  bool cmdShell = false;
  std::string actualUser;
  std::string related;
  long timeSize = sizeof(struct timeval);
  bool ovgshPidGiven = false;
  int32_t ovgshPid = 0;
  bool shellPidGiven = false;
  int32_t shellPid = 0;
  bool argcGiven = false;
  int32_t argc = 0;
  bool noEnd = false;
  std::string resumeGuid;
  std::string bodyFile;
  std::string saveStart;
  std::string ackFile;
  bool reconnect = true;
  int reconnectTime = 60;
};

Options gOpt;
int gAck = -1;
uint64_t gSequence = 0;

void warn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void warn(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string line = std::string(kProg) + ": ";
  char buf[1024];
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  line += buf;
  line += "\n";
  ssize_t r = write(2, line.data(), line.size());
  (void)r;
}

std::string errText(int status) {
  const char* t = SessionErr2Str(status);
  return std::to_string(status) + " " + (t ? t : "");
}

// One write per line on an O_APPEND descriptor: lines of concurrent runs
// sharing the file never interleave.
void ack(const std::string& line) {
  if (gAck < 0) return;
  std::string l = line + "\n";
  ssize_t w;
  do {
    w = write(gAck, l.data(), l.size());
  } while (w < 0 && errno == EINTR);
}

struct timeval nowTv() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return tv;
}

std::string timeBlob() { return ovg::timevalBlob(nowTv(), static_cast<size_t>(gOpt.timeSize)); }

bool readFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return !in.bad();
}

bool writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream outf(path, std::ios::binary | std::ios::trunc);
  outf.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  outf.close();
  return static_cast<bool>(outf);
}

// "GUID text" (36 characters, swapped form) -> 16 raw bytes; otherwise any
// even number of hexadecimal digits -> those bytes. False when neither.
bool parseGuidArg(const std::string& text, std::string& raw) {
  if (ofw::Guid::isValidGuidStringFormat(text)) {
    ofw::Guid g = ofw::Guid::fromSwappedString(text);
    raw.assign(reinterpret_cast<const char*>(g.data()), ofw::Guid::SIZE);
    return true;
  }
  if (text.size() % 2 != 0) return false;
  std::string out;
  for (size_t i = 0; i < text.size(); i += 2) {
    unsigned v = 0;
    if (std::sscanf(text.substr(i, 2).c_str(), "%2x", &v) != 1 || !isxdigit(static_cast<unsigned char>(text[i])) ||
        !isxdigit(static_cast<unsigned char>(text[i + 1])))
      return false;
    out += static_cast<char>(v);
  }
  raw = out;
  return true;
}

std::string guidText(const std::string& raw) {
  if (raw.size() != ofw::Guid::SIZE) return "(" + std::to_string(raw.size()) + "-byte id)";
  return ofw::Guid(reinterpret_cast<const unsigned char*>(raw.data())).toSwappedMSString();
}

// ---- the daemon connection -----------------------------------------------------

class Connection {
 public:
  ~Connection() { close(); }
  bool open() {
    close();
    int status = 0;
    c_ = SessionConnectWithTimeout(gOpt.socket.c_str(), OVGPrivGetMsgTable(), gOpt.timeout, gOpt.transport,
                                   SIGN_SETTING_DISABLED, &status);
    if (!c_) {
      lastError_ = status;
      return false;
    }
    return true;
  }
  void close() {
    if (c_) SessionClientClose(c_);
    c_ = nullptr;
  }
  bool isOpen() const { return c_ != nullptr; }
  int lastError() const { return lastError_; }

  // Sends a complete request (taking it) and returns the reply, or null with
  // the connection closed (lastError() tells why).
  MsgPtr exchange(LRPC2Msg* raw) {
    MsgPtr request(raw);
    if (!request) {
      lastError_ = MSG_ERR_INVALID;
      return nullptr;
    }
    if (!c_) {
      lastError_ = SESSION_ERR_CLOSED;
      return nullptr;
    }
    int status = 0;
    MsgPtr reply(SessionSendWithTimeout(c_, request.get(), gOpt.timeout, &status));
    if (!reply) {
      lastError_ = status;
      close();
    }
    return reply;
  }

 private:
  LRPC2SessionClient* c_ = nullptr;
  int lastError_ = 0;
};

std::string ownUserName() {
  struct passwd pw, *res = nullptr;
  char buf[4096];
  if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &res) == 0 && res) return res->pw_name;
  return "uid" + std::to_string(getuid());
}

ovg::StartRequest startFields(const std::string& tty, const std::string& slave, int shellPid,
                              const std::vector<std::string>& argv) {
  ovg::StartRequest r;
  r.ovgshPid = gOpt.ovgshPidGiven ? gOpt.ovgshPid : getpid();
  r.ovgshParentPid = getppid();
  r.shellPid = gOpt.shellPidGiven ? gOpt.shellPid : shellPid;
  r.psid = gOpt.psidGiven ? gOpt.psid : getsid(0);
  r.userGiven = gOpt.userGiven;
  r.user = gOpt.user.empty() ? ownUserName() : gOpt.user;
  r.tty = tty;
  r.slave = slave;
  r.string1 = gOpt.string1;
  r.string2 = gOpt.string2;
  r.program = gOpt.program;
  r.auditCommand = gOpt.auditCommand;
  r.secondFlag = !gOpt.cmdShell;
  r.actualUser = gOpt.actualUser;
  r.related = gOpt.related;
  r.startTime = timeBlob();
  r.argv = argv;
  r.argcGiven = gOpt.argcGiven;
  r.argcField = gOpt.argc;
  r.sequence = ++gSequence;
  return r;
}

// Sends a start; false when the connection failed (reply untouched).
bool sendStart(Connection& conn, const ovg::StartRequest& fields, ovg::StartReply& reply) {
  int st = 0;
  MsgPtr m = conn.exchange(ovg::buildStartRequest(gOpt.startVersion, fields, &st));
  if (!m) return false;
  int rc = ovg::readStartReply(m.get(), gOpt.startVersion, reply);
  if (rc != 0) {
    warn("malformed start reply (%d)", rc);
    reply.audited = false;
  }
  return true;
}

// Status-replied requests: true with *status, false when the connection failed.
bool sendForStatus(Connection& conn, LRPC2Msg* request, int32_t* status, bool hasStatus = true) {
  MsgPtr m = conn.exchange(request);
  if (!m) return false;
  *status = 0;
  if (hasStatus && ovg::readStatusReply(m.get(), status) != 0) *status = -1;
  return true;
}

// ---- single ----------------------------------------------------------------------

int runSingle(const std::vector<std::string>& steps) {
  Connection conn;
  if (!conn.open()) {
    std::printf("connect error=%s\n", errText(conn.lastError()).c_str());
    return 1;
  }
  std::string lastGuid, lastBody;
  std::string tty = gOpt.ttyGiven ? gOpt.tty : "vgsession/" + std::to_string(getpid());
  std::string slave = gOpt.slaveGiven ? gOpt.slave : std::string();
  std::vector<std::string> argv(1, gOpt.argv0.empty() ? "-vgsession" : gOpt.argv0);
  argv.insert(argv.end(), gOpt.args.begin(), gOpt.args.end());

  size_t i = 0;
  auto need = [&](size_t n) {
    if (i + n >= steps.size()) {
      warn("step %s needs %zu argument(s)", steps[i].c_str(), n);
      std::exit(2);
    }
  };
  for (; i < steps.size(); ++i) {
    const std::string& s = steps[i];
    bool ok = true;
    int32_t status = 0;
    if (s == "start") {
      ovg::StartReply r;
      ok = sendStart(conn, startFields(tty, slave, getpid(), argv), r);
      if (ok) {
        if (r.audited) {
          lastGuid = r.guid;
          lastBody = r.body;
          if (!gOpt.saveStart.empty() && !writeFile(gOpt.saveStart, r.body)) warn("cannot write %s", gOpt.saveStart.c_str());
          ack("start " + guidText(r.guid));
          std::printf("start audited=1 status=%d guid=%s body=%zu\n", r.status, guidText(r.guid).c_str(),
                      r.body.size());
        } else {
          std::printf("start audited=0 status=%d existing=%s\n", r.status,
                      r.existingId.empty() ? "-" : r.existingId.c_str());
        }
      }
    } else if (s == "data") {
      need(2);
      std::string bytes;
      if (!ovg::unescapeBytes(steps[i + 2], bytes)) {
        warn("bad escape in %s", steps[i + 2].c_str());
        return 2;
      }
      int32_t stream = static_cast<int32_t>(std::strtol(steps[i + 1].c_str(), nullptr, 10));
      int st = 0;
      ok = sendForStatus(conn, ovg::buildDataRequest(gOpt.dataVersion, stream, bytes, timeBlob(), ++gSequence, &st),
                         &status, gOpt.dataVersion >= 2);
      i += 2;
      if (ok && status == 0 && !lastGuid.empty())
        ack("data " + guidText(lastGuid) + " " + std::to_string(stream) + " " + ovg::escapeBytes(bytes));
      if (ok) std::printf("data status=%d\n", status);
    } else if (s == "wsize") {
      need(4);
      int32_t size[4];
      for (int k = 0; k < 4; ++k) size[k] = static_cast<int32_t>(std::strtol(steps[i + 1 + k].c_str(), nullptr, 10));
      int st = 0;
      ok = sendForStatus(conn, ovg::buildWSizeRequest(gOpt.wsizeVersion, timeBlob(), size, ++gSequence, &st), &status);
      i += 4;
      if (ok) std::printf("wsize status=%d\n", status);
    } else if (s == "pgid") {
      need(1);
      int32_t g = steps[i + 1] == "self" ? getpgrp() : static_cast<int32_t>(std::strtol(steps[i + 1].c_str(), nullptr, 10));
      int st = 0;
      ok = sendForStatus(conn, ovg::buildPGIDRequest(g, &st), &status, false);
      i += 1;
      if (ok) std::printf("pgid ok\n");
    } else if (s == "resume") {
      need(1);
      std::string raw, body = lastBody;
      if (steps[i + 1] == "-") {
        raw = lastGuid;
      } else if (!parseGuidArg(steps[i + 1], raw)) {
        warn("bad GUID %s", steps[i + 1].c_str());
        return 2;
      }
      if (!gOpt.bodyFile.empty() && !readFile(gOpt.bodyFile, body)) {
        warn("cannot read %s", gOpt.bodyFile.c_str());
        return 2;
      }
      int st = 0;
      ok = sendForStatus(conn,
                         ovg::buildResumeRequest(gOpt.resumeVersion, raw, tty,
                                                 gOpt.psidGiven ? gOpt.psid : getsid(0), body, getpid(), getpgrp(), &st),
                         &status);
      i += 1;
      if (ok) {
        if (status == 0) ack("resume " + guidText(raw));
        std::printf("resume status=%d\n", status);
      }
    } else if (s == "end") {
      int st = 0;
      ok = sendForStatus(conn, ovg::buildEndRequest(gOpt.endVersion, timeBlob(), &st), &status, false);
      if (ok) std::printf("end ok\n");
    } else if (s == "reconnect") {
      conn.close();
      ok = conn.open();
      if (ok) std::printf("reconnect ok\n");
    } else if (s == "sleep") {
      need(1);
      double secs = std::strtod(steps[i + 1].c_str(), nullptr);
      struct timespec ts;
      ts.tv_sec = static_cast<time_t>(secs);
      ts.tv_nsec = static_cast<long>((secs - static_cast<double>(ts.tv_sec)) * 1e9);
      nanosleep(&ts, nullptr);
      i += 1;
    } else if (s == "wait") {
      need(1);
      // Test synchronisation: until PATH exists, at most a minute.
      for (int k = 0; k < 600 && access(steps[i + 1].c_str(), F_OK) != 0; ++k) usleep(100000);
      i += 1;
    } else {
      warn("unknown step %s", s.c_str());
      return 2;
    }
    std::fflush(stdout);
    if (!ok) {
      std::printf("%s error=%s\n", s.c_str(), errText(conn.lastError()).c_str());
      return 1;
    }
  }
  return 0;
}

// ---- run -------------------------------------------------------------------------

int gSigPipe[2] = {-1, -1};
bool gRawSaved = false;
struct termios gSavedTermios;

void onSignal(int sig) {
  int saved = errno;
  unsigned char b = static_cast<unsigned char>(sig);
  ssize_t r = write(gSigPipe[1], &b, 1);
  (void)r;
  errno = saved;
}

void restoreTerminal() {
  if (gRawSaved) {
    tcsetattr(0, TCSAFLUSH, &gSavedTermios);
    gRawSaved = false;
  }
}

bool writeAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      struct pollfd pfd = {fd, POLLOUT, 0};
      poll(&pfd, 1, 1000);
      continue;
    }
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

void setNonBlocking(int fd) {
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

// The audited session of a run: connection, GUID and what a resume needs.
struct RunSession {
  Connection conn;
  bool audited = false;
  std::string guid;  // raw
  std::string body;
  std::string tty, slave;
  int32_t psid = -1;
  pid_t child = -1;
  bool lostConnection = false;
  time_t lostAt = 0;
  time_t nextAttempt = 0;

  std::string text() const { return guidText(guid); }

  void lost() {
    if (!lostConnection) {
      warn("lost the daemon connection (%s); session %s continues unaudited until it is resumed",
           errText(conn.lastError()).c_str(), text().c_str());
      lostConnection = true;
      lostAt = time(nullptr);
      nextAttempt = 0;
    }
  }

  // True while requests can be sent for the session.
  bool live() const { return audited && conn.isOpen() && !lostConnection; }

  // One attempt to reconnect and resume; gives up after the reconnect time.
  void tryResume() {
    if (!audited || !lostConnection || !gOpt.reconnect) return;
    time_t now = time(nullptr);
    if (now - lostAt > gOpt.reconnectTime) {
      warn("giving up resuming session %s", text().c_str());
      audited = false;
      return;
    }
    if (now < nextAttempt) return;
    nextAttempt = now;  // at most one attempt per second
    ++nextAttempt;
    if (!conn.open()) return;
    int st = 0;
    int32_t status = -1;
    if (!sendForStatus(conn,
                       ovg::buildResumeRequest(gOpt.resumeVersion, guid, tty, psid, body, getpid(), child, &st),
                       &status))
      return;
    if (status != 0) {
      warn("resume of session %s refused, status %d; continuing unaudited", text().c_str(), status);
      audited = false;
      conn.close();
      return;
    }
    ack("resume " + text());
    warn("session %s resumed", text().c_str());
    lostConnection = false;
    int pgst = 0;
    int32_t ignored = 0;
    // The command's process group joins the session again, while it exists.
    if (kill(-child, 0) == 0 && !sendForStatus(conn, ovg::buildPGIDRequest(child, &pgst), &ignored, false)) lost();
  }

  void data(int32_t stream, const char* p, size_t n) {
    if (!live() || n == 0) return;
    std::string bytes(p, n);
    int st = 0;
    int32_t status = -1;
    if (!sendForStatus(conn, ovg::buildDataRequest(gOpt.dataVersion, stream, bytes, timeBlob(), ++gSequence, &st),
                       &status, gOpt.dataVersion >= 2)) {
      lost();
      return;
    }
    if (status == 0) ack("data " + text() + " " + std::to_string(stream) + " " + ovg::escapeBytes(bytes));
  }

  void windowSize(const struct winsize& ws) {
    if (!live()) return;
    int32_t size[4] = {ws.ws_row, ws.ws_col, ws.ws_xpixel, ws.ws_ypixel};
    int st = 0;
    int32_t status = -1;
    if (!sendForStatus(conn, ovg::buildWSizeRequest(gOpt.wsizeVersion, timeBlob(), size, ++gSequence, &st), &status)) {
      lost();
      return;
    }
    if (status == 0)
      ack("wsize " + text() + " " + std::to_string(size[0]) + " " + std::to_string(size[1]) + " " +
          std::to_string(size[2]) + " " + std::to_string(size[3]));
  }
};

// The pseudo-terminal of a run and the caller's terminal settings.
struct Terminal {
  int master = -1;
  char slavePath[256] = {};
  bool stdinTty = false;
  bool haveTermios = false;
  struct termios childTermios;  // valid when haveTermios
  struct winsize ws;
};

bool openTerminal(Terminal* t) {
  t->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (t->master < 0 || grantpt(t->master) != 0 || unlockpt(t->master) != 0) {
    warn("cannot open a pseudo-terminal: %s", strerror(errno));
    return false;
  }
  if (ptsname_r(t->master, t->slavePath, sizeof t->slavePath) != 0) {
    warn("ptsname: %s", strerror(errno));
    return false;
  }
  t->stdinTty = isatty(0) != 0;
  t->haveTermios = t->stdinTty && tcgetattr(0, &t->childTermios) == 0;
  std::memset(&t->ws, 0, sizeof t->ws);
  if (!(t->stdinTty && ioctl(0, TIOCGWINSZ, &t->ws) == 0 && t->ws.ws_row > 0)) {
    t->ws.ws_row = 24;
    t->ws.ws_col = 80;
  }
  ioctl(t->master, TIOCSWINSZ, &t->ws);
  return true;
}

// Signals reach the relay loop through gSigPipe.
bool installSignalPipe() {
  if (pipe2(gSigPipe, O_CLOEXEC) != 0) {
    warn("pipe: %s", strerror(errno));
    return false;
  }
  setNonBlocking(gSigPipe[0]);
  setNonBlocking(gSigPipe[1]);
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGCHLD, SIGWINCH, SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
  return true;
}

// The command's side of the fork: its own session with the terminal as
// controlling terminal and as standard handles. Never returns.
[[noreturn]] void execInTerminal(const std::vector<std::string>& cmd, std::vector<std::string> argv,
                                 const Terminal& t, int errFd) {
  for (int sig : {SIGCHLD, SIGWINCH, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE}) signal(sig, SIG_DFL);
  int err = 0;
  if (setsid() < 0) err = errno;
  int fd = err ? -1 : open(t.slavePath, O_RDWR);
  if (!err && fd < 0) err = errno;
  if (!err && ioctl(fd, TIOCSCTTY, 0) != 0) err = errno;
  if (!err && t.haveTermios) tcsetattr(fd, TCSANOW, &t.childTermios);
  if (!err && (dup2(fd, 0) < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0)) err = errno;
  if (!err) {
    if (fd > 2) ::close(fd);
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(&a[0]);
    cargv.push_back(nullptr);
    execvp(cmd[0].c_str(), cargv.data());
    err = errno;
  }
  ssize_t w = write(errFd, &err, sizeof err);
  (void)w;
  _exit(127);
}

// Starts the command on the terminal; returns its pid, or -1 with the exit
// status of the run in *status (the exec error travels back over a pipe).
pid_t startCommand(const std::vector<std::string>& cmd, const std::vector<std::string>& argv, const Terminal& t,
                   int* status) {
  *status = 1;
  int errPipe[2];
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    warn("pipe: %s", strerror(errno));
    return -1;
  }
  pid_t child = fork();
  if (child < 0) {
    warn("fork: %s", strerror(errno));
    return -1;
  }
  if (child == 0) {
    ::close(errPipe[0]);
    execInTerminal(cmd, argv, t, errPipe[1]);
  }
  ::close(errPipe[1]);
  int childErr = 0;
  ssize_t got;
  do {
    got = read(errPipe[0], &childErr, sizeof childErr);
  } while (got < 0 && errno == EINTR);
  ::close(errPipe[0]);
  if (got == static_cast<ssize_t>(sizeof childErr)) {
    warn("cannot run %s: %s", cmd[0].c_str(), strerror(childErr));
    int st = 0;
    waitpid(child, &st, 0);
    *status = 127;
    return -1;
  }
  return child;
}

void sendResume(RunSession& s, pid_t child) {
  std::string body;
  if (!parseGuidArg(gOpt.resumeGuid, s.guid)) warn("bad GUID %s", gOpt.resumeGuid.c_str());
  if (!gOpt.bodyFile.empty() && !readFile(gOpt.bodyFile, s.body)) warn("cannot read %s", gOpt.bodyFile.c_str());
  s.psid = gOpt.psidGiven ? gOpt.psid : getsid(0);
  int st = 0;
  int32_t status = -1;
  if (!sendForStatus(s.conn,
                     ovg::buildResumeRequest(gOpt.resumeVersion, s.guid, s.tty, s.psid, s.body, getpid(), child, &st),
                     &status)) {
    warn("resume failed: %s; not audited", errText(s.conn.lastError()).c_str());
  } else {
    s.audited = status == 0;
    warn("session %s: %s, status %d", s.text().c_str(), s.audited ? "resumed" : "not resumed", status);
    if (s.audited) ack("resume " + s.text());
  }
}

void sendNewStart(RunSession& s, pid_t child, const std::vector<std::string>& argv) {
  ovg::StartRequest f = startFields(s.tty, s.slave, child, argv);
  s.psid = f.psid;
  ovg::StartReply r;
  if (!sendStart(s.conn, f, r)) {
    warn("start failed: %s; not audited", errText(s.conn.lastError()).c_str());
  } else if (r.audited && r.guid.size() == ofw::Guid::SIZE) {
    s.audited = true;
    s.guid = r.guid;
    s.body = r.body;
    warn("session %s: audited, status %d", s.text().c_str(), r.status);
    ack("start " + s.text());
    if (!gOpt.saveStart.empty() && !writeFile(gOpt.saveStart, r.body)) warn("cannot write %s", gOpt.saveStart.c_str());
  } else {
    warn("not audited, status %d%s%s", r.status, r.existingId.empty() ? "" : ", existing session ",
         r.existingId.c_str());
  }
}

// The start (or the resume of an earlier session), then the process group and
// the window size of an audited one.
void announceSession(RunSession& s, pid_t child, const std::vector<std::string>& argv, const Terminal& t) {
  if (!gOpt.resumeGuid.empty())
    sendResume(s, child);
  else
    sendNewStart(s, child, argv);
  if (!s.audited) {
    s.conn.close();
    return;
  }
  int st = 0;
  int32_t ignored = 0;
  if (!sendForStatus(s.conn, ovg::buildPGIDRequest(child, &st), &ignored, false)) s.lost();
  if (t.stdinTty) s.windowSize(t.ws);
}

void enterRawMode(bool stdinTty) {
  if (stdinTty && tcgetattr(0, &gSavedTermios) == 0) {
    struct termios raw = gSavedTermios;
    cfmakeraw(&raw);
    if (tcsetattr(0, TCSAFLUSH, &raw) == 0) {
      gRawSaved = true;
      std::atexit(restoreTerminal);
    }
  }
}

// State of the relay between the caller's terminal, the command's terminal
// and the daemon.
struct Relay {
  Relay(RunSession& session, const Terminal& terminal, pid_t command) : s(session), t(terminal), child(command) {}
  RunSession& s;
  const Terminal& t;
  pid_t child;
  bool stdinOpen = true, masterOpen = true, childDone = false;
  bool lastInputNewline = true;
  int childStatus = 0;
  std::string pendingInput;  // bytes for the command not yet taken by the terminal

  void reap(int options) {
    int st = 0;
    if (!childDone && waitpid(child, &st, options) == child) {
      childDone = true;
      childStatus = st;
    }
  }

  // The signals the handler queued: the child's end, window changes (passed
  // on to the terminal and the daemon), the rest forwarded to the command.
  void drainSignals() {
    unsigned char sigs[64];
    ssize_t k;
    while ((k = read(gSigPipe[0], sigs, sizeof sigs)) > 0) {
      for (ssize_t j = 0; j < k; ++j) {
        int sig = sigs[j];
        if (sig == SIGCHLD) {
          reap(WNOHANG);
        } else if (sig == SIGWINCH) {
          struct winsize nws;
          if (t.stdinTty && ioctl(0, TIOCGWINSZ, &nws) == 0) ioctl(t.master, TIOCSWINSZ, &nws);
          if (ioctl(t.master, TIOCGWINSZ, &nws) == 0) s.windowSize(nws);
        } else if (!childDone) {
          kill(-child, sig);
        }
      }
    }
  }

  void relayOutput(char* buf, size_t size) {
    ssize_t k = read(t.master, buf, size);
    if (k > 0) {
      // A closed standard output does not stop the relay to the daemon.
      (void)writeAll(1, buf, static_cast<size_t>(k));
      s.data(2, buf, static_cast<size_t>(k));
    } else if (k == 0 || (errno != EAGAIN && errno != EINTR)) {
      masterOpen = false;  // EIO: every holder of the terminal closed it
    }
  }

  void relayInput(char* buf, size_t size) {
    ssize_t k = read(0, buf, size);
    if (k > 0) {
      pendingInput.append(buf, static_cast<size_t>(k));
      lastInputNewline = buf[k - 1] == '\n';
      s.data(1, buf, static_cast<size_t>(k));
    } else if (k == 0 || (errno != EAGAIN && errno != EINTR)) {
      stdinOpen = false;
      if (!t.stdinTty) {
        // End of the input: the terminal's end-of-file character, twice
        // when a partial line is pending.
        struct termios tio;
        char eof = tcgetattr(t.master, &tio) == 0 ? static_cast<char>(tio.c_cc[VEOF]) : '\x04';
        if (!lastInputNewline) pendingInput += eof;
        pendingInput += eof;
      }
    }
  }

  // Runs until the command ended and its terminal is closed (or idle a
  // while after the end: lingering holders of the terminal); returns the
  // command's wait status.
  int run() {
    char buf[4096];
    int idleAfterExit = 0;
    while (masterOpen || !childDone) {
      struct pollfd fds[3];
      nfds_t n = 0;
      int iIn = -1, iMaster = -1;
      fds[n++] = {gSigPipe[0], POLLIN, 0};
      if (stdinOpen && pendingInput.size() < 65536) {
        iIn = static_cast<int>(n);
        fds[n++] = {0, POLLIN, 0};
      }
      if (masterOpen) {
        iMaster = static_cast<int>(n);
        fds[n++] = {t.master, static_cast<short>(POLLIN | (pendingInput.empty() ? 0 : POLLOUT)), 0};
      }
      const int timeoutMs = (s.lostConnection && s.audited) || childDone ? 200 : 1000;
      int ready = poll(fds, n, timeoutMs);
      if (ready < 0 && errno != EINTR) {
        warn("poll: %s", strerror(errno));
        break;
      }
      s.tryResume();
      if (ready <= 0) {
        if (childDone && ++idleAfterExit >= 3) break;
        continue;
      }
      idleAfterExit = 0;
      if (fds[0].revents & POLLIN) drainSignals();
      if (iMaster >= 0 && (fds[iMaster].revents & (POLLIN | POLLHUP | POLLERR))) relayOutput(buf, sizeof buf);
      if (iMaster >= 0 && masterOpen && !pendingInput.empty() && (fds[iMaster].revents & POLLOUT)) {
        ssize_t w = write(t.master, pendingInput.data(), pendingInput.size());
        if (w > 0) pendingInput.erase(0, static_cast<size_t>(w));
      }
      if (iIn >= 0 && (fds[iIn].revents & (POLLIN | POLLHUP | POLLERR))) relayInput(buf, sizeof buf);
      reap(WNOHANG);
    }
    reap(0);
    return childStatus;
  }
};

// The end request; a lost connection is resumed first, within the reconnect
// time.
void endSession(RunSession& s) {
  while (s.audited && s.lostConnection && gOpt.reconnect) {
    s.tryResume();
    if (s.lostConnection) usleep(200000);
  }
  if (!s.live()) return;
  if (gOpt.noEnd) {
    warn("session %s left without an end request", s.text().c_str());
    return;
  }
  int st = 0;
  int32_t ignored = 0;
  if (sendForStatus(s.conn, ovg::buildEndRequest(gOpt.endVersion, timeBlob(), &st), &ignored, false))
    ack("end " + s.text());
  else
    warn("end request failed: %s", errText(s.conn.lastError()).c_str());
}

int exitStatusOf(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return 1;
}

int runCommand(std::vector<std::string> cmd) {
  if (cmd.empty()) {
    warn("run: no command");
    return 2;
  }
  RunSession s;
  Terminal t;
  if (!openTerminal(&t)) return 1;
  s.tty = gOpt.ttyGiven ? gOpt.tty : t.slavePath;
  s.slave = gOpt.slaveGiven ? gOpt.slave
                            : (std::strncmp(t.slavePath, "/dev/", 5) == 0 ? std::string(t.slavePath + 5) : t.slavePath);
  if (!installSignalPipe()) return 1;

  // Connect before the command runs: a daemon that cannot be reached means an
  // unaudited session, never a failure of the command.
  bool connected = s.conn.open();
  if (!connected) warn("cannot connect to %s: %s; not audited", gOpt.socket.c_str(), errText(s.conn.lastError()).c_str());

  std::vector<std::string> argv = cmd;
  if (!gOpt.argv0.empty()) argv[0] = gOpt.argv0;
  int status = 1;
  pid_t child = startCommand(cmd, argv, t, &status);
  if (child < 0) return status;
  s.child = child;
  if (connected) announceSession(s, child, argv, t);

  enterRawMode(t.stdinTty);
  setNonBlocking(t.master);
  Relay relay(s, t, child);
  const int waitStatus = relay.run();
  restoreTerminal();
  endSession(s);
  s.conn.close();
  ::close(t.master);
  return exitStatusOf(waitStatus);
}

void usage() {
  std::fprintf(stderr,
               "usage: vgsession run [options] -- COMMAND [ARG...]\n"
               "       vgsession single [options] STEP [STEP...]\n"
               "steps: start | data STREAM TEXT | wsize ROWS COLS XPIXEL YPIXEL | pgid N|self |\n"
               "       resume GUID|- | end | reconnect | sleep SECONDS | wait PATH\n"
               "options:\n"
               "  -s, --socket PATH         daemon socket (default /var/orvanevg/audit)\n"
               "  -V, --transport N         LRPC2 transport version 2-5 (default 5)\n"
               "  -T, --timeout SECONDS     time-out of connecting and of each request (default 15)\n"
               "  -v, --start-version N     start request version 1, 2, 4-17 (default 17)\n"
               "      --data-version N      1-3 (default 3); --wsize-version N 1-3 (default 3)\n"
               "      --resume-version N    1-5 (default 5); --end-version N 1-2 (default 2)\n"
               "  -P, --psid PSID           psid sent (default getsid(0))\n"
               "  -n, --no-psid             send psid -1\n"
               "  -t, --tty TTY             tty sent (default the terminal's path)\n"
               "      --slave NAME          slave pty name sent\n"
               "  -u, --user NAME           user name sent; --user-given marks it given\n"
               "  -0, --argv0 NAME          argv[0] of the command and of the start request\n"
               "  -a, --arg ARG             (single) argv[1], argv[2], ... of the start request\n"
               "      --program NAME        program name sent (default vgsession)\n"
               "      --string1 S, --string2 S   the two shell strings\n"
               "      --audit-command       set the audit-command flag; --cmd-shell clears the second flag\n"
               "      --actual-user NAME    actual user name; --related GUID related session\n"
               "      --time-size N         bytes of every time blob (default a struct timeval)\n"
               "      --ovgsh-pid PID       audit-shell pid sent in the start (default own pid)\n"
               "      --shell-pid PID       shell pid sent in the start (default the command's; single: own)\n"
               "      --argc N              argc field of the start instead of the argument count\n"
               "      --no-end              exit without the end request\n"
               "      --resume GUID         (run) resume GUID instead of starting a session\n"
               "      --body FILE           continuation body of a resume\n"
               "      --save-start FILE     save the start record the start reply returned\n"
               "      --ack-file FILE       append one line per request answered with status 0\n"
               "      --no-reconnect        (run) do not resume after losing the daemon\n"
               "      --reconnect-time S    (run) give up resuming after S seconds (default 60)\n");
}

int intArg(const char* text, const char* what) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (!end || *end != '\0' || v < INT32_MIN || v > INT32_MAX) {
    warn("bad %s: %s", what, text);
    std::exit(2);
  }
  return static_cast<int>(v);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    usage();
    return 2;
  }
  std::string mode = argv[1];
  if (mode == "-h" || mode == "--help") {
    usage();
    return 0;
  }
  if (mode != "run" && mode != "single") {
    usage();
    return 2;
  }
  enum {
    O_DATAV = 1000, O_WSIZEV, O_RESUMEV, O_ENDV, O_SLAVE, O_USERGIVEN, O_PROGRAM, O_S1, O_S2, O_AUDITCMD, O_CMDSHELL,
    O_ACTUAL, O_RELATED, O_TIMESIZE, O_NOEND, O_RESUME, O_BODY, O_SAVE, O_ACK, O_NORECONNECT, O_RECONNECTTIME,
    O_OVGSHPID, O_SHELLPID, O_ARGC
  };
  static const struct option longOpts[] = {
      {"socket", required_argument, nullptr, 's'},
      {"transport", required_argument, nullptr, 'V'},
      {"timeout", required_argument, nullptr, 'T'},
      {"start-version", required_argument, nullptr, 'v'},
      {"data-version", required_argument, nullptr, O_DATAV},
      {"wsize-version", required_argument, nullptr, O_WSIZEV},
      {"resume-version", required_argument, nullptr, O_RESUMEV},
      {"end-version", required_argument, nullptr, O_ENDV},
      {"psid", required_argument, nullptr, 'P'},
      {"no-psid", no_argument, nullptr, 'n'},
      {"tty", required_argument, nullptr, 't'},
      {"slave", required_argument, nullptr, O_SLAVE},
      {"user", required_argument, nullptr, 'u'},
      {"user-given", no_argument, nullptr, O_USERGIVEN},
      {"argv0", required_argument, nullptr, '0'},
      {"arg", required_argument, nullptr, 'a'},
      {"program", required_argument, nullptr, O_PROGRAM},
      {"string1", required_argument, nullptr, O_S1},
      {"string2", required_argument, nullptr, O_S2},
      {"audit-command", no_argument, nullptr, O_AUDITCMD},
      {"cmd-shell", no_argument, nullptr, O_CMDSHELL},
      {"actual-user", required_argument, nullptr, O_ACTUAL},
      {"related", required_argument, nullptr, O_RELATED},
      {"time-size", required_argument, nullptr, O_TIMESIZE},
      {"no-end", no_argument, nullptr, O_NOEND},
      {"resume", required_argument, nullptr, O_RESUME},
      {"body", required_argument, nullptr, O_BODY},
      {"save-start", required_argument, nullptr, O_SAVE},
      {"ack-file", required_argument, nullptr, O_ACK},
      {"no-reconnect", no_argument, nullptr, O_NORECONNECT},
      {"reconnect-time", required_argument, nullptr, O_RECONNECTTIME},
      {"ovgsh-pid", required_argument, nullptr, O_OVGSHPID},
      {"shell-pid", required_argument, nullptr, O_SHELLPID},
      {"argc", required_argument, nullptr, O_ARGC},
      {nullptr, 0, nullptr, 0},
  };
  // Options stop at the first non-option ("--" or a step).
  optind = 2;
  int c;
  while ((c = getopt_long(argc, argv, "+s:V:T:v:P:nt:u:0:a:", longOpts, nullptr)) != -1) {
    switch (c) {
      case 's': gOpt.socket = optarg; break;
      case 'V': gOpt.transport = intArg(optarg, "transport version"); break;
      case 'T': gOpt.timeout = intArg(optarg, "time-out"); break;
      case 'v': gOpt.startVersion = intArg(optarg, "start version"); break;
      case O_DATAV: gOpt.dataVersion = intArg(optarg, "data version"); break;
      case O_WSIZEV: gOpt.wsizeVersion = intArg(optarg, "window-size version"); break;
      case O_RESUMEV: gOpt.resumeVersion = intArg(optarg, "resume version"); break;
      case O_ENDV: gOpt.endVersion = intArg(optarg, "end version"); break;
      case 'P': gOpt.psidGiven = true; gOpt.psid = intArg(optarg, "psid"); break;
      case 'n': gOpt.psidGiven = true; gOpt.psid = -1; break;
      case 't': gOpt.ttyGiven = true; gOpt.tty = optarg; break;
      case O_SLAVE: gOpt.slaveGiven = true; gOpt.slave = optarg; break;
      case 'u': gOpt.user = optarg; break;
      case O_USERGIVEN: gOpt.userGiven = true; break;
      case '0': gOpt.argv0 = optarg; break;
      case 'a': gOpt.args.push_back(optarg); break;
      case O_PROGRAM: gOpt.program = optarg; break;
      case O_S1: gOpt.string1 = optarg; break;
      case O_S2: gOpt.string2 = optarg; break;
      case O_AUDITCMD: gOpt.auditCommand = true; break;
      case O_CMDSHELL: gOpt.cmdShell = true; break;
      case O_ACTUAL: gOpt.actualUser = optarg; break;
      case O_RELATED: gOpt.related = optarg; break;
      case O_TIMESIZE: gOpt.timeSize = intArg(optarg, "time size"); break;
      case O_NOEND: gOpt.noEnd = true; break;
      case O_RESUME: gOpt.resumeGuid = optarg; break;
      case O_BODY: gOpt.bodyFile = optarg; break;
      case O_SAVE: gOpt.saveStart = optarg; break;
      case O_ACK: gOpt.ackFile = optarg; break;
      case O_NORECONNECT: gOpt.reconnect = false; break;
      case O_RECONNECTTIME: gOpt.reconnectTime = intArg(optarg, "reconnect time"); break;
      case O_OVGSHPID: gOpt.ovgshPidGiven = true; gOpt.ovgshPid = intArg(optarg, "audit-shell pid"); break;
      case O_SHELLPID: gOpt.shellPidGiven = true; gOpt.shellPid = intArg(optarg, "shell pid"); break;
      case O_ARGC: gOpt.argcGiven = true; gOpt.argc = intArg(optarg, "argc"); break;
      default: usage(); return 2;
    }
  }
  if (gOpt.timeout <= 0 || gOpt.timeSize < 0 || gOpt.timeSize > 4096 || ovg::startRequestType(gOpt.startVersion) == 0 ||
      ovg::dataRequestType(gOpt.dataVersion) == 0 || ovg::wsizeRequestType(gOpt.wsizeVersion) == 0 ||
      ovg::resumeRequestType(gOpt.resumeVersion) == 0 || ovg::endRequestType(gOpt.endVersion) == 0) {
    warn("bad option value (versions: start 1, 2, 4-17; data and window size 1-3; resume 1-5; end 1-2)");
    return 2;
  }
  if (!gOpt.ackFile.empty()) {
    gAck = open(gOpt.ackFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (gAck < 0) {
      warn("cannot open %s: %s", gOpt.ackFile.c_str(), strerror(errno));
      return 2;
    }
  }
  // A daemon that goes away is reported by the failed request, never by a signal.
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> rest(argv + optind, argv + argc);
  if (!rest.empty() && rest[0] == "--") rest.erase(rest.begin());
  if (mode == "single") {
    if (rest.empty()) {
      usage();
      return 2;
    }
    return runSingle(rest);
  }
  return runCommand(rest);
}
