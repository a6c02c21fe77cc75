// The secure stream against a peer that misbehaves, with protection off (no
// Kerberos needed): every failure closes the stream's socket at once and
// leaves no token half read for the next call.
#include <sys/socket.h>

#include <thread>

#include <gtest/gtest.h>

#include "ofw/exceptions.h"
#include "ofw/stream/secure_stream.h"
#include "unit/stream/stream_peer.h"

using streamtest::frame;
using streamtest::header;
using streamtest::openDescriptors;

namespace {

struct PeerCase {
  const char* name;
  std::string bytes;      // what the peer sends
  bool peerCloses;        // then closes its end (else keeps it open)
  uint32_t maxToken;
  const char* exception;  // expected type name; nullptr: the block is read
  const char* text;       // start of the message, or the block read
  int code;
};

class StreamPeerTest : public ::testing::TestWithParam<PeerCase> {};

TEST_P(StreamPeerTest, ReadsOrFailsAndClosesItsSocket) {
  const PeerCase& c = GetParam();
  const int before = openDescriptors();
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
  ofw::SecureStream stream(ofw::UniqueFd(sv[0]), /*readTimeout=*/1, /*writeTimeout=*/1);
  stream.setProtection(false, false);
  stream.setMaxToken(c.maxToken);
  streamtest::writeAll(sv[1], c.bytes);
  if (c.peerCloses) close(sv[1]);

  if (!c.exception) {
    EXPECT_EQ(c.text, stream.readDataBlock());
    EXPECT_TRUE(stream.isOpen());
  } else {
    try {
      stream.readDataBlock();
      ADD_FAILURE() << "no exception";
    } catch (const ofw::Base_Exception& e) {
      EXPECT_EQ(c.exception, e.typeName());
      EXPECT_EQ(0u, std::string(e.what()).find(c.text)) << e.what();
      EXPECT_EQ(c.code, e.code());
    }
    EXPECT_FALSE(stream.isOpen());
    // Whatever the peer sent after the failure is never read as a new token.
    streamtest::writeAll(sv[1], frame(4, "next"));
    EXPECT_THROW(stream.readDataBlock(), ofw::IOException);
  }
  if (!c.peerCloses) close(sv[1]);
  if (c.exception) {
    EXPECT_EQ(before, openDescriptors());
  }
}

const std::string kCapped = std::string(16, 'x');

INSTANTIATE_TEST_SUITE_P(
    Peer, StreamPeerTest,
    ::testing::Values(
        PeerCase{"EmptyBlock", header(4, 0), false, 16, nullptr, "", 0},
        PeerCase{"AnyTypeAccepted", frame(9, "abc"), false, 16, nullptr, "abc", 0},
        PeerCase{"ExactlyAtTheCap", frame(4, kCapped), false, 16, nullptr, kCapped.c_str(), 0},
        PeerCase{"OneOverTheCap", frame(4, kCapped + "y"), false, 16, "IOException",
                 "Refusing a token of 17 bytes", 0},
        // Without the cap this would allocate 4 GiB and then time out waiting.
        PeerCase{"GiantLength", header(4, 0xFFFFFFFF), false, ofw::stream::DEFAULT_MAX_TOKEN, "IOException",
                 "Refusing a token of 4294967295 bytes", 0},
        PeerCase{"ClosedMidHeader", header(4, 10).substr(0, 3), true, 16, "IOException",
                 "Read terminated but incomplete!", 3},
        PeerCase{"ClosedMidPayload", header(4, 10) + "abcd", true, 16, "IOException",
                 "Read terminated but incomplete!", 4},
        PeerCase{"ClosedBeforeAnything", "", true, 16, "IOException", "Read terminated but incomplete!", 0},
        PeerCase{"StalledMidPayload", header(4, 10) + "a", false, 16, "TimeoutException", "Timeout while reading",
                 0}),
    [](const ::testing::TestParamInfo<PeerCase>& info) { return std::string(info.param.name); });

TEST(StreamWrite, UnprotectedBlocksAreFramedAsTheyAre) {
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
  ofw::SecureStream stream{ofw::UniqueFd(sv[0])};
  stream.setProtection(false, false);
  stream.writeDataBlock("");
  stream.writeDataBlock(std::string("a\0b", 3));
  std::string got(5 + 8, '\0');
  ASSERT_TRUE(streamtest::readAll(sv[1], &got[0], got.size()));
  EXPECT_EQ(header(4, 0) + header(4, 3) + std::string("a\0b", 3), got);
  close(sv[1]);
}

TEST(StreamWrite, ClosedPeerFailsTheWriteAndClosesTheSocket) {
  const int before = openDescriptors();
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
  close(sv[1]);
  ofw::SecureStream stream{ofw::UniqueFd(sv[0])};
  stream.setProtection(false, false);
  try {
    stream.writeDataBlock("data");
    ADD_FAILURE() << "no exception";
  } catch (const ofw::IOException& e) {
    EXPECT_STREQ("Error while sending wrapped data: Broken pipe", e.what());
  }
  EXPECT_EQ(before, openDescriptors());
}

TEST(StreamAuthenticate, SealingWithoutSigningIsRefusedBeforeAnythingIsSent) {
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
  ofw::SecureStream stream{ofw::UniqueFd(sv[0])};
  EXPECT_THROW(stream.authenticateAsClient("vgcollector/c1@VGD.TEST", false, true, false),
               ofw::InvalidArgumentException);
  char c;
  EXPECT_EQ(-1, recv(sv[1], &c, 1, MSG_DONTWAIT));
  EXPECT_EQ(EAGAIN, errno);
  close(sv[1]);
}

}  // namespace
