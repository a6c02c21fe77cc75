// The IPC server in-process on a temporary socket: many clients, stalled and
// vanishing clients, idle expiry, pipelined requests answered in order, and
// a worker's end always waking the loop however long its poll would sleep, and
// the core-file limit a reload leaves. (Pings over every version are checked
// against the real daemon by the IPC server's end-to-end test.)
#include "server/ipc_server.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "lrpc2/header.h"
#include "ofw/codec.h"
#include "server/client_io.h"
#include "server_test_util.h"

using namespace servertest;

namespace {

class ServerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < 4096 && rl.rlim_max >= 4096) {
      rl.rlim_cur = 4096;
      setrlimit(RLIMIT_NOFILE, &rl);
    }
  }
  void start() {
    loop_.reset(new Loop(path_));
    loop_->start();
  }
  void stop() { loop_.reset(); }
  ofw::IPCServer& server() { return loop_->server; }
  LRPC2SessionClient* connect(int version = 5, int timeout = 10) { return connectClient(path_, version, timeout); }

  testsupport::TempDir tmp_;
  const std::string dir_ = tmp_.path(), path_ = tmp_.file("audit");
  std::unique_ptr<Loop> loop_;
};

// A version-2 request that needs the secure-file exchange: the exchange runs
// over the client's next requests, read by the loop like any other, and the
// request is answered once it succeeded.
TEST_F(ServerFixture, SecureFileExchangeIsAnswered) {
  ASSERT_EQ(chmod(dir_.c_str(), 0711), 0);
  SessionSetAuthFileDir((dir_ + "/auth").c_str());
  start();
  LRPC2SessionClient* c = connect(2);
  ASSERT_NE(c, nullptr);
  int status = 0;
  LRPC2Msg* reply = request(c, MsgType::VGFlushCache, &status);
  EXPECT_EQ(status, SESSION_OK);
  uint32_t type = 0;
  EXPECT_EQ(MsgReadMsgType(reply, &type), MSG_OK);
  EXPECT_EQ(type, MsgType::VGFlushCache);
  MsgFree(reply);
  EXPECT_TRUE(ping(c));
  SessionClientClose(c);
  SessionSetAuthFileDir(nullptr);
}

TEST_F(ServerFixture, UnknownTypeDropsOnlyThatClient) {
  start();
  LRPC2SessionClient* good = connect();
  LRPC2SessionClient* bad = connect();
  ASSERT_TRUE(good && bad);
  int status = 0;
  EXPECT_EQ(request(bad, MsgType::VGFbFrame, &status), nullptr);
  EXPECT_EQ(status, SESSION_ERR_CLOSED);
  EXPECT_TRUE(ping(good));
  SessionClientClose(good);
  SessionClientClose(bad);
}

TEST_F(ServerFixture, ThousandClientsConnectedAtOnceAreAllServed) {
  start();
  std::vector<LRPC2SessionClient*> clients;
  for (int i = 0; i < 1000; ++i) {
    clients.push_back(connect(5, 30));
    ASSERT_NE(clients.back(), nullptr) << i;
  }
  int answered = 0;
  for (auto* c : clients) answered += ping(c, 30) ? 1 : 0;
  EXPECT_EQ(answered, 1000);
  for (auto* c : clients) SessionClientClose(c);
}

TEST_F(ServerFixture, ParallelPingersLoseNoReply) {
  start();
  std::atomic<long> sent{0}, answered{0};
  std::atomic<int> lastFailure{0};
  std::vector<std::thread> threads;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int nThreads = getenv("PINGERS") ? atoi(getenv("PINGERS")) : 200;
  for (int t = 0; t < nThreads; ++t)
    threads.emplace_back([&] {
      LRPC2SessionClient* c = connect(5, 30);
      int failure = 0;
      while (c && std::chrono::steady_clock::now() < until) {
        ++sent;
        if (!ping(c, 30, &failure)) {
          lastFailure = failure;
          break;
        }
        ++answered;
      }
      SessionClientClose(c);
    });
  for (auto& th : threads) th.join();
  EXPECT_GT(sent.load(), 200);
  EXPECT_EQ(sent.load(), answered.load()) << "last failure status " << lastFailure.load();
}

