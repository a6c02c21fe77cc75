// The audit-trail proxy library: the daemon's own events reach a complete
// library of version 1.0.0 or later; a missing file, a missing function or an
// older version leaves the library unused and nothing is sent.
#include "audittrail/at_proxy_loader.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "audittrail/audit_trail_event.h"
#include "unit/logging/log_test_util.h"

namespace {

using audittrail::ATProxyLibLoader;

std::string builtLibrary(const char* name) { return std::string(VGD_BIN_DIR) + "/../lib/" + name; }

// A base directory whose lib64/libat_proxy.so is the given built library (or
// none), and the stand-in's record file and version for the test's lifetime.
class ProxyDir {
 public:
  ProxyDir(const char* library, const char* version) {
    mkdir(dir_.file("lib64").c_str(), 0755);
    if (library) {
      EXPECT_EQ(symlink(builtLibrary(library).c_str(), dir_.file("lib64/libat_proxy.so").c_str()), 0);
    }
    setenv("AT_PROXY_STANDIN_RECORD", record().c_str(), 1);
    setenv("AT_PROXY_STANDIN_VERSION", version, 1);
  }
  ~ProxyDir() {
    unsetenv("AT_PROXY_STANDIN_RECORD");
    unsetenv("AT_PROXY_STANDIN_VERSION");
  }
  std::string base() const { return dir_.path() + "/"; }
  std::string record() const { return dir_.file("events"); }

 private:
  logtest::TempDir dir_;
};

struct Case {
  const char* library;
  const char* version;
  bool available;
};

class ProxyLibrary : public ::testing::TestWithParam<Case> {};

TEST_P(ProxyLibrary, IsUsedOnlyWhenCompleteAndRecentEnough) {
  const Case& c = GetParam();
  ProxyDir dir(c.library, c.version);
  ATProxyLibLoader loader(dir.base());
  EXPECT_EQ(loader.libraryPath("libat_proxy"), dir.base() + "lib64/libat_proxy.so");
  EXPECT_EQ(loader.load(), c.available);
  EXPECT_EQ(loader.isAvailable(), c.available);

  const int rc = audittrail::sendAuditTrailEvent(loader, audittrail::AGENT_SOURCE, 7, nullptr, "a,b");
  EXPECT_EQ(rc, c.available ? 0 : -1);
  const std::string recorded = logtest::readFile(dir.record());
  if (!c.available) {
    EXPECT_EQ(recorded, "");
    return;
  }
  struct passwd* pw = getpwuid(getuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(recorded, "7\tVigilog UNIX Agent\tOrvane Suite\t" + std::string(pw->pw_name) + "\t" +
                          std::to_string(getuid()) + "\ta,b\n");
}

INSTANTIATE_TEST_SUITE_P(Libraries, ProxyLibrary,
                         ::testing::Values(Case{"libat_proxy.so", "1.0.0", true},
                                           Case{"libat_proxy.so", "1.0.1", true},
                                           Case{"libat_proxy.so", "2.0.0", true},
                                           Case{"libat_proxy.so", "0.9.9", false},
                                           Case{"libat_proxy.so", "0.99.99", false},
                                           Case{"libat_proxy_nosend.so", "1.0.0", false},
                                           Case{nullptr, "1.0.0", false}));

}  // namespace
