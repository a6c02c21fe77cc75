// Reading spooled session records back: decoding checked against the byte
// layout, round trips through the builders and records cut short at every
// length.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ofw/codec.h"
#include "ovgfw/ovg_message.h"
#include "tools/shellside/session_record_reader.h"
#include "server/session_records.h"

namespace {

const unsigned char kGuidBytes[16] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                                      0x18, 0x19, 0x1a, 0x1b, 0x1c, 0x1d, 0x1e, 0x1f};
const ofw::Guid kGuid(kGuidBytes);
const struct timeval kTime = {1700000000, 42};

ovg::SessionStartInfo sampleStart() {
  ovg::SessionStartInfo s;
  s.guid = kGuid;
  s.start = kTime;
  s.userType = 1;
  s.directoryName = "alice@EXAMPLE.TEST";
  s.sid = "S-1-5-21-1";
  s.userName = "alice";
  s.tty = "/dev/pts/4";
  s.string1 = "one";
  s.string2 = "two";
  s.argv = {"-bash", "-c", "x y"};
  s.userSource = "alice@ad";
  s.videoCapture = 1;
  unsigned char rel[16];
  for (int i = 0; i < 16; ++i) rel[i] = static_cast<unsigned char>(0xa0 + i);
  s.related = ofw::Guid(rel);
  return s;
}

std::string build(int kind) {
  ovgfw::OVGRequestMessage m;
  const int32_t size[4] = {24, 80, -1, 7};
  switch (kind) {
    case 2: ovg::buildSessionStart(m, sampleStart()); break;
    case 3: ovg::buildSessionEnd(m, kGuid, kTime); break;
    case 4: ovg::buildSessionData(m, kGuid, kTime, 2, "hi\r\n\x01", 5); break;
    case 5: ovg::buildWindowSize(m, kGuid, kTime, size); break;
    case 9:
      ovg::buildSessionStart(m, sampleStart());
      m.setType(ovgfw::OVGMessage::TYPE_SESSION_RESUME);
      break;
  }
  m.setSequenceNumber(77);
  return m.serialize();
}

class RecordKind : public ::testing::TestWithParam<int> {};

TEST_P(RecordKind, DecodesAndReencodesByteForByte) {
  const std::string bytes = build(GetParam());
  ovg::SessionRecordView r;
  std::string error;
  ASSERT_TRUE(ovg::decodeSessionRecord(bytes.data(), bytes.size(), r, error)) << error;
  EXPECT_EQ(GetParam(), r.type);
  EXPECT_EQ(77u, r.sequenceNumber);
  EXPECT_EQ(kGuid, r.guid);
  EXPECT_EQ(kTime.tv_sec, r.time.tv_sec);
  EXPECT_EQ(kTime.tv_usec, r.time.tv_usec);
  EXPECT_EQ(0u, r.trailing);
  EXPECT_FALSE(r.opaqueBody);
  EXPECT_EQ(bytes, ovg::encodeSessionRecord(r));
}

TEST_P(RecordKind, EveryShorterPrefixIsRefusedCleanly) {
  const std::string bytes = build(GetParam());
  for (size_t n = 0; n < bytes.size(); ++n) {
    ovg::SessionRecordView r;
    std::string error;
    bool ok = ovg::decodeSessionRecord(bytes.data(), n, r, error);
    if (GetParam() == 9 && n > ovgfw::OVGMessage::HEADER_SIZE) {
      // A resume body that is not a whole start record is kept as it is.
      ASSERT_TRUE(ok) << n;
      EXPECT_TRUE(r.opaqueBody);
      EXPECT_EQ(bytes.substr(ovgfw::OVGMessage::HEADER_SIZE, n - ovgfw::OVGMessage::HEADER_SIZE), r.body);
      EXPECT_EQ(bytes.substr(0, n), ovg::encodeSessionRecord(r));
    } else {
      EXPECT_FALSE(ok) << "prefix of " << n << " bytes accepted";
      EXPECT_FALSE(error.empty());
    }
  }
}

