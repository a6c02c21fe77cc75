// Client side of the transport against a raw server: hello bytes, handshake
// replies, request frames and every check made on a reply.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <future>

#include "frames.h"
#include "lrpc2/header.h"
#include "lrpc2/session.h"

using namespace lrpc2test;

namespace {

struct Connected {
  Client client;
  int status = -1;
  Bytes hello;  // as the raw server read it
};

// Connects in a thread while the raw server reads the hello and answers.
Connected ConnectRaw(RawServer& srv, int version, int sign, const Bytes& handshakeReply,
                     bool closeAfterReply = false, const MsgTable* table = nullptr) {
  auto fut = std::async(std::launch::async, [&] {
    int st = -1;
    LRPC2SessionClient* c = SessionConnectWithTimeout(srv.path().c_str(), table, 10, version, sign, &st);
    return std::make_pair(c, st);
  });
  Connected out;
  if (srv.accept() >= 0) {
    out.hello = ReadN(srv.conn(), Hello(version, sign).size());
    WriteAll(srv.conn(), handshakeReply);
    if (closeAfterReply) srv.closeConn();
  }
  auto r = fut.get();
  out.client.reset(r.first);
  out.status = r.second;
  return out;
}

// The request frame the client sent, header and body.
struct Request {
  Bytes header, body;
  Bytes frame() const {
    Bytes all = header;
    all.insert(all.end(), body.begin(), body.end());
    return all;
  }
  // The shape of a correct reply to it: its version, pid and sequence number.
  FrameShape reply(int version) const {
    FrameShape f;
    f.version = version;
    if (version >= 4 && !header.empty()) {
      f.pid = U64At(header, 10);
      f.sequence = U32At(header, 18);
    }
    return f;
  }
};

Request ReadRequest(int fd, int version) {
  Request r;
  r.header = ReadN(fd, lrpc2::HeaderLengthOf(version));
  if (r.header.empty()) return r;
  uint32_t len = version < 4 ? U32At(r.header, 4) - 8 : U32At(r.header, version == 4 ? 30 : 44);
  r.body = ReadN(fd, len);
  return r;
}

// The client's exchange of `request`, run in a thread while the test serves it.
struct Sent {
  Msg reply;
  int status;
};
std::future<Sent> SendAsync(LRPC2SessionClient* c, LRPC2Msg* request, int timeout = 10) {
  return std::async(std::launch::async, [=] {
    int st = -1;
    LRPC2Msg* r = SessionSendWithTimeout(c, request, timeout, &st);
    return Sent{Msg(r), st};
  });
}

}  // namespace

struct HandshakeReplyCase {
  const char* name;
  int version, sign;
  Bytes reply;
  int status;
  int signing;
};

class LRPC2ClientHandshake : public ::testing::TestWithParam<HandshakeReplyCase> {};

