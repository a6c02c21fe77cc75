// The IPC server in-process on a temporary socket: pings, many clients,
// vanishing and stalled clients, idle expiry.
#include "support/test_support.h"
#include "server/ipc_server.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "lrpc2/header.h"
#include "lrpc2/msg.h"
#include "lrpc2/msg_types.h"
#include "lrpc2/session.h"
#include "ofw/codec.h"
#include "ofw/logging/logger.h"
#include "ofw/config/properties.h"
#include "server/client_io.h"

namespace {

class ServerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tmp_.path();
    path_ = dir_ + "/audit";
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < 4096 && rl.rlim_max >= 4096) {
      rl.rlim_cur = 4096;
      setrlimit(RLIMIT_NOFILE, &rl);
    }
  }
  void TearDown() override {
    stop();
  }
  void start() {
    server_.reset(new ofw::IPCServer(path_));
    thread_ = std::thread([this] { server_->loop(); });
  }
  void stop() {
    if (!server_) return;
    server_->flags().stop = true;
    server_->wakeLoop();
    thread_.join();
    server_.reset();
  }

  // An empty request of `type`: the reply (the caller frees it) or null, and the status.
  static LRPC2Msg* request(LRPC2SessionClient* c, uint32_t type, int* status, int timeout = 10) {
    LRPC2Msg* req = MsgNew(type, 0, OVGPrivGetMsgTable(), 48, status);
    MsgComplete(req);
    LRPC2Msg* reply = SessionSendWithTimeout(c, req, timeout, status);
    MsgFree(req);
    return reply;
  }
  // One request/reply on a fresh or given session.
  bool ping(LRPC2SessionClient* c, int timeout = 10) {
    int status = 0;
    LRPC2Msg* reply = request(c, MsgType::VGPing, &status, timeout);
    if (reply) MsgFree(reply);
    if (!reply || status != 0) lastStatus_ = status;
    return reply && status == 0;
  }
  std::atomic<int> lastStatus_{0};
  LRPC2SessionClient* connect(int version = 5, int timeout = 10) {
    int status = 0;
    return SessionConnectWithTimeout(path_.c_str(), OVGPrivGetMsgTable(), timeout, version, SIGN_SETTING_DISABLED,
                                     &status);
  }
  int rawConnect() {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path_.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
  static int openFds() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (readdir(d)) ++n;
    closedir(d);
    return n;
  }

  testsupport::TempDir tmp_;
  std::string dir_, path_;
  std::unique_ptr<ofw::IPCServer> server_;
  std::thread thread_;
};

TEST_F(ServerFixture, PingsOverEveryVersion) {
  start();
  for (int v = 2; v <= 5; ++v) {
    LRPC2SessionClient* c = connect(v);
    ASSERT_NE(c, nullptr) << "version " << v;
    EXPECT_TRUE(ping(c)) << "version " << v;
    EXPECT_TRUE(ping(c)) << "version " << v;
    SessionClientClose(c);
  }
}

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
  LRPC2Msg* reply = request(bad, MsgType::VGFbFrame, &status);
  EXPECT_EQ(reply, nullptr);
  EXPECT_EQ(status, SESSION_ERR_CLOSED);
  EXPECT_TRUE(ping(good));
  SessionClientClose(good);
  SessionClientClose(bad);
}

TEST_F(ServerFixture, ThousandClientsConnectedAtOnceAreAllServed) {
  start();
  std::vector<LRPC2SessionClient*> clients;
  for (int i = 0; i < 1000; ++i) {
    LRPC2SessionClient* c = connect(5, 30);
    ASSERT_NE(c, nullptr) << i;
    clients.push_back(c);
  }
  int answered = 0;
  for (auto* c : clients) answered += ping(c, 30) ? 1 : 0;
  EXPECT_EQ(answered, 1000);
  for (auto* c : clients) SessionClientClose(c);
}

