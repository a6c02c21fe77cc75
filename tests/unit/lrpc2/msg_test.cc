// LRPC2 message layer: byte layouts, reading, validation, states and the
// message-type table.
#include <gtest/gtest.h>
#include <malloc.h>

#include <functional>
#include <set>

#include "lrpc2/msg.h"
#include "lrpc2/msg_internal.h"
#include "lrpc2_test_util.h"

using namespace lrpc2test;

namespace {

Msg Build(uint32_t type, uint32_t header = 0) {
  int st = -1;
  Msg m(MsgNew(type, 0, nullptr, header, &st));
  EXPECT_EQ(st, MSG_OK);
  return m;
}

Msg Wrap(const Bytes& body, int* status = nullptr) {
  int st = -1;
  Msg m(MsgNewFromData(body.data(), body.size(), 1, nullptr, 0, &st));
  if (status) *status = st;
  return m;
}

// Position probe: the body offset of the next value, seen through MsgPeekData
// and a subsequent successful read in the tests below.
int PeekTag(LRPC2Msg* m) {
  int tag = -1;
  EXPECT_EQ(MsgPeekData(m, &tag), MSG_OK);
  return tag;
}

TEST(LRPC2MsgTable, SortedForLookUpAndUnknownTypesHaveNoEntry) {
  const MsgTable* t = OVGPrivGetMsgTable();
  ASSERT_GT(t->count, 0u);
  for (uint32_t i = 1; i < t->count; ++i) EXPECT_LT(t->entries[i - 1].type, t->entries[i].type);
  for (uint32_t i = 0; i < t->count; ++i)
    EXPECT_STREQ(MsgTableGetMsgTypeName(t->entries[i].type), t->entries[i].name);
  for (uint32_t unknown : {4u, 32u, 108u, 3501u, 0xFFFFFFFFu}) {
    EXPECT_EQ(MsgTableGetMsgTypeName(unknown), nullptr) << unknown;
    EXPECT_FALSE(MsgTableGetAuthRequired(unknown));
    EXPECT_FALSE(MsgTableHasSensitiveData(unknown));
    EXPECT_FALSE(MsgTableGetDoAsync(unknown));
  }
}

TEST(LRPC2Msg, SetHelpersFreeEveryPiece) {
  EXPECT_EQ(StringSetSize(nullptr), 0u);
  // glibc's count of allocated bytes (constant under a sanitizer, whose own
  // leak check then covers this). Every piece is larger than glibc's
  // per-thread cache takes, so a freed piece leaves the count at once.
  const std::string big(2000, 'a');
  const size_t before = mallinfo2().uordblks;
  char** set = static_cast<char**>(calloc(256, sizeof(char*)));
  set[0] = strdup(big.c_str());
  set[1] = strdup(big.c_str());
  const size_t n = StringSetSize(set);
  FreeStringSet(set);
  const size_t after = mallinfo2().uordblks;
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(after, before) << "a piece of the set stayed allocated";
  // Null sets are accepted (a dereference would crash the test).
  FreeStringSet(nullptr);
  FreeMsgStringSet(nullptr);
  FreeMsgKeyValueSet(nullptr);
  FreeMsgBlobSet(nullptr);
}

}  // namespace

TEST(LRPC2Msg, HeaderSpaceIsReservedInFront) {
  Msg m = Build(MsgType::VGQueryRunlevel, MSG_MAX_HEADER_LENGTH);
  ASSERT_EQ(MsgWriteUInt32(m.get(), 7), MSG_OK);
  ASSERT_EQ(MsgComplete(m.get()), MSG_OK);
  EXPECT_EQ(DataOf(m.get()), Bytes(B().str(std::string(48, 0)).u16(610).u8(3).u32(7).u8(0)));
  EXPECT_EQ(MsgGetBodyLength(m.get()), 8u);
}

// Set items and blobs as text when printable, else in hex.
std::string Shown(const void* p, size_t n) {
  const std::string s(static_cast<const char*>(p), n);
  for (unsigned char c : s)
    if (c < 0x20 || c > 0x7e) return testsupport::hex(s);
  return s;
}

