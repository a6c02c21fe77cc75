// Helpers shared by the directory client tests: paths of the built libraries,
// a temporary directory and the stand-in's data file.
#pragma once
#include <stdlib.h>

#include <string>

#include "support/test_support.h"

namespace capi_test {

inline std::string libraryPath(const char* name) {
  return std::string(VGD_BIN_DIR) + "/../lib/" + name;
}
inline std::string standinPath() { return libraryPath("libcapi.so"); }
inline std::string nocorePath() { return libraryPath("libcapi_nocore.so"); }

using testsupport::readFile;
using testsupport::TempDir;

// Points the stand-in at a data file for the lifetime of the object.
class DataFileEnv {
 public:
  explicit DataFileEnv(const std::string& path) { ::setenv("OPW_STANDIN_DATA", path.c_str(), 1); }
  ~DataFileEnv() { ::unsetenv("OPW_STANDIN_DATA"); }
  DataFileEnv(const DataFileEnv&) = delete;
  DataFileEnv& operator=(const DataFileEnv&) = delete;
};

}  // namespace capi_test
