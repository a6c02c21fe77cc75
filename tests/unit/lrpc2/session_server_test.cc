// Server side of the transport against a raw peer: handshakes byte by byte,
// request checks, signatures, replies, identity and the non-blocking accept.
#include <gtest/gtest.h>

#include <thread>

#include "frames.h"
#include "lrpc2/header.h"
#include "lrpc2/session.h"

using namespace lrpc2test;

namespace {

// Handshakes a server session on p.a with a raw client on p.b.
Server AcceptRaw(FdPair& p, int version, int serverSign = 0, int clientSign = 0,
                 const MsgTable* table = nullptr) {
  EXPECT_TRUE(WriteAll(p.b, Hello(version, clientSign)));
  int st = -1, v = 0;
  Server s(SessionAccept(p.a, p.a, 10, table, serverSign, &st, &v));
  EXPECT_EQ(st, SESSION_OK);
  const size_t replyLength = version == 5 ? 16 : version == 4 ? 8 : 4;
  EXPECT_EQ(ReadN(p.b, replyLength).size(), replyLength);
  return s;
}

Msg Recv(FdPair& p, LRPC2SessionServer* s, int* st, int timeout = 10) {
  return Msg(SessionRecv(p.a, s, timeout, st, 0));
}

FrameShape V(int version) {
  FrameShape f;
  f.version = version;
  return f;
}

}  // namespace

struct HandshakeCase {
  const char* name;
  Bytes hello;
  int serverSign;
  int status;
  Bytes reply;
  int version;
  int signing;  // of an accepted session
  bool closeAfterHello = false;  // else silence after it (1 s)
};

class LRPC2ServerHandshake : public ::testing::TestWithParam<HandshakeCase> {};

