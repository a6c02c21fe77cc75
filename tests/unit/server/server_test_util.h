// What the server tests share: the daemon's log in a file, the IPC server's
// loop on a thread of its own, raw connections to its socket, and requests.
#pragma once
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "lrpc2/msg.h"
#include "lrpc2/msg_types.h"
#include "lrpc2/session.h"
#include "ofw/config/properties.h"
#include "ofw/logging/logger.h"
#include "server/ipc_server.h"
#include "support/test_support.h"

namespace servertest {

// The daemon's log goes, unqueued, to `path` until this ends; then to syslog.
class LogToFile {
 public:
  explicit LogToFile(const std::string& path) : path_(path) {
    ofw::Props().setProperty("logger.destination", path);
    ofw::Props().setProperty("logger.queue.size", "0");
    ofw::Logger::ReconfigureLevels(ofw::Props());
  }
  ~LogToFile() {
    ofw::Props().setProperty("logger.destination", "syslog");
    ofw::Logger::ReconfigureLevels(ofw::Props());
    ofw::Logger::close();
  }
  std::string text() const {
    ofw::Logger::flush();
    return testsupport::readFile(path_);
  }

 private:
  std::string path_;
};

// The server's loop on its own thread once started; stopped and joined by
// stop() or at the end. What the loop threw is kept in `error`.
class Loop {
 public:
  explicit Loop(const std::string& socketPath) : server(socketPath) {}
  ~Loop() { stop(); }
  void start() {
    thread_ = std::thread([this] {
      try {
        server.loop();
      } catch (const std::exception& e) {
        error = e.what();
      }
    });
  }
  void stop() {
    if (!thread_.joinable()) return;
    server.flags().stop = true;
    server.wakeLoop();
    thread_.join();
  }

  ofw::IPCServer server;
  std::string error;

 private:
  std::thread thread_;
};

// A connected stream socket to `path`, or -1.
inline int connectUnix(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  close(fd);
  return -1;
}

inline LRPC2SessionClient* connectClient(const std::string& path, int version = 5, int timeout = 10) {
  int status = 0;
  return SessionConnectWithTimeout(path.c_str(), OVGPrivGetMsgTable(), timeout, version, SIGN_SETTING_DISABLED,
                                   &status);
}

// An empty request of `type`: the reply (the caller frees it) or null, and the status.
inline LRPC2Msg* request(LRPC2SessionClient* c, uint32_t type, int* status, int timeout = 10) {
  LRPC2Msg* req = MsgNew(type, 0, OVGPrivGetMsgTable(), 48, status);
  MsgComplete(req);
  LRPC2Msg* reply = SessionSendWithTimeout(c, req, timeout, status);
  MsgFree(req);
  return reply;
}

// One ping answered with status 0; the failure status otherwise in *failure.
inline bool ping(LRPC2SessionClient* c, int timeout = 10, int* failure = nullptr) {
  int status = 0;
  LRPC2Msg* reply = request(c, MsgType::VGPing, &status, timeout);
  MsgFree(reply);
  if ((!reply || status != 0) && failure) *failure = status;
  return reply && status == 0;
}

}  // namespace servertest
