// The C++ client wrapper against a test server on a real UNIX socket.
// (Versions, peer credentials and separate processes are exercised against
// the real daemon by the IPC server's end-to-end test.)
#include <gtest/gtest.h>

#include "lrpc2/client_session.h"
#include "lrpc2_test_util.h"
#include "ofw/exceptions.h"

using namespace lrpc2test;

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
  TestServer server(path);
  int calls = 0;
  server.setHandler([&](LRPC2SessionServer* s, LRPC2Msg* req) -> LRPC2Msg* {
    if (++calls == 2) return nullptr;  // no reply: the client times out
    return EchoReply(s, req);
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