// Clients that hang up right after the handshake or half-way through a
// request header: the server notices every hang-up and its descriptor count
// returns to where it was.
TEST_F(ServerFixture, VanishingClientsLeaveNoDescriptor) {
  start();
  LRPC2SessionClient* warm = connect();
  ASSERT_TRUE(ping(warm));  // the pool's threads exist before counting
  auto openFds = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
  const auto before = openFds();
  for (int round = 0; round < 3; ++round) {
    std::vector<int> fds;
    for (int i = 0; i < 30; ++i) {
      const int fd = connectUnix(path_);
      ASSERT_GE(fd, 0);
      const std::string hello = testsupport::u32(5) + testsupport::u16(8) + testsupport::u16(0);
      ASSERT_EQ(write(fd, hello.data(), hello.size()), 8);
      fds.push_back(fd);
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      uint8_t reply[16];
      ASSERT_EQ(read(fds[i], reply, sizeof reply), 16);
      if (i % 2) {
        uint8_t half[20] = {};
        ofw::codec::putU32(half, lrpc2::kMagic);
        ASSERT_EQ(write(fds[i], half, sizeof half), 20);
      }
      close(fds[i]);
    }
  }
  auto after = openFds();
  for (int i = 0; i < 200 && after > before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    after = openFds();
  }
  EXPECT_LE(after, before);
  SessionClientClose(warm);
}

// A connection's buffers: a request is taken whole, and the bytes of the next
// one read with it stay for after it, whole or not; output is bounded and what
// the peer does not read stays pending.
TEST(ClientIO, OneWholeRequestAndBoundedOutput) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  std::vector<uint8_t> two(2 * 58, 0);
  for (size_t at : {size_t(0), size_t(58)}) {
    ofw::codec::putU32(two.data() + at, lrpc2::kMagic);
    ofw::codec::putU32(two.data() + at + lrpc2::kOffBodyLengthV5, 10);
  }
  ovg::ClientIO io;
  ASSERT_EQ(write(sv[1], two.data(), 30), 30);
  EXPECT_EQ(io.readAvailable(sv[0], 5), ovg::ClientIO::Input::Partial);
  ASSERT_EQ(write(sv[1], two.data() + 30, two.size() - 30), static_cast<ssize_t>(two.size() - 30));
  EXPECT_EQ(io.readAvailable(sv[0], 5), ovg::ClientIO::Input::Complete);
  EXPECT_EQ(io.requestLength(), 58u);
  EXPECT_FALSE(io.holdsWholeRequest(5));  // reported already
  io.clearRequest();
  EXPECT_TRUE(io.holdsWholeRequest(5));  // the second came with the first
  shutdown(sv[1], SHUT_WR);                // and is served before the hang-up
  EXPECT_EQ(io.readAvailable(sv[0], 5), ovg::ClientIO::Input::Complete);
  EXPECT_EQ(io.requestLength(), 58u);
  EXPECT_EQ(std::vector<uint8_t>(io.request(), io.request() + 58), std::vector<uint8_t>(two.begin() + 58, two.end()));
  io.clearRequest();
  EXPECT_FALSE(io.requestStarted());
  EXPECT_EQ(io.readAvailable(sv[0], 5), ovg::ClientIO::Input::Closed);
  close(sv[1]);
  close(sv[0]);

  // One and a half requests: the half is kept as a started request.
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  ASSERT_EQ(write(sv[1], two.data(), 87), 87);
  ASSERT_EQ(io.readAvailable(sv[0], 5), ovg::ClientIO::Input::Complete);
  io.clearRequest();
  EXPECT_TRUE(io.requestStarted());
  EXPECT_FALSE(io.holdsWholeRequest(5));
  EXPECT_EQ(io.readAvailable(sv[0], 5), ovg::ClientIO::Input::Partial);
  ASSERT_EQ(write(sv[1], two.data() + 87, 29), 29);
  ASSERT_EQ(io.readAvailable(sv[0], 5), ovg::ClientIO::Input::Complete);
  EXPECT_EQ(std::vector<uint8_t>(io.request(), io.request() + 58), std::vector<uint8_t>(two.begin() + 58, two.end()));
  io.clearRequest();

  std::vector<uint8_t> big(ovg::ClientIO::kMaxOutput, 'x');
  ASSERT_EQ(io.append(big.data(), big.size()), 0);
  EXPECT_EQ(io.append(big.data(), 1), SESSION_ERR_LENGTH);
  EXPECT_EQ(io.flush(sv[0], 1000), ovg::ClientIO::Output::Pending);  // the peer reads nothing
  EXPECT_EQ(io.outputSince(), 1000);
  EXPECT_EQ(io.flush(sv[0], 2000), ovg::ClientIO::Output::Pending);
  EXPECT_EQ(io.outputSince(), 1000);  // no progress: the age keeps counting
  close(sv[1]);
  EXPECT_EQ(io.flush(sv[0], 3000), ovg::ClientIO::Output::Failed);
  close(sv[0]);
}

