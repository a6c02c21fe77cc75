// Protected blobs (tag 9): layout, DES-CBC round trips, key table and the
// length checks done before decryption.
#include <gtest/gtest.h>
#include <nettle/cbc.h>
#include <nettle/des.h>

#include "lrpc2/msg.h"
#include "lrpc2/msg_crypto.h"
#include "frames.h"

using namespace lrpc2test;

namespace {

Bytes Plain(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 1);
  return b;
}

// The protected payload of a message holding one protected blob.
Bytes PayloadOf(const Bytes& body) {
  uint32_t len;
  memcpy(&len, body.data() + 3, 4);
  return Bytes(body.begin() + 7, body.begin() + 7 + len);
}

void DesDecrypt(const void* ctx, size_t n, uint8_t* dst, const uint8_t* src) {
  des_decrypt(static_cast<const struct des_ctx*>(ctx), n, dst, src);
}

Msg WrapPayload(const Bytes& payload) {
  Bytes body = B().u16(10).u8(9).u32(static_cast<uint32_t>(payload.size())).raw(payload.data(), payload.size()).u8(0);
  int st = -1;
  Msg m(MsgNewFromData(body.data(), body.size(), 1, nullptr, 0, &st));
  EXPECT_EQ(st, MSG_OK);
  return m;
}

// A valid payload for `plain` built by the writer.
Bytes ValidPayload(const Bytes& plain) {
  int st;
  Msg m(MsgNew(10, 0, nullptr, 0, &st));
  EXPECT_EQ(MsgWriteProtectedBlob(m.get(), plain.data(), static_cast<uint32_t>(plain.size()), nullptr),
            MSG_OK);
  EXPECT_EQ(MsgComplete(m.get()), MSG_OK);
  return PayloadOf(DataOf(m.get()));
}

}  // namespace

class LRPC2ProtectedRoundTrip : public ::testing::TestWithParam<size_t> {};

TEST_P(LRPC2ProtectedRoundTrip, LayoutAndDecryption) {
  const Bytes plain = Plain(GetParam());
  int st;
  Msg m(MsgNew(10, 0, nullptr, 0, &st));
  ASSERT_EQ(MsgWriteProtectedBlob(m.get(), plain.data(), static_cast<uint32_t>(plain.size()), nullptr),
            MSG_OK);
  EXPECT_TRUE(MsgGetFlags(m.get()) & MSG_FLAG_SENSITIVE);
  ASSERT_EQ(MsgComplete(m.get()), MSG_OK);
  const Bytes body = DataOf(m.get());
  ASSERT_EQ(body[2], MSG_TAG_PROTECTED_BLOB);
  const Bytes p = PayloadOf(body);
  const size_t pad = (8 - plain.size() % 8) % 8;
  const size_t c = plain.size() + pad;
  ASSERT_EQ(p.size(), 18 + c);
  EXPECT_EQ(U16At(p, 0), 8);       // IV length
  EXPECT_EQ(p[10], 1);           // DES-CBC
  const uint16_t index = U16At(p, 12);
  EXPECT_LT(index, 16);
  EXPECT_EQ(U16At(p, 14), pad);
  EXPECT_EQ(U16At(p, 16), c);
  EXPECT_EQ(body.size(), 2 + 1 + 4 + p.size() + 1);

  // Decrypt independently with the key the blob names.
  struct des_ctx ctx;
  ASSERT_EQ(des_set_key(&ctx, lrpc2::crypto::BuiltinKey(index)), 1);
  uint8_t iv[8];
  memcpy(iv, p.data() + 2, 8);
  Bytes out(c);
  cbc_decrypt(&ctx, DesDecrypt, 8, iv, c, out.data(), p.data() + 18);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + plain.size()), plain);
  EXPECT_EQ(Bytes(out.begin() + plain.size(), out.end()), Bytes(pad, 0));

  // And through the reader, from the built message and from its bytes.
  for (int copy = 0; copy < 2; ++copy) {
    Msg r(copy ? MsgNewFromData(body.data(), body.size(), 1, nullptr, 0, &st) : nullptr);
    LRPC2Msg* reader = copy ? r.get() : m.get();
    void* data = nullptr;
    uint32_t n = 0;
    ASSERT_EQ(MsgReadProtectedBlob(reader, &data, &n, nullptr), MSG_OK);
    ASSERT_EQ(n, plain.size());
    EXPECT_EQ(memcmp(data, plain.data(), n), 0);
    EXPECT_EQ(static_cast<uint8_t*>(data)[n], 0);
    MsgFreeSensitive(data, n);
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, LRPC2ProtectedRoundTrip,
                         ::testing::Values(1, 7, 8, 9, 15, 16, 17, 100, 65527, 65528));