// A complete message's values read one by one, as text joined by spaces:
// "b1", "i-2", "u7", "s:abc", "s:null", "p:pw", "x:<blob>", "x:null",
// "[a,bc,]" (a set, read as strings or as blobs), "{k=v,}", "P:null".
std::string Values(LRPC2Msg* m, bool setsAsBlobs) {
  std::string out;
  for (int tag = -1; MsgPeekData(m, &tag) == MSG_OK && tag != MSG_TAG_END;) {
    out += out.empty() ? "" : " ";
    int b = -1;
    int32_t i = 0;
    uint32_t u = 0;
    char* s = nullptr;
    void* d = nullptr;
    if (tag == MSG_TAG_BOOL && MsgReadBool(m, &b) == MSG_OK) {
      out += "b" + std::to_string(b);
    } else if (tag == MSG_TAG_INT32 && MsgReadInt32(m, &i) == MSG_OK) {
      out += "i" + std::to_string(i);
    } else if (tag == MSG_TAG_UINT32 && MsgReadUInt32(m, &u) == MSG_OK) {
      out += "u" + std::to_string(u);
    } else if (tag == MSG_TAG_STRING && MsgReadString(m, &s) == MSG_OK) {
      out += s ? "s:" + std::string(s) : "s:null";
      free(s);
    } else if (tag == MSG_TAG_PASSWORD && MsgReadString(m, &s) == MSG_ERR_BADTYPE &&
               MsgReadPassword(m, &s) == MSG_OK) {
      EXPECT_TRUE(MsgGetFlags(m) & MSG_FLAG_SENSITIVE);
      out += "p:" + std::string(s);
      MsgFreePassword(s);
    } else if (tag == MSG_TAG_BLOB && MsgReadBlob(m, &d, &u) == MSG_OK) {
      out += d ? "x:" + Shown(d, u) : "x:null";
      EXPECT_TRUE(d ? static_cast<char*>(d)[u] == 0 : u == 0) << "terminator added, null has no length";
      free(d);
    } else if (tag == MSG_TAG_PROTECTED_BLOB && MsgReadProtectedBlob(m, &d, &u, nullptr) == MSG_OK) {
      out += d ? "P:" + Shown(d, u) : "P:null";
      MsgFreeSensitive(d, u);
    } else if (tag == MSG_TAG_SET && !setsAsBlobs) {
      char** set = nullptr;
      if (MsgReadStringSet(m, &set) != MSG_OK || set == nullptr) return out + "<bad string set>";
      out += "[";
      for (size_t k = 0; k < StringSetSize(set); ++k) out += Shown(set[k], strlen(set[k])) + ",";
      out += "]";
      FreeMsgStringSet(set);
    } else if (tag == MSG_TAG_SET) {
      MsgBlob* blobs = nullptr;
      if (MsgReadBlobSet(m, &blobs, &u) != MSG_OK) return out + "<bad blob set>";
      out += "[";
      for (uint32_t k = 0; k < u; ++k) {
        EXPECT_EQ(blobs[k].data == nullptr, blobs[k].length == 0) << "an empty item is null";
        out += Shown(blobs[k].data, blobs[k].length) + ",";
      }
      out += "]";
      FreeMsgBlobSet(blobs);
    } else if (tag == MSG_TAG_KEYVALUE_SET) {
      MsgKeyValue* kv = nullptr;
      if (MsgReadKeyValueSet(m, &kv) != MSG_OK) return out + "<bad key-value set>";
      out += "{";
      for (MsgKeyValue* p = kv; p->key; ++p) out += std::string(p->key) + "=" + p->value + ",";
      out += "}";
      FreeMsgKeyValueSet(kv);
    } else {
      return out + "<tag " + std::to_string(tag) + " unreadable>";
    }
  }
  return out;
}

struct TagCase {
  const char* name;
  std::function<int(LRPC2Msg*)> write;
  Bytes values;  // body bytes after the type, without the end tag
  const char* read;  // as Values() shows them
};

class LRPC2MsgTags : public ::testing::TestWithParam<TagCase> {};

