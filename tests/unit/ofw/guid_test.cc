#include "ofw/guid.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <type_traits>

#include "meridia/meridia_exception.h"
#include "ofw/exceptions.h"
#include "ovgfw/ovg_exception.h"
#include "support/test_support.h"

using ofw::AdGuid;
using ofw::Guid;

namespace {

const char* kText = "00112233-4455-6677-8899-aabbccddeeff";

TEST(Guid, TextFormsOfOneValue) {
  Guid g = Guid::fromString(kText);
  EXPECT_EQ(g.toString(), "00112233445566778899aabbccddeeff");
  EXPECT_EQ(g.toMSString(), kText);
  EXPECT_EQ(g.toSwappedString(), "33221100554477668899aabbccddeeff");
  EXPECT_EQ(g.toSwappedMSString(), "33221100-5544-7766-8899-aabbccddeeff");
  EXPECT_EQ(g.toDN(), "<GUID=00112233445566778899aabbccddeeff>");
  EXPECT_EQ(g.toEscapedString().substr(0, 12), "\\00\\11\\22\\33");
  EXPECT_EQ(g.toEscapedString().size(), 48u);
  const auto ms = g.getMSValue();
  EXPECT_EQ(testsupport::hex(std::string(ms.begin(), ms.end())), "33 22 11 00 55 44 77 66 88 99 aa bb cc dd ee ff");
}

TEST(Guid, SwappedFormsRoundTrip) {
  for (int i = 0; i < 50; ++i) {
    Guid g = Guid::generate();
    EXPECT_EQ(Guid::fromSwappedString(g.toSwappedMSString()), g);
    EXPECT_EQ(Guid::fromSwappedString(g.toSwappedString()), g);
    EXPECT_EQ(Guid::fromMSValue(g.getMSValue().data()), g);
    EXPECT_EQ(Guid::fromString(g.toString()), g);
    EXPECT_EQ(Guid::fromString("{" + g.toMSString() + "}"), g);
  }
}

TEST(Guid, FromStringRules) {
  EXPECT_TRUE(Guid::fromString("NULL").isNull());
  // Missing bytes are zero.
  Guid partial = Guid::fromString("ab");
  EXPECT_EQ(partial.toString(), "ab000000000000000000000000000000");
  // Parsing stops at a character that is not a digit.
  EXPECT_EQ(Guid::fromString("12x45").toString(), "12000000000000000000000000000000");
  EXPECT_EQ(Guid::fromString("AABB").toString().substr(0, 4), "aabb");
}

TEST(Guid, ValidStringFormat) {
  for (const char* good : {kText, "AABBCCDD-4455-6677-8899-aabbccddeeff"})
    EXPECT_TRUE(Guid::isValidGuidStringFormat(good)) << good;
  for (const char* bad : {"00112233445566778899aabbccddeeff", "00112233-4455-6677-8899-aabbccddeef",
                          "00112233-4455-6677-8899_aabbccddeeff", "0011223g-4455-6677-8899-aabbccddeeff"})
    EXPECT_FALSE(Guid::isValidGuidStringFormat(bad)) << bad;
}

TEST(Guid, GeneratedAreDistinctAndRandomVersion) {
  std::set<Guid> seen;
  for (int i = 0; i < 1000; ++i) seen.insert(Guid::generate());
  EXPECT_EQ(seen.size(), 1000u);
  Guid g = Guid::generate();
  EXPECT_EQ(g.data()[6] >> 4, 4);  // RFC 4122 version 4
}

TEST(AdGuid, ParseAndPrint) {
  AdGuid a = AdGuid::parse(std::string(kText) + "@example.test");
  EXPECT_EQ(a.guid().toMSString(), kText);
  EXPECT_EQ(a.domain(), "example.test");
  EXPECT_EQ(a.toString(), std::string(kText) + " in domain example.test");
  AdGuid b = AdGuid::parse(kText);
  EXPECT_EQ(b.toString(), kText);
  EXPECT_THROW(AdGuid::parse("not-a-guid@x"), ofw::BadDataException);
  try {
    AdGuid::parse("zz");
    FAIL();
  } catch (const ofw::BadDataException& e) {
    EXPECT_STREQ(e.what(), "Expecting guid@domain, not zz");
  }
}

// Handlers catch the framework's exceptions by these bases.
static_assert(std::is_base_of<ofw::OFWException, ofw::IOException>::value, "");
static_assert(std::is_base_of<ofw::ExceptionDetails, ofw::Base_Exception>::value, "");
static_assert(std::is_base_of<std::bad_alloc, ofw::BadAllocException>::value, "");
static_assert(std::is_base_of<std::runtime_error, ofw::NoThreadsAvailable>::value, "");
static_assert(std::is_base_of<std::out_of_range, ofw::BufferFullException>::value, "");
static_assert(std::is_base_of<ofw::Base_Exception, meridia::MeridiaException>::value, "");
static_assert(std::is_base_of<ofw::Base_Exception, ovgfw::OVGException>::value, "");
static_assert(std::is_base_of<ofw::Base_Exception, ovgfw::OVGSessionException>::value, "");

TEST(Exceptions, ErrnoTextIsAppended) {
  EXPECT_EQ(ofw::withErrno("open", ENOENT), "open: No such file or directory");
}

}  // namespace
