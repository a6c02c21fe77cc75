// The audit shell's session requests: each version's request type and field
// order, read back value by value with the message layer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lrpc2/msg.h"
#include "lrpc2/msg_types.h"
#include "tools/shellside/session_requests.h"

namespace {

// Asserts the next value's tag, so that a field in the wrong place or of the
// wrong type fails at that field.
void expectTag(LRPC2Msg* m, int want, const char* what) {
  int tag = -1;
  ASSERT_EQ(0, MsgPeekData(m, &tag)) << what;
  EXPECT_EQ(want, tag) << what;
}
int32_t i32(LRPC2Msg* m, const char* what) {
  expectTag(m, MSG_TAG_INT32, what);
  int32_t v = 0;
  EXPECT_EQ(0, MsgReadInt32(m, &v)) << what;
  return v;
}
uint32_t u32(LRPC2Msg* m, const char* what) {
  uint32_t v = 0;
  EXPECT_EQ(0, MsgReadUInt32(m, &v)) << what;
  return v;
}
bool b(LRPC2Msg* m, const char* what) {
  expectTag(m, MSG_TAG_BOOL, what);
  int v = -1;
  EXPECT_EQ(0, MsgReadBool(m, &v)) << what;
  return v != 0;
}
std::string str(LRPC2Msg* m, const char* what) {
  expectTag(m, MSG_TAG_STRING, what);
  char* s = nullptr;
  EXPECT_EQ(0, MsgReadString(m, &s)) << what;
  std::string r = s ? s : "<null>";
  std::free(s);
  return r;
}
std::string blob(LRPC2Msg* m, const char* what) {
  expectTag(m, MSG_TAG_BLOB, what);
  void* d = nullptr;
  uint32_t n = 0;
  EXPECT_EQ(0, MsgReadBlob(m, &d, &n)) << what;
  std::string r(d ? static_cast<const char*>(d) : "", n);
  std::free(d);
  return r;
}
void atEnd(LRPC2Msg* m) { expectTag(m, MSG_TAG_END, "end"); }
uint32_t typeOf(LRPC2Msg* m) {
  uint32_t t = 0;
  EXPECT_EQ(0, MsgReadMsgType(m, &t));
  return t;
}

ovg::StartRequest sampleStart() {
  ovg::StartRequest r;
  r.ovgshPid = 101;
  r.ovgshParentPid = 102;
  r.shellPid = 103;
  r.psid = 104;
  r.userGiven = true;
  r.user = "alice";
  r.tty = "/dev/pts/7";
  r.slave = "pts/7";
  r.string1 = "first";
  r.string2 = "second";
  r.program = "xterm";
  r.auditCommand = true;
  r.secondFlag = false;
  r.reserved = "reserved";
  r.actualUser = "bob";
  r.related = "01020304-0506-0708-090a-0b0c0d0e0f10";
  struct timeval tv = {1700000000, 123456};
  r.startTime = ovg::timevalBlob(tv);
  r.argv = {"-bash", "-c", "echo hi"};
  r.sequence = (static_cast<uint64_t>(7) << 32) | 9;
  return r;
}

class StartVersion : public ::testing::TestWithParam<int> {};

// The field order of each version, written out per step of the request's
// definition, so that the builder is checked against it field by field.
TEST_P(StartVersion, FieldsInTheOrderOfTheVersion) {
  const int v = GetParam();
  ovg::StartRequest r = sampleStart();
  int status = -1;
  MsgPtr m(ovg::buildStartRequest(v, r, &status));
  ASSERT_NE(nullptr, m.get());
  EXPECT_EQ(0, status);
  const uint32_t want = v == 1 ? 30u : v == 2 ? 31u : v <= 10 ? 29u + static_cast<uint32_t>(v) : 190u + static_cast<uint32_t>(v);
  EXPECT_EQ(want, typeOf(m.get()));
  EXPECT_EQ(want, ovg::startRequestType(v));
  struct timeval tv = {1700000000, 123456};
  const std::string time(reinterpret_cast<const char*>(&tv), sizeof tv);  // the native layout, byte for byte
  // Kind: i int32, u uint32, b bool, s string, x blob; present from version `from` to `to`.
  struct Field { int from, to; char kind; std::string value; const char* what; };
  const std::vector<Field> fields = {
      {5, 99, 'i', "101", "ovgsh pid"}, {5, 99, 'i', "102", "ovgsh parent pid"}, {5, 99, 'i', "103", "shell pid"},
      {1, 99, 'i', "104", "psid"}, {17, 99, 'b', "1", "user given"}, {1, 99, 's', "alice", "user"},
      {1, 99, 's', "/dev/pts/7", "tty"}, {4, 99, 's', "pts/7", "slave"}, {1, 99, 's', "first", "string 1"},
      {1, 99, 's', "second", "string 2"}, {2, 99, 's', "xterm", "program"}, {9, 99, 'b', "1", "audit command"},
      {12, 99, 'b', "0", "second flag"}, {10, 15, 's', "reserved", "reserved string"},
      {11, 99, 's', "bob", "actual user"}, {13, 99, 's', "01020304-0506-0708-090a-0b0c0d0e0f10", "related"},
      {14, 99, 'x', time, "start time"}, {1, 99, 'i', "3", "argc"}, {1, 99, 's', "-bash", "argv[0]"},
      {1, 99, 's', "-c", "argv[1]"}, {1, 99, 's', "echo hi", "argv[2]"}, {1, 99, 'u', "7", "sequence high"},
      {1, 99, 'u', "9", "sequence low"}};
  for (const Field& f : fields) {
    if (v < f.from || v > f.to) continue;
    LRPC2Msg* p = m.get();
    const std::string got = f.kind == 'i'   ? std::to_string(i32(p, f.what))
                            : f.kind == 'u' ? std::to_string(u32(p, f.what))
                            : f.kind == 'b' ? std::to_string(b(p, f.what))
                            : f.kind == 's' ? str(p, f.what)
                                            : blob(p, f.what);
    EXPECT_EQ(f.value, got) << f.what;
  }
  atEnd(m.get());
}

INSTANTIATE_TEST_SUITE_P(Versions, StartVersion, ::testing::Values(1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17));

class DataVersion : public ::testing::TestWithParam<int> {};
TEST_P(DataVersion, StreamDataTimeSequence) {
  const int v = GetParam();
  int status = -1;
  MsgPtr m(ovg::buildDataRequest(v, 2, std::string("a\0b", 3), "TIME", 0x100000002ull, &status));
  ASSERT_NE(nullptr, m.get());
  EXPECT_EQ(static_cast<uint32_t>(MsgType::VGSessionData) + static_cast<uint32_t>(v - 1), typeOf(m.get()));
  EXPECT_EQ(2, i32(m.get(), "stream"));
  EXPECT_EQ(std::string("a\0b", 3), blob(m.get(), "data"));
  if (v >= 3) {
    EXPECT_EQ("TIME", blob(m.get(), "time"));
    EXPECT_EQ(1u, u32(m.get(), "sequence high"));
    EXPECT_EQ(2u, u32(m.get(), "sequence low"));
  }
  atEnd(m.get());
}
INSTANTIATE_TEST_SUITE_P(Versions, DataVersion, ::testing::Values(1, 2, 3));

class WSizeVersion : public ::testing::TestWithParam<int> {};
TEST_P(WSizeVersion, TimeSizesSequence) {
  const int v = GetParam();
  const int32_t size[4] = {24, 80, 640, 480};
  int status = -1;
  MsgPtr m(ovg::buildWSizeRequest(v, "TIME", size, 5, &status));
  ASSERT_NE(nullptr, m.get());
  EXPECT_EQ(static_cast<uint32_t>(MsgType::VGSessionWSizeChange) + static_cast<uint32_t>(v - 1), typeOf(m.get()));
  if (v >= 2) {
    EXPECT_EQ("TIME", blob(m.get(), "time"));
  }
  for (int32_t want : size) {
    EXPECT_EQ(want, i32(m.get(), "size"));
  }
  if (v >= 3) {
    EXPECT_EQ(0u, u32(m.get(), "sequence high"));
    EXPECT_EQ(5u, u32(m.get(), "sequence low"));
  }
  atEnd(m.get());
}
INSTANTIATE_TEST_SUITE_P(Versions, WSizeVersion, ::testing::Values(1, 2, 3));

class ResumeVersion : public ::testing::TestWithParam<int> {};
TEST_P(ResumeVersion, GuidTtyPsidBodyPidGroup) {
  const int v = GetParam();
  const std::string guid(16, '\x42');
  int status = -1;
  MsgPtr m(ovg::buildResumeRequest(v, guid, "/dev/pts/3", 55, "BODY", 66, 77, &status));
  ASSERT_NE(nullptr, m.get());
  EXPECT_EQ(static_cast<uint32_t>(MsgType::VGSessionResume) + static_cast<uint32_t>(v - 1), typeOf(m.get()));
  EXPECT_EQ(guid, blob(m.get(), "guid"));
  EXPECT_EQ("/dev/pts/3", str(m.get(), "tty"));
  EXPECT_EQ(55, i32(m.get(), "psid"));
  if (v >= 2) {
    EXPECT_EQ("BODY", blob(m.get(), "body"));
  }
  if (v >= 4) {
    EXPECT_EQ(66, i32(m.get(), "ovgsh pid"));
  }
  if (v >= 5) {
    EXPECT_EQ(77, i32(m.get(), "pgid"));
  }
  atEnd(m.get());
}
INSTANTIATE_TEST_SUITE_P(Versions, ResumeVersion, ::testing::Values(1, 2, 3, 4, 5));

TEST(OtherRequests, PgidAndEnd) {
  int status = -1;
  MsgPtr p(ovg::buildPGIDRequest(4321, &status));
  ASSERT_NE(nullptr, p.get());
  EXPECT_EQ(static_cast<uint32_t>(MsgType::VGSessionPGID), typeOf(p.get()));
  EXPECT_EQ(4321, i32(p.get(), "pgid"));
  atEnd(p.get());

  for (int v : {1, 2}) {
    MsgPtr e(ovg::buildEndRequest(v, "TIME", &status));
    ASSERT_NE(nullptr, e.get());
    EXPECT_EQ(static_cast<uint32_t>(v == 1 ? MsgType::VGSessionEnd : MsgType::VGSessionEnd2), typeOf(e.get()));
    if (v == 2) {
      EXPECT_EQ("TIME", blob(e.get(), "end time"));
    }
    atEnd(e.get());
  }
}

}  // namespace
