// vgcollector driven through the secure stream, with each fault switch: the
// answers the agent gets, and the JSON lines it records of what was sent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "meridia/packet.h"
#include "ofw/exceptions.h"
#include "ofw/stream/secure_stream.h"
#include "ovgfw/collector_protocol.h"
#include "ovgfw/ovg_message.h"
#include "server/session_records.h"
#include "support/kdc_fixture.h"
#include "support/vgcollector_run.h"

namespace {

using meridia::Packet;
using ovgfw::OVGMessage;

struct SwitchCase {
  const char* name;
  std::vector<std::string> args;
  bool signedOn, sealedOn;
  const char* outcome;  // the answers, step by step (see Agent::run)
  const char* reply;    // what the collector records it answered to message 1
};

void PrintTo(const SwitchCase& c, std::ostream* os) { *os << c.name; }

// The daemon's side of a connection, built by hand from packets and messages.
class Agent {
 public:
  Agent(int port, int readTimeout) : stream_(connectTo(port), readTimeout, 5) {}

  std::string run(const std::string& principal, bool signedOn, bool sealedOn) {
    std::string outcome;
    try {
      stream_.authenticateAsClient(principal, signedOn, sealedOn, false);
      stream_.writeDataBlock(std::string(1, ovgfw::START_CONNECT));
      outcome += "greeting:" + control(bytes({ovgfw::CONTROL_GREETING, ovgfw::GREETING_LEVEL}));
      outcome += " session:" + control(openBody(ovgfw::SESSION_SERVICE_GUID, session_, false));
      outcome += " at:" + control(openBody(ovgfw::AUDIT_TRAIL_SERVICE_GUID, auditTrail_, true));
      OVGMessage open(OVGMessage::TYPE_CHANNEL_OPEN, 0);
      open.writeByte(1);
      open.writeGUID(ofw::Guid::fromString("00112233445566778899aabbccddeeff"));
      open.writeString("agent.vgd.test");
      open.writeString("OrvaneVG 3.7.0-172");
      outcome += " open:" + message(open);
      OVGMessage data;
      data.setSequenceNumber(7);
      timeval tv = {1700000000, 5};
      ovg::buildSessionData(data, sessionGuid(), tv, 2, "hello\x01", 6);
      outcome += " data:" + message(data);
      outcome += " ping4:" + control(pingBody(4));
      outcome += " ping3:" + control(pingBody(3));
      outcome += " event:" + auditTrailEvent();
    } catch (const ofw::Base_Exception& e) {
      outcome += " " + e.typeName();
    }
    return outcome;
  }

  static ofw::Guid sessionGuid() { return ofw::Guid::fromString("0f1e2d3c4b5a69788796a5b4c3d2e1f0"); }

 private:
  static ofw::UniqueFd connectTo(int port) {
    ofw::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "connect";
    return fd;
  }
  static std::string bytes(std::initializer_list<uint8_t> list) { return std::string(list.begin(), list.end()); }