TEST_F(ServerFixture, ParallelPingersLoseNoReply) {
  start();
  std::atomic<long> sent{0}, answered{0};
  std::vector<std::thread> threads;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int nThreads = getenv("PINGERS") ? atoi(getenv("PINGERS")) : 200;
  for (int t = 0; t < nThreads; ++t)
    threads.emplace_back([&] {
      LRPC2SessionClient* c = connect(5, 30);
      if (!c) return;
      while (std::chrono::steady_clock::now() < until) {
        ++sent;
        if (!ping(c, 30)) break;
        ++answered;
      }
      SessionClientClose(c);
    });
  for (auto& th : threads) th.join();
  EXPECT_GT(sent.load(), 200);
  EXPECT_EQ(sent.load(), answered.load()) << "last failure status " << lastStatus_.load();
}

TEST_F(ServerFixture, VanishingClientsLeaveNoDescriptor) {
  start();
  LRPC2SessionClient* warm = connect();
  ASSERT_TRUE(ping(warm));  // warm up the pool
  int before = openFds();
  for (int round = 0; round < 3; ++round) {
    std::vector<int> fds;
    for (int i = 0; i < 30; ++i) {
      int fd = rawConnect();
      ASSERT_GE(fd, 0);
      uint8_t hello[8];
      ofw::codec::putU32(hello, 5);
      ofw::codec::putU16(hello + 4, 8);
      ofw::codec::putU16(hello + 6, 0);
      ASSERT_EQ(write(fd, hello, sizeof hello), 8);
      fds.push_back(fd);
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      uint8_t reply[16];
      ASSERT_EQ(read(fds[i], reply, sizeof reply), 16);
      if (i % 2) {  // half a request header, then gone
        uint8_t half[20] = {};
        ofw::codec::putU32(half, lrpc2::kMagic);
        ASSERT_EQ(write(fds[i], half, sizeof half), 20);
      }
      close(fds[i]);
    }
  }
  // The server notices every hang-up; its descriptor count returns to where it was.
  int after = before + 100;
  for (int i = 0; i < 200 && after > before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    after = openFds();
  }
  EXPECT_LE(after, before);
  SessionClientClose(warm);
}

// A connection's buffers: a request is taken whole and nothing of the next
// one; output is bounded and what the peer does not read stays pending.
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
  io.clearRequest();
  EXPECT_EQ(io.readAvailable(sv[0], 5), ovg::ClientIO::Input::Complete);
  io.clearRequest();
  shutdown(sv[1], SHUT_WR);
  EXPECT_EQ(io.readAvailable(sv[0], 5), ovg::ClientIO::Input::Closed);

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

// The loop reads exactly the bytes a request's header announces; a header
// that is not one is handed over as it stands, for the receive to refuse.
TEST(RequestFrameLength, HeaderThenAnnouncedBody) {
  uint8_t h[48] = {};
  ofw::codec::putU32(h, lrpc2::kMagic);
  ofw::codec::putU32(h + lrpc2::kOffBodyLengthV5, 100);
  EXPECT_EQ(ovg::requestFrameLength(5, h, 20), 48u);
  EXPECT_EQ(ovg::requestFrameLength(5, h, 48), 148u);
  // Version 4 body length lives at offset 30; versions 2/3 give the total.
  uint8_t h4[34] = {};
  ofw::codec::putU32(h4, lrpc2::kMagic);
  ofw::codec::putU32(h4 + lrpc2::kOffBodyLengthV4, 10);
  EXPECT_EQ(ovg::requestFrameLength(4, h4, 34), 44u);
  uint8_t h2[8];
  ofw::codec::putU32(h2, lrpc2::kMagic);
  ofw::codec::putU32(h2 + 4, 18);
  EXPECT_EQ(ovg::requestFrameLength(2, h2, 8), 18u);
  ofw::codec::putU32(h2 + 4, 7);  // total shorter than the header
  EXPECT_EQ(ovg::requestFrameLength(3, h2, 8), 8u);
  // The largest body is read whole; one byte more, bad magic: the header alone.
  ofw::codec::putU32(h + lrpc2::kOffBodyLengthV5, lrpc2::kMaxBody);
  EXPECT_EQ(ovg::requestFrameLength(5, h, 48), 48u + lrpc2::kMaxBody);
  ofw::codec::putU32(h + lrpc2::kOffBodyLengthV5, lrpc2::kMaxBody + 1);
  EXPECT_EQ(ovg::requestFrameLength(5, h, 48), 48u);
  ofw::codec::putU32(h, 0x1280CDAB);
  ofw::codec::putU32(h + lrpc2::kOffBodyLengthV5, 10);
  EXPECT_EQ(ovg::requestFrameLength(5, h, 48), 48u);
  EXPECT_EQ(ovg::requestFrameLength(7, h, 48), 0u);
}

}  // namespace

