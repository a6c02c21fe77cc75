// Client and server over a real UNIX socket in a temporary directory: every
// signing combination agreed on both sides, and the C++ client wrapper.
// (Versions, peer credentials and separate processes are exercised against
// the real daemon by the IPC server's end-to-end test.)
#include <gtest/gtest.h>

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
