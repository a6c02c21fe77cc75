// Audit-trail events from local programs: the spooled record byte for byte,
// the sender-laid-out fields that are checked (times, GUID, pid), the
// parameter list's bounds, and the full partition that drops events but not
// session data.
#include "server/handlers_audittrail.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "auditor/auditor.h"
#include "lrpc2/msg_types.h"
#include "ofw/exceptions.h"
#include "ovgfw/ovg_message.h"
#include "unit/collector/wire_bytes.h"
#include "unit/logging/log_test_util.h"

namespace {

using wiretest::bytes;
using wiretest::kGuidText;
using wiretest::kGuidWire;
using wiretest::u32;
using wiretest::u64;

struct Request {
  uint32_t type = MsgType::AuditTrailSessionData2;
  std::vector<std::string> time = {u64(1700000000), u64(250000)};
  std::string guid = kGuidText;
  std::string pid = u64(1234);
  std::vector<std::pair<uint32_t, std::string>> params;
  bool end = true;
  bool stringValue = false;  // parameter values sent as strings: malformed
};

LRPC2Msg* build(const Request& r) {
  int status = 0;
  LRPC2Msg* m = MsgNew(r.type, 0, nullptr, 0, &status);
  MsgWriteString(m, "app");
  MsgWriteString(m, "host1");
  MsgWriteUInt32(m, 42);
  for (const std::string& t : r.time) MsgWriteBlob(m, t.data(), static_cast<uint32_t>(t.size()));
  MsgWriteString(m, "alice");
  MsgWriteString(m, "login");
  MsgWriteBlob(m, "S-1-5", 5);
  MsgWriteString(m, r.guid.c_str());
  MsgWriteBlob(m, r.pid.data(), static_cast<uint32_t>(r.pid.size()));
  for (const auto& p : r.params) {
    MsgWriteUInt32(m, p.first);
    if (r.stringValue)
      MsgWriteString(m, p.second.c_str());
    else
      MsgWriteBlob(m, p.second.data(), static_cast<uint32_t>(p.second.size()));
  }
  if (r.end) MsgWriteUInt32(m, 0);
  EXPECT_EQ(MsgComplete(m), 0);
  return m;
}

// The checked fields of a record of build()'s fixed texts, at their offsets:
// timestamp at 21, GUID at 51, 32-bit pid at 67, parameter list at 71, then
// the 64-bit pid.
struct Fields {
  uint32_t seconds = 0, microseconds = 0;
  std::string guid;
  int32_t pid32 = 0;
  std::string params;
  uint64_t pid64 = 0;
};

Fields parse(const std::string& r) {
  Fields f;
  if (r.size() < 83) {
    ADD_FAILURE() << "record of " << r.size() << " bytes";
    return f;
  }
  uint32_t length = 0;
  std::memcpy(&f.seconds, &r[21], 4);
  std::memcpy(&f.microseconds, &r[25], 4);
  f.guid = r.substr(51, 16);
  std::memcpy(&f.pid32, &r[67], 4);
  std::memcpy(&length, &r[71], 4);
  EXPECT_EQ(r.size(), 75u + length + 8);
  f.params = r.substr(75, length);
  std::memcpy(&f.pid64, &r[r.size() - 8], 8);
  return f;
}

class AuditTrailHandler : public ::testing::Test {
 protected:
  void SetUp() override {
    logtest::configure(dir_.file("vgd.log"), {{"log", "TRACE"}, {"logger.queue.size", "0"}});
    auditor_.reset(new Vigilog::Auditor());
    auditor_->init(dir_.file("sessions"), dir_.file("spool"), dir_.file("atspool"), "");
    Vigilog::gAuditor = auditor_.get();
  }
  void TearDown() override {
    Vigilog::gAuditor = nullptr;
    auditor_.reset();
    logtest::reset();
  }

  void handle(const Request& r) {
    std::unique_ptr<LRPC2Msg, void (*)(LRPC2Msg*)> m(build(r), MsgFree);
    HandleAuditTrailSessionData(r.type, m.get(), nullptr);
  }

  std::vector<std::string> spooled() {
    std::vector<std::string> out;
    boost::shared_ptr<ofw::DBQComposite> q = auditor_->atSpool();
    while (!q->empty()) {
      boost::shared_array<unsigned char> data;
      unsigned int length = 0;
      q->dequeue(data, length);
      out.emplace_back(reinterpret_cast<const char*>(data.get()), length);
    }
    return out;
  }

  Fields only(const Request& r) {
    handle(r);
    std::vector<std::string> records = spooled();
    EXPECT_EQ(records.size(), 1u);
    return records.empty() ? Fields() : parse(records[0]);
  }

  int logged(const std::string& text) {
    ofw::Logger::flush();
    int n = 0;
    for (const std::string& line : logtest::readRecords(dir_.file("vgd.log")))
      if (line.find(text) != std::string::npos) ++n;
    return n;
  }