TEST_P(LRPC2MsgTags, BytesAndRoundTrip) {
  const TagCase& c = GetParam();
  Msg m = Build(MsgType::VGPing);
  ASSERT_EQ(c.write(m.get()), MSG_OK);
  ASSERT_EQ(MsgComplete(m.get()), MSG_OK);
  Bytes expected = B().u16(10).raw(c.values.data(), c.values.size()).u8(0);
  EXPECT_EQ(DataOf(m.get()), expected);
  // Read back from the built message and from a copy made from the bytes.
  EXPECT_EQ(Values(m.get(), false), c.read);
  EXPECT_EQ(PeekTag(m.get()), MSG_TAG_END);
  int st;
  Msg copy = Wrap(expected, &st);
  ASSERT_EQ(st, MSG_OK);
  EXPECT_EQ(Values(copy.get(), true), c.read);
}

const char* const kSet[] = {"a", "bc", "", nullptr};
const uint8_t kData[] = {9, 8};

int WriteKeyValues(LRPC2Msg* m) {
  MsgKeyValue kv[] = {{const_cast<char*>("k"), const_cast<char*>("vv")},
                      {const_cast<char*>("x"), nullptr},
                      {nullptr, nullptr}};
  return MsgWriteKeyValueSet(m, kv);
}

// Each writer's steps in turn, stopping at the first failure.
int Steps(std::initializer_list<std::function<int()>> steps) {
  for (auto& step : steps)
    if (int rc = step()) return rc;
  return MSG_OK;
}

const TagCase kTagCases[] = {
    TagCase{"Empty", [](LRPC2Msg*) { return static_cast<int>(MSG_OK); }, Bytes(), ""},
    TagCase{"BoolTrue", [](LRPC2Msg* m) { return MsgWriteBool(m, 5); }, B().u8(1).u8(1), "b1"},
    TagCase{"Int32", [](LRPC2Msg* m) { return MsgWriteInt32(m, -2); }, B().u8(2).u32(0xFFFFFFFE), "i-2"},
    TagCase{"UInt32", [](LRPC2Msg* m) { return MsgWriteUInt32(m, 0xDEADBEEF); }, B().u8(3).u32(0xDEADBEEF),
            "u3735928559"},
    TagCase{"String", [](LRPC2Msg* m) { return MsgWriteString(m, "abc"); }, B().u8(4).u32(3).str("abc"),
            "s:abc"},
    TagCase{"NullString", [](LRPC2Msg* m) { return MsgWriteString(m, nullptr); }, B().u8(4).u32(0xFFFFFFFF),
            "s:null"},
    TagCase{"EmptyString", [](LRPC2Msg* m) { return MsgWriteString(m, ""); }, B().u8(4).u32(0), "s:"},
    TagCase{"Password", [](LRPC2Msg* m) { return MsgWritePassword(m, "pw"); }, B().u8(5).u32(2).str("pw"),
            "p:pw"},
    TagCase{"Blob", [](LRPC2Msg* m) { return MsgWriteBlob(m, "\x01\x00\x03", 3); },
            B().u8(6).u32(3).u8(1).u8(0).u8(3), "x:01 00 03"},
    TagCase{"ZeroLengthBlobIsNull", [](LRPC2Msg* m) { return MsgWriteBlob(m, "\x01", 0); },
            B().u8(6).u32(0xFFFFFFFF), "x:null"},
    TagCase{"StringSet", [](LRPC2Msg* m) { return MsgWriteStringSet(m, kSet); },
            B().u8(7).u32(3).u32(1).str("a").u32(2).str("bc").u32(0), "[a,bc,,]"},
    TagCase{"EmptyStringSet", [](LRPC2Msg* m) { return MsgWriteStringSet(m, nullptr); }, B().u8(7).u32(0),
            "[]"},
    TagCase{"KeyValueSet", WriteKeyValues,
            B().u8(8).u32(2).u32(1).str("k").u32(2).str("vv").u32(1).str("x").u32(0), "{k=vv,x=,}"},
    TagCase{"IncrementalStringSet",  // the count is patched by MsgComplete
            [](LRPC2Msg* m) {
              return Steps({[m] { return MsgWriteBeginStringSet(m); },
                            [m] { return MsgWriteAppendStringToSet(m, "one"); },
                            [m] { return MsgWriteAppendStringToSet(m, nullptr); }});
            },
            B().u8(7).u32(2).u32(3).str("one").u32(0), "[one,,]"},
    TagCase{"IncrementalBlobSetPatchedByNextWrite",
            [](LRPC2Msg* m) {
              return Steps({[m] { return MsgWriteBeginStringSet(m); },
                            [m] { return MsgWriteAppendBlobToSet(m, kData, 2); },
                            [m] { return MsgWriteAppendBlobToSet(m, nullptr, 0); },
                            [m] { return MsgWriteAppendBlobToSet(m, kData, 1); },
                            [m] { return MsgWriteBool(m, 1); }});
            },
            B().u8(7).u32(3).u32(2).u8(9).u8(8).u32(0).u32(1).u8(9).u8(1).u8(1), "[09 08,,09,] b1"},
    TagCase{"IncrementalKeyValueSet",
            [](LRPC2Msg* m) {
              return Steps({[m] { return MsgWriteBeginKeyValueSet(m); },
                            [m] { return MsgWriteAppendKeyValuePair(m, "a", "1"); },
                            [m] { return MsgWriteAppendKeyValuePair(m, "b", nullptr); },
                            [m] { return MsgWriteBeginStringSet(m); }});  // closes the first set
            },
            B().u8(8).u32(2).u32(1).str("a").u32(1).str("1").u32(1).str("b").u32(0).u8(7).u32(0),
            "{a=1,b=,} []"},
    TagCase{"NullProtectedBlob", [](LRPC2Msg* m) { return MsgWriteProtectedBlob(m, nullptr, 0, nullptr); },
            B().u8(9).u32(0xFFFFFFFF), "P:null"},
    TagCase{"BoolAndIntArrays",
            [](LRPC2Msg* m) {
              const int bools[] = {1, 0, 1};
              const int32_t ints[] = {-1, 2};
              return Steps({[&] { return MsgWriteBoolArray(m, bools, 3); },
                            [&] { return MsgWriteIntArray(m, ints, 2); }});
            },
            B().u8(1).u8(1).u8(1).u8(0).u8(1).u8(1).u8(2).u32(0xFFFFFFFF).u8(2).u32(2), "b1 b0 b1 i-1 i2"}};