  // Sends a packet with flags 1 and reads the answer: "ok" (its first body
  // byte, checked) or "errN" for an error report with ID N.
  std::string call(Packet& p, const ofw::Guid& channel, Packet& reply) {
    p.setFlags(Packet::FLAG_REPLY_EXPECTED);
    p.setChannel(channel);
    stream_.writeDataBlock(p.getData());
    reply = Packet(stream_.readDataBlock(), true, false);
    EXPECT_EQ(channel, reply.getChannel());
    if (reply.getFlags() & Packet::FLAG_ERROR_REPORT) return "err" + std::to_string(reply.readInt32());
    return "ok";
  }
  std::string control(const std::string& body) {
    Packet p(body, false, true), reply;
    std::string r = call(p, meridia::CONTROL_CHANNEL_GUID, reply);
    if (r == "ok") {
      EXPECT_EQ(body[0], static_cast<char>(reply.readByte()));
    }
    return r;
  }
  // "ackN" or "excC" with the sequence number checked against the header.
  std::string message(OVGMessage& m) {
    m.setAckRequired(true);
    Packet p, reply;
    p.writeString(m.serialize());
    std::string r = call(p, session_, reply);
    if (r != "ok") return r;
    OVGMessage answer;
    answer.deserialize(reply.readString());
    const uint64_t seq = answer.readUInt64();
    EXPECT_EQ(seq, answer.getSequenceNumber());
    if (answer.getType() == OVGMessage::TYPE_ACK) return "ack" + std::to_string(seq);
    EXPECT_EQ(OVGMessage::TYPE_EXCEPTION, answer.getType());
    return "exc" + std::to_string(answer.readUInt32());
  }
  std::string openBody(const char* service, ofw::Guid& channel, bool trailer) {
    channel = ofw::Guid::generate();
    Packet p;
    p.writeByte(ovgfw::CONTROL_OPEN_CHANNEL);
    p.writeGuid(ofw::Guid::fromString(service));
    p.writeGuid(channel);
    if (trailer) {
      p.writeByte(1);
      p.writeGuid(channel);
    }
    return p.getTailData();
  }
  std::string pingBody(uint8_t version) {
    meridia::ByteSequenceModeler b(0, 0);
    b.writeByte(version);
    if (version == 4) {
      b.writeString("{\"State\":9}");
    } else {
      b.writeInt32(60);
      b.writeInt32(9);
      b.writeString("Running");
      b.writeTimestamp();
      b.writeInt64(42);
      b.writeString("OrvaneVG 3.7.0-172");
      b.writeString("agent.vgd.test");
    }
    Packet p;
    p.writeByte(ovgfw::CONTROL_PING);
    const std::string body = b.getData();
    p.writeBlob(body.data(), body.size());
    return p.getTailData();
  }
  std::string auditTrailEvent() {
    Packet p, reply;
    p.writeByte(2);
    p.writeString("first");
    p.writeString("second");
    p.writeInt32(1234);
    p.writeTimestamp();
    for (const char* s : {"fourth", "fifth", ""}) p.writeString(s);
    p.writeGuid(sessionGuid());
    p.writeInt32(77);
    p.writeString("a,b");
    p.writeInt64(77);
    return call(p, auditTrail_, reply);
  }

  ofw::SecureStream stream_;
  ofw::Guid session_, auditTrail_;
};

class VgcollectorTest : public testkdc::WithKdc<::testing::TestWithParam<SwitchCase>> {
 protected:
  void SetUp() override {
    WithKdc::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    out_ = kdc->dir() + "/" + GetParam().name + ".jsonl";
    portFile_ = kdc->dir() + "/" + GetParam().name + ".port";
    pid_ = testkdc::startVgcollector(out_, portFile_, GetParam().args, port_);
    ASSERT_GT(port_, 0) << "vgcollector did not start";
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
  }
  // Stops the collector and returns the lines it wrote, parsed.
  std::vector<rapidjson::Document> records() {
    TearDown();
    pid_ = -1;
    std::vector<rapidjson::Document> docs;
    std::ifstream in(out_);
    std::string line;
    while (std::getline(in, line)) {
      docs.emplace_back();
      EXPECT_FALSE(docs.back().Parse(line.c_str()).HasParseError()) << line;
    }
    return docs;
  }

