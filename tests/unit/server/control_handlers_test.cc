// The status and control requests answered over a real socket by the
// server's loop: reply layouts byte by byte, the three ways a process is
// found to belong to an audited session, and the C log layer's records
// relayed as ControlLog2 requests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "auditor/action_count.h"
#include "auditor/auditor.h"
#include "lrpc2/client_session.h"
#include "lrpc2/log_sender.h"
#include "ofw/logging/clog.h"
#include "ofw/guid.h"
#include "server_test_util.h"

namespace {

using testsupport::u32;

std::string tagged(int tag, const std::string& payload) { return std::string(1, static_cast<char>(tag)) + payload; }
std::string str(const std::string& s) { return tagged(MSG_TAG_STRING, u32(s.size()) + s); }
std::string i32(int32_t v) { return tagged(MSG_TAG_INT32, u32(static_cast<uint32_t>(v))); }
std::string boolean(bool b) { return tagged(MSG_TAG_BOOL, std::string(1, b ? 1 : 0)); }
const std::string kEnd(1, '\0');

class ControlHandlers : public ::testing::Test {
 protected:
  void SetUp() override {
    auditor_.reset(new Vigilog::Auditor());
    auditor_->init(tmp_.file("spool-sessions"), tmp_.file("spool-dbqc"), tmp_.file("spool-atdbqc"), "");
    Vigilog::gAuditor = auditor_.get();
    loop_.reset(new servertest::Loop(tmp_.file("audit")));
    loop_->start();
    client_.connect(tmp_.file("audit"), 10, SIGN_SETTING_DISABLED);
  }
  void TearDown() override {
    client_.close();
    loop_.reset();
    Vigilog::gAuditor = nullptr;
    auditor_.reset();
  }

  // The reply's values (before the end tag, which is checked too) must be
  // exactly `values`: compared in hex, as the reply's last bytes after its type.
  void expectReply(MsgPtr request, const std::string& values, const std::string& what = "") {
    MsgPtr reply = client_.request(request.get(), 10);
    ASSERT_NE(reply, nullptr) << what;
    uint32_t type = 0;
    MsgReadMsgType(reply.get(), &type);
    size_t length = 0;
    const uint8_t* data = MsgGetData(reply.get(), &length);
    const std::string all(reinterpret_cast<const char*>(data), length);
    const std::string tail = testsupport::u16(type) + values + kEnd;
    EXPECT_EQ(testsupport::hex(all.substr(all.size() < tail.size() ? 0 : all.size() - tail.size())),
              testsupport::hex(tail))
        << what;
  }
  void expectReply(uint32_t type, const std::string& values) { expectReply(client_.newRequest(type), values); }