// A request ends where its header says; a header that is not one is handed
// over as it stands, for the receive to refuse.
TEST(RequestFrameLength, HeaderThenAnnouncedBody) {
  const uint32_t kMagic = lrpc2::kMagic, kMax = lrpc2::kMaxBody;
  const size_t kV5 = lrpc2::kOffBodyLengthV5, kV4 = lrpc2::kOffBodyLengthV4;
  struct Case {
    int version;
    uint32_t magic;
    size_t lengthAt;  // body length (versions 4, 5) or total length (2, 3)
    uint32_t length;
    size_t have;
    size_t expected;
  };
  for (const Case& c : {Case{5, kMagic, kV5, 100, 20, 48}, Case{5, kMagic, kV5, 100, 48, 148},
                        Case{4, kMagic, kV4, 10, 34, 44}, Case{2, kMagic, 4, 18, 8, 18},
                        Case{3, kMagic, 4, 7, 8, 8},  // total shorter than the header
                        Case{5, kMagic, kV5, kMax, 48, 48 + kMax}, Case{5, kMagic, kV5, kMax + 1, 48, 48},
                        Case{5, 0x1280CDAB, kV5, 10, 48, 48}, Case{7, kMagic, kV5, 10, 48, 0}}) {
    uint8_t h[48] = {};
    ofw::codec::putU32(h, c.magic);
    ofw::codec::putU32(h + c.lengthAt, c.length);
    EXPECT_EQ(ovg::requestFrameLength(c.version, h, c.have), c.expected)
        << "version " << c.version << " length " << c.length << " have " << c.have;
  }
}

class IdleExpiry : public ServerFixture {
 protected:
  // A connected, served client and its server-side session.
  ofw::ClientPtr servedClient(LRPC2SessionClient** out) {
    *out = connect();
    EXPECT_TRUE(ping(*out));
    for (int i = 0; i < 100; ++i) {
      auto all = server().snapshotClients();
      if (all.size() == 1 && !all[0]->busy.load()) return all[0];
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ofw::ClientPtr();
  }
};

TEST_F(IdleExpiry, ZeroNeverExpires) {
  // The loop reads the setting when it starts, on its own thread: keep it
  // until the test ends.
  ofw::Props().setProperty("vgd.client.idle.timeout", "0");
  start();
  LRPC2SessionClient* c;
  auto s = servedClient(&c);
  ASSERT_TRUE(s);
  s->lastActivity = time(nullptr) - 100000;
  server().expireOldClients(10, 0, false, true);
  EXPECT_EQ(server().clientCount(), 1u);
  EXPECT_TRUE(ping(c));
  SessionClientClose(c);
  stop();
  ofw::Props().setProperty("vgd.client.idle.timeout", "1800");
}

TEST_F(IdleExpiry, IdleLimitAndAggressivePurge) {
  start();
  LRPC2SessionClient* c;
  auto s = servedClient(&c);
  ASSERT_TRUE(s);
  s->lastActivity = time(nullptr) - 12;  // older than min (10), younger than idle (1800)
  server().expireOldClients(10, 1800, false, false);
  EXPECT_EQ(server().clientCount(), 1u);
  s->busy = true;  // a busy client is never expired
  server().expireOldClients(10, 1800, false, true);
  server().expireOldClients(10, 5, false, false);
  EXPECT_EQ(server().clientCount(), 1u);
  s->busy = false;
  server().expireOldClients(10, 1800, false, true);
  EXPECT_EQ(server().clientCount(), 0u);
  EXPECT_FALSE(ping(c, 5));
  SessionClientClose(c);

  auto s2 = servedClient(&c);
  ASSERT_TRUE(s2);
  s2->lastActivity = time(nullptr) - 6;
  server().expireOldClients(5, 5, false, false);
  EXPECT_EQ(server().clientCount(), 0u);
  SessionClientClose(c);
}

// Bad thread-pool settings fall back to the defaults (10 and 15) with a WARN;
// the loop serves as usual. Good settings are taken without a WARN.
struct PoolSettings {
  const char* size;
  const char* max;
  bool warned;
};
void PrintTo(const PoolSettings& p, std::ostream* os) { *os << "size '" << p.size << "' max '" << p.max << "'"; }

class PoolSettingsTest : public ServerFixture, public ::testing::WithParamInterface<PoolSettings> {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    ofw::Props().setProperty("vgd.threadpool.size", GetParam().size);
    ofw::Props().setProperty("vgd.threadpool.size.max", GetParam().max);
  }
  void TearDown() override {
    stop();
    ofw::Props().setProperty("vgd.threadpool.size", "10");
    ofw::Props().setProperty("vgd.threadpool.size.max", "15");
  }
  LogToFile log_{tmp_.file("vgd.log")};
};