TEST_P(RecordKind, TrailingBytesAreCounted) {
  const std::string bytes = build(GetParam()) + "xyz";
  ovg::SessionRecordView r;
  std::string error;
  ASSERT_TRUE(ovg::decodeSessionRecord(bytes.data(), bytes.size(), r, error)) << error;
  EXPECT_EQ(3u, r.trailing);
}

INSTANTIATE_TEST_SUITE_P(Types, RecordKind, ::testing::Values(2, 3, 4, 5, 9));

// The fields sit where the record layout puts them: a data record by hand.
TEST(Decode, DataRecordFromRawBytes) {
  std::string b(12 + 16 + 8 + 1 + 4 + 3, '\0');
  unsigned char* p = reinterpret_cast<unsigned char*>(&b[0]);
  ofw::codec::putU16(p, 4);
  ofw::codec::putU64(p + 2, 0x0102030405060708ull);
  ofw::codec::putU16(p + 10, 1);  // acknowledgement required
  std::memcpy(p + 12, kGuidBytes, 16);
  ofw::codec::putU32(p + 28, 1234567890);
  ofw::codec::putU32(p + 32, 999999);
  p[36] = 1;
  ofw::codec::putU32(p + 37, 3);
  std::memcpy(p + 41, "a\"\\", 3);
  ovg::SessionRecordView r;
  std::string error;
  ASSERT_TRUE(ovg::decodeSessionRecord(b.data(), b.size(), r, error)) << error;
  EXPECT_EQ(0x0102030405060708ull, r.sequenceNumber);
  EXPECT_TRUE(r.ackRequired);
  EXPECT_EQ(1, r.stream);
  EXPECT_EQ("a\"\\", r.data);
  EXPECT_EQ(kGuid, r.guid);
  EXPECT_EQ(1234567890, r.time.tv_sec);
  EXPECT_EQ(999999, r.time.tv_usec);
}

class BadArgc : public ::testing::TestWithParam<int32_t> {};

// argc never sizes anything: a huge count needs every argument in the record,
// and a negative one (which no builder writes) is refused.
TEST_P(BadArgc, StartRecordIsRefused) {
  ovgfw::OVGRequestMessage m;
  m.setType(ovgfw::OVGMessage::TYPE_SESSION_START);
  m.writeGUID(kGuid);
  m.writeTimestamp(kTime);
  m.writeInt32(0);
  for (int i = 0; i < 6; ++i) m.writeString("");
  m.writeInt32(GetParam());
  m.writeString("only one");
  m.writeString("");
  m.writeByte(0);
  m.writeGUID(kGuid);
  std::string bytes = m.serialize();
  ovg::SessionRecordView r;
  std::string error;
  EXPECT_FALSE(ovg::decodeSessionRecord(bytes.data(), bytes.size(), r, error));
  EXPECT_NE(std::string::npos, error.find("session start record is cut short")) << error;
}
INSTANTIATE_TEST_SUITE_P(Counts, BadArgc, ::testing::Values(INT32_MAX, 4, -1, INT32_MIN));

TEST(Decode, OtherTypesKeepTheirBody) {
  ovgfw::OVGRequestMessage m(7, 3);
  m.writeInt32(5);
  std::string bytes = m.serialize();
  ovg::SessionRecordView r;
  std::string error;
  ASSERT_TRUE(ovg::decodeSessionRecord(bytes.data(), bytes.size(), r, error)) << error;
  EXPECT_EQ(7, r.type);
  EXPECT_EQ(3u, r.sequenceNumber);
  EXPECT_EQ(bytes, ovg::encodeSessionRecord(r));
}

TEST(Decode, HeaderOnlyAndEmpty) {
  std::string header(12, '\0');
  header[0] = 4;  // host order is little-endian on the machines we build for
  ovg::SessionRecordView r;
  std::string error;
  EXPECT_FALSE(ovg::decodeSessionRecord(header.data(), header.size(), r, error));
  EXPECT_EQ("session data record has no body", error);
  EXPECT_FALSE(ovg::decodeSessionRecord("", 0, r, error));
}

}  // namespace