INSTANTIATE_TEST_SUITE_P(Values, LRPC2MsgTags, ::testing::ValuesIn(kTagCases),
                         [](const ::testing::TestParamInfo<TagCase>& info) { return std::string(info.param.name); });

TEST(LRPC2Msg, WrongTypeReadReturns202AndConsumesNothing) {
  Msg m = Build(MsgType::VGPing);
  ASSERT_EQ(MsgWriteString(m.get(), "x"), MSG_OK);
  ASSERT_EQ(MsgWriteUInt32(m.get(), 4), MSG_OK);
  ASSERT_EQ(MsgComplete(m.get()), MSG_OK);
  LRPC2Msg* const r = m.get();
  int32_t i = 0x55;
  int b = 0x55;
  uint32_t u = 0, n = 0;
  void* d = nullptr;
  char** set = nullptr;
  MsgKeyValue* kv = nullptr;
  MsgBlob* blobs = nullptr;
  int* ba = nullptr;
  int32_t* ia = nullptr;
  char* pw = nullptr;
  int k = 0;
  for (int rc : {MsgReadInt32(r, &i), MsgReadUInt32(r, &u), MsgReadBool(r, &b), MsgReadPassword(r, &pw),
                 MsgReadBlob(r, &d, &n), MsgReadStringSet(r, &set), MsgReadBlobSet(r, &blobs, &n),
                 MsgReadKeyValueSet(r, &kv), MsgReadProtectedBlob(r, &d, &n, nullptr), MsgReadBoolArray(r, &ba, 1),
                 MsgReadIntArray(r, &ia, 1)})
    EXPECT_EQ(rc, MSG_ERR_BADTYPE) << "read " << k++;
  EXPECT_EQ(i, 0x55);  // outputs untouched
  EXPECT_EQ(b, 0x55);
  EXPECT_EQ(Values(r, false), "s:x u4");
  EXPECT_EQ(MsgReadUInt32(r, &u), MSG_ERR_EOM);
  EXPECT_EQ(MsgReadString(r, &pw), MSG_ERR_EOM);
  EXPECT_EQ(PeekTag(r), MSG_TAG_END);
}