// The hello's bytes, and what the client makes of the server's reply.
TEST_P(LRPC2ClientHandshake, Outcome) {
  const HandshakeReplyCase& c = GetParam();
  RawServer srv;
  Connected r = ConnectRaw(srv, c.version, c.sign, c.reply, c.status == -405);
  EXPECT_EQ(r.hello, Hello(c.version, c.sign));
  if (c.status == -405) {
    // The reply was cut short by the server closing: the client sees 405.
    EXPECT_EQ(r.status, SESSION_ERR_CLOSED);
    return;
  }
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.client != nullptr, c.status == SESSION_OK);
  if (r.client) {
    EXPECT_TRUE(SessionIsConnected(r.client.get()));
    EXPECT_EQ(SessionClientVersion(r.client.get()), c.version);
    EXPECT_EQ(SessionClientIsSigning(r.client.get()), c.signing);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LRPC2ClientHandshake,
    ::testing::Values(
        HandshakeReplyCase{"V2", 2, 0, B().u32(1), 0, 0},
        HandshakeReplyCase{"V3", 3, 0, B().u32(1), 0, 0},
        HandshakeReplyCase{"V4", 4, 0, HelloReply(4), 0, 0},
        HandshakeReplyCase{"V5DisabledDisabled", 5, 0, HelloReply(5, 0, 0), 0, 0},
        HandshakeReplyCase{"V5RequiredRequired", 5, 2, HelloReply(5, 0, 2), 0, 1},
        HandshakeReplyCase{"V4Refused", 4, 0, B().u32(0), 407, 0},
        HandshakeReplyCase{"V2Refused", 2, 0, B().u32(0), 407, 0},
        HandshakeReplyCase{"V5Refused", 5, 0, HelloReply(5, 0, 0, 0, 16), 403, 0},
        HandshakeReplyCase{"V5BadLength", 5, 0, HelloReply(5, 0, 0, 1, 15), 418, 0},
        HandshakeReplyCase{"V5Status425", 5, 0, HelloReply(5, 425, 2), 425, 0},
        HandshakeReplyCase{"V5Status426", 5, 2, HelloReply(5, 426, 0), 426, 0},
        HandshakeReplyCase{"V5MirrorRequiredVsDisabled", 5, 2, HelloReply(5, 0, 0), 426, 0},
        HandshakeReplyCase{"V5MirrorDisabledVsRequired", 5, 0, HelloReply(5, 0, 2), 425, 0},
        HandshakeReplyCase{"V5BadServerSetting", 5, 1, HelloReply(5, 0, 7), 403, 0},
        HandshakeReplyCase{"V5AllowedAllowed", 5, 1, HelloReply(5, 0, 1), 0, 1},
        HandshakeReplyCase{"V5RequiredAllowed", 5, 2, HelloReply(5, 0, 1), 0, 1},
        HandshakeReplyCase{"V5AllowedDisabled", 5, 1, HelloReply(5, 0, 0), 0, 0},
        HandshakeReplyCase{"V5DisabledAllowed", 5, 0, HelloReply(5, 0, 1), 0, 0},
        HandshakeReplyCase{"V5AllowedRequired", 5, 1, HelloReply(5, 0, 2), 0, 1},
        HandshakeReplyCase{"V5Short", 5, 1, HelloReply(4), -405, 0}),
    [](const ::testing::TestParamInfo<HandshakeReplyCase>& info) {
      return std::string(info.param.name);
    });

TEST(LRPC2ClientConnect, Errors) {
  TempDir dir;
  const std::string stale = dir.file("stale");  // a socket nobody listens on any more
  close(Listen(stale));
  struct Case {
    std::string path;
    int timeout, version, sign, status;
  };
  for (const Case& c : {Case{"relative/sock", 5, 5, 0, SESSION_ERR_NOPATH},
                        Case{dir.file("missing"), 5, 5, 0, SESSION_ERR_NOPATH},
                        Case{"/" + std::string(200, 'x'), 5, 5, 0, SESSION_ERR_NOPATH},
                        Case{stale, 5, 5, 0, SESSION_ERR_OPEN}, Case{stale, 0, 5, 0, SESSION_ERR_NEEDTIMEOUT},
                        Case{stale, 5, 6, 0, SESSION_ERR_PARAM}, Case{stale, 5, 5, 3, SESSION_ERR_PARAM}}) {
    int st = -1;
    EXPECT_EQ(SessionConnectWithTimeout(c.path.c_str(), nullptr, c.timeout, c.version, c.sign, &st), nullptr);
    EXPECT_EQ(st, c.status) << c.path << " " << c.timeout << " " << c.version << " " << c.sign;
  }
  int st = -1;
  EXPECT_EQ(SessionConnect(nullptr, nullptr, 5, 0, &st), nullptr);
  EXPECT_EQ(st, SESSION_ERR_NOPATH);
}

