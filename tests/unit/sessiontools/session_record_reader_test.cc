// Reading spooled session records back: decoding checked against the byte
// layout, round trips through the builders, records cut short at every
// length, the text escaping, and `showSessionSpool` over a real spool.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "ofw/dbq/dbqcomposite.h"
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
  EXPECT_NE(std::string::npos, ovg::formatSessionRecord(r).find(" trailing=3"));
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
  EXPECT_EQ("session data seq=72623859790382856 ack guid=" + kGuid.toSwappedMSString() +
                " time=2009-02-13T23:31:30.999999Z stream=1 len=3 data=\"a\\\"\\\\\"",
            ovg::formatSessionRecord(r));
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
  EXPECT_EQ("type 7 seq=3 len=4", ovg::formatSessionRecord(r));
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

TEST(Format, StartRecordLine) {
  const std::string bytes = build(2);
  ovg::SessionRecordView r;
  std::string error;
  ASSERT_TRUE(ovg::decodeSessionRecord(bytes.data(), bytes.size(), r, error));
  EXPECT_EQ("session start seq=77 guid=" + kGuid.toSwappedMSString() +
                " time=2023-11-14T22:13:20.000042Z usertype=1 adname=\"alice@EXAMPLE.TEST\" sid=\"S-1-5-21-1\" "
                "user=\"alice\" tty=\"/dev/pts/4\" string1=\"one\" string2=\"two\" argc=3 "
                "argv=[\"-bash\",\"-c\",\"x y\"] source=\"alice@ad\" video=1 related=a3a2a1a0-a5a4-a7a6-a8a9-aaabacadaeaf",
            ovg::formatSessionRecord(r));
}

TEST(Format, TimeOutOfRange) {
  struct timeval tv = {5, 1000000};
  EXPECT_EQ("5.1000000", ovg::formatTimeval(tv));
  struct timeval ok = {0, 1};
  EXPECT_EQ("1970-01-01T00:00:00.000001Z", ovg::formatTimeval(ok));
}

struct EscapeCase {
  std::string raw;
  std::string text;
};
class Escape : public ::testing::TestWithParam<EscapeCase> {};
TEST_P(Escape, BothWays) {
  EXPECT_EQ(GetParam().text, ovg::escapeBytes(GetParam().raw));
  std::string back;
  ASSERT_TRUE(ovg::unescapeBytes(GetParam().text, back));
  EXPECT_EQ(GetParam().raw, back);
}
INSTANTIATE_TEST_SUITE_P(Cases, Escape,
                         ::testing::Values(EscapeCase{"hello\r\n", "hello\\r\\n"}, EscapeCase{"a\tb", "a\\tb"},
                                           EscapeCase{"\\", "\\\\"}, EscapeCase{"\"q\"", "\\\"q\\\""},
                                           EscapeCase{std::string("\0\x1f\x7f\x80\xff", 5), "\\x00\\x1f\\x7f\\x80\\xff"},
                                           EscapeCase{" ~", " ~"}, EscapeCase{"", ""}));

TEST(Escape, AllBytesRoundTrip) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  std::string text = ovg::escapeBytes(all);
  for (char c : text) {
    EXPECT_TRUE(c >= 0x20 && c < 0x7f) << static_cast<int>(c);
  }
  std::string back;
  ASSERT_TRUE(ovg::unescapeBytes(text, back));
  EXPECT_EQ(all, back);
}

TEST(Escape, MalformedEscapesAreRefused) {
  std::string out = "unchanged";
  for (const char* bad : {"\\", "abc\\", "\\x", "\\x4", "\\xg0", "\\q"}) {
    EXPECT_FALSE(ovg::unescapeBytes(bad, out)) << bad;
    EXPECT_EQ("unchanged", out);
  }
  ASSERT_TRUE(ovg::unescapeBytes("\\0\\e\\X", out) == false);
  ASSERT_TRUE(ovg::unescapeBytes("\\0\\e\\x4A", out));
  EXPECT_EQ(std::string("\0\x1bJ", 3), out);
}

class SpoolDir : public ::testing::Test {
 protected:
  std::string show(const std::string& path, int* rc) {
    std::string outPath = dir_ + "/out", errPath = dir_ + "/err";
    FILE* out = std::fopen(outPath.c_str(), "w+");
    FILE* err = std::fopen(errPath.c_str(), "w+");
    *rc = ovg::showSessionSpool(path, out, err);
    std::fflush(err);
    std::string text;
    for (FILE* f : {out, err}) {
      std::rewind(f);
      char buf[4096];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
      std::fclose(f);
    }
    return text;
  }
  testsupport::TempDir t_;
  const std::string dir_ = t_.path();
};

TEST_F(SpoolDir, ListsEveryRecordHeadFirst) {
  const std::string q = dir_ + "/s.dbq";
  {
    ofw::DBQComposite dbq(q, ofw::DBQ_OPEN_OR_CREATE, 512, 0600);
    for (int kind : {2, 4, 5, 3}) {
      std::string b = build(kind);
      boost::shared_array<unsigned char> data(new unsigned char[b.size()]);
      std::memcpy(data.get(), b.data(), b.size());
      dbq.enqueue(data, static_cast<unsigned int>(b.size()));
    }
  }
  auto fileBytes = [](const std::string& path) {
    std::string bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return bytes;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    std::fclose(f);
    return bytes;
  };
  const std::string before = fileBytes(q + "/0");
  ASSERT_FALSE(before.empty());
  int rc = -1;
  std::string text = show(q, &rc);
  EXPECT_EQ(0, rc);
  EXPECT_EQ(before, fileBytes(q + "/0")) << "show changed the spool";
  std::vector<std::string> lines;
  size_t at = 0, nl;
  while ((nl = text.find('\n', at)) != std::string::npos) {
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  ASSERT_EQ(4u, lines.size()) << text;
  EXPECT_EQ(0u, lines[0].find("1: session start seq=77 guid="));
  EXPECT_EQ(0u, lines[1].find("2: session data seq=77 guid="));
  EXPECT_NE(std::string::npos, lines[1].find("stream=2 len=5 data=\"hi\\r\\n\\x01\""));
  EXPECT_EQ(0u, lines[2].find("3: window size seq=77"));
  EXPECT_NE(std::string::npos, lines[2].find("rows=24 cols=80 xpixel=-1 ypixel=7"));
  EXPECT_EQ(0u, lines[3].find("4: session end seq=77"));
}

TEST_F(SpoolDir, UndecodableRecordIsListedAndFails) {
  const std::string q = dir_ + "/s.dbq";
  {
    ofw::DBQComposite dbq(q, ofw::DBQ_OPEN_OR_CREATE, 512, 0600);
    boost::shared_array<unsigned char> data(new unsigned char[5]);
    std::memcpy(data.get(), "short", 5);
    dbq.enqueue(data, 5);
  }
  int rc = -1;
  std::string text = show(q, &rc);
  EXPECT_EQ(1, rc);
  EXPECT_EQ("1: undecodable record of 5 bytes: record of 5 bytes is shorter than its 12-byte header\n", text);
}

TEST_F(SpoolDir, MissingDirectory) {
  int rc = -1;
  std::string text = show(dir_ + "/none", &rc);
  EXPECT_EQ(1, rc);
  EXPECT_EQ("vgspool: " + dir_ + "/none: no such spool directory\n", text);
}

}  // namespace
