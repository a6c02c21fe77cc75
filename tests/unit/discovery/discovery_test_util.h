// Helpers of the collector-discovery tests: the stand-in directory loaded
// with the discovery fixture, a settings directory, and the log capture.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ofw/capi/capi_loader.h"
#include "ofw/config/properties.h"
#include "ovgfw/scp.h"
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
    dir_.write("directory.json", capi_test::readFile(fixturePath()));
  }
  const ofw::CapiDynamicLoader& loader() const { return loader_; }
  std::string dataPath() const { return dir_.file("directory.json"); }
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
};

// A host at 10.1.2.3 in site Default-First-Site-Name of forest example.com,
// configured for installation inst-0001, over the fixture.
class FixtureHost : public ::testing::Test {
 protected:
  void SetUp() override {
    writeSetting("kset.site", "Default-First-Site-Name");
    writeSetting("kset.forest", "example.com");
    writeSetting("kset.domain", "example.com");
    writeSetting("vg.installation.id", "inst-0001");
  }
  void writeSetting(const std::string& name, const std::string& value) { settings_.write(name, value + "\n"); }
  // The policy file, host settings and addresses of this host.
  ovgfw::SCP::Options scpOptions() {
    ovgfw::SCP::Options o;
    o.policyFile = settings_.file("Registry.pol");
    o.hostSettingsPrefix = settings_.file("kset.");
    o.addresses = [this] { return addresses_; };
    return o;
  }

  LogCapture log_;
  DirectoryFixture directory_;
  capi_test::TempDir settings_;
  ofw::Properties properties_;
  std::vector<uint32_t> addresses_ = {0x0a010203};
};

}  // namespace discoverytest
