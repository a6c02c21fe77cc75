// The collector tests' byte builders come from the shared test support; the
// sample GUID in both of its byte layouts, and the text of a thrown error.
#pragma once
#include <string>

#include "ofw/exceptions.h"
#include "ofw/guid.h"
#include "support/test_support.h"

namespace wiretest {
using testsupport::bytes;
using testsupport::hex;
using testsupport::hostBytes;
using testsupport::hostIsLittleEndian;
using testsupport::u16;
using testsupport::u32;
using testsupport::u64;

const char kGuidText[] = "00112233-4455-6677-8899-aabbccddeeff";
// The bytes in the order of the text, and in the collector's (Microsoft) layout.
const std::string kGuidTextOrder =
    bytes({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff});
const std::string kGuidWire =
    bytes({0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff});
inline ofw::Guid sampleGuid() { return ofw::Guid::fromString(kGuidText); }

// "Type: text" of what `f` throws; "" when it throws nothing.
template <class F>
std::string thrown(F f) {
  try {
    f();
  } catch (const ofw::Base_Exception& e) {
    return e.typeName() + ": " + e.message();
  }
  return "";
}
}  // namespace wiretest
