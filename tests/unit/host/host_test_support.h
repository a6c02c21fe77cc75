// Temporary directories, files and the log capture for the host and user
// look-up tests.
#pragma once
#include "support/test_support.h"
#include "unit/logging/log_test_util.h"

namespace hosttest {

using logtest::LogCapture;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

}  // namespace hosttest
