#include "ofw/codec.h"

#include <gtest/gtest.h>

namespace {

using namespace ofw::codec;

TEST(Codec, BigEndianLengthIsMostSignificantByteFirstOnEveryHost) {
  unsigned char b[4];
  putBE32(b, 0x01020304u);
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(b[3], 4);
  EXPECT_EQ(getBE32(b), 0x01020304u);
  EXPECT_EQ(swap32(0x01020304u), 0x04030201u);
}

TEST(Codec, TimestampIsLowSecondsThenMicroseconds) {
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(0x100000007LL);  // only the low 32 bits travel
  tv.tv_usec = 999999;
  unsigned char b[kTimevalSize + 1] = {};
  b[kTimevalSize] = 0xEE;
  putTimeval(b, tv);
  EXPECT_EQ(getU32(b), 7u);
  EXPECT_EQ(getU32(b + 4), 999999u);
  EXPECT_EQ(b[kTimevalSize], 0xEE) << "wrote past the 8 bytes";
  const struct timeval back = getTimeval(b);
  EXPECT_EQ(back.tv_sec, 7);
  EXPECT_EQ(back.tv_usec, 999999);
}

}  // namespace