TEST_P(LRPC2ServerHandshake, BytesAndOutcome) {
  const HandshakeCase& c = GetParam();
  FdPair p;
  ASSERT_TRUE(WriteAll(p.b, c.hello));
  if (c.closeAfterHello) p.closeB();
  int st = -1, version = -1;
  Server s(SessionAccept(p.a, p.a, 1, nullptr, c.serverSign, &st, &version));
  EXPECT_EQ(st, c.status);
  EXPECT_EQ(s != nullptr, c.status == SESSION_OK);
  EXPECT_EQ(version, c.version);
  EXPECT_EQ(ReadN(p.b, c.reply.size()), c.reply);
  EXPECT_TRUE(NothingPending(p.b));
  if (s) {
    EXPECT_EQ(SessionGetVersion(s.get()), c.version);
    EXPECT_EQ(SessionIsSigning(s.get()), c.signing);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LRPC2ServerHandshake,
    ::testing::Values(
        HandshakeCase{"V2", Hello(2), 0, 0, B().u32(1), 2, 0},
        HandshakeCase{"V3Allowed", Hello(3), 1, 0, B().u32(1), 3, 0},
        HandshakeCase{"V4", Hello(4), 0, 0, HelloReply(4), 4, 0},
        HandshakeCase{"V2Required", Hello(2), 2, 425, B().u32(0), 2, 0},
        HandshakeCase{"V3Required", Hello(3), 2, 425, B().u32(0), 3, 0},
        HandshakeCase{"V4Required", Hello(4), 2, 425, B().u32(0), 4, 0},
        HandshakeCase{"V1", Hello(1), 0, 403, B().u32(0), 1, 0},
        HandshakeCase{"V6", Hello(6), 0, 403, B().u32(0), 6, 0},
        HandshakeCase{"V6Required", Hello(6), 2, 403, B().u32(0), 6, 0},
        HandshakeCase{"V5RequiredRequired", Hello(5, 2), 2, 0, HelloReply(5, 0, 2), 5, 1},
        HandshakeCase{"V5RequiredAllowed", Hello(5, 1), 2, 0, HelloReply(5, 0, 2), 5, 1},
        HandshakeCase{"V5RequiredDisabled", Hello(5, 0), 2, 425, HelloReply(5, 425, 2), 5, 0},
        HandshakeCase{"V5AllowedRequired", Hello(5, 2), 1, 0, HelloReply(5, 0, 1), 5, 1},
        HandshakeCase{"V5AllowedAllowed", Hello(5, 1), 1, 0, HelloReply(5, 0, 1), 5, 1},
        HandshakeCase{"V5AllowedDisabled", Hello(5, 0), 1, 0, HelloReply(5, 0, 1), 5, 0},
        HandshakeCase{"V5DisabledRequired", Hello(5, 2), 0, 426, HelloReply(5, 426, 0), 5, 0},
        HandshakeCase{"V5DisabledAllowed", Hello(5, 1), 0, 0, HelloReply(5, 0, 0), 5, 0},
        HandshakeCase{"V5DisabledDisabled", Hello(5, 0), 0, 0, HelloReply(5, 0, 0), 5, 0},
        HandshakeCase{"V5BadHelloLength", B().u32(5).u16(9).u16(0), 0, 418, HelloReply(5, 418, 0), 5, 0},
        HandshakeCase{"V5BadSigningValue", B().u32(5).u16(8).u16(3), 1, 427, HelloReply(5, 427, 1), 5, 0},
        HandshakeCase{"HalfAVersionThenClosed", B().u16(5), 0, 405, Bytes(), 0, 0, true},
        HandshakeCase{"HelloCutShortThenSilence", B().u32(5).u16(8), 0, 409, Bytes(), 5, 0}),
    [](const ::testing::TestParamInfo<HandshakeCase>& info) { return std::string(info.param.name); });

TEST(LRPC2AcceptStep, FedBytePiecesCompletesLikeAccept) {
  FdPair p;
  SessionAcceptState* a = SessionAcceptBegin(p.a, p.a, 10, nullptr, SIGN_SETTING_ALLOWED);
  ASSERT_NE(a, nullptr);
  LRPC2SessionServer* s = nullptr;
  int st = -1, v = -1;
  EXPECT_EQ(SessionAcceptStep(a, &s, &st, &v), SESSION_ACCEPT_PENDING);
  EXPECT_EQ(st, SESSION_OK);
  const Bytes hello = Hello(5, SIGN_SETTING_REQUIRED);
  for (size_t i = 0; i + 1 < hello.size(); ++i) {
    ASSERT_TRUE(WriteAll(p.b, &hello[i], 1));
    EXPECT_EQ(SessionAcceptStep(a, &s, &st, &v), SESSION_ACCEPT_PENDING) << i;
    EXPECT_EQ(s, nullptr);
    EXPECT_TRUE(NothingPending(p.b));  // no answer before the hello is complete
  }
  ASSERT_TRUE(WriteAll(p.b, &hello.back(), 1));
  EXPECT_EQ(SessionAcceptStep(a, &s, &st, &v), SESSION_ACCEPT_DONE);
  EXPECT_EQ(st, SESSION_OK);
  EXPECT_EQ(v, 5);
  ASSERT_NE(s, nullptr);
  EXPECT_TRUE(SessionIsSigning(s));
  EXPECT_EQ(ReadN(p.b, 16), HelloReply(5, 0, 1));
  // A finished handshake cannot hand out a second session.
  LRPC2SessionServer* again = nullptr;
  EXPECT_EQ(SessionAcceptStep(a, &again, &st, &v), SESSION_ACCEPT_FAILED);
  EXPECT_EQ(again, nullptr);
  SessionAcceptFree(a);
  SessionServerClose(s);
}

TEST(LRPC2AcceptStep, TimesOutWith409) {
  FdPair p;
  SessionAcceptState* a = SessionAcceptBegin(p.a, p.a, 1, nullptr, 0);
  ASSERT_NE(a, nullptr);
  int st = -1;
  EXPECT_EQ(SessionAcceptStep(a, nullptr, &st, nullptr), SESSION_ACCEPT_PENDING);
  EXPECT_GT(SessionAcceptTimeLeftMs(a), 0);
  while (SessionAcceptTimeLeftMs(a) > 0) {
    struct pollfd pf = {p.a, POLLIN, 0};
    poll(&pf, 1, SessionAcceptTimeLeftMs(a));
  }
  EXPECT_EQ(SessionAcceptStep(a, nullptr, &st, nullptr), SESSION_ACCEPT_FAILED);
  EXPECT_EQ(st, SESSION_ERR_TIMEOUT);
  SessionAcceptFree(a);
}

struct RecvCase {
  const char* name;
  int version;
  FrameShape frame;
  Bytes body;
  int status;
};

class LRPC2ServerRecv : public ::testing::TestWithParam<RecvCase> {};

TEST_P(LRPC2ServerRecv, Status) {
  const RecvCase& c = GetParam();
  FdPair p;
  Server s = AcceptRaw(p, c.version);
  ASSERT_NE(s, nullptr);
  FrameShape f = c.frame;
  f.version = c.version;
  ASSERT_TRUE(WriteAll(p.b, Frame(f, c.body)));
  int st = -1;
  Msg m = Recv(p, s.get(), &st);
  EXPECT_EQ(st, c.status);
  EXPECT_EQ(m != nullptr, c.status == SESSION_OK);
}

FrameShape Shape() { return FrameShape(); }
template <class T>
FrameShape With(T FrameShape::*field, T value) {
  FrameShape f;
  f.*field = value;
  return f;
}
FrameShape WithMagic(uint32_t m) { return With(&FrameShape::magic, m); }
FrameShape WithBodyLength(int64_t n) { return With(&FrameShape::bodyLength, n); }
FrameShape WithHeaderLength(uint16_t n) { return With(&FrameShape::headerLength, n); }
FrameShape WithHeaderVersion(uint32_t v) { return With(&FrameShape::headerVersion, v); }

INSTANTIATE_TEST_SUITE_P(
    Cases, LRPC2ServerRecv,
    ::testing::Values(
        RecvCase{"V2OtherByteOrder", 2, WithMagic(0x1280CDAB), PingBody(), 414},
        RecvCase{"V4OtherByteOrder", 4, WithMagic(0x1280CDAB), PingBody(), 414},
        RecvCase{"V5OtherByteOrder", 5, WithMagic(0x1280CDAB), PingBody(), 414},
        RecvCase{"V5BadMagic", 5, WithMagic(0), PingBody(), 414},
        RecvCase{"V2BodyTooLong", 2, WithBodyLength(0x100001), Bytes(), 418},
        RecvCase{"V4BodyTooLong", 4, WithBodyLength(0x100001), Bytes(), 418},
        RecvCase{"V5BodyTooLong", 5, WithBodyLength(0x100001), Bytes(), 418},
        RecvCase{"V5BodyLengthMax32", 5, WithBodyLength(0xFFFFFFFF), Bytes(), 418},
        RecvCase{"V2TotalBelowEight", 2, WithBodyLength(0xFFFFFFFF), Bytes(), 418},  // total 8 + 0xFFFFFFFF = 7
        RecvCase{"V4HeaderLength33", 4, WithHeaderLength(33), PingBody(), 421},
        RecvCase{"V5HeaderLength34", 5, WithHeaderLength(34), PingBody(), 421},
        RecvCase{"V4VersionFive", 4, WithHeaderVersion(5), PingBody(), 404},
        RecvCase{"V5VersionFour", 5, WithHeaderVersion(4), PingBody(), 404},
        RecvCase{"V4EmptyBody", 4, Shape(), Bytes(), 407},
        RecvCase{"V5InvalidBody", 5, Shape(), B().u16(10).u8(0).u8(0), 407},
        RecvCase{"V3TruncatedValue", 3, Shape(), B().u16(10).u8(3).u8(0), 407}),
    [](const ::testing::TestParamInfo<RecvCase>& info) { return std::string(info.param.name); });

class LRPC2ServerMaxBody : public ::testing::TestWithParam<int> {};

TEST_P(LRPC2ServerMaxBody, ExactlyOneMebibyteIsAccepted) {
  FdPair p;
  Server s = AcceptRaw(p, GetParam());
  // type + blob tag + length + payload + end tag = 0x100000
  Bytes body = B().u16(10).u8(6).u32(0x100000 - 8);
  body.resize(body.size() + 0x100000 - 8, 0xAB);
  body.push_back(0);
  ASSERT_EQ(body.size(), 0x100000u);
  const Bytes frame = Frame(V(GetParam()), body);
  std::thread writer([&] { WriteAll(p.b, frame); });
  int st = -1;
  Msg m = Recv(p, s.get(), &st, 60);
  writer.join();
  ASSERT_EQ(st, SESSION_OK);
  EXPECT_EQ(MsgGetBodyLength(m.get()), 0x100000u);
  void* d = nullptr;
  uint32_t n = 0;
  ASSERT_EQ(MsgReadBlob(m.get(), &d, &n), MSG_OK);
  EXPECT_EQ(n, 0x100000u - 8);
  free(d);
}

INSTANTIATE_TEST_SUITE_P(Versions, LRPC2ServerMaxBody, ::testing::Values(2, 4, 5));

// Half a header, or the whole header and part of the body, then silence;
// then the client goes.
TEST(LRPC2ServerRecv, ShortReadTimesOutAndCloseIs405) {
  for (int version : {2, 4, 5}) {
    for (bool inBody : {false, true}) {
      FdPair p;
      Server s = AcceptRaw(p, version);
      const Bytes frame = Frame(V(version), PingBody());
      ASSERT_TRUE(WriteAll(p.b, frame.data(), inBody ? frame.size() - 1 : 5));
      int st = -1;
      EXPECT_EQ(Recv(p, s.get(), &st, 1), nullptr);
      EXPECT_EQ(st, SESSION_ERR_TIMEOUT) << version;
      p.closeB();
      EXPECT_EQ(Recv(p, s.get(), &st, 1), nullptr);
      EXPECT_EQ(st, SESSION_ERR_CLOSED) << version;
    }
  }
}

TEST(LRPC2ServerRecv, ParameterChecks) {
  int st = -1;
  EXPECT_EQ(SessionRecv(0, nullptr, 1, &st, 0), nullptr);
  EXPECT_EQ(st, SESSION_ERR_HANDLE);
  FdPair p;
  Server s = AcceptRaw(p, 4);
  EXPECT_EQ(SessionRecv(p.a, s.get(), 1, &st, 1), nullptr);
  EXPECT_EQ(st, SESSION_ERR_PARAM);
  Msg reply = Completed(10);
  EXPECT_EQ(SessionServerSend(p.a, s.get(), reply.get(), 5), SESSION_ERR_INVALID);  // no request yet
  EXPECT_EQ(SessionServerSend(p.a, nullptr, reply.get(), 5), SESSION_ERR_HANDLE);
}

struct SignCase {
  const char* name;
  int serverSign, clientSign;
  bool sign;
  bool tamper;
  bool async;
  int status;
  bool errorReply;
};

class LRPC2ServerSignature : public ::testing::TestWithParam<SignCase> {};

TEST_P(LRPC2ServerSignature, Verification) {
  const SignCase& c = GetParam();
  FdPair p;
  Server s = AcceptRaw(p, 5, c.serverSign, c.clientSign);
  ASSERT_NE(s, nullptr);
  FrameShape f;
  f.sign = c.sign;
  f.flags = c.async ? 2 : 0;
  f.pid = 9999;
  f.sequence = 0xFFFFFFFF;
  Bytes frame = Frame(f, B().u16(10).u8(3).u32(5).u8(0));
  if (c.tamper) frame[48 + 3] ^= 0x01;  // a value byte of the body
  ASSERT_TRUE(WriteAll(p.b, frame));
  int st = -1;
  Msg m = Recv(p, s.get(), &st);
  EXPECT_EQ(st, c.status);
  if (m) {
    EXPECT_EQ(MsgGetSigChecks(m.get()), c.sign ? 1 : 0);
  }
  if (!c.errorReply) {
    EXPECT_TRUE(NothingPending(p.b));
    return;
  }
  // Header-only error reply: same pid and sequence, status 425, signed when
  // signing is on.
  const Bytes reply = ReadN(p.b, 48);
  ASSERT_EQ(reply.size(), 48u);
  const bool signing = SessionIsSigning(s.get());
  f.sign = signing;
  f.flags = 0;
  f.status = 425;
  f.time = U64At(reply, 22);
  EXPECT_EQ(reply, Frame(f, Bytes()));
  EXPECT_TRUE(NothingPending(p.b));
  // The session goes on: the next good request is served.
  FrameShape good;
  good.sign = signing;
  ASSERT_TRUE(WriteAll(p.b, Frame(good, PingBody())));
  Msg next = Recv(p, s.get(), &st);
  EXPECT_EQ(st, SESSION_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LRPC2ServerSignature,
    ::testing::Values(SignCase{"SignedVerified", 1, 1, true, false, false, 0, false},
                      SignCase{"UnsignedWhileSigning", 2, 2, false, false, false, 428, true},
                      SignCase{"Tampered", 1, 2, true, true, false, 428, true},
                      SignCase{"TamperedAsync", 2, 1, true, true, true, 425, false},
                      SignCase{"UnsignedAsyncWhileSigning", 2, 1, false, false, true, 425, false},
                      SignCase{"SignedWhileOffIsVerified", 0, 0, true, false, false, 0, false},
                      SignCase{"TamperedWhileOff", 1, 0, true, true, false, 428, true},
                      SignCase{"UnsignedWhileOff", 1, 0, false, false, false, 0, false}),
    [](const ::testing::TestParamInfo<SignCase>& info) { return std::string(info.param.name); });

// Version, signing, and the header space the reply reserves (none: the
// header goes in front of the body instead of into the space).
class LRPC2ServerReply : public ::testing::TestWithParam<std::tuple<int, int, uint32_t>> {};

TEST_P(LRPC2ServerReply, HeaderBytes) {
  const int version = std::get<0>(GetParam());
  const int sign = std::get<1>(GetParam());
  FdPair p;
  Server s = AcceptRaw(p, version, sign, sign);
  FrameShape f = V(version);
  f.pid = 0x0102030405060708ull;
  f.sequence = 31337;
  f.sign = version == 5 && sign;
  ASSERT_TRUE(WriteAll(p.b, Frame(f, PingBody())));
  int st = -1;
  Msg req = Recv(p, s.get(), &st);
  ASSERT_EQ(st, SESSION_OK);
  Msg reply(MsgNew(10, 0, nullptr, std::get<2>(GetParam()), &st));
  ASSERT_EQ(MsgWriteString(reply.get(), "pong"), MSG_OK);
  ASSERT_EQ(MsgComplete(reply.get()), MSG_OK);
  const Bytes body = BodyOf(reply.get());
  const uint64_t before = static_cast<uint64_t>(time(nullptr));
  ASSERT_EQ(SessionServerSend(p.a, s.get(), reply.get(), 10), SESSION_OK);
  const uint64_t after = static_cast<uint64_t>(time(nullptr));
  const size_t hl = lrpc2::HeaderLengthOf(version);
  const Bytes got = ReadN(p.b, hl + body.size());
  ASSERT_EQ(got.size(), hl + body.size());
  EXPECT_TRUE(NothingPending(p.b));
  if (version >= 4) {
    f.time = U64At(got, 22);
    EXPECT_GE(f.time, before);
    EXPECT_LE(f.time, after);
  }
  EXPECT_EQ(got, Frame(f, body));
}

INSTANTIATE_TEST_SUITE_P(Versions, LRPC2ServerReply,
                         ::testing::Values(std::make_tuple(2, 0, 48u), std::make_tuple(3, 0, 0u),
                                           std::make_tuple(4, 0, 48u), std::make_tuple(5, 0, 0u),
                                           std::make_tuple(5, 1, 48u)));

TEST(LRPC2ServerReply, NoReplyToAnAsynchronousRequest) {
  const MsgTableEntry entries[] = {{10, "VGPing", MSG_FLAG_DOASYNC}, {20, "VGStop", 3}};
  const MsgTable table = {2, entries};
  FdPair p;
  Server s = AcceptRaw(p, 5, 0, 0, &table);
  FrameShape f;
  f.flags = 2;
  ASSERT_TRUE(WriteAll(p.b, Frame(f, PingBody())));
  int st;
  Msg req = Recv(p, s.get(), &st);
  ASSERT_EQ(st, SESSION_OK);
  int async = 0;
  EXPECT_EQ(MsgReadDoAsync(req.get(), &async), MSG_OK);
  EXPECT_EQ(async, 1);
  Msg reply = Completed(10, &table);
  EXPECT_EQ(SessionServerSend(p.a, s.get(), reply.get(), 10), SESSION_OK);
  EXPECT_TRUE(NothingPending(p.b));
}

// Peer credentials are read on the first request that needs them; the
// peer's pid comes from the version-4 and -5 headers.
TEST(LRPC2ServerIdentity, PeerCredentialsAndPid) {
  for (int version : {3, 4, 5}) {
    FdPair p;
    Server s = AcceptRaw(p, version);
    int uid = 5, gid = 5;
    pid_t pid = 0;
    EXPECT_EQ(SessionProcessIdentity(s.get(), &uid, &gid), SESSION_ERR_IDENTITY);
    EXPECT_EQ(SessionProcessPid(s.get(), &pid), version < 4 ? SESSION_ERR_NOPID : SESSION_ERR_IDENTITY);
    FrameShape f = V(version);
    f.pid = 24680;
    ASSERT_TRUE(WriteAll(p.b, Frame(f, PingBody())));  // VGPing needs no authentication
    int st;
    Msg ping = Recv(p, s.get(), &st);
    ASSERT_EQ(st, SESSION_OK);
    EXPECT_EQ(SessionProcessIdentity(s.get(), &uid, &gid), SESSION_ERR_IDENTITY);
    if (version < 4) {
      EXPECT_EQ(SessionProcessPid(s.get(), &pid), SESSION_ERR_NOPID);
    } else {
      ASSERT_EQ(SessionProcessPid(s.get(), &pid), SESSION_OK);
      EXPECT_EQ(pid, 24680);
    }
    ASSERT_TRUE(WriteAll(p.b, Frame(f, B().u16(20).u8(0))));  // VGStop does
    Msg stop = Recv(p, s.get(), &st);
    ASSERT_EQ(st, SESSION_OK);
    ASSERT_EQ(SessionProcessIdentity(s.get(), &uid, &gid), SESSION_OK);
    EXPECT_EQ(uid, static_cast<int>(getuid()));
    EXPECT_EQ(gid, static_cast<int>(getgid()));
    SessionClearIdentity(s.get());
    EXPECT_EQ(SessionProcessIdentity(s.get(), &uid, &gid), SESSION_ERR_IDENTITY);
  }
  FdPair p;
  Server s = AcceptRaw(p, 2);
  pid_t pid;
  EXPECT_EQ(SessionProcessPid(s.get(), &pid), SESSION_ERR_NOPID);
  EXPECT_EQ(SessionProcessPid(nullptr, &pid), SESSION_ERR_HANDLE);
}

TEST(LRPC2ServerIdentity, UnreadablePeerCredentialsFailWith410) {
  // Pipes have no peer credentials.
  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  ASSERT_TRUE(WriteAll(in[1], Hello(4)));
  int st = -1;
  Server s(SessionAccept(in[0], out[1], 10, nullptr, 0, &st, nullptr));
  ASSERT_EQ(st, SESSION_OK);
  EXPECT_EQ(ReadN(out[0], 8), HelloReply(4));
  const FrameShape f = V(4);
  ASSERT_TRUE(WriteAll(in[1], Frame(f, PingBody())));
  Msg ping(SessionRecv(-1, s.get(), 10, &st, 0));
  EXPECT_EQ(st, SESSION_OK);
  Msg reply = Completed(10);
  EXPECT_EQ(SessionServerSend(-1, s.get(), reply.get(), 10), SESSION_OK);
  EXPECT_EQ(ReadN(out[0], 34 + 3).size(), 37u);
  ASSERT_TRUE(WriteAll(in[1], Frame(f, B().u16(70).u8(0))));  // VGSessionEnd
  Msg end(SessionRecv(-1, s.get(), 10, &st, 0));
  EXPECT_EQ(end, nullptr);
  EXPECT_EQ(st, SESSION_ERR_AUTH);
  int uid = 0, gid = 0;
  EXPECT_EQ(SessionProcessIdentity(s.get(), &uid, &gid), SESSION_ERR_IDENTITY);
  for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
}