  std::string out_, portFile_;
  pid_t pid_ = -1;
  int port_ = 0;
};

const rapidjson::Value* find(const std::vector<rapidjson::Document>& docs, const char* unit, int64_t n = -1) {
  for (const auto& d : docs)
    if (d.IsObject() && std::string(d["unit"].GetString()) == unit && (n < 0 || d["n"].GetInt64() == n)) return &d;
  return nullptr;
}

TEST_P(VgcollectorTest, AnswersAndRecordsWhatWasSent) {
  const SwitchCase& c = GetParam();
  std::string outcome;
  {
    Agent agent(port_, /*readTimeout=*/1);
    outcome = agent.run(kdc->env("KDC_COLLECTOR1"), c.signedOn, c.sealedOn);
  }
  EXPECT_EQ(c.outcome, outcome);

  auto docs = records();
  const rapidjson::Value* auth = find(docs, "auth");
  ASSERT_TRUE(auth);
  EXPECT_EQ(kdc->env("KDC_AGENT"), (*auth)["client"].GetString());
  EXPECT_EQ((c.signedOn ? 2 : 0) | (c.sealedOn ? 1 : 0), (*auth)["options"].GetInt());
  const rapidjson::Value* open = find(docs, "message", 0);
  if (open) {
    EXPECT_STREQ("agent.vgd.test", (*open)["host"].GetString());
    EXPECT_STREQ("00112233445566778899aabbccddeeff", (*open)["zone"].GetString());
    EXPECT_STREQ("OrvaneVG 3.7.0-172", (*open)["version"].GetString());
  }
  const rapidjson::Value* data = find(docs, "message", 1);
  if (c.reply) {
    ASSERT_TRUE(data);
    EXPECT_EQ(4, (*data)["type"].GetInt());
    EXPECT_EQ(7, (*data)["seq"].GetInt());
    EXPECT_EQ(Agent::sessionGuid().toSwappedMSString(), (*data)["session"].GetString());
    EXPECT_EQ(2, (*data)["stream"].GetInt());
    EXPECT_STREQ("68656c6c6f01", (*data)["data"].GetString());
    EXPECT_STREQ(c.reply, (*data)["reply"].GetString());
    if (c.signedOn) {
      EXPECT_EQ(c.sealedOn, (*data)["sealed"].GetBool());
    }
  } else {
    EXPECT_FALSE(data);
  }
  if (const rapidjson::Value* event = find(docs, "audit-trail")) {
    EXPECT_EQ(1234, (*event)["event"].GetInt());
    EXPECT_STREQ("a,b", (*event)["params"].GetString());
    EXPECT_EQ(77, (*event)["pid"].GetInt64());
  }
  ASSERT_FALSE(docs.empty());
  EXPECT_STREQ("close", docs.back()["unit"].GetString());
}

const char* const kAllOk = "greeting:ok session:ok at:ok open:ack0 data:ack7 ping4:ok ping3:ok event:ok";

INSTANTIATE_TEST_SUITE_P(
    Switches, VgcollectorTest,
    ::testing::Values(
        SwitchCase{"NoSwitch", {}, true, true, kAllOk, "ack"},
        SwitchCase{"SignedOnly", {}, true, false, kAllOk, "ack"},
        SwitchCase{"Unprotected", {}, false, false, kAllOk, "ack"},
        SwitchCase{"ExceptionReply", {"--exception", "1:4"}, true, true,
                   "greeting:ok session:ok at:ok open:ack0 data:exc4 ping4:ok ping3:ok event:ok", "exception"},
        SwitchCase{"BusyAtChannelOpen", {"--exception", "0:2"}, true, true,
                   "greeting:ok session:ok at:ok open:exc2 data:ack7 ping4:ok ping3:ok event:ok", "ack"},
        SwitchCase{"WrongAck", {"--wrong-ack", "1"}, true, false,
                   "greeting:ok session:ok at:ok open:ack0 data:ack8 ping4:ok ping3:ok event:ok", "wrong-ack"},
        SwitchCase{"RefusePings", {"--refuse-ping", "4"}, false, false,
                   "greeting:ok session:ok at:ok open:ack0 data:ack7 ping4:err1 ping3:ok event:ok", "ack"},
        SwitchCase{"RefuseAuditTrail", {"--refuse-audit-trail"}, true, true,
                   "greeting:ok session:ok at:err2 open:ack0 data:ack7 ping4:ok ping3:ok event:err1", "ack"},
        SwitchCase{"CloseAfterMessage", {"--close-after", "1"}, true, true,
                   "greeting:ok session:ok at:ok open:ack0 data:ack7 IOException", "ack"},
        SwitchCase{"Stall", {"--stall", "1:3"}, true, true,
                   "greeting:ok session:ok at:ok open:ack0 TimeoutException", "ack"}),
    [](const ::testing::TestParamInfo<SwitchCase>& info) { return std::string(info.param.name); });

}  // namespace