TEST(LRPC2Msg, ArrayReadIsAllOrNothing) {
  Msg m = Build(MsgType::VGPing);
  const int flags[] = {1, 0, 1};
  const int32_t ints[] = {1, 2};
  ASSERT_EQ(MsgWriteBoolArray(m.get(), flags, 3), MSG_OK);
  ASSERT_EQ(MsgWriteIntArray(m.get(), ints, 2), MSG_OK);
  ASSERT_EQ(MsgWriteString(m.get(), "s"), MSG_OK);
  ASSERT_EQ(MsgComplete(m.get()), MSG_OK);
  int* bools = nullptr;
  ASSERT_EQ(MsgReadBoolArray(m.get(), &bools, 3), MSG_OK);
  EXPECT_EQ(std::vector<int>(bools, bools + 3), std::vector<int>({1, 0, 1}));
  free(bools);
  int32_t* out = nullptr;
  // Third value is a string: 202, nothing consumed.
  EXPECT_EQ(MsgReadIntArray(m.get(), &out, 3), MSG_ERR_BADTYPE);
  EXPECT_EQ(out, nullptr);
  // A count far beyond the message fails without allocating it.
  EXPECT_EQ(MsgReadIntArray(m.get(), &out, 0xFFFFFFFFu), MSG_ERR_BADTYPE);
  ASSERT_EQ(MsgReadIntArray(m.get(), &out, 2), MSG_OK);
  EXPECT_EQ(std::vector<int32_t>(out, out + 2), std::vector<int32_t>({1, 2}));
  free(out);
  bools = nullptr;
  EXPECT_EQ(MsgReadBoolArray(m.get(), &bools, 0), MSG_OK);
  EXPECT_EQ(bools, nullptr);
  EXPECT_EQ(PeekTag(m.get()), MSG_TAG_STRING);
}

TEST(LRPC2Msg, ReadTypeAndAsyncFlag) {
  Msg m = Build(MsgType::NSSGetPasswdDataByUID);
  ASSERT_EQ(MsgComplete(m.get()), MSG_OK);
  uint32_t type = 0;
  ASSERT_EQ(MsgReadMsgType(m.get(), &type), MSG_OK);
  EXPECT_EQ(type, 501u);
  int async = -1;
  ASSERT_EQ(MsgReadDoAsync(m.get(), &async), MSG_OK);
  EXPECT_EQ(async, 0);
  EXPECT_TRUE(MsgGetFlags(m.get()) & MSG_FLAG_SENSITIVE);
}

TEST(LRPC2Msg, StateRules) {
  EXPECT_EQ(MsgWriteBool(nullptr, 1), MSG_ERR_INVALID);
  EXPECT_EQ(MsgComplete(nullptr), MSG_ERR_INVALID);
  uint32_t u;
  EXPECT_EQ(MsgReadUInt32(nullptr, &u), MSG_ERR_INVALID);

  Msg m = Build(MsgType::VGPing);
  EXPECT_EQ(MsgReadUInt32(m.get(), &u), MSG_ERR_INVALID);  // still building
  ASSERT_EQ(MsgComplete(m.get()), MSG_OK);
  EXPECT_EQ(MsgWriteUInt32(m.get(), 1), MSG_ERR_EOM);  // complete
  EXPECT_EQ(MsgComplete(m.get()), MSG_ERR_EOM);
  EXPECT_EQ(MsgGetState(m.get()), MSG_STATE_COMPLETE);

  int st;
  Msg wrapped = Wrap(B().u16(10).u8(0), &st);
  ASSERT_EQ(st, MSG_OK);
  EXPECT_EQ(MsgGetState(wrapped.get()), MSG_STATE_COMPLETE);
  EXPECT_EQ(MsgWriteBool(wrapped.get(), 1), MSG_ERR_EOM);
}

