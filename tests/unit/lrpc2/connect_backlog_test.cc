// A client connecting while the server's listen queue is full waits for room
// until its connect time-out instead of failing at once.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <future>
#include <vector>

#include "frames.h"
#include "lrpc2/session.h"

using namespace lrpc2test;

namespace {

// A server that accepts nothing until told, with its listen queue filled by
// connections that never speak.
class FullQueue {
 public:
  FullQueue() : path_(dir_.path() + "/sock"), listenFd_(Listen(path_)) {
    EXPECT_GE(listenFd_, 0);
    EXPECT_EQ(listen(listenFd_, 0), 0);
    const struct sockaddr_un addr = Address(path_);
    for (int i = 0; i < 64; ++i) {
      const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        EXPECT_EQ(errno, EAGAIN);
        close(fd);
        break;
      }
      fillers_.push_back(fd);
    }
    EXPECT_FALSE(fillers_.empty());
    EXPECT_LT(fillers_.size(), 64u);
  }
  ~FullQueue() {
    for (int fd : fillers_) close(fd);
    close(listenFd_);
  }
  const std::string& path() const { return path_; }
  // Takes the fillers off the queue; the next connection accepted is the client's.
  int drainAndAcceptClient() {
    for (size_t i = 0; i <= fillers_.size(); ++i) {
      struct pollfd p = {listenFd_, POLLIN, 0};
      if (poll(&p, 1, 10000) != 1) return -1;
      const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0 || i == fillers_.size()) return fd;
      close(fd);
    }
    return -1;
  }

 private:
  TempDir dir_;
  std::string path_;
  int listenFd_;
  std::vector<int> fillers_;
};

TEST(ConnectBacklog, QueueThatStaysFullEndsInConnectTimeout) {
  FullQueue q;
  int status = 0;
  LRPC2SessionClient* c = SessionConnectWithTimeout(q.path().c_str(), nullptr, 1, 4, 0, &status);
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(status, SESSION_ERR_CONNECTTIMEOUT);
  if (c) SessionClientClose(c);
}

TEST(ConnectBacklog, ClientGetsInOnceTheQueueDrains) {
  FullQueue q;
  auto fut = std::async(std::launch::async, [&q] {
    int st = -1;
    LRPC2SessionClient* c = SessionConnectWithTimeout(q.path().c_str(), nullptr, 10, 4, 0, &st);
    return std::make_pair(c, st);
  });
  // The client meets the full queue first.
  EXPECT_EQ(fut.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  const int conn = q.drainAndAcceptClient();
  ASSERT_GE(conn, 0);
  EXPECT_EQ(ReadN(conn, 4), Hello(4));
  WriteAll(conn, HelloReply(4));
  auto r = fut.get();
  EXPECT_EQ(r.second, SESSION_OK);
  ASSERT_NE(r.first, nullptr);
  EXPECT_TRUE(SessionIsConnected(r.first));
  SessionClientClose(r.first);
  close(conn);
}

}  // namespace
