// Socket primitives: time-limited send and receive, and waits. (Peer
// credentials are read in the server sessions' identity tests.)
#include <fcntl.h>
#include <gtest/gtest.h>

#include <thread>

#include "lrpc2/session.h"
#include "lrpc2_test_util.h"

using namespace lrpc2test;

// Both ways of sending, receiving with and without a time limit.
TEST(LRPC2SocketIO, LargeTransferWithTimeoutAndWithout) {
  Bytes big(4 << 20);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31);
  for (int useMsg : {0, 1}) {
    FdPair p;
    Bytes got(big.size());
    int rrc = -1;
    std::thread reader([&] { rrc = recv_wrap(p.b, got.data(), got.size(), useMsg ? 0 : 60, useMsg); });
    EXPECT_EQ(send_wrap(p.a, big.data(), big.size(), 60, useMsg), SESSION_OK);
    reader.join();
    EXPECT_EQ(rrc, SESSION_OK);
    EXPECT_EQ(got, big);
  }
}

TEST(LRPC2SocketIO, NoTimeoutRestoresNonBlockingMode) {
  FdPair p;
  ASSERT_EQ(fcntl(p.a, F_SETFL, fcntl(p.a, F_GETFL) | O_NONBLOCK), 0);
  const Bytes data = B().u32(7);
  ASSERT_TRUE(WriteAll(p.b, data));
  Bytes got(4);
  EXPECT_EQ(recv_wrap(p.a, got.data(), 4, 0, 1), SESSION_OK);
  EXPECT_TRUE(fcntl(p.a, F_GETFL) & O_NONBLOCK);
}

TEST(LRPC2SocketIO, ShortReadTimesOutAndEndOfFileIsClosed) {
  FdPair p;
  ASSERT_TRUE(WriteAll(p.b, B().u16(1)));
  Bytes got(4);
  EXPECT_EQ(recv_wrap(p.a, got.data(), 4, 1, 1), SESSION_ERR_TIMEOUT);
  p.closeB();
  EXPECT_EQ(recv_wrap(p.a, got.data(), 4, 1, 1), SESSION_ERR_CLOSED);
  EXPECT_EQ(send_wrap(p.a, got.data(), 4, 1, 1), SESSION_ERR_CLOSED);
  EXPECT_EQ(send_wrap(-1, got.data(), 4, 1, 1), SESSION_ERR_PARAM);
}

TEST(LRPC2SocketIO, FullBufferTimesOut) {
  FdPair p;
  Bytes big(16 << 20, 1);
  EXPECT_EQ(send_wrap(p.a, big.data(), big.size(), 1, 1), SESSION_ERR_TIMEOUT);
}

TEST(LRPC2SocketIO, Waits) {
  FdPair p;
  EXPECT_EQ(RecvWait(p.a, 0), 0);
  EXPECT_EQ(SendWait(p.a, 1), 1);
  ASSERT_TRUE(WriteAll(p.b, B().u8(1)));
  EXPECT_EQ(RecvWait(p.a, 1), 1);
  EXPECT_EQ(IOWait(p.a, -1, POLLIN), 1);
  EXPECT_EQ(IOWait(12345, 1, POLLIN), -1);  // POLLNVAL
}
