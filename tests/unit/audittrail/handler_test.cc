// Audit-trail events from local programs: the spooled record byte for byte,
// the sender-laid-out fields that are checked (times, GUID, pid), the
// parameter list's bounds, and the full partition that drops events but not
// session data.
#include "server/handlers_audittrail.h"

#include <gtest/gtest.h>
#include <sys/time.h>

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
using wiretest::hex;
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

// The record of build()'s fixed texts with the fields the handler checks:
// event time, GUID (collector layout), 32-bit pid, parameter list, 64-bit pid.
std::string expected(uint32_t seconds, uint32_t microseconds, const std::string& guid = kGuidWire,
                     int32_t pid32 = 1234, const std::string& params = "", uint64_t pid64 = 1234) {
  return bytes({2}) + u32(3) + "app" + u32(5) + "host1" + u32(42) + u32(seconds) + u32(microseconds) + u32(5) +
         "alice" + u32(5) + "login" + u32(0) + guid + u32(static_cast<uint32_t>(pid32)) + u32(params.size()) +
         params + u64(pid64);
}

class AuditTrailHandler : public ::testing::Test {
 protected:
  void SetUp() override {
    auditor_.reset(new Vigilog::Auditor());
    auditor_->init(dir_.file("sessions"), dir_.file("spool"), dir_.file("atspool"), "");
    Vigilog::gAuditor = auditor_.get();
  }
  void TearDown() override {
    Vigilog::gAuditor = nullptr;
    auditor_.reset();
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

  // The one record spooled for r.
  std::string only(const Request& r) {
    handle(r);
    std::vector<std::string> records = spooled();
    EXPECT_EQ(records.size(), 1u);
    return records.empty() ? "" : records[0];
  }

  logtest::LogCapture log_;
  logtest::TempDir dir_;
  std::unique_ptr<Vigilog::Auditor> auditor_;
};

TEST_F(AuditTrailHandler, SpoolsTheRecordByteForByte) {
  Request r;
  r.params = {{8, "a,b"}, {2, u32(7)}, {2, u32(1) + "x"}};
  EXPECT_EQ(hex(only(r)), hex(expected(1700000000, 250000, kGuidWire, 1234, "a\\,b,7,<cannot display>")));
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
    EXPECT_EQ(hex(only(r)), hex(expected(c.seconds, c.microseconds))) << hex(c.blobs[0]);
  }
}

TEST_F(AuditTrailHandler, NoTimeSentUsesNow) {
  for (uint32_t type : {MsgType::AuditTrailSessionData, MsgType::AuditTrailSessionData2}) {
    Request r;
    r.type = type;
    r.time = type == MsgType::AuditTrailSessionData ? std::vector<std::string>{""}
                                                    : std::vector<std::string>{"", ""};
    const uint32_t before = static_cast<uint32_t>(time(nullptr));
    std::string got = only(r);
    ASSERT_GT(got.size(), 29u);
    uint32_t seconds = 0;
    std::memcpy(&seconds, &got[21], 4);
    EXPECT_GE(seconds, before) << type;
    EXPECT_LE(seconds, static_cast<uint32_t>(time(nullptr))) << type;
    EXPECT_EQ(hex(got.replace(21, 8, u32(0) + u32(0))), hex(expected(0, 0))) << type;
  }
}

TEST_F(AuditTrailHandler, InvalidSessionGuidTextGivesTheZeroGuid) {
  for (const char* text : {"xyz", "", "00112233-4455-6677-8899-aabbccddeefg", "001122334455667788990aabbccddeeff"}) {
    Request r;
    r.guid = text;
    EXPECT_EQ(hex(only(r)), hex(expected(1700000000, 250000, std::string(16, '\0')))) << text;
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
    EXPECT_EQ(hex(only(r)), hex(expected(1700000000, 250000, kGuidWire, c.pid32, "", c.pid64))) << hex(c.blob);
  }
}

TEST_F(AuditTrailHandler, ParameterListEndsAtEndOrWithTheRequest) {
  EXPECT_EQ(hex(only(Request())), hex(expected(1700000000, 250000)));
  Request unterminated;
  unterminated.params = {{5, u32(static_cast<uint32_t>(-3))}, {8, ""}};
  unterminated.end = false;
  EXPECT_EQ(hex(only(unterminated)), hex(expected(1700000000, 250000, kGuidWire, 1234, "-3,<null>")));
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
  EXPECT_EQ(log_.countContaining("Skipping audit trail data due to partition full"), 1);

  auditor_->diskState().diskFull = false;
  handle(Request());
  EXPECT_EQ(spooled().size(), 1u);
}

}  // namespace
