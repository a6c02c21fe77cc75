// Helpers of the collector-discovery tests: the stand-in directory loaded
// with the discovery fixture, a settings directory, and the log capture.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "ofw/capi/capi_loader.h"
#include "tests/unit/capi/capi_test_util.h"
#include "unit/logging/log_test_util.h"

namespace discoverytest {

inline std::string fixturePath() {
  return std::string(VGD_SOURCE_DIR) + "/standins/capi/discovery-directory.json";
}

using logtest::LogCapture;

// The stand-in library with a private copy of the fixture, which a test may
// edit (edit() rewrites it atomically; the stand-in reads it again).
class DirectoryFixture {
 public:
  DirectoryFixture() : loader_(capi_test::standinPath()), env_(dataPath()) {
    original_ = capi_test::readFile(fixturePath());
    dir_.write("directory.json", original_);
  }
  const ofw::CapiDynamicLoader& loader() const { return loader_; }
  std::string dataPath() const { return dir_.file("directory.json"); }
  const capi_test::TempDir& dir() const { return dir_; }
  // Replaces the first occurrence of `from` in the fixture text.
  void edit(const std::string& from, const std::string& to) {
    std::string text = capi_test::readFile(dataPath());
    size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    dir_.write("directory.json", text);
  }

 private:
  capi_test::TempDir dir_;
  ofw::CapiDynamicLoader loader_;
  capi_test::DataFileEnv env_;
  std::string original_;
};

}  // namespace discoverytest
