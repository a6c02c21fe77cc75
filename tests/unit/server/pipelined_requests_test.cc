// Requests a client sends back to back, before reading any reply, are all
// answered, in order, whether the loop or the worker that handled the one
// before finds them; and a worker's end always wakes the loop, however long
// its poll would otherwise sleep.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "lrpc2/header.h"
#include "lrpc2/msg.h"
#include "lrpc2/msg_internal.h"
#include "lrpc2/msg_types.h"
#include "lrpc2/session.h"
#include "ofw/config/properties.h"
#include "ofw/codec.h"
#include "server/ipc_server.h"
#include "support/test_support.h"

namespace {

bool ioAll(int fd, uint8_t* p, size_t n, bool out) {
  while (n > 0) {
    const ssize_t r = out ? send(fd, p, n, MSG_NOSIGNAL) : recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// One version-4 ping frame with the given sequence number.
std::vector<uint8_t> pingFrame(uint32_t sequence) {
  int status = 0;
  LRPC2Msg* m = MsgNew(MsgType::VGPing, 0, OVGPrivGetMsgTable(), 48, &status);
  MsgComplete(m);
  size_t length = 0;
  const uint8_t* body = lrpc2::MsgBodyData(m, &length);
  lrpc2::Header h;
  h.magic = lrpc2::kMagic;
  h.headerLength = lrpc2::kHeaderLengthV4;
  h.version = 4;
  h.pid = static_cast<uint64_t>(getpid());
  h.sequence = sequence;
  h.time = static_cast<uint64_t>(time(nullptr));
  h.bodyLength = static_cast<uint32_t>(length);
  std::vector<uint8_t> frame(lrpc2::kHeaderLengthV4 + length);
  lrpc2::EncodeHeader(4, h, frame.data());
  std::copy(body, body + length, frame.begin() + lrpc2::kHeaderLengthV4);
  MsgFree(m);
  return frame;
}

TEST(PipelinedRequests, AllAnsweredInOrder) {
  testsupport::TempDir dir;
  const std::string path = dir.path() + "/audit";
  ofw::IPCServer server(path);
  std::thread loop([&server] { server.loop(); });

  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  uint8_t hello[4], ok[8];
  ofw::codec::putU32(hello, 4);
  ASSERT_TRUE(ioAll(fd, hello, sizeof hello, true));
  ASSERT_TRUE(ioAll(fd, ok, sizeof ok, false));
  ASSERT_EQ(ofw::codec::getU32(ok), 1u);

  // Several rounds, so that some next requests are in the socket before the
  // worker finished the one before and some arrive later.
  uint32_t sequence = 1000;
  for (int round = 0; round < 20; ++round) {
    std::vector<uint8_t> burst;
    const int count = 1 + round % 12;
    for (int i = 0; i < count; ++i) {
      std::vector<uint8_t> f = pingFrame(sequence + static_cast<uint32_t>(i));
      burst.insert(burst.end(), f.begin(), f.end());
    }
    ASSERT_TRUE(ioAll(fd, burst.data(), burst.size(), true));
    for (int i = 0; i < count; ++i) {
      uint8_t head[lrpc2::kHeaderLengthV4];
      ASSERT_TRUE(ioAll(fd, head, sizeof head, false)) << "round " << round << " reply " << i;
      const lrpc2::Header h = lrpc2::DecodeHeader(4, head);
      EXPECT_EQ(h.sequence, sequence + static_cast<uint32_t>(i));
      EXPECT_EQ(h.status, 0u);
      std::vector<uint8_t> body(h.bodyLength);
      ASSERT_TRUE(ioAll(fd, body.data(), body.size(), false));
    }
    sequence += static_cast<uint32_t>(count);
  }
  close(fd);
  server.flags().stop = true;
  server.wakeLoop();
  loop.join();
}

// With a poll interval far beyond the clients' time-out, a lost wake-up would
// leave a client unanswered until its time-out.
TEST(WorkerWake, EveryRequestIsAnsweredWithoutThePollTimeOut) {
  ofw::Props().setProperty("vgd.clients.threads.poll", "600000");
  testsupport::TempDir dir;
  const std::string path = dir.path() + "/audit";
  ofw::IPCServer server(path);
  std::thread loop([&server] { server.loop(); });
  std::atomic<int> failed{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 12; ++c)
    clients.emplace_back([&path, &failed] {
      int status = 0;
      LRPC2SessionClient* s =
          SessionConnectWithTimeout(path.c_str(), OVGPrivGetMsgTable(), 10, 5, SIGN_SETTING_DISABLED, &status);
      for (int i = 0; s && i < 400; ++i) {
        LRPC2Msg* req = MsgNew(MsgType::VGPing, 0, OVGPrivGetMsgTable(), 48, &status);
        MsgComplete(req);
        LRPC2Msg* reply = SessionSendWithTimeout(s, req, 5, &status);
        MsgFree(req);
        if (!reply) {
          ++failed;
          break;
        }
        MsgFree(reply);
      }
      if (s)
        SessionClientClose(s);
      else
        ++failed;
    });
  for (auto& t : clients) t.join();
  EXPECT_EQ(failed.load(), 0);
  server.flags().stop = true;
  server.wakeLoop();
  // A connection wakes the poll too, should the wake-up be broken.
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  loop.join();
  close(fd);
  ofw::Props().setProperty("vgd.clients.threads.poll", "");
}

}  // namespace
