// The collector tests' byte builders come from the shared test support.
#pragma once
#include "support/test_support.h"

namespace wiretest {
using testsupport::bytes;
using testsupport::hex;
using testsupport::hostBytes;
using testsupport::hostIsLittleEndian;
using testsupport::u16;
using testsupport::u32;
using testsupport::u64;
}  // namespace wiretest
