// Transport header layouts, signatures, signing settings and status texts.
#include <gtest/gtest.h>
#include <xxhash.h>

#include "lrpc2/header.h"
#include "lrpc2/session.h"
#include "lrpc2_test_util.h"

using namespace lrpc2test;
using lrpc2::Header;

TEST(LRPC2Header, VersionTwoAndThreeLayout) {
  Header h;
  h.magic = lrpc2::kMagic;
  h.totalLength = 8 + 5;
  for (int v : {2, 3}) {
    uint8_t out[8];
    lrpc2::EncodeHeader(v, h, out);
    EXPECT_EQ(Bytes(out, out + 8), Bytes(B().u32(0xABCD8012).u32(13)));
    EXPECT_EQ(lrpc2::HeaderLengthOf(v), 8u);
    const Header d = lrpc2::DecodeHeader(v, out);
    EXPECT_EQ(d.magic, 0xABCD8012u);
    EXPECT_EQ(d.totalLength, 13u);
  }
}

TEST(LRPC2Header, VersionFourLayout) {
  Header h;
  h.magic = lrpc2::kMagic;
  h.headerLength = 34;
  h.version = 4;
  h.pid = 0x1122334455667788ull;
  h.sequence = 0xA1B2C3D4;
  h.time = 0x0102030405060708ull;
  h.bodyLength = 0x100000;
  uint8_t out[34];
  lrpc2::EncodeHeader(4, h, out);
  const Bytes expected = B().u32(0xABCD8012).u16(34).u32(4).u64(0x1122334455667788ull)
                             .u32(0xA1B2C3D4).u64(0x0102030405060708ull).u32(0x100000);
  ASSERT_EQ(expected.size(), 34u);
  EXPECT_EQ(Bytes(out, out + 34), expected);
  const Header d = lrpc2::DecodeHeader(4, out);
  EXPECT_EQ(d.pid, h.pid);
  EXPECT_EQ(d.sequence, h.sequence);
  EXPECT_EQ(d.time, h.time);
  EXPECT_EQ(d.bodyLength, h.bodyLength);
  EXPECT_EQ(d.headerLength, 34);
}

TEST(LRPC2Header, VersionFiveLayout) {
  Header h;
  h.magic = lrpc2::kMagic;
  h.headerLength = 48;
  h.version = 5;
  h.pid = 4242;
  h.sequence = 7;
  h.time = 1700000000;
  h.flags = 3;
  h.signature = 0xFEEDFACECAFEBEEFull;
  h.status = 425;
  h.bodyLength = 9;
  uint8_t out[48];
  lrpc2::EncodeHeader(5, h, out);
  const Bytes expected = B().u32(0xABCD8012).u16(48).u32(5).u64(4242).u32(7).u64(1700000000)
                             .u16(3).u64(0xFEEDFACECAFEBEEFull).u32(425).u32(9);
  ASSERT_EQ(expected.size(), 48u);
  EXPECT_EQ(Bytes(out, out + 48), expected);
  const Header d = lrpc2::DecodeHeader(5, out);
  EXPECT_EQ(d.flags, 3);
  EXPECT_EQ(d.signature, h.signature);
  EXPECT_EQ(d.status, 425u);
  EXPECT_EQ(d.bodyLength, 9u);
}

TEST(LRPC2Header, SignatureIsXXH64OverHeaderBodyAndMaskedKey) {
  const Bytes body = B().u16(10).u8(3).u32(1).u8(0);
  const Bytes header = B().u32(0xABCD8012).u16(48).u32(5).u64(999).u32(0x01020304).u64(123456)
                           .u16(1).u64(0xAAAAAAAAAAAAAAAAull).u32(0).u32(8);
  // Independent computation: zero signature field, body, key bytes XOR 0x5A.
  Bytes zeroed = header;
  std::fill(zeroed.begin() + 32, zeroed.begin() + 40, 0);
  Bytes key = B().u32(0x01020305).u64(999).u64(123456);
  for (auto& k : key) k ^= 0x5A;
  Bytes all = zeroed;
  all.insert(all.end(), body.begin(), body.end());
  all.insert(all.end(), key.begin(), key.end());
  const uint64_t expected = XXH64(all.data(), all.size(), 0x01020304);
  EXPECT_EQ(lrpc2::ComputeSignature(header.data(), body.data(), body.size()), expected);
  // The signature field's content does not matter.
  Bytes other = header;
  other[35] ^= 0xFF;
  EXPECT_EQ(lrpc2::ComputeSignature(other.data(), body.data(), body.size()), expected);
  // Every other header byte and every body byte does.
  for (size_t i = 0; i < header.size(); ++i) {
    if (i >= 32 && i < 40) continue;
    Bytes t = header;
    t[i] ^= 1;
    EXPECT_NE(lrpc2::ComputeSignature(t.data(), body.data(), body.size()), expected) << i;
  }
  for (size_t i = 0; i < body.size(); ++i) {
    Bytes t = body;
    t[i] ^= 1;
    EXPECT_NE(lrpc2::ComputeSignature(header.data(), t.data(), t.size()), expected) << i;
  }
}

TEST(LRPC2Header, SignKey) {
  uint8_t key[20];
  lrpc2::BuildSignKey(0xFFFFFFFF, 1, 2, key);
  Bytes expected = B().u32(0).u64(1).u64(2);
  for (auto& k : expected) k ^= 0x5A;
  EXPECT_EQ(Bytes(key, key + 20), expected);
}

TEST(LRPC2Signing, SettingFromText) {
  EXPECT_EQ(SignStringToSignSetting("required"), SIGN_SETTING_REQUIRED);
  EXPECT_EQ(SignStringToSignSetting("REQUIRED"), SIGN_SETTING_REQUIRED);
  EXPECT_EQ(SignStringToSignSetting("Allowed"), SIGN_SETTING_ALLOWED);
  EXPECT_EQ(SignStringToSignSetting("allowed"), SIGN_SETTING_ALLOWED);
  EXPECT_EQ(SignStringToSignSetting("disabled"), SIGN_SETTING_DISABLED);
  EXPECT_EQ(SignStringToSignSetting(""), SIGN_SETTING_DISABLED);
  EXPECT_EQ(SignStringToSignSetting("require"), SIGN_SETTING_DISABLED);
  EXPECT_EQ(SignStringToSignSetting(" required"), SIGN_SETTING_DISABLED);
  EXPECT_EQ(SignStringToSignSetting(nullptr), SIGN_SETTING_DISABLED);
}