  testsupport::TempDir tmp_;
  servertest::LogToFile log_{tmp_.file("vgd.log")};
  std::unique_ptr<Vigilog::Auditor> auditor_;
  std::unique_ptr<servertest::Loop> loop_;
  LRPC2ClientSession client_;
};

TEST_F(ControlHandlers, ActionCountReportIsOrderedLabelValuePairs) {
  ovg::resetActionCounts();
  for (int i = 0; i < ovg::AC_COUNT; ++i)
    for (int n = 0; n < i + 1; ++n) ovg::incrementActionCount(static_cast<ovg::ActionCounter>(i));
  std::string pairs;
  auto pair = [&pairs](const std::string& k, const std::string& v) { pairs += u32(k.size()) + k + u32(v.size()) + v; };
  pair("Check connection        ", "1");
  pair("Send active list        ", "2");
  pair("Update agent status     ", "3");
  pair("Rebind to best SCP      ", "4");
  pair("Try to connect collector", "5");
  pair("Post session data       ", "6");
  pair("Flush SCP cache         ", "7");
  pair("Collector connect       ", "8");
  pair("Collector disconnect    ", "19 (Update agent status failed: 9, Despool failed: 10)");
  pair("NSS calls - by name     ", "11");
  pair("NSS calls - by uid      ", "12");
  pair("OVGsh connect           ", "13");
  pair("OVGsh disconnect        ", "14");
  pair("NSS cache hit           ", "0 (AD name: 0, AD UID: 0, Local name: 0, Local UID: 0)");
  pair("NSS cache miss          ", "0 (AD name: 0, AD UID: 0, Local name: 0, Local UID: 0)");
  expectReply(MsgType::VGQueryVgdActionCount, tagged(MSG_TAG_KEYVALUE_SET, u32(15) + pairs));
  ovg::resetActionCounts();
}

TEST_F(ControlHandlers, DiskParametersDefaultToTenAndTwelveAndFollowTheConfiguration) {
  ofw::Props().setProperty("spool.diskspace.min", "");
  ofw::Props().setProperty("spool.diskspace.softlimit", "");
  expectReply(MsgType::VGQueryVgdParameters, i32(10) + i32(12));
  ofw::Props().setProperty("spool.diskspace.min", "3");
  ofw::Props().setProperty("spool.diskspace.softlimit", "25");
  expectReply(MsgType::VGQueryVgdParameters, i32(3) + i32(25));

  for (auto c : {std::make_pair("spool.diskspace.softlimit", "25"), std::make_pair("no.such.key", "")}) {
    MsgPtr m = client_.newRequest(MsgType::VGQueryVgdParameter);
    MsgWriteString(m.get(), c.first);
    expectReply(std::move(m), str(c.second), c.first);
  }
  ofw::Props().setProperty("spool.diskspace.min", "");
  ofw::Props().setProperty("spool.diskspace.softlimit", "");
}

struct AuditedCase {
  const char* name;
  const char* registeredTty;  // "" for none
  bool registerPsid;
  bool registerParent;
  const char* queryTty;
  bool expected;
};

class SessionAudited : public ControlHandlers, public ::testing::WithParamInterface<AuditedCase> {};

TEST_P(SessionAudited, AnswersFromTtyPsidOrAncestor) {
  const AuditedCase& c = GetParam();
  Vigilog::AuditRegistry& reg = auditor_->registry();
  const std::string id = "{01234567-89ab-cdef-0123-456789abcdef}";
  if (*c.registeredTty) reg.addTTY(c.registeredTty, id);
  if (c.registerPsid) reg.addPSID(4242, id);
  // The walk starts at this process and must reach its parent.
  if (c.registerParent) reg.addVuvoPID(getppid(), id);
  MsgPtr m = client_.newRequest(MsgType::VGQueryIsSessionAudited);
  MsgWriteInt32(m.get(), getpid());
  MsgWriteInt32(m.get(), c.registerPsid ? 4242 : -1);
  MsgWriteString(m.get(), c.queryTty);
  expectReply(std::move(m), c.expected ? boolean(true) + str(id) : boolean(false));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SessionAudited,
    ::testing::Values(AuditedCase{"tty", "/dev/pts/77", false, false, "/dev/pts/77", true},
                      AuditedCase{"psid", "", true, false, "", true},
                      AuditedCase{"emptyTtyAndNoPsidWalksToTheParent", "", false, true, "", true},
                      AuditedCase{"otherTtyWalksToo", "/dev/pts/78", false, true, "/dev/pts/79", true},
                      AuditedCase{"nothingRegistered", "", false, false, "/dev/pts/80", false}),
    [](const ::testing::TestParamInfo<AuditedCase>& i) { return std::string(i.param.name); });

TEST_F(ControlHandlers, ResumeAnswersZeroOrTheFailureStatus) {
  // A session spool is named by the session's GUID as the spool directory and the tools show it.
  ofw::Guid session = ofw::Guid::generate();
  auditor_->sessions()->add(session, auditor_->maxSingleFileSize());
  const std::string sessionName = session.toSwappedMSString();
  const std::string otherName = ofw::Guid::generate().toSwappedMSString();
  for (auto c : {std::make_pair("common", 0), std::make_pair("at", 0), std::make_pair(sessionName.c_str(), 0),
                 std::make_pair(otherName.c_str(), 503), std::make_pair("not-a-session", 503)}) {
    MsgPtr m = client_.newRequest(MsgType::VGResumeSpool);
    MsgWriteString(m.get(), c.first);
    expectReply(std::move(m), i32(c.second), c.first);
  }
}

TEST_F(ControlHandlers, ControlLogWithoutRecordsLogsNothingAndOutOfRangeLevelsLogAtInfo) {
  ofw::Props().setProperty("log", "INFO");
  ofw::Logger::ReconfigureLevels(ofw::Props());
  MsgPtr m = client_.newRequest(MsgType::ControlLog2);
  MsgWriteUInt32(m.get(), 0);
  expectReply(std::move(m), boolean(true));
  for (int32_t level : {-7, 99}) {
    m = client_.newRequest(MsgType::ControlLog2);
    MsgWriteUInt32(m.get(), 1);
    MsgWriteString(m.get(), "prog");
    MsgWriteInt32(m.get(), 77);
    MsgWriteInt32(m.get(), level);
    MsgWriteString(m.get(), "file.c");
    MsgWriteInt32(m.get(), 12);
    MsgWriteString(m.get(), "function");
    MsgWriteString(m.get(), ("level " + std::to_string(level)).c_str());
    MsgWriteUInt32(m.get(), 0);
    expectReply(std::move(m), boolean(true));
  }
  // A relayed record's line carries the thread name "fd:N program(pid)".
  std::vector<std::string> relayed;
  for (const std::string& line : testsupport::splitLines(log_.text()))
    if (line.find(")> ") != std::string::npos) relayed.push_back(line);
  ASSERT_EQ(relayed.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_NE(relayed[i].find("INFO  <fd:"), std::string::npos) << relayed[i];
    EXPECT_NE(relayed[i].find(i ? "prog(77)> level 99" : "prog(77)> level -7"), std::string::npos) << relayed[i];
  }
  ofw::Props().setProperty("log", "");
}

// One record through a C log buffer whose emergency destination is `emergency`.
void logOne(const std::string& socketPath, const std::string& emergency, int timeout, const char* text) {
  LogBuffer* buffer = nullptr;
  ASSERT_EQ(LogBufferCreate(&buffer, "unit-prog", ("file " + emergency).c_str(), 1, socketPath.c_str(), timeout,
                            timeout / 2),
            0);
  LogBufferSetSender(buffer, LogBufferSendControlLog2, nullptr);
  LogBufferStart(buffer);
  LogBufferWrite(buffer, 3, "client.c", 42, "clientFunction", "%s", text);
  LogBufferFree(buffer);
}

// Records reach the daemon's log, or the emergency file when no daemon is there.
TEST(ControlLog2, RecordsReachTheDaemonLogOrTheEmergencyFile) {
  testsupport::TempDir dir;
  const std::string emergency = dir.file("emergency.log"), socketPath = dir.file("audit");
  {
    servertest::LogToFile log(dir.file("daemon.log"));
    {
      servertest::Loop loop(socketPath);
      loop.start();
      logOne(socketPath, emergency, 10, "relayed record 7");
    }
    EXPECT_NE(log.text().find("relayed record 7"), std::string::npos) << log.text();
    EXPECT_EQ(testsupport::readFile(emergency).find("relayed record 7"), std::string::npos);
  }
  logOne(socketPath, emergency, 2, "no daemon here");
  EXPECT_NE(testsupport::readFile(emergency).find("no daemon here"), std::string::npos)
      << testsupport::readFile(emergency);
}

}  // namespace
