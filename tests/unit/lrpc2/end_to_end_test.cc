// Client and server over a real UNIX socket in a temporary directory: every
// signing combination, every version, separate processes, asynchronous
// requests and the C++ client wrapper.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "lrpc2/client_session.h"
#include "lrpc2_test_util.h"
#include "ofw/exceptions.h"

using namespace lrpc2test;

namespace {

// Sends a request of `type` holding `value` and checks the echo.
void RoundTrip(LRPC2SessionClient* c, uint32_t type, uint32_t value, int expectUid, bool signing) {
  MsgPtr req(NewMsg(type));
  ASSERT_EQ(MsgWriteUInt32(req.get(), value), MSG_OK);
  ASSERT_EQ(MsgComplete(req.get()), MSG_OK);
  const Bytes body = BodyOf(req.get());
  int st = -1;
  MsgPtr reply(SessionSendWithTimeout(c, req.get(), 30, &st));
  ASSERT_EQ(st, SESSION_OK);
  ASSERT_NE(reply, nullptr);
  uint32_t replyType = 0;
  MsgReadMsgType(reply.get(), &replyType);
  EXPECT_EQ(replyType, type);
  void* echoed = nullptr;
  uint32_t n = 0;
  ASSERT_EQ(MsgReadBlob(reply.get(), &echoed, &n), MSG_OK);
  EXPECT_EQ(Bytes(static_cast<uint8_t*>(echoed), static_cast<uint8_t*>(echoed) + n), body);
  free(echoed);
  int32_t uid = 0;
  ASSERT_EQ(MsgReadInt32(reply.get(), &uid), MSG_OK);
  EXPECT_EQ(uid, expectUid);
  EXPECT_EQ(MsgGetSigChecks(reply.get()), signing ? 1 : 0);
}

}  // namespace

struct Combo {
  int server, client;
};

class LRPC2EndToEndSigning : public ::testing::TestWithParam<Combo> {};

TEST_P(LRPC2EndToEndSigning, Version5) {
  TempDir dir;
  const std::string path = dir.path() + "/audit";
  TestServer server(path, GetParam().server);
  ASSERT_TRUE(server.start());
  int on = 0;
  const int expected = SessionSignDecision(GetParam().server, GetParam().client, &on);
  int st = -1;
  Client c(SessionConnectWithTimeout(path.c_str(), nullptr, 30, 5, GetParam().client, &st));
  EXPECT_EQ(st, expected);
  if (c) {
    EXPECT_EQ(SessionClientIsSigning(c.get()), on);
    RoundTrip(c.get(), MsgType::VGPing, 1, -1, on);
    RoundTrip(c.get(), MsgType::VGStop, 2, static_cast<int>(getuid()), on);
    RoundTrip(c.get(), MsgType::VGQueryRunlevel, 3, static_cast<int>(getuid()), on);
    c.reset();
  }
  ASSERT_TRUE(server.waitConnections(1));
  EXPECT_EQ(server.acceptStatuses(), std::vector<int>{expected});
  if (expected == SESSION_OK) {
    EXPECT_EQ(server.signingFlags(), std::vector<int>{on});
    EXPECT_EQ(server.recvStatuses(), (std::vector<int>{0, 0, 0, SESSION_ERR_CLOSED}));
  }
}

INSTANTIATE_TEST_SUITE_P(AllCombinations, LRPC2EndToEndSigning,
                         ::testing::Values(Combo{2, 2}, Combo{2, 1}, Combo{2, 0}, Combo{1, 2},
                                           Combo{1, 1}, Combo{1, 0}, Combo{0, 2}, Combo{0, 1},
                                           Combo{0, 0}));

class LRPC2EndToEndVersions : public ::testing::TestWithParam<int> {};