TEST(LRPC2Msg, FailedWritePutsMessageIntoErrorState) {
  Msg m = Build(MsgType::VGPing);
  EXPECT_EQ(MsgWriteAppendStringToSet(m.get(), "x"), MSG_ERR_UNEXPECTED);  // no set begun
  EXPECT_EQ(MsgGetState(m.get()), MSG_STATE_ERROR);
  EXPECT_EQ(MsgWriteBool(m.get(), 1), MSG_ERR_INVALID);
  EXPECT_EQ(MsgComplete(m.get()), MSG_ERR_INVALID);

  Msg k = Build(MsgType::VGPing);
  ASSERT_EQ(MsgWriteBeginKeyValueSet(k.get()), MSG_OK);
  EXPECT_EQ(MsgWriteAppendBlobToSet(k.get(), "x", 1), MSG_ERR_UNEXPECTED);  // wrong kind of set
  EXPECT_EQ(MsgGetState(k.get()), MSG_STATE_ERROR);

  Msg s = Build(MsgType::VGPing);
  ASSERT_EQ(MsgWriteBeginStringSet(s.get()), MSG_OK);
  ASSERT_EQ(MsgWriteInt32(s.get(), 1), MSG_OK);  // closes the set
  EXPECT_EQ(MsgWriteAppendStringToSet(s.get(), "late"), MSG_ERR_UNEXPECTED);

  Msg b = Build(MsgType::VGPing);
  EXPECT_EQ(MsgWriteBlob(b.get(), nullptr, 5), MSG_ERR_UNEXPECTED);
  EXPECT_EQ(MsgGetState(b.get()), MSG_STATE_ERROR);
}

TEST(LRPC2Msg, UnknownTypeCannotBeCreated) {
  int st = 0;
  EXPECT_EQ(MsgNew(32, 0, nullptr, 0, &st), nullptr);
  EXPECT_EQ(st, MSG_ERR_INVALID);
  EXPECT_EQ(MsgNew(70000, 0, nullptr, 0, &st), nullptr);
  EXPECT_EQ(MsgNew(10, 0, nullptr, MSG_MAX_HEADER_LENGTH + 1, &st), nullptr);
}

struct BodyCase {
  const char* name;
  Bytes body;
  int status = MSG_ERR_INVALID;
};

class LRPC2MsgValidation : public ::testing::TestWithParam<BodyCase> {};