TEST(LRPC2Protected, FreshIVPerBlob) {
  const Bytes plain = Plain(16);
  const Bytes a = ValidPayload(plain), b = ValidPayload(plain);
  EXPECT_NE(Bytes(a.begin() + 2, a.begin() + 10), Bytes(b.begin() + 2, b.begin() + 10));
}

TEST(LRPC2Protected, TooLargeIsRefused) {
  Bytes big(MSG_PROTECTED_MAX_PLAINTEXT + 1, 1);
  int st;
  Msg m(MsgNew(10, 0, nullptr, 0, &st));
  EXPECT_EQ(MsgWriteProtectedBlob(m.get(), big.data(), static_cast<uint32_t>(big.size()), nullptr),
            MSG_ERR_UNEXPECTED);
  EXPECT_EQ(MsgGetState(m.get()), MSG_STATE_ERROR);
}

TEST(LRPC2Protected, KeyTableHasParityAndUsableKeys) {
  for (uint16_t i = 0; i < 16; ++i) {
    const uint8_t* k = lrpc2::crypto::BuiltinKey(i);
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(des_check_parity(8, k), 1) << i;
    struct des_ctx ctx;
    EXPECT_EQ(des_set_key(&ctx, k), 1) << "weak key " << i;
  }
  EXPECT_EQ(lrpc2::crypto::BuiltinKey(16), nullptr);
}

