// The collector connection: refusals before any network activity, targets,
// records and ping bodies; then against a real KDC a hand-made peer that
// records the plain packets (byte-exact channel opening, bad replies) and
// vgcollector with its fault switches (busy, refused audit-trail channel,
// refused pings, lists with a broken first collector, no descriptor leaks).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <fstream>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "meridia/packet.h"
#include "ofw/capi/dirsettings.h"
#include "ofw/config/properties.h"
#include "ovgfw/secure_connection.h"
#include "support/kdc_fixture.h"
#include "support/vgcollector_run.h"
#include "unit/collector/wire_bytes.h"
#include "unit/stream/stream_peer.h"

using ovgfw::OVGMessage;
using ovgfw::SecureConnection;
using wiretest::hex;
using wiretest::thrown;
using wiretest::u16;
using wiretest::u32;
using wiretest::u64;

namespace {

ofw::UniqueFd listenLoopback(int& port) {
  ofw::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(fd.get(), 8);
  getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// Whether a client connected to a listener nobody accepts from.
bool contacted(const ofw::UniqueFd& listener) {
  pollfd p = {listener.get(), POLLIN, 0};
  return poll(&p, 1, 100) == 1;
}

TEST(ParseTarget, PrincipalIsEverythingAfterTheSecondColon) {
  std::string principal, host;
  int port = 0;
  SecureConnection::parseTarget("h:5063:http:vgcollector/c1", principal, host, port);
  EXPECT_EQ("h|5063|http:vgcollector/c1", host + "|" + std::to_string(port) + "|" + principal);
  SecureConnection::parseTarget("h:65536:p", principal, host, port);
  EXPECT_EQ(-1, port);
}

// Refusals that must happen before the collector is contacted.
struct RefusalCase {
  const char* name;
  bool signedOn, sealedOn;
  const char* target;  // nullptr: the listener's
  const char* error;
};

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, BeforeAnyNetworkActivity) {
  const RefusalCase& c = GetParam();
  int port = 0;
  ofw::UniqueFd listener = listenLoopback(port);
  SecureConnection conn;
  conn.setSigned(c.signedOn);
  conn.setSealed(c.sealedOn);
  const std::string target = c.target ? c.target : "127.0.0.1:" + std::to_string(port) + ":p";
  const std::string error = thrown([&] { conn.connectToCollector(target, false); });
  EXPECT_EQ(std::string("OVGException: ") + c.error, error);
  EXPECT_FALSE(contacted(listener));
  EXPECT_FALSE(conn.isConnected());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusal,
    ::testing::Values(
        RefusalCase{"SealWithoutSign", false, true, nullptr,
                    "Invalid connection configuration.  Signing must be set if sealing."},
        RefusalCase{"HostAndPortOnly", true, true, "127.0.0.1:5063", "SCP format is incorrect: 127.0.0.1:5063"},
        RefusalCase{"BadPort", true, true, "127.0.0.1:port:p",
                    "Invalid target values, principal: p host: 127.0.0.1 port: -1"},
        RefusalCase{"Empty", true, true, "", "Cannot connect to an empty target"}),
    [](const ::testing::TestParamInfo<RefusalCase>& i) { return std::string(i.param.name); });

TEST(OffLimits, TellsTheSecondsLeftThenTriesAgainOnceTheyPassed) {
  int port = 0;
  ofw::UniqueFd listener = listenLoopback(port);
  SecureConnection conn;
  const std::string target = "127.0.0.1:" + std::to_string(port) + ":p";
  conn.markCollectorOffLimits(target, 300);
  const std::string error = thrown([&] { conn.connectToCollector(target, false); });
  EXPECT_TRUE(error == "OVGException: SCP: " + target + " is avoided. Reconsider it after 300 seconds." ||
              error == "OVGException: SCP: " + target + " is avoided. Reconsider it after 299 seconds.")
      << error;
  // Upper case names the same record.
  std::string upper = target;
  for (char& ch : upper) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  conn.markCollectorOffLimits(upper, -1);
  // The deadline passed: the collector is contacted (and the TCP connect is
  // accepted by the backlog; the machine credential is then missing).
  ofw::Props().loadFromString("machine.creds = /nonexistent/ccache\n");
  EXPECT_NE("", thrown([&] { conn.connectToCollector(target, false); }));
  EXPECT_TRUE(contacted(listener));
  EXPECT_EQ(0, conn.getConnectionInfo(target)->offLimitsUntil);
  ofw::Props().loadFromString("");
}

ovgfw::SessionPingPayload payload() {
  ovgfw::SessionPingPayload p;
  p.updateInterval = 1200;
  p.state = 9;
  p.stateDescription = "Running";
  p.startupTime = {1700000000, 250};
  p.upTime = 36000000000;  // one hour in 100-ns units
  p.agentVersion = "3.7.0.172";
  p.hostname = "agent.vgd.test";
  p.sessionOfflineStoreSize = 5000000000;
  return p;
}

std::string str(const std::string& s) { return u32(s.size()) + s; }

TEST(SessionPing, BodiesOfVersionsOneToThreeOnTheWire) {
  const std::string v1 = "\x01" + u32(1200) + u32(9) + str("Running") + u32(1700000000) + u32(250);
  const std::string v2 = "\x02" + v1.substr(1) + u64(36000000000);
  const std::string v3 = "\x03" + v2.substr(1) + str("3.7.0.172") + str("agent.vgd.test");
  EXPECT_EQ(wiretest::hex(v1), wiretest::hex(ovgfw::sessionPingBody(payload(), 1)));
  EXPECT_EQ(wiretest::hex(v2), wiretest::hex(ovgfw::sessionPingBody(payload(), 2)));
  EXPECT_EQ(wiretest::hex(v3), wiretest::hex(ovgfw::sessionPingBody(payload(), 3)));
  EXPECT_EQ("OVGException: Ping packet version unknown: 5.", thrown([] { ovgfw::sessionPingBody(payload(), 5); }));
}

TEST(SessionPing, VersionFourCarriesTheJsonMembersInOrder) {
  const std::string body = ovgfw::sessionPingBody(payload(), 4);
  ASSERT_EQ('\x04', body[0]);
  const std::string json = body.substr(5);
  ASSERT_EQ(u32(json.size()), body.substr(1, 4));
  rapidjson::Document d;
  ASSERT_FALSE(d.Parse(json.c_str()).HasParseError()) << json;
  std::string names;
  for (auto m = d.MemberBegin(); m != d.MemberEnd(); ++m) names += std::string(m->name.GetString()) + " ";
  EXPECT_EQ("UpdateInterval State StateDescription StartupTime UpTime AgentVersion Hostname "
            "SessionOfflineStoreSize AuditTrailOfflineStoreSize FreeDiskSpace Site SessionAuditing "
            "DeploymentType AdvancedMonitoring DespoolRate FbSessionAuditing ",
            names);
  EXPECT_EQ(1700000000, d["StartupTime"].GetInt64());
  EXPECT_EQ(36000000000, d["UpTime"].GetInt64());
  EXPECT_EQ(5000000000, d["SessionOfflineStoreSize"].GetInt64());
  EXPECT_EQ(json.find(' '), std::string::npos);  // compact
}

// A collector made by hand: accepts one connection and its context (keys of
// KRB5_KTNAME), records every data block unwrapped and answers it with what
// `answer` returns (nothing for an empty string), sealed. The one-byte block
// that opens the conversation gets no answer.
class Peer {
 public:
  using Answer = std::function<std::string(const std::string& block)>;
  explicit Peer(Answer answer) : listener_(listenLoopback(port_)) {
    thread_ = std::thread([this, answer] {
      pollfd p = {listener_.get(), POLLIN, 0};
      if (poll(&p, 1, 20000) != 1) return;
      ofw::UniqueFd fd(accept(listener_.get(), nullptr, nullptr));
      timeval tv = {10, 0};  // a client that never closes ends the peer too
      setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      streamtest::Acceptor acceptor;
      if (!acceptor.accept(fd.get())) return;
      streamtest::Frame f;
      while (acceptor.next(fd.get(), f)) {
        std::string plain;
        int conf = 0;
        acceptor.unwrap(f.payload, plain, conf);
        blocks.push_back(plain);
        const std::string reply = plain.size() == 1 ? std::string() : answer(plain);
        if (!reply.empty()) streamtest::writeAll(fd.get(), streamtest::frame(4, acceptor.wrap(reply, true)));
      }
    });
  }
  ~Peer() { join(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  int port() const { return port_; }

  std::vector<std::string> blocks;

 private:
  int port_ = 0;
  ofw::UniqueFd listener_;
  std::thread thread_;
};

// A reply packet on the request's channel around `body`.
std::string replyTo(const std::string& request, const std::string& body) {
  meridia::Packet req(request, true, false);
  meridia::Packet reply(body, false, true);
  reply.setChannel(req.getChannel());
  return reply.getData();
}

std::string ackFor(const std::string& request) {
  OVGMessage ack(OVGMessage::TYPE_ACK, 0);
  ack.writeUInt64(0);
  const std::string m = ack.serialize();
  return replyTo(request, u32(m.size()) + m);
}

// The usual collector: control commands answered by their first byte,
// session messages by an acknowledgement.
std::string answerAll(const std::string& block) {
  if (meridia::Packet(block, true, false).getChannel().isNull()) return replyTo(block, block.substr(21, 1));
  return ackFor(block);
}

std::string guidOnWire(const std::string& text) {
  const auto ms = ofw::Guid::fromString(text).getMSValue();
  return std::string(ms.begin(), ms.end());
}

class ConnectionKdcTest : public testkdc::WithKdc<> {
 protected:
  void SetUp() override {
    WithKdc::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    prefix_ = kdc->dir() + "/kset.";
    ofw::setDirectorySetting("zone", "00112233445566778899AABBCCDDEEFF", prefix_);
    ofw::setDirectorySetting("host", "agent.vgd.test", prefix_);
    ofw::Props().loadFromString("machine.creds = " + kdc->env("KRB5CCNAME") +
                                "\nvgd.collector.connect.timeout = 2\n");
  }
  void TearDown() override { ofw::Props().loadFromString(""); }
  std::string target(int port, const std::string& principal = "") const {
    return "127.0.0.1:" + std::to_string(port) + ":" + (principal.empty() ? kdc->env("KDC_COLLECTOR1") : principal);
  }
  std::string prefix_;
};

TEST_F(ConnectionKdcTest, ChannelOpeningPacketsOnTheWireWithTheMachineCredential) {
  // The credential comes from machine.creds; the environment is neither used nor changed.
  setenv("KRB5CCNAME", "/nonexistent/ccache", 1);
  Peer peer(answerAll);
  {
    SecureConnection conn(prefix_);
    conn.connectToCollector(target(peer.port()), false);
    EXPECT_TRUE(conn.isConnected());
    EXPECT_TRUE(conn.isATConnected());
    EXPECT_STREQ("/nonexistent/ccache", getenv("KRB5CCNAME"));
    EXPECT_EQ("OVGException: Cannot change connection flags while connected", thrown([&] { conn.setSealed(false); }));
    ovgfw::OVGRequestMessage m(OVGMessage::TYPE_SESSION_DATA, 9);
    m.writeByte(1);
    EXPECT_EQ(OVGMessage::TYPE_ACK, conn.sendMessageGetResponse(m).getType());
    conn.disconnect();
    conn.setSealed(false);  // allowed again
  }
  peer.join();
  const auto& b = peer.blocks;
  ASSERT_EQ(6u, b.size());
  const std::string zeros(16, '\0');
  EXPECT_EQ("02", hex(b[0]));
  EXPECT_EQ(hex(u32(19) + "\x01" + zeros + "\x06\x02"), hex(b[1]));
  ASSERT_EQ(54u, b[2].size());
  const std::string session = b[2].substr(38, 16);
  EXPECT_EQ(hex(u32(50) + "\x01" + zeros + "\x02" + guidOnWire("B839418A-75A5-4a2c-AEC9-6039E6043A59") + session),
            hex(b[2]));
  EXPECT_NE(zeros, session);
  const std::string request = u16(0) + u64(0) + u16(1) + "\x01" + wiretest::kGuidTextOrder + u32(14) + "agent.vgd.test" +
                              u32(18) + "OrvaneVG 3.7.0-172";
  EXPECT_EQ(hex(u32(17 + 4 + request.size()) + "\x01" + session + u32(request.size()) + request), hex(b[3]));
  ASSERT_EQ(71u, b[4].size());
  const std::string at = b[4].substr(38, 16);
  EXPECT_EQ(hex(u32(67) + "\x01" + zeros + "\x02" + guidOnWire("9EB91FEA-BE61-45e7-A13D-0A0F8DD0D366") + at + "\x01" +
                at),
            hex(b[4]));
  EXPECT_NE(session, at);
  EXPECT_EQ(session, b[5].substr(5, 16));
}

// Bad replies: refused, the connection closed, no descriptor left behind.
struct BadReplyCase {
  const char* name;
  std::function<std::string(const std::string&)> answer;
  const char* error;
};
void PrintTo(const BadReplyCase& c, std::ostream* os) { *os << c.name; }

class BadReply : public ConnectionKdcTest, public ::testing::WithParamInterface<BadReplyCase> {};

TEST_P(BadReply, IsRefusedAndLeavesNoDescriptor) {
  SecureConnection conn(prefix_);
  const int before = streamtest::openDescriptors();
  {
    Peer peer(GetParam().answer);
    EXPECT_EQ(GetParam().error, thrown([&] { conn.connectToCollector(target(peer.port()), false); }));
    EXPECT_FALSE(conn.isConnected());
  }
  // Counted while the connection object lives on.
  EXPECT_EQ(before, streamtest::openDescriptors());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadReply,
    ::testing::Values(
        BadReplyCase{"LengthFieldDisagrees",
                     [](const std::string& b) {
                       std::string r = replyTo(b, "\x06");
                       r[0] = static_cast<char>(r[0] + 1);
                       return r;
                     },
                     "OVGException: Malformed reply from the collector: Received packet's length field 19 does "
                     "not match its 22 bytes"},
        BadReplyCase{"StringCountBeyondTheBytes",
                     [](const std::string& b) {
                       if (meridia::Packet(b, true, false).getChannel().isNull())
                         return replyTo(b, b.substr(21, 1));
                       return replyTo(b, u32(1000) + std::string(20, 'x'));
                     },
                     "OVGException: Malformed reply from the collector: ByteSequenceModeler can't read beyond the "
                     "received data"},
        BadReplyCase{"ErrorReportCut",
                     [](const std::string& b) {
                       std::string r = replyTo(b, u32(1) + u32(50));
                       r[4] = meridia::Packet::FLAG_ERROR_REPORT;
                       return r;
                     },
                     "OVGException: Malformed reply from the collector: ByteSequenceModeler can't read beyond the "
                     "received data"}),
    [](const ::testing::TestParamInfo<BadReplyCase>& i) { return std::string(i.param.name); });

// vgcollector run with fault switches.
class Collector {
 public:
  Collector(const std::string& dir, const std::string& name, const std::vector<std::string>& args) {
    out_ = dir + "/" + name + ".jsonl";
    pid_ = testkdc::startVgcollector(out_, dir + "/" + name + ".port", args, port);
  }
  ~Collector() { stop(); }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // Stops the collector; its lines of `unit`.
  std::vector<std::string> lines(const std::string& unit) {
    stop();
    std::vector<std::string> found;
    std::ifstream in(out_);
    std::string line;
    while (std::getline(in, line))
      if (line.find("\"unit\":\"" + unit + "\"") != std::string::npos) found.push_back(line);
    return found;
  }
  int port = 0;

 private:
  std::string out_;
  pid_t pid_ = -1;
};

TEST_F(ConnectionKdcTest, BusyCollectorAtChannelOpenLeavesTheConnectionClosed) {
  Collector c(kdc->dir(), "busy", {"--exception", "0:2"});
  ASSERT_GT(c.port, 0);
  SecureConnection conn(prefix_);
  EXPECT_EQ("OVGException: Server 127.0.0.1 is too busy to accept this connection.",
            thrown([&] { conn.connectToCollector(target(c.port), false); }));
  EXPECT_FALSE(conn.isConnected());
  EXPECT_FALSE(conn.isATConnected());
}

TEST_F(ConnectionKdcTest, RefusedAuditTrailChannelLeavesSessionMessagesFlowing) {
  Collector c(kdc->dir(), "refuse-at", {"--refuse-audit-trail"});
  ASSERT_GT(c.port, 0);
  SecureConnection conn(prefix_);
  conn.connectToCollector(target(c.port), false);
  EXPECT_TRUE(conn.isConnected());
  EXPECT_FALSE(conn.isATConnected());
  ovgfw::OVGRequestMessage m(OVGMessage::TYPE_SESSION_DATA, 11);
  m.writeGUID(ofw::Guid::generate());
  m.writeTimestamp();
  m.writeInt32(2);
  m.writeString("data");
  ovgfw::OVGResponseMessage r = conn.sendMessageGetResponse(m);
  EXPECT_EQ(OVGMessage::TYPE_ACK, r.getType());
  EXPECT_EQ(11u, r.readUInt64());
  ovgfw::ATMessage at;
  at.writeByte(2);
  EXPECT_EQ("OVGException: Can't send a audit trail message when not connected",
            thrown([&] { conn.sendATMessage(at); }));
}

TEST_F(ConnectionKdcTest, PingRefusedAtVersionFourIsSentAsVersionThreeInTheSameCall) {
  Collector c(kdc->dir(), "refuse-ping", {"--refuse-ping", "4"});
  ASSERT_GT(c.port, 0);
  SecureConnection conn(prefix_);
  conn.connectToCollector(target(c.port), false);
  ovgfw::SessionPingPayload p;
  p.state = 9;
  p.stateDescription = "Running";
  conn.sessionPing(p, 4);
  EXPECT_TRUE(conn.isConnected());
  conn.disconnect();
  const auto pings = c.lines("ping");
  ASSERT_EQ(2u, pings.size());
  EXPECT_NE(std::string::npos, pings[0].find("\"version\":4")) << pings[0];
  EXPECT_NE(std::string::npos, pings[0].find("\"refused\":true")) << pings[0];
  EXPECT_NE(std::string::npos, pings[1].find("\"version\":3")) << pings[1];
  EXPECT_NE(std::string::npos, pings[1].find("\"refused\":false")) << pings[1];
}

// A list whose first collector is broken connects to the second.
struct BrokenFirst {
  const char* name;
  bool stalls;  // else its principal is unknown to the KDC
};
void PrintTo(const BrokenFirst& c, std::ostream* os) { *os << c.name; }

class BrokenFirstCollector : public ConnectionKdcTest, public ::testing::WithParamInterface<BrokenFirst> {};

TEST_P(BrokenFirstCollector, TheSecondIsUsed) {
  Collector good(kdc->dir(), GetParam().name, {});
  ASSERT_GT(good.port, 0);
  int stallPort = 0;
  ofw::UniqueFd stall = listenLoopback(stallPort);  // accepts by its backlog, never answers
  const std::string first = GetParam().stalls ? target(stallPort) : target(good.port, "vgcollector/unknown.vgd.test@VGD.TEST");
  const std::string second = target(good.port, kdc->env("KDC_COLLECTOR2"));
  SecureConnection conn(prefix_);
  conn.setTimeouts(1, 1);
  conn.connectToCollectorFromList({first, second});
  EXPECT_TRUE(conn.isConnected());
  EXPECT_EQ(second, conn.getTarget());
  EXPECT_NE("", conn.getConnectionInfo(first)->lastConnectError);
  EXPECT_NE(0, conn.getConnectionInfo(second)->lastConnected);
}

INSTANTIATE_TEST_SUITE_P(Cases, BrokenFirstCollector,
                         ::testing::Values(BrokenFirst{"Stalls", true}, BrokenFirst{"UnknownPrincipal", false}),
                         [](const ::testing::TestParamInfo<BrokenFirst>& i) { return std::string(i.param.name); });

TEST_F(ConnectionKdcTest, HundredFailedAttemptsLeaveNoDescriptor) {
  Collector c(kdc->dir(), "leaks", {});
  ASSERT_GT(c.port, 0);
  int closedPort = 0;
  listenLoopback(closedPort);  // closed again at once: connects are refused
  SecureConnection conn(prefix_);
  const int before = streamtest::openDescriptors();
  for (int i = 0; i < 100; ++i) {
    const std::string t = i % 2 ? target(closedPort) : target(c.port, "vgcollector/unknown.vgd.test@VGD.TEST");
    EXPECT_NE("", thrown([&] { conn.connectToCollector(t, false); }));
    ASSERT_EQ(before, streamtest::openDescriptors()) << "after attempt " << i;
  }
  EXPECT_EQ("OVGException: Collector list is exhausted, but no collector is connected.",
            thrown([&] { conn.connectToCollectorFromList({target(closedPort)}); }));
}

}  // namespace
