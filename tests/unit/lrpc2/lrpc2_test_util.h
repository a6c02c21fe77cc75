// Helpers of the LRPC2 unit tests: expected byte strings, temporary
// directories, socket pairs and a threaded test server.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "lrpc2/client_session.h"
#include "lrpc2/msg.h"
#include "lrpc2/session.h"

namespace lrpc2test {

// Owners of what the transport hands out.
typedef MsgPtr Msg;
struct ClientCloser {
  void operator()(LRPC2SessionClient* c) const { SessionClientClose(c); }
};
typedef std::unique_ptr<LRPC2SessionClient, ClientCloser> Client;
struct ServerCloser {
  void operator()(LRPC2SessionServer* s) const { SessionServerClose(s); }
};
typedef std::unique_ptr<LRPC2SessionServer, ServerCloser> Server;

// Writes to a closed pipe or socket must fail with EPIPE, not end the test.
[[maybe_unused]] static const int kIgnoreSigpipe = (signal(SIGPIPE, SIG_IGN), 0);

typedef std::vector<uint8_t> Bytes;

// Builds expected byte strings in host byte order, from the shared builders
// (shifts, not the codec under test).
class B {
 public:
  B& u8(uint8_t v) {
    b_.push_back(v);
    return *this;
  }
  B& u16(uint16_t v) { return str(testsupport::u16(v)); }
  B& u32(uint32_t v) { return str(testsupport::u32(v)); }
  B& u64(uint64_t v) { return str(testsupport::u64(v)); }
  B& str(const std::string& s) { return raw(s.data(), s.size()); }
  B& raw(const void* p, size_t n) {
    const uint8_t* q = static_cast<const uint8_t*>(p);
    b_.insert(b_.end(), q, q + n);
    return *this;
  }
  operator Bytes() const { return b_; }

 private:
  Bytes b_;
};

inline Bytes DataOf(const LRPC2Msg* m) {
  size_t n = 0;
  const uint8_t* p = MsgGetData(m, &n);
  return p ? Bytes(p, p + n) : Bytes();
}

inline Bytes BodyOf(const LRPC2Msg* m) {
  Bytes all = DataOf(m);
  const uint32_t h = MsgGetHeaderLength(m);
  return Bytes(all.begin() + h, all.end());
}

using testsupport::TempDir;

struct FdPair {
  int a = -1, b = -1;
  FdPair() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
      a = sv[0];
      b = sv[1];
    }
  }
  ~FdPair() {
    if (a >= 0) close(a);
    closeB();
  }
  void closeB() {
    if (b >= 0) close(b);
    b = -1;
  }
};

inline bool WriteAll(int fd, const void* p, size_t n) {
  const uint8_t* q = static_cast<const uint8_t*>(p);
  while (n > 0) {
    ssize_t w = write(fd, q, n);
    if (w <= 0) return false;
    q += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}
inline bool WriteAll(int fd, const Bytes& b) { return WriteAll(fd, b.data(), b.size()); }

// Reads exactly n bytes (poll-limited to a generous 30 s); empty on failure.
inline Bytes ReadN(int fd, size_t n) {
  Bytes out(n);
  size_t done = 0;
  while (done < n) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) return Bytes();
    ssize_t r = read(fd, out.data() + done, n - done);
    if (r <= 0) return Bytes();
    done += static_cast<size_t>(r);
  }
  return out;
}

inline struct sockaddr_un Address(const std::string& path) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  return addr;
}

// Listens on a UNIX socket path.
inline int Listen(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = Address(path);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A stream connected to a UNIX socket path, or -1.
inline int Connect(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = Address(path);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  close(fd);
  return -1;
}

// A new message of `type` reserving the full header space.
inline LRPC2Msg* NewMsg(uint32_t type, const MsgTable* table = nullptr) {
  int st;
  return MsgNew(type, 0, table, MSG_MAX_HEADER_LENGTH, &st);
}

// The same, completed empty.
inline Msg Completed(uint32_t type, const MsgTable* table = nullptr) {
  Msg m(NewMsg(type, table));
  MsgComplete(m.get());
  return m;
}

// A listening socket served by the test itself, byte by byte.
class RawServer {
 public:
  RawServer() : path_(dir_.path() + "/sock") { listenFd_ = Listen(path_); }
  ~RawServer() {
    if (conn_ >= 0) close(conn_);
    if (listenFd_ >= 0) close(listenFd_);
  }
  const std::string& path() const { return path_; }
  int accept() {
    struct pollfd p = {listenFd_, POLLIN, 0};
    if (poll(&p, 1, 30000) != 1) return -1;
    conn_ = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    return conn_;
  }
  int conn() const { return conn_; }
  void closeConn() {
    if (conn_ >= 0) close(conn_);
    conn_ = -1;
  }

 private:
  TempDir dir_;
  std::string path_;
  int listenFd_ = -1;
  int conn_ = -1;
};

// The default reply of the test server: same type, the request body as a blob,
// then the peer's uid (or -1 when unknown).
inline LRPC2Msg* EchoReply(LRPC2SessionServer* s, LRPC2Msg* request) {
  uint32_t type = 0;
  MsgReadMsgType(request, &type);
  LRPC2Msg* reply = NewMsg(type);
  Bytes body = BodyOf(request);
  MsgWriteBlob(reply, body.data(), static_cast<uint32_t>(body.size()));
  int uid = -1, gid = -1;
  SessionProcessIdentity(s, &uid, &gid);
  MsgWriteInt32(reply, uid);
  MsgComplete(reply);
  return reply;
}

// A threaded LRPC2 server on a UNIX socket: accepts connections one after the
// other and serves each until the client goes away. Receive statuses are
// recorded for the test to inspect after waitConnections().
class TestServer {
 public:
  typedef std::function<LRPC2Msg*(LRPC2SessionServer*, LRPC2Msg*)> Handler;

  explicit TestServer(const std::string& path) : path_(path) {}
  ~TestServer() { stop(); }

  void setHandler(Handler h) { handler_ = std::move(h); }

  bool start() {
    listenFd_ = Listen(path_);
    if (listenFd_ < 0) return false;
    thread_ = std::thread([this] { run(); });
    return true;
  }

  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
  }

  // Waits (up to a generous limit) until n connections have been fully served.
  bool waitConnections(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(60), [&] { return served_ >= n; });
  }

  std::vector<int> recvStatuses() {
    std::lock_guard<std::mutex> lock(mutex_);
    return recvStatuses_;
  }

 private:
  void run() {
    while (!stop_) {
      struct pollfd p = {listenFd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      serve(fd);
      close(fd);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++served_;
      }
      cv_.notify_all();
    }
  }

  void serve(int fd) {
    int st = 0;
    LRPC2SessionServer* s = SessionAccept(fd, fd, 30, nullptr, SIGN_SETTING_DISABLED, &st, nullptr);
    if (s == nullptr) return;
    for (;;) {
      LRPC2Msg* req = SessionRecv(fd, s, 30, &st, 0);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        recvStatuses_.push_back(st);
      }
      if (req == nullptr) {
        if (st == SESSION_ERR_RETRY) continue;
        break;
      }
      LRPC2Msg* reply = handler_ ? handler_(s, req) : EchoReply(s, req);
      MsgFree(req);
      if (reply != nullptr) {
        int rc = SessionServerSend(fd, s, reply, 30);
        MsgFree(reply);
        if (rc != SESSION_OK) break;
      }
    }
    SessionServerClose(s);
  }

  std::string path_;
  Handler handler_;
  int listenFd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  int served_ = 0;
  std::vector<int> recvStatuses_;
};

}  // namespace lrpc2test
