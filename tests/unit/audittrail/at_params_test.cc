// Parameter values as a sender lays them out, and their text in the event's
// parameter list: every blob of the wrong size is "<cannot display>", never
// read past its end.
#include "audittrail/at_params.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "unit/collector/wire_bytes.h"

namespace {

using namespace audittrail;
using wiretest::u16;
using wiretest::u32;
using wiretest::u64;

struct Case {
  const char* label;
  uint32_t type;
  std::string value;
  std::string text;
};

template <typename T>
std::string rawBytes(T v) {
  std::string s(sizeof v, '\0');
  std::memcpy(&s[0], &v, sizeof v);
  return s;
}

class RenderParam : public ::testing::TestWithParam<Case> {};

TEST_P(RenderParam, GivesTheEntryText) {
  const Case& c = GetParam();
  EXPECT_EQ(renderATParam(c.type, c.value, ofw::getLogger("test.audittrail")), c.text);
}

const std::string& kGuidBytes = wiretest::kGuidTextOrder;

INSTANTIATE_TEST_SUITE_P(
    Values, RenderParam,
    ::testing::Values(
        Case{"uint16", AT_PARAM_UINT16, u16(65535), "65535"},
        Case{"uint32", AT_PARAM_UINT32, u32(4000000000u), "4000000000"},
        Case{"uint64", AT_PARAM_UINT64, u64(18446744073709551615ull), "18446744073709551615"},
        Case{"int16", AT_PARAM_INT16, u16(0xfffe), "-2"},
        Case{"int32", AT_PARAM_INT32, u32(0x80000000u), "-2147483648"},
        Case{"int64", AT_PARAM_INT64, u64(~0ull), "-1"},
        Case{"float", AT_PARAM_FLOAT, rawBytes(1.5f), "1.500000"},
        Case{"double", AT_PARAM_FLOAT, rawBytes(-0.25), "-0.250000"},
        Case{"byte", AT_PARAM_BYTE, std::string(1, '\x0a'), "0x0a"},
        Case{"wchar2", AT_PARAM_WCHAR, u16(0x20ac), "0x20ac"},
        Case{"wchar4", AT_PARAM_WCHAR, u32(0x41), "0x0041"},
        Case{"epoch8", AT_PARAM_EPOCHTIME, u64(1700000000), "1700000000"},
        Case{"epoch4", AT_PARAM_EPOCHTIME, u32(0xffffffffu), "-1"},
        Case{"guid", AT_PARAM_GUID, kGuidBytes, wiretest::kGuidText},
        Case{"string", AT_PARAM_UTF8STRING, std::string("a,b;c\\d\0tail", 12), "a\\,b\\;c\\\\d"},
        Case{"array", AT_PARAM_UTF8STRINGARRAY, std::string("x;y\0\0z\0", 7), "x\\;y;;z"},
        Case{"wstring", AT_PARAM_WSTRING, u32('a'), "<cannot display>"},
        Case{"empty", AT_PARAM_UINT32, "", "<null>"},
        Case{"empty_string", AT_PARAM_UTF8STRING, "", "<null>"},
        // One byte short or long of each fixed size.
        Case{"short_uint16", AT_PARAM_UINT16, "\x01", "<cannot display>"},
        Case{"long_uint32", AT_PARAM_UINT32, u64(1), "<cannot display>"},
        Case{"short_uint64", AT_PARAM_UINT64, std::string(7, '\x01'), "<cannot display>"},
        Case{"short_int32", AT_PARAM_INT32, u16(1), "<cannot display>"},
        Case{"long_int64", AT_PARAM_INT64, std::string(9, '\x01'), "<cannot display>"},
        Case{"float_of_5", AT_PARAM_FLOAT, std::string(5, '\x01'), "<cannot display>"},
        Case{"byte_of_2", AT_PARAM_BYTE, u16(1), "<cannot display>"},
        Case{"wchar_of_3", AT_PARAM_WCHAR, std::string(3, 'a'), "<cannot display>"},
        Case{"epoch_of_2", AT_PARAM_EPOCHTIME, u16(1), "<cannot display>"},
        Case{"guid_of_15", AT_PARAM_GUID, kGuidBytes.substr(1), "<cannot display>"},
        Case{"END_as_a_value", AT_PARAM_END, u32(1), "<cannot display>"},
        Case{"unknown_type", 16, u32(1), "<cannot display>"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.label); });

}  // namespace