  logtest::TempDir dir_;
  std::unique_ptr<Vigilog::Auditor> auditor_;
};

TEST_F(AuditTrailHandler, SpoolsTheRecordByteForByte) {
  Request r;
  r.params = {{8, "a,b"}, {2, u32(7)}, {2, u32(1) + "x"}};
  handle(r);
  const std::string params = "a\\,b,7,<cannot display>";
  const std::string expected = bytes({2}) + u32(3) + "app" + u32(5) + "host1" + u32(42) + u32(1700000000) +
                               u32(250000) + u32(5) + "alice" + u32(5) + "login" + u32(0) + kGuidWire + u32(1234) +
                               u32(params.size()) + params + u64(1234);
  std::vector<std::string> records = spooled();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(wiretest::hex(records[0]), wiretest::hex(expected));
}

TEST_F(AuditTrailHandler, EventTimeIsReadOnlyFromBlobsOfTheKnownSizes) {
  const uint32_t v1 = MsgType::AuditTrailSessionData, v2 = MsgType::AuditTrailSessionData2;
  struct {
    uint32_t type;
    std::vector<std::string> blobs;
    uint32_t seconds, microseconds;
  } cases[] = {{v2, {u32(1700000000), u64(17)}, 0, 17},  // a 4-byte seconds blob gives seconds 0
               {v2, {u64(5), std::string(7, '\x01')}, 5, 0},
               {v1, {u64(1700000000) + u64(9)}, 1700000000, 9},
               {v1, {u32(1600000000) + u32(8)}, 1600000000, 8},
               {v1, {u64(1700000000) + u32(9)}, 0, 0},
               {v1, {std::string(17, '\x7f')}, 0, 0}};
  for (const auto& c : cases) {
    Request r;
    r.type = c.type;
    r.time = c.blobs;
    Fields f = only(r);
    EXPECT_EQ(f.seconds, c.seconds) << wiretest::hex(c.blobs[0]);
    EXPECT_EQ(f.microseconds, c.microseconds) << wiretest::hex(c.blobs[0]);
  }
}

TEST_F(AuditTrailHandler, NoTimeSentUsesNow) {
  for (uint32_t type : {MsgType::AuditTrailSessionData, MsgType::AuditTrailSessionData2}) {
    Request r;
    r.type = type;
    r.time = type == MsgType::AuditTrailSessionData ? std::vector<std::string>{""}
                                                    : std::vector<std::string>{"", ""};
    const uint32_t before = static_cast<uint32_t>(time(nullptr));
    Fields f = only(r);
    EXPECT_GE(f.seconds, before) << type;
    EXPECT_LE(f.seconds, static_cast<uint32_t>(time(nullptr))) << type;
  }
}

TEST_F(AuditTrailHandler, InvalidSessionGuidTextGivesTheZeroGuid) {
  for (const char* text : {"xyz", "", "00112233-4455-6677-8899-aabbccddeefg", "001122334455667788990aabbccddeeff"}) {
    Request r;
    r.guid = text;
    EXPECT_EQ(only(r).guid, std::string(16, '\0')) << text;
  }
}

TEST_F(AuditTrailHandler, PidFitsThe32BitFieldOrIsZeroThere) {
  struct {
    std::string blob;
    int32_t pid32;
    uint64_t pid64;
  } cases[] = {{u64(1ull << 32), 0, 1ull << 32},
               {u64(0xffffffffull), -1, 0xffffffffull},
               {u64(~0ull), 0, ~0ull},
               {u32(77), 0, 0},
               {"", 0, 0}};
  for (const auto& c : cases) {
    Request r;
    r.pid = c.blob;
    Fields f = only(r);
    EXPECT_EQ(f.pid32, c.pid32) << wiretest::hex(c.blob);
    EXPECT_EQ(f.pid64, c.pid64) << wiretest::hex(c.blob);
  }
}

TEST_F(AuditTrailHandler, ParameterListEndsAtEndOrWithTheRequest) {
  Request none;
  EXPECT_EQ(only(none).params, "");
  Request unterminated;
  unterminated.params = {{5, u32(static_cast<uint32_t>(-3))}, {8, ""}};
  unterminated.end = false;
  EXPECT_EQ(only(unterminated).params, "-3,<null>");
}

TEST_F(AuditTrailHandler, MalformedParameterRaisesAndSpoolsNothing) {
  Request r;
  r.params = {{8, "a string where the value blob belongs"}};
  r.stringValue = true;
  EXPECT_THROW(handle(r), ofw::BadDataException);
  EXPECT_TRUE(spooled().empty());
}

TEST_F(AuditTrailHandler, FullPartitionDropsEventsButNotSessionData) {
  auditor_->diskState().diskFull = true;
  handle(Request());
  ovgfw::OVGRequestMessage data;
  data.writeString("session record");
  auditor_->postSessionData(ofw::Guid(), data);
  EXPECT_TRUE(spooled().empty());
  EXPECT_EQ(auditor_->commonSpool()->count(), 1);
  EXPECT_EQ(logged("Skipping audit trail data due to partition full"), 1);

  auditor_->diskState().diskFull = false;
  handle(Request());
  EXPECT_EQ(spooled().size(), 1u);
}

}  // namespace