TEST(LRPC2ClientConnect, SilentServerTimesOut) {
  RawServer srv;
  auto fut = std::async(std::launch::async, [&] {
    int st = -1;
    LRPC2SessionClient* c = SessionConnectWithTimeout(srv.path().c_str(), nullptr, 1, 5, 0, &st);
    SessionClientClose(c);
    return st;
  });
  ASSERT_GE(srv.accept(), 0);
  EXPECT_EQ(fut.get(), SESSION_ERR_TIMEOUT);
}

TEST(LRPC2ClientRequest, FramesAndSequenceNumbers) {
  for (int version : {2, 3, 4, 5}) {
    for (int sign : {0, 1}) {
      if (version != 5 && sign) continue;
      RawServer srv;
      Connected c = ConnectRaw(srv, version, sign, HelloReply(version, 0, static_cast<uint16_t>(sign)));
      ASSERT_EQ(c.status, SESSION_OK);
      FrameShape f;
      f.version = version;
      f.pid = static_cast<uint64_t>(getpid());
      f.sign = sign != 0;
      for (int i = 0; i < 3; ++i) {
        Msg req(NewMsg(MsgType::VGQueryRunlevel));
        MsgWriteUInt32(req.get(), static_cast<uint32_t>(i));
        ASSERT_EQ(MsgComplete(req.get()), MSG_OK);
        const uint64_t before = static_cast<uint64_t>(time(nullptr));
        auto fut = SendAsync(c.client.get(), req.get());
        Request got = ReadRequest(srv.conn(), version);
        const uint64_t after = static_cast<uint64_t>(time(nullptr));
        if (version >= 4) {
          if (i == 0) f.sequence = U32At(got.header, 18);  // from any start, one more per exchange
          f.time = U64At(got.header, 22);
          EXPECT_GE(f.time, before);
          EXPECT_LE(f.time, after);
        }
        EXPECT_EQ(got.frame(), Frame(f, BodyOf(req.get()))) << "version " << version << " exchange " << i;
        ASSERT_TRUE(WriteAll(srv.conn(), Frame(f, B().u16(610).u8(3).u32(100 + i).u8(0))));
        Sent r = fut.get();
        ASSERT_EQ(r.status, SESSION_OK) << version;
        uint32_t v = 0;
        ASSERT_EQ(MsgReadUInt32(r.reply.get(), &v), MSG_OK);
        EXPECT_EQ(v, static_cast<uint32_t>(100 + i));
        EXPECT_EQ(MsgGetSigChecks(r.reply.get()), version == 5 && sign ? 1 : 0);
        ++f.sequence;
      }
    }
  }
}

struct ReplyCase {
  const char* name;
  int version, sign;
  std::function<void(FrameShape&, Bytes&)> edit;  // on a correct reply
  int status;
  bool stillConnected;
  bool tamper = false;
};

class LRPC2ClientReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(LRPC2ClientReply, Checks) {
  const ReplyCase& c = GetParam();
  RawServer srv;
  Connected conn = ConnectRaw(srv, c.version, c.sign, HelloReply(c.version, 0, static_cast<uint16_t>(c.sign)));
  ASSERT_EQ(conn.status, SESSION_OK);
  Msg req = Completed(MsgType::VGPing);
  auto fut = SendAsync(conn.client.get(), req.get());
  Request got = ReadRequest(srv.conn(), c.version);
  ASSERT_FALSE(got.header.empty());
  FrameShape f = got.reply(c.version);
  f.sign = c.version == 5 && c.sign;
  Bytes body = PingBody();
  c.edit(f, body);
  Bytes frame = Frame(f, body);
  if (c.tamper) frame[frame.size() - 3] ^= 0x01;
  ASSERT_TRUE(WriteAll(srv.conn(), frame));
  Sent r = fut.get();
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.reply != nullptr, c.status == SESSION_OK);
  EXPECT_EQ(SessionIsConnected(conn.client.get()) != 0, c.stillConnected);
}

