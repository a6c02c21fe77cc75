// Transport header layouts, signatures, signing settings and status texts.
#include <gtest/gtest.h>
#include <xxhash.h>

#include "lrpc2/header.h"
#include "lrpc2/session.h"
#include "lrpc2_test_util.h"

using namespace lrpc2test;
using lrpc2::Header;

// Every field a distinct value: a field read from or written to the wrong
// place changes the bytes. (The frames the sessions send are compared byte by
// byte in the session tests.)
TEST(LRPC2Header, LayoutsDecodeAndEncodeBack) {
  const Bytes v23 = B().u32(0xABCD8012).u32(13);
  const Bytes v4 = B().u32(0xABCD8012).u16(34).u32(4).u64(0x1122334455667788ull).u32(0xA1B2C3D4)
                       .u64(0x0102030405060708ull).u32(0x100000);
  const Bytes v5 = B().u32(0xABCD8012).u16(48).u32(5).u64(4242).u32(7).u64(1700000000).u16(3)
                       .u64(0xFEEDFACECAFEBEEFull).u32(425).u32(9);
  for (const auto& c : {std::make_pair(2, v23), std::make_pair(3, v23), std::make_pair(4, v4), std::make_pair(5, v5)}) {
    ASSERT_EQ(lrpc2::HeaderLengthOf(c.first), c.second.size());
    const Header d = lrpc2::DecodeHeader(c.first, c.second.data());
    EXPECT_EQ(d.magic, 0xABCD8012u);
    EXPECT_EQ(c.first < 4 ? d.totalLength : d.bodyLength, c.first < 4 ? 13u : c.first == 4 ? 0x100000u : 9u);
    uint8_t out[48] = {};
    lrpc2::EncodeHeader(c.first, d, out);
    EXPECT_EQ(Bytes(out, out + c.second.size()), c.second) << "version " << c.first;
  }
}

TEST(LRPC2Header, SignatureIsXXH64OverHeaderBodyAndMaskedKey) {
  const Bytes body = B().u16(10).u8(3).u32(1).u8(0);
  // The last sequence number: the key's next one wraps to 0.
  const Bytes header = B().u32(0xABCD8012).u16(48).u32(5).u64(999).u32(0xFFFFFFFF).u64(123456)
                           .u16(1).u64(0xAAAAAAAAAAAAAAAAull).u32(0).u32(8);
  // Independent computation: zero signature field, body, key bytes XOR 0x5A.
  Bytes zeroed = header;
  std::fill(zeroed.begin() + 32, zeroed.begin() + 40, 0);
  Bytes key = B().u32(0).u64(999).u64(123456);
  for (auto& k : key) k ^= 0x5A;
  Bytes all = zeroed;
  all.insert(all.end(), body.begin(), body.end());
  all.insert(all.end(), key.begin(), key.end());
  const uint64_t expected = XXH64(all.data(), all.size(), 0xFFFFFFFF);
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

TEST(LRPC2Signing, SettingFromText) {
  for (const char* text : {"required", "REQUIRED"}) EXPECT_EQ(SignStringToSignSetting(text), SIGN_SETTING_REQUIRED);
  for (const char* text : {"Allowed", "allowed"}) EXPECT_EQ(SignStringToSignSetting(text), SIGN_SETTING_ALLOWED);
  for (const char* text : {"disabled", "", "require", " required", static_cast<const char*>(nullptr)})
    EXPECT_EQ(SignStringToSignSetting(text), SIGN_SETTING_DISABLED) << (text ? text : "null");
}