TEST_P(LRPC2EndToEndVersions, RequestsAndPeerCredentials) {
  TempDir dir;
  const std::string path = dir.path() + "/audit";
  TestServer server(path, SIGN_SETTING_ALLOWED);
  ASSERT_TRUE(server.start());
  int st = -1;
  Client c(SessionConnectWithTimeout(path.c_str(), nullptr, 30, GetParam(), SIGN_SETTING_ALLOWED, &st));
  ASSERT_EQ(st, SESSION_OK);
  for (uint32_t i = 0; i < 5; ++i) RoundTrip(c.get(), MsgType::VGPing, i, -1, GetParam() == 5);
  RoundTrip(c.get(), MsgType::VGSessionEnd, 9, static_cast<int>(getuid()), GetParam() == 5);
  c.reset();
  ASSERT_TRUE(server.waitConnections(1));
  EXPECT_EQ(server.acceptedVersions(), std::vector<int>{GetParam()});
}

INSTANTIATE_TEST_SUITE_P(PeerCredVersions, LRPC2EndToEndVersions, ::testing::Values(3, 4, 5));

TEST(LRPC2EndToEnd, Version4AgainstRequiredServer) {
  TempDir dir;
  const std::string path = dir.path() + "/audit";
  TestServer server(path, SIGN_SETTING_REQUIRED);
  ASSERT_TRUE(server.start());
  int st = -1;
  Client c(SessionConnectWithTimeout(path.c_str(), nullptr, 30, 4, SIGN_SETTING_DISABLED, &st));
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(st, SESSION_ERR_INVALID);  // the client got uint32 0
  ASSERT_TRUE(server.waitConnections(1));
  EXPECT_EQ(server.acceptStatuses(), std::vector<int>{SESSION_ERR_DENIED});
  EXPECT_EQ(server.acceptedVersions(), std::vector<int>{4});
}

TEST(LRPC2EndToEnd, ClientInSeparateProcess) {
  TempDir dir;
  const std::string path = dir.path() + "/audit";
  TestServer server(path, SIGN_SETTING_REQUIRED);
  ASSERT_TRUE(server.start());
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // No gtest assertions here: the exit status tells the parent.
    int st = -1;
    LRPC2SessionClient* c = SessionConnectWithTimeout(path.c_str(), nullptr, 30, 5, SIGN_SETTING_REQUIRED, &st);
    if (c == nullptr) _exit(10);
    for (uint32_t i = 0; i < 20; ++i) {
      LRPC2Msg* req = NewMsg(i % 2 ? MsgType::VGPing : MsgType::VGStop);
      MsgWriteUInt32(req, i);
      MsgComplete(req);
      LRPC2Msg* reply = SessionSendWithTimeout(c, req, 30, &st);
      MsgFree(req);
      if (reply == nullptr) _exit(11);
      void* blob = nullptr;
      uint32_t n = 0;
      int32_t uid = 0;
      if (MsgReadBlob(reply, &blob, &n) != MSG_OK || MsgReadInt32(reply, &uid) != MSG_OK ||
          !MsgGetSigChecks(reply))
        _exit(12);
      free(blob);
      MsgFree(reply);
      if (uid != static_cast<int32_t>(getuid())) _exit(13);
    }
    SessionClientClose(c);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_TRUE(server.waitConnections(1));
  const std::vector<int> recv = server.recvStatuses();
  ASSERT_EQ(recv.size(), 21u);
  EXPECT_EQ(recv.back(), SESSION_ERR_CLOSED);
}

