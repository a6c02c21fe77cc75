// Requests a client sends back to back, before reading any reply, are all
// answered, in order, whether the loop or the worker that handled the one
// before finds them; and a worker's end always wakes the loop, however long
// its poll would otherwise sleep.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "lrpc2/header.h"
#include "server_test_util.h"

using namespace servertest;

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
std::string pingFrame(uint32_t sequence) {
  using namespace testsupport;
  return u32(lrpc2::kMagic) + u16(34) + u32(4) + u64(getpid()) + u32(sequence) + u64(time(nullptr)) + u32(3) +
         u16(MsgType::VGPing) + std::string(1, '\0');
}

TEST(PipelinedRequests, AllAnsweredInOrder) {
  testsupport::TempDir dir;
  Loop loop(dir.file("audit"));
  loop.start();
  const int fd = connectUnix(dir.file("audit"));
  ASSERT_GE(fd, 0);
  const std::string hello = testsupport::u32(4);
  ASSERT_EQ(write(fd, hello.data(), 4), 4);
  uint8_t ok[8];
  ASSERT_TRUE(ioAll(fd, ok, sizeof ok, false));
  ASSERT_EQ(std::string(reinterpret_cast<char*>(ok), 4), testsupport::u32(1));

  // Several rounds, so that some next requests are in the socket before the
  // worker finished the one before and some arrive later.
  uint32_t sequence = 1000;
  for (int round = 0; round < 20; ++round) {
    std::string burst;
    const int count = 1 + round % 12;
    for (int i = 0; i < count; ++i) burst += pingFrame(sequence + static_cast<uint32_t>(i));
    ASSERT_TRUE(ioAll(fd, reinterpret_cast<uint8_t*>(&burst[0]), burst.size(), true));
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
}

// With a poll interval far beyond the clients' time-out, a lost wake-up would
// leave a client unanswered until its time-out.
TEST(WorkerWake, EveryRequestIsAnsweredWithoutThePollTimeOut) {
  ofw::Props().setProperty("vgd.clients.threads.poll", "600000");
  testsupport::TempDir dir;
  const std::string path = dir.file("audit");
  Loop loop(path);
  loop.start();
  std::atomic<int> failed{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 12; ++c)
    clients.emplace_back([&path, &failed] {
      LRPC2SessionClient* s = connectClient(path);
      int i = 0;
      while (s && i < 400 && ping(s, 5)) ++i;
      if (i < 400) ++failed;
      SessionClientClose(s);
    });
  for (auto& t : clients) t.join();
  EXPECT_EQ(failed.load(), 0);
  loop.server.flags().stop = true;
  loop.server.wakeLoop();
  // A connection wakes the poll too, should the wake-up be broken.
  const int fd = connectUnix(path);
  loop.stop();
  close(fd);
  ofw::Props().setProperty("vgd.clients.threads.poll", "");
}

}  // namespace