void Keep(FrameShape&, Bytes&) {}
void TooLong(FrameShape& f, Bytes& b) {
  f.bodyLength = 0x100001;
  b.clear();
}
template <uint32_t kStatus>
void ErrorStatus(FrameShape& f, Bytes& b) {
  f.status = kStatus;
  b.clear();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LRPC2ClientReply,
    ::testing::Values(
        ReplyCase{"V5SequenceMismatch", 5, 0, [](FrameShape& f, Bytes&) { ++f.sequence; }, 423, false},
        ReplyCase{"V4SequenceMismatch", 4, 0, [](FrameShape& f, Bytes&) { f.sequence ^= 0x10000; }, 423, false},
        ReplyCase{"V5PidMismatch", 5, 0, [](FrameShape& f, Bytes&) { ++f.pid; }, 422, false},
        ReplyCase{"V5OtherByteOrder", 5, 0, [](FrameShape& f, Bytes&) { f.magic = 0x1280CDAB; }, 414, false},
        ReplyCase{"V2OtherByteOrder", 2, 0, [](FrameShape& f, Bytes&) { f.magic = 0x1280CDAB; }, 414, false},
        ReplyCase{"V5HeaderLength", 5, 0, [](FrameShape& f, Bytes&) { f.headerLength = 47; }, 421, false},
        ReplyCase{"V4Version", 4, 0, [](FrameShape& f, Bytes&) { f.headerVersion = 5; }, 404, false},
        ReplyCase{"V5BodyTooLong", 5, 0, TooLong, 418, false},
        ReplyCase{"V2BodyTooLong", 2, 0, TooLong, 418, false},
        ReplyCase{"V5ErrorStatus425", 5, 1, ErrorStatus<425>, 425, false},
        ReplyCase{"V5ErrorStatus410", 5, 0, ErrorStatus<410>, 410, true},
        ReplyCase{"V5UnsignedWhileSigning", 5, 1, [](FrameShape& f, Bytes&) { f.sign = false; }, 425, false},
        ReplyCase{"V5TamperedSignature", 5, 1, Keep, 425, false, true},
        ReplyCase{"V5ZeroBody", 5, 0, [](FrameShape&, Bytes& b) { b.clear(); }, 418, true},
        ReplyCase{"V4InvalidBody", 4, 0, [](FrameShape&, Bytes& b) { b = B().u16(10).u8(11).u8(0); }, 407, true},
        ReplyCase{"V5InvalidBody", 5, 1, [](FrameShape&, Bytes& b) { b = B().u16(10).u8(0).u8(0); }, 407, true}),
    [](const ::testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST(LRPC2ClientRequest, SilentServerTimesOutAndClosedServerIs405) {
  RawServer srv;
  Connected c = ConnectRaw(srv, 5, 0, HelloReply(5));
  ASSERT_EQ(c.status, SESSION_OK);
  Msg req = Completed(MsgType::VGPing);
  int st = -1;
  EXPECT_EQ(SessionSendWithTimeout(c.client.get(), req.get(), 1, &st), nullptr);
  EXPECT_EQ(st, SESSION_ERR_TIMEOUT);
  EXPECT_FALSE(SessionIsConnected(c.client.get()));
  EXPECT_EQ(SessionSendWithTimeout(c.client.get(), req.get(), 1, &st), nullptr);
  EXPECT_EQ(st, SESSION_ERR_CLOSED);

  RawServer other;
  Connected d = ConnectRaw(other, 4, 0, HelloReply(4));
  ASSERT_EQ(d.status, SESSION_OK);
  other.closeConn();
  EXPECT_EQ(SessionSendWithTimeout(d.client.get(), req.get(), 5, &st), nullptr);
  EXPECT_EQ(st, SESSION_ERR_CLOSED);
  EXPECT_EQ(SessionSendWithTimeout(d.client.get(), req.get(), 0, &st), nullptr);
  EXPECT_EQ(st, SESSION_ERR_NEEDTIMEOUT);
  EXPECT_EQ(SessionSendWithTimeout(nullptr, req.get(), 5, &st), nullptr);
  EXPECT_EQ(st, SESSION_ERR_HANDLE);
}

TEST(LRPC2ClientRequest, IncompleteRequestIsRefused) {
  RawServer srv;
  Connected c = ConnectRaw(srv, 5, 0, HelloReply(5));
  Msg req(NewMsg(MsgType::VGPing));
  int st = -1;
  EXPECT_EQ(SessionSendWithTimeout(c.client.get(), req.get(), 5, &st), nullptr);
  EXPECT_EQ(st, SESSION_ERR_INVALID);
  EXPECT_TRUE(SessionIsConnected(c.client.get()));
  EXPECT_TRUE(NothingPending(srv.conn()));
}

TEST(LRPC2ClientRequest, AsynchronousRequestReadsNoReply) {
  const MsgTableEntry entries[] = {{10, "VGPing", MSG_FLAG_DOASYNC}, {610, "VGQueryRunlevel", 0}};
  const MsgTable table = {2, entries};
  RawServer srv;
  Connected c = ConnectRaw(srv, 5, 0, HelloReply(5), false, &table);
  ASSERT_EQ(c.status, SESSION_OK);
  Msg ping = Completed(10, &table);
  int st = -1;
  EXPECT_EQ(SessionSendWithTimeout(c.client.get(), ping.get(), 5, &st), nullptr);
  EXPECT_EQ(st, SESSION_OK);
  Request async = ReadRequest(srv.conn(), 5);
  EXPECT_EQ(U16At(async.header, 30), 2);
  // The next request carries the next sequence number.
  Msg q = Completed(610, &table);
  auto next = SendAsync(c.client.get(), q.get());
  Request sync = ReadRequest(srv.conn(), 5);
  EXPECT_EQ(U16At(sync.header, 30), 0);
  EXPECT_EQ(U32At(sync.header, 18), U32At(async.header, 18) + 1);
  WriteAll(srv.conn(), Frame(sync.reply(5), B().u16(610).u8(0)));
  EXPECT_EQ(next.get().status, SESSION_OK);
}

TEST(LRPC2ClientRequest, AnswersProcessAuthChallenge2) {
  RawServer srv;
  Connected c = ConnectRaw(srv, 5, 0, HelloReply(5));
  ASSERT_EQ(c.status, SESSION_OK);
  Msg req = Completed(MsgType::VGStop);
  auto fut = SendAsync(c.client.get(), req.get());
  const FrameShape f = ReadRequest(srv.conn(), 5).reply(5);
  ASSERT_TRUE(WriteAll(srv.conn(), Frame(f, B().u16(3).u8(0))));
  // The client answers at once with an empty message of the same type.
  Request answer = ReadRequest(srv.conn(), 5);
  EXPECT_EQ(answer.body, Bytes(B().u16(3).u8(0)));
  EXPECT_EQ(U32At(answer.header, 18), f.sequence);
  ASSERT_TRUE(WriteAll(srv.conn(), Frame(f, B().u16(20).u8(1).u8(1).u8(0))));
  Sent r = fut.get();
  ASSERT_EQ(r.status, SESSION_OK);
  uint32_t type = 0;
  MsgReadMsgType(r.reply.get(), &type);
  EXPECT_EQ(type, 20u);
}

TEST(LRPC2ClientRequest, EndlessAuthenticationRoundsAreCut) {
  RawServer srv;
  Connected c = ConnectRaw(srv, 4, 0, HelloReply(4));
  Msg req = Completed(MsgType::VGStop);
  auto fut = SendAsync(c.client.get(), req.get(), 20);
  for (;;) {
    Request got = ReadRequest(srv.conn(), 4);
    if (got.header.empty()) break;  // the client gave up and closed
    if (!WriteAll(srv.conn(), Frame(got.reply(4), B().u16(3).u8(0)))) break;
  }
  EXPECT_EQ(fut.get().status, SESSION_ERR_AUTH);
}