namespace {

class IdleExpiry : public ServerFixture {
 protected:
  // A connected, served client and its server-side session.
  ofw::ClientPtr servedClient(LRPC2SessionClient** out) {
    *out = connect();
    EXPECT_TRUE(ping(*out));
    for (int i = 0; i < 100; ++i) {
      auto all = server_->snapshotClients();
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
  server_->expireOldClients(10, 0, false, true);
  EXPECT_EQ(server_->clientCount(), 1u);
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
  time_t now = time(nullptr);
  s->lastActivity = now - 12;  // older than min (10), younger than idle (1800)
  server_->expireOldClients(10, 1800, false, false);
  EXPECT_EQ(server_->clientCount(), 1u);
  s->busy = true;  // a busy client is never expired
  server_->expireOldClients(10, 1800, false, true);
  server_->expireOldClients(10, 5, false, false);
  EXPECT_EQ(server_->clientCount(), 1u);
  s->busy = false;
  server_->expireOldClients(10, 1800, false, true);
  EXPECT_EQ(server_->clientCount(), 0u);
  EXPECT_FALSE(ping(c, 5));
  SessionClientClose(c);

  auto s2 = servedClient(&c);
  ASSERT_TRUE(s2);
  s2->lastActivity = time(nullptr) - 6;
  server_->expireOldClients(5, 5, false, false);
  EXPECT_EQ(server_->clientCount(), 0u);
  SessionClientClose(c);
}

}  // namespace

namespace {

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
    log_ = dir_ + "/vgd.log";
    ofw::Props().setProperty("logger.destination", log_);
    ofw::Props().setProperty("logger.queue.size", "0");
    ofw::Logger::ReconfigureLevels(ofw::Props());
    ofw::Props().setProperty("vgd.threadpool.size", GetParam().size);
    ofw::Props().setProperty("vgd.threadpool.size.max", GetParam().max);
  }
  void TearDown() override {
    stop();
    ofw::Props().setProperty("vgd.threadpool.size", "10");
    ofw::Props().setProperty("vgd.threadpool.size.max", "15");
    ofw::Props().setProperty("logger.destination", "syslog");
    ofw::Logger::ReconfigureLevels(ofw::Props());
    ofw::Logger::close();
    ServerFixture::TearDown();
  }
  // The loop on its own thread; what it threw, if anything, is kept.
  void startCatching() {
    server_.reset(new ofw::IPCServer(path_));
    thread_ = std::thread([this] {
      try {
        server_->loop();
      } catch (const std::exception& e) {
        loopError_ = e.what();
      } catch (...) {
        loopError_ = "unknown exception";
      }
    });
  }
  std::string readLog() {
    ofw::Logger::flush();
    std::ifstream in(log_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string log_;
  std::string loopError_;
};

TEST_P(PoolSettingsTest, LoopServesAndBadValuesAreWarned) {
  startCatching();
  LRPC2SessionClient* c = connect();
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(ping(c));
  EXPECT_TRUE(ping(c));
  SessionClientClose(c);
  stop();
  EXPECT_EQ(loopError_, "");
  std::string warn = std::string("Illegal thread pool settings vgd.threadpool.size '") + GetParam().size +
                     "', vgd.threadpool.size.max '" + GetParam().max + "'. Using 10 and 15";
  std::string text = readLog();
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

}  // namespace
