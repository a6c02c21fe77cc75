// LRPC2 request/reply round trips per second over a UNIX socket: one client
// sends an empty VGPing and waits for the empty reply, for versions 4 and 5,
// unsigned and signed. Each configuration runs for a bounded time and count.
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "lrpc2/msg.h"
#include "lrpc2/session.h"

namespace {

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

int ListenOn(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0) {
    perror("listen");
    exit(1);
  }
  return fd;
}

// Serves one connection: empty VGPing reply to every request.
void Serve(int listenFd, int signSetting) {
  const int fd = accept(listenFd, nullptr, nullptr);
  if (fd < 0) return;
  int st;
  LRPC2SessionServer* s = SessionAccept(fd, fd, 10, nullptr, signSetting, &st, nullptr);
  while (s != nullptr) {
    LRPC2Msg* req = SessionRecv(fd, s, 30, &st, 0);
    if (req == nullptr) break;
    LRPC2Msg* reply = MsgNew(MsgType::VGPing, 0, nullptr, MSG_MAX_HEADER_LENGTH, &st);
    MsgComplete(reply);
    st = SessionServerSend(fd, s, reply, 30);
    MsgFree(reply);
    MsgFree(req);
    if (st != SESSION_OK) break;
  }
  SessionServerClose(s);
  close(fd);
}

void Run(const std::string& dir, const char* name, int version, int signSetting) {
  const std::string path = dir + "/bench-" + std::to_string(version) + "-" + std::to_string(signSetting);
  const int listenFd = ListenOn(path);
  std::thread server(Serve, listenFd, signSetting);
  int st = -1;
  LRPC2SessionClient* c = SessionConnectWithTimeout(path.c_str(), nullptr, 10, version, signSetting, &st);
  if (c == nullptr) {
    fprintf(stderr, "%s: connect failed: %d\n", name, st);
    exit(1);
  }
  LRPC2Msg* req = MsgNew(MsgType::VGPing, 0, nullptr, MSG_MAX_HEADER_LENGTH, &st);
  MsgComplete(req);
  const double limitSeconds = 3.0;
  const long limitCount = 2000000;
  long n = 0;
  const double start = Now();
  double elapsed = 0;
  while (n < limitCount && (elapsed = Now() - start) < limitSeconds) {
    for (int i = 0; i < 256; ++i, ++n) {
      LRPC2Msg* reply = SessionSendWithTimeout(c, req, 10, &st);
      if (reply == nullptr) {
        fprintf(stderr, "%s: request failed: %d\n", name, st);
        exit(1);
      }
      MsgFree(reply);
    }
  }
  elapsed = Now() - start;
  printf("%-22s %9ld round trips in %.2f s = %10.0f per second (%.1f us each)\n", name, n, elapsed,
         n / elapsed, elapsed * 1e6 / n);
  MsgFree(req);
  SessionClientClose(c);
  server.join();
  close(listenFd);
  unlink(path.c_str());
}

}  // namespace

int main() {
  char tmpl[] = "/tmp/benchlrpc2XXXXXX";
  const char* dir = mkdtemp(tmpl);
  if (dir == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  Run(dir, "v4", 4, SIGN_SETTING_DISABLED);
  Run(dir, "v5 unsigned", 5, SIGN_SETTING_DISABLED);
  Run(dir, "v5 signed", 5, SIGN_SETTING_REQUIRED);
  rmdir(dir);
  return 0;
}