TEST(LRPC2EndToEnd, ServerInSeparateProcess) {
  TempDir dir;
  const std::string path = dir.path() + "/audit";
  const int listenFd = Listen(path);
  ASSERT_GE(listenFd, 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int fd = accept(listenFd, nullptr, nullptr);
    int st = -1;
    LRPC2SessionServer* s = SessionAccept(fd, fd, 30, nullptr, SIGN_SETTING_ALLOWED, &st, nullptr);
    if (s == nullptr) _exit(20);
    int served = 0;
    for (;;) {
      LRPC2Msg* req = SessionRecv(fd, s, 30, &st, 0);
      if (req == nullptr) break;
      LRPC2Msg* reply = EchoReply(s, req, nullptr);
      MsgFree(req);
      if (SessionServerSend(fd, s, reply, 30) != SESSION_OK) _exit(21);
      MsgFree(reply);
      ++served;
    }
    SessionServerClose(s);
    _exit(st == SESSION_ERR_CLOSED && served == 3 ? 0 : 22);
  }
  close(listenFd);
  {
    LRPC2ClientSession session;
    session.connect(path, 30, SIGN_SETTING_ALLOWED);
    EXPECT_TRUE(session.ping(30));
    EXPECT_TRUE(session.ping(30));
    MsgPtr req = session.newRequest(MsgType::VGQueryIsDaemonOnline);
    MsgPtr reply = session.request(req.get(), 30);
    uint32_t type = 0;
    ASSERT_EQ(MsgReadMsgType(reply.get(), &type), MSG_OK);
    EXPECT_EQ(type, 80u);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(LRPC2EndToEnd, AsynchronousRequestsGetNoReply) {
  const MsgTableEntry entries[] = {{10, "VGPing", 0}, {52, "VGSessionData3", MSG_FLAG_DOASYNC}};
  const MsgTable table = {2, entries};
  TempDir dir;
  const std::string path = dir.path() + "/audit";
  TestServer server(path, SIGN_SETTING_ALLOWED, &table);
  ASSERT_TRUE(server.start());
  int st = -1;
  Client c(SessionConnectWithTimeout(path.c_str(), &table, 30, 5, SIGN_SETTING_ALLOWED, &st));
  ASSERT_EQ(st, SESSION_OK);
  for (int i = 0; i < 3; ++i) {
    MsgPtr data(MsgNew(52, 0, &table, 48, &st));
    MsgWriteUInt32(data.get(), static_cast<uint32_t>(i));
    MsgComplete(data.get());
    MsgPtr none(SessionSendWithTimeout(c.get(), data.get(), 30, &st));
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(st, SESSION_OK);
  }
  MsgPtr ping(MsgNew(10, 0, &table, 48, &st));
  MsgComplete(ping.get());
  MsgPtr reply(SessionSendWithTimeout(c.get(), ping.get(), 30, &st));
  ASSERT_EQ(st, SESSION_OK);
  uint32_t type = 0;
  MsgReadMsgType(reply.get(), &type);
  EXPECT_EQ(type, 10u);
  c.reset();
  ASSERT_TRUE(server.waitConnections(1));
  EXPECT_EQ(server.recvStatuses(), (std::vector<int>{0, 0, 0, 0, SESSION_ERR_CLOSED}));
}

TEST(LRPC2ClientSession, ConnectFailureThrowsWithStatusText) {
  TempDir dir;
  LRPC2ClientSession session;
  try {
    session.connect(dir.path() + "/nothing", 5, SIGN_SETTING_DISABLED);
    FAIL() << "connect did not throw";
  } catch (const ofw::IOException& e) {
    EXPECT_EQ(e.code(), SESSION_ERR_NOPATH);
    EXPECT_NE(std::string(e.what()).find("Socket path does not exist"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(session.isConnected());
  EXPECT_THROW(session.ping(5), ofw::IOException);
}

TEST(LRPC2ClientSession, PingAndRequestFailure) {
  TempDir dir;
  const std::string path = dir.path() + "/audit";
  TestServer server(path, SIGN_SETTING_DISABLED);
  int calls = 0;
  server.setHandler([&](LRPC2SessionServer* s, LRPC2Msg* req) -> LRPC2Msg* {
    if (++calls == 2) return nullptr;  // no reply: the client times out
    return EchoReply(s, req, nullptr);
  });
  ASSERT_TRUE(server.start());
  LRPC2ClientSession session;
  session.connect(path, 30, SIGN_SETTING_DISABLED, 4);
  EXPECT_TRUE(session.isConnected());
  EXPECT_TRUE(session.ping(30));
  try {
    session.ping(1);
    FAIL() << "ping did not throw";
  } catch (const ofw::IOException& e) {
    EXPECT_EQ(e.code(), SESSION_ERR_TIMEOUT);
    EXPECT_NE(std::string(e.what()).find("Timeout during operation"), std::string::npos);
  }
  EXPECT_FALSE(session.isConnected());
  session.close();
  ASSERT_TRUE(server.waitConnections(1));
}