TEST_P(PoolSettingsTest, LoopServesAndBadValuesAreWarned) {
  start();
  LRPC2SessionClient* c = connect();
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(ping(c));
  EXPECT_TRUE(ping(c));
  SessionClientClose(c);
  const std::string error = (loop_->stop(), loop_->error);
  EXPECT_EQ(error, "");
  std::string warn = std::string("Illegal thread pool settings vgd.threadpool.size '") + GetParam().size +
                     "', vgd.threadpool.size.max '" + GetParam().max + "'. Using 10 and 15";
  std::string text = log_.text();
  if (GetParam().warned)
    EXPECT_NE(text.find(warn), std::string::npos) << text;
  else
    EXPECT_EQ(text.find("Illegal thread pool settings"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(ThreadPool, PoolSettingsTest,
                         ::testing::Values(PoolSettings{"20", "5", true}, PoolSettings{"ten", "15", true},
                                           PoolSettings{"10", "ten", true}, PoolSettings{"0", "15", true},
                                           PoolSettings{"-3", "15", true}, PoolSettings{"", "15", true},
                                           PoolSettings{"2", "3", false}, PoolSettings{"4", "4", false}));

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

// Requests read ahead with an earlier one are served without waiting for the
// socket: with a poll interval beyond the receive time-out, one left waiting
// fails the test.
TEST(PipelinedRequests, AllAnsweredInOrder) {
  ofw::Props().setProperty("vgd.clients.threads.poll", "600000");
  testsupport::TempDir dir;
  Loop loop(dir.file("audit"));
  loop.start();
  const int fd = connectUnix(dir.file("audit"));
  ASSERT_GE(fd, 0);
  struct timeval limit = {5, 0};
  ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
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
  ofw::Props().setProperty("vgd.clients.threads.poll", "");
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

// A reload applies vgd.dumpcore to the core-file limit, except that it never
// allows core dumps once -c turned them off. The process starts with the soft
// limit 0 under an unlimited hard limit, so a reload that allowed core dumps
// could raise it without any privilege; the limit is read in the reload hook,
// which runs right after the reload set it.
// Runs one reload of a server whose -c flag is `noCore`: the core limit it left.
struct rlimit reloadWith(bool noCore) {
  struct rlimit seen = {};
  std::atomic<bool> reloaded{false};
  testsupport::TempDir dir;
  servertest::Loop loop(dir.file("audit"));
  loop.server.flags().noCore = noCore;
  loop.server.setReloadHook([&] {
    getrlimit(RLIMIT_CORE, &seen);
    reloaded = true;
  });
  loop.start();
  loop.server.flags().reloadPending = true;
  for (int i = 0; i < 10000 && !reloaded; ++i) {
    loop.server.wakeLoop();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  loop.stop();
  EXPECT_TRUE(reloaded) << "the reload never ran";
  return seen;
}

TEST(CoreLimit, ReloadNeverAllowsCoreDumpsAfterNoCore) {
  struct rlimit rl;
  ASSERT_EQ(getrlimit(RLIMIT_CORE, &rl), 0);
  if (rl.rlim_max != RLIM_INFINITY) GTEST_SKIP() << "the hard core limit is already lowered";
  rl.rlim_cur = 0;
  ASSERT_EQ(setrlimit(RLIMIT_CORE, &rl), 0);
  ofw::Props().setProperty("vgd.dumpcore", "true");
  EXPECT_EQ(reloadWith(false).rlim_cur, RLIM_INFINITY) << "vgd.dumpcore true did not allow core dumps";
  const struct rlimit refused = reloadWith(true);
  EXPECT_EQ(refused.rlim_cur, 0u);
  EXPECT_EQ(refused.rlim_max, 0u);
  ofw::Props().setProperty("vgd.dumpcore", "false");
}

}  // namespace