TEST_P(LRPC2MsgValidation, StatusWithAndWithoutCopy) {
  const Bytes& b = GetParam().body;
  for (int copy : {1, 0}) {
    int st = -1;
    Msg m(MsgNewFromData(b.empty() ? "" : static_cast<const void*>(b.data()), b.size(), copy, nullptr, 0, &st));
    EXPECT_EQ(st, GetParam().status) << "copy " << copy;
    EXPECT_EQ(m != nullptr, GetParam().status == MSG_OK);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, LRPC2MsgValidation,
    ::testing::Values(
        BodyCase{"Empty", Bytes()}, BodyCase{"OneByte", B().u8(10)},
        BodyCase{"TypeOnly", B().u16(10)},
        BodyCase{"EndTagFollowedByByte", B().u16(10).u8(0).u8(0)},
        BodyCase{"TagTen", B().u16(10).u8(10).u8(0)},
        BodyCase{"TagFF", B().u16(10).u8(0xFF).u8(0)},
        BodyCase{"BoolValueTwo", B().u16(10).u8(1).u8(2).u8(0)},
        BodyCase{"TruncatedInt", B().u16(10).u8(2).u8(1).u8(2).u8(0)},
        BodyCase{"TruncatedLength", B().u16(10).u8(4).u8(1).u8(0)},
        BodyCase{"StringLongerThanBody", B().u16(10).u8(4).u32(5).str("abc").u8(0)},
        BodyCase{"StringLengthNearMax", B().u16(10).u8(4).u32(0xFFFFFFFE).str("abc").u8(0)},
        BodyCase{"BlobPastEnd", B().u16(10).u8(6).u32(2).u8(0)},
        BodyCase{"ProtectedPastEnd", B().u16(10).u8(9).u32(100).str(std::string(10, 0)).u8(0)},
        BodyCase{"SetCountOverflow", B().u16(10).u8(7).u32(0xFFFFFFFF).u32(0).u8(0)},
        BodyCase{"SetCountTooLarge", B().u16(10).u8(7).u32(2).u32(0).u8(0)},
        BodyCase{"SetItemNullLength", B().u16(10).u8(7).u32(1).u32(0xFFFFFFFF).u8(0)},
        BodyCase{"SetItemPastEnd", B().u16(10).u8(7).u32(1).u32(4).str("ab").u8(0)},
        BodyCase{"KeyValueCountOverflow", B().u16(10).u8(8).u32(0x40000000).u32(0).u32(0).u8(0)},
        BodyCase{"KeyValueMissingValue", B().u16(10).u8(8).u32(1).u32(1).str("k").u8(0)},
        BodyCase{"MissingEndTag", B().u16(10).u8(3).u32(1)},
        BodyCase{"EndTagInside", B().u16(10).u8(0).u8(3).u32(1).u8(0)},
        // Exact fits; an unknown type is structurally valid (the dispatcher refuses it).
        BodyCase{"OneEmptySetItemFits", B().u16(10).u8(7).u32(1).u32(0).u8(0), MSG_OK},
        BodyCase{"StringFits", B().u16(10).u8(4).u32(3).str("abc").u8(0), MSG_OK},
        BodyCase{"NullProtectedBlob", B().u16(10).u8(9).u32(0xFFFFFFFF).u8(0), MSG_OK},
        BodyCase{"UnknownType", B().u16(32).u8(0), MSG_OK}),
    [](const ::testing::TestParamInfo<BodyCase>& info) { return std::string(info.param.name); });

// A message holding every kind of value: each value case's writes in turn.
Bytes RichBody() {
  Msg m = Build(MsgType::VGSessionStart17);
  for (const TagCase& c : kTagCases) EXPECT_EQ(c.write(m.get()), MSG_OK) << c.name;
  EXPECT_EQ(MsgWriteProtectedBlob(m.get(), "protected", 9, nullptr), MSG_OK);
  EXPECT_EQ(MsgComplete(m.get()), MSG_OK);
  return DataOf(m.get());
}

TEST(LRPC2Msg, EveryTruncationOfAValidMessageIsRejected) {
  const Bytes body = RichBody();
  int st;
  Msg whole = Wrap(body, &st);
  ASSERT_EQ(st, MSG_OK);
  EXPECT_TRUE(MsgGetFlags(whole.get()) & MSG_FLAG_SENSITIVE);
  for (size_t n = 0; n < body.size(); ++n) {
    Bytes cut(body.begin(), body.begin() + n);
    st = 0;
    Msg m = Wrap(cut, &st);
    EXPECT_EQ(m, nullptr) << "prefix of " << n << " bytes accepted";
    EXPECT_EQ(st, MSG_ERR_INVALID) << n;
  }
  // Growing it by one byte is rejected as well.
  Bytes longer = body;
  longer.push_back(0);
  EXPECT_EQ(Wrap(longer, &st), nullptr);
}

TEST(LRPC2Msg, NewFromDataSkipsHeaderAndCanReferToCallerData) {
  Bytes data = B().str(std::string(34, 0)).u16(10).u8(3).u32(99).u8(0);
  int st = -1;
  Msg m(MsgNewFromData(data.data(), data.size(), 0, nullptr, 34, &st));
  ASSERT_EQ(st, MSG_OK);
  size_t n = 0;
  EXPECT_EQ(MsgGetData(m.get(), &n), data.data());
  EXPECT_EQ(n, data.size());
  uint32_t u = 0;
  ASSERT_EQ(MsgReadUInt32(m.get(), &u), MSG_OK);
  EXPECT_EQ(u, 99u);
  EXPECT_EQ(MsgNewFromData(data.data(), 10, 0, nullptr, 34, &st), nullptr);
  EXPECT_EQ(st, MSG_ERR_INVALID);
  EXPECT_EQ(MsgNewFromData(nullptr, 10, 0, nullptr, 0, &st), nullptr);
}

