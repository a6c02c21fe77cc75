// Temporary directories, files and the log capture for the host and user
// look-up tests.
#pragma once
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "support/test_support.h"
#include "unit/logging/log_test_util.h"

namespace hosttest {

using testsupport::TempDir;
using testsupport::readFile;
using testsupport::writeFile;

using logtest::LogCapture;

}  // namespace hosttest
