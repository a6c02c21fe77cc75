// The despooler's chunk settings: values that would make it spin or read
// garbage fall back to the default.
#include <gtest/gtest.h>

#include "auditor/auditor.h"
#include "ofw/config/properties.h"

namespace {

struct ChunkCase {
  const char* value;
  int expected;
};

class ChunkSetting : public ::testing::TestWithParam<ChunkCase> {
 protected:
  void TearDown() override { ofw::Props().setProperty("vgd.despool.chunksize", ""); }
};

TEST_P(ChunkSetting, BelowOneOrMalformedTakesTheDefault) {
  ofw::Props().setProperty("vgd.despool.chunksize", GetParam().value);
  EXPECT_EQ(Vigilog::positiveIntSetting("vgd.despool.chunksize", 4098, ofw::getLogger("test")), GetParam().expected)
      << "'" << GetParam().value << "'";
}

INSTANTIATE_TEST_SUITE_P(Values, ChunkSetting,
                         ::testing::Values(ChunkCase{"", 4098}, ChunkCase{"0", 4098}, ChunkCase{"-5", 4098},
                                           ChunkCase{"12x", 4098}, ChunkCase{"99999999999999", 4098},
                                           ChunkCase{"1", 1}, ChunkCase{"250", 250}));

}  // namespace
