// The secure stream against a GSSAPI acceptor and a real MIT KDC: the bytes on
// the wire, the protection the peer observes, failed establishment and an
// expired context.
#include <gssapi/gssapi.h>
#include <sys/socket.h>

#include <thread>

#include <gtest/gtest.h>

#include "ofw/exceptions.h"
#include "ofw/stream/gss_util.h"
#include "ofw/stream/secure_stream.h"
#include "support/kdc_fixture.h"
#include "unit/stream/stream_peer.h"

using streamtest::Acceptor;
using streamtest::Frame;
using streamtest::frame;

// The platform's GSSAPI loses the 1-byte buffer it allocates when unwrapping
// an empty message that was signed but not sealed (the peer's unwrap of the
// 0-byte block below); nothing of ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:gss_krb5int_unseal_token_v3\n"; }

namespace {

class StreamKdcTest : public testkdc::WithKdc<> {
 protected:
  void SetUp() override {
    WithKdc::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv_));
  }
  void TearDown() override {
    if (peer_.joinable()) peer_.join();
    if (sv_[1] >= 0) close(sv_[1]);
  }
  std::string collector() const { return kdc->env("KDC_COLLECTOR1"); }

  int sv_[2] = {-1, -1};
  std::thread peer_;
};

struct Protection {
  const char* name;
  bool signedOn, sealedOn;
  int options;
};

class StreamProtectionTest : public StreamKdcTest, public ::testing::WithParamInterface<Protection> {};

TEST_P(StreamProtectionTest, TokensOnTheWireAndProtectionSeenByThePeer) {
  const Protection& p = GetParam();
  Acceptor peer;
  bool accepted = false;
  std::string blocks[2];
  OM_uint32 unwrapStatus[2] = {1, 1};
  int conf[2] = {-1, -1};
  peer_ = std::thread([&] {
    accepted = peer.accept(sv_[1]);
    if (!accepted) return;
    for (int i = 0; i < 2; ++i) {
      Frame f;
      if (!peer.next(sv_[1], f)) return;
      if (p.signedOn) {
        unwrapStatus[i] = peer.unwrap(f.payload, blocks[i], conf[i]);
      } else {
        blocks[i] = f.payload;
      }
    }
    std::string reply = "reply block";
    streamtest::writeAll(sv_[1], frame(4, p.signedOn ? peer.wrap(reply, p.sealedOn) : reply));
  });

  ofw::SecureStream stream{ofw::UniqueFd(sv_[0])};
  stream.authenticateAsClient(collector(), p.signedOn, p.sealedOn, true);
  stream.writeDataBlock("first block");
  stream.writeDataBlock("");
  EXPECT_EQ("reply block", stream.readDataBlock());
  peer_.join();

  ASSERT_TRUE(accepted);
  // Hello first, then context tokens, then the options; the data blocks.
  EXPECT_EQ(std::string("\x01\0\0\0\0", 5), peer.raw.substr(0, 5));
  ASSERT_GE(peer.frames.size(), 5u);
  for (size_t i = 1; i + 3 < peer.frames.size(); ++i) EXPECT_EQ(2, peer.frames[i].type) << i;
  const size_t n = peer.frames.size();
  EXPECT_EQ(5, peer.frames[n - 3].type);
  EXPECT_EQ(p.options, peer.options);
  EXPECT_EQ(4, peer.frames[n - 2].type);
  EXPECT_EQ(4, peer.frames[n - 1].type);
  // Mutual authentication only when the blocks are protected.
  EXPECT_EQ(p.signedOn, (peer.flags & GSS_C_MUTUAL_FLAG) != 0);
  EXPECT_NE(0u, peer.flags & GSS_C_REPLAY_FLAG);
  EXPECT_EQ("first block", blocks[0]);
  EXPECT_EQ("", blocks[1]);
  if (p.signedOn) {
    EXPECT_EQ(GSS_S_COMPLETE, unwrapStatus[0]);
    EXPECT_EQ(GSS_S_COMPLETE, unwrapStatus[1]);
    EXPECT_EQ(p.sealedOn ? 1 : 0, conf[0]);
    EXPECT_EQ(p.sealedOn ? 1 : 0, conf[1]);
  } else {
    // An empty unprotected block is a bare 5-byte token.
    EXPECT_EQ(std::string("\x04\0\0\0\0", 5), peer.raw.substr(peer.raw.size() - 5));
  }
}

INSTANTIATE_TEST_SUITE_P(Options, StreamProtectionTest,
                         ::testing::Values(Protection{"SignedAndSealed", true, true, 3},
                                           Protection{"SignedOnly", true, false, 2},
                                           Protection{"Neither", false, false, 0}),
                         [](const ::testing::TestParamInfo<Protection>& info) { return std::string(info.param.name); });

TEST_F(StreamKdcTest, DataTokenDuringEstablishmentFailsAndClosesTheSocket) {
  const int before = streamtest::openDescriptors() - 2;  // the pair made in SetUp
  peer_ = std::thread([&] {
    Frame f;
    streamtest::readFrame(sv_[1], f);  // hello
    streamtest::readFrame(sv_[1], f);  // the first context token
    streamtest::writeAll(sv_[1], frame(4, "this is no context token"));
  });
  ofw::SecureStream stream{ofw::UniqueFd(sv_[0])};
  try {
    stream.authenticateAsClient(collector(), true, true, false);
    ADD_FAILURE() << "no exception";
  } catch (const ofw::KerberosException& e) {
    // The code is the major status, and the text starts with its text.
    const OM_uint32 major = static_cast<OM_uint32>(e.code());
    EXPECT_TRUE(GSS_ERROR(major));
    EXPECT_EQ(0u, std::string(e.what()).find("Failed to establish GSS/Kerberos context: " +
                                             ofw::stream::gssStatusText(major, GSS_C_GSS_CODE) + ": "))
        << e.what();
  }
  peer_.join();
  close(sv_[1]);
  sv_[1] = -1;
  EXPECT_FALSE(stream.isOpen());
  EXPECT_EQ(before, streamtest::openDescriptors());
}

// The despooler reconnects on this code.
TEST_F(StreamKdcTest, ExchangeAfterTheCredentialExpiredRaisesContextExpired) {
  std::string ccache = kdc->kinit("short.ccache", "3s");
  ASSERT_FALSE(ccache.empty());
  setenv("KRB5CCNAME", ("FILE:" + ccache).c_str(), 1);
  Acceptor peer;
  bool accepted = false;
  peer_ = std::thread([&] {
    accepted = peer.accept(sv_[1]);
    Frame f;
    if (!accepted || !peer.next(sv_[1], f)) return;
    std::string plain;
    int conf;
    peer.unwrap(f.payload, plain, conf);
    streamtest::writeAll(sv_[1], frame(4, peer.wrap("late reply", true)));
  });
  ofw::SecureStream stream{ofw::UniqueFd(sv_[0])};
  stream.authenticateAsClient(collector(), true, true, false);
  sleep(5);
  stream.writeDataBlock("late block");  // wrapping with an expired context is accepted
  try {
    stream.readDataBlock();
    ADD_FAILURE() << "no exception";
  } catch (const ofw::KerberosException& e) {
    EXPECT_EQ(GSS_S_CONTEXT_EXPIRED, static_cast<OM_uint32>(e.code())) << e.what();
  }
  peer_.join();
  EXPECT_TRUE(accepted);
  EXPECT_FALSE(stream.isOpen());
}

}  // namespace