namespace {
struct FixedKeys {
  uint8_t key[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
  int lookups = 0;
};
int GetKey(void* c, uint16_t* index, uint8_t key[8]) {
  *index = 77;
  memcpy(key, static_cast<FixedKeys*>(c)->key, 8);
  return 0;
}
int FindKey(void* c, uint16_t index, uint8_t key[8]) {
  auto* k = static_cast<FixedKeys*>(c);
  ++k->lookups;
  if (index != 77) return -1;
  memcpy(key, k->key, 8);
  return 0;
}
int GetIV(void*, uint8_t iv[8]) {
  for (int i = 0; i < 8; ++i) iv[i] = static_cast<uint8_t>(0xA0 + i);
  return 0;
}
}  // namespace

TEST(LRPC2Protected, CallerProviders) {
  FixedKeys keys;
  MsgCryptoProviders prov = {&keys, GetKey, FindKey, GetIV};
  const Bytes plain = Plain(13);
  int st;
  Msg m(MsgNew(10, 0, nullptr, 0, &st));
  ASSERT_EQ(MsgWriteProtectedBlob(m.get(), plain.data(), 13, &prov), MSG_OK);
  ASSERT_EQ(MsgComplete(m.get()), MSG_OK);
  const Bytes p = PayloadOf(DataOf(m.get()));
  EXPECT_EQ(U16At(p, 12), 77);
  EXPECT_EQ(testsupport::hex(std::string(p.begin() + 2, p.begin() + 10)), "a0 a1 a2 a3 a4 a5 a6 a7");
  // The built-in table has no key 77.
  void* data = nullptr;
  uint32_t n = 0;
  EXPECT_EQ(MsgReadProtectedBlob(m.get(), &data, &n, nullptr), MSG_ERR_CRYPTO);
  ASSERT_EQ(MsgReadProtectedBlob(m.get(), &data, &n, &prov), MSG_OK);
  EXPECT_EQ(keys.lookups, 1);
  ASSERT_EQ(n, 13u);
  EXPECT_EQ(memcmp(data, plain.data(), 13), 0);
  MsgFreeSensitive(data, n);
}

struct BadPayload {
  const char* name;
  std::function<Bytes(Bytes)> edit;  // applied to a valid payload of 13 plaintext bytes
  int status;
};

class LRPC2ProtectedBad : public ::testing::TestWithParam<BadPayload> {};

TEST_P(LRPC2ProtectedBad, RejectedBeforeDecryptionAndNothingConsumed) {
  const Bytes payload = GetParam().edit(ValidPayload(Plain(13)));
  Msg m = WrapPayload(payload);
  ASSERT_NE(m, nullptr);
  void* data = reinterpret_cast<void*>(1);
  uint32_t n = 5;
  EXPECT_EQ(MsgReadProtectedBlob(m.get(), &data, &n, nullptr), GetParam().status);
  EXPECT_EQ(data, reinterpret_cast<void*>(1));
  EXPECT_EQ(n, 5u);
  int tag = -1;
  ASSERT_EQ(MsgPeekData(m.get(), &tag), MSG_OK);
  EXPECT_EQ(tag, MSG_TAG_PROTECTED_BLOB);
}

Bytes Set16(Bytes p, size_t off, uint16_t v) {
  memcpy(p.data() + off, &v, 2);
  return p;
}

// The payload cut or grown to `n` bytes, with the ciphertext and padding
// lengths given.
Bytes Resized(Bytes p, size_t n, uint16_t ciphertext, uint16_t padding) {
  p.resize(n);
  return Set16(Set16(p, 16, ciphertext), 14, padding);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, LRPC2ProtectedBad,
    ::testing::Values(
        BadPayload{"IVLengthSeven",  // the lengths agree with a 7-byte IV
                   [](Bytes p) { p.erase(p.begin() + 2); return Set16(p, 0, 7); }, MSG_ERR_INVALID},
        BadPayload{"IVLengthSixteen",
                   [](Bytes p) { p.insert(p.begin() + 10, 8, 0); return Set16(p, 0, 16); }, MSG_ERR_INVALID},
        BadPayload{"CiphertextLongerThanBlob", [](Bytes p) { return Set16(p, 16, 24); }, MSG_ERR_EOM},
        BadPayload{"CiphertextShorterThanBlob", [](Bytes p) { return Set16(p, 16, 8); }, MSG_ERR_EOM},
        BadPayload{"BlobEndsInFixedFields", [](Bytes p) { return Bytes(p.begin(), p.begin() + 14); }, MSG_ERR_EOM},
        BadPayload{"BlobTooShortForIVLength", [](Bytes p) { return Bytes(p.begin(), p.begin() + 1); }, MSG_ERR_EOM},
        BadPayload{"EmptyCiphertext", [](Bytes p) { return Resized(p, 18, 0, 0); }, MSG_ERR_INVALID},
        BadPayload{"CiphertextNotBlockMultiple", [](Bytes p) { return Resized(p, 18 + 12, 12, 0); }, MSG_ERR_INVALID},
        BadPayload{"PaddingNotBelowCiphertext", [](Bytes p) { return Resized(p, 18 + 8, 8, 8); }, MSG_ERR_INVALID},
        BadPayload{"PaddingEight", [](Bytes p) { return Set16(p, 14, 8); }, MSG_ERR_INVALID},
        BadPayload{"EncryptionTypeTwo", [](Bytes p) { p[10] = 2; return p; }, MSG_ERR_ENCTYPE},
        BadPayload{"UnknownKeyIndex", [](Bytes p) { return Set16(p, 12, 16); }, MSG_ERR_CRYPTO}),
    [](const ::testing::TestParamInfo<BadPayload>& info) { return std::string(info.param.name); });
