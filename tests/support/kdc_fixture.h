// A private MIT Kerberos KDC for gtest programs: runs tests/e2e/kdc.sh in a
// temporary directory and points this process's Kerberos environment
// (KRB5_CONFIG, KRB5CCNAME, KRB5_KTNAME, KRB5RCACHEDIR) at it.
//
//   class MyTest : public testkdc::WithKdc<> { ... };   // one KDC per suite
//
// A test skips only when krb5kdc is not installed; a KDC that is installed
// but does not start fails the test.
#pragma once
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace testkdc {

inline std::string fixtureScript() { return std::string(VGD_SOURCE_DIR) + "/tests/e2e/kdc.sh"; }

// Only a missing krb5kdc skips; a missing tool beside it fails the start.
inline bool installed() { return access("/usr/sbin/krb5kdc", X_OK) == 0; }

class Kdc {
 public:
  // Starts a KDC; on failure returns null with startError() saying why.
  static Kdc* startOrNull() {
    auto* kdc = new Kdc;
    if (!installed()) {
      lastError() = "skip";
      delete kdc;
      return nullptr;
    }
    if (!kdc->start()) {
      delete kdc;
      return nullptr;
    }
    lastError().clear();
    return kdc;
  }
  static std::string& lastError() {
    static std::string error;
    return error;
  }

  ~Kdc() {
    run("stop " + dir_);
    run("rm -rf '" + dir_ + "'", false);
  }

  const std::string& dir() const { return dir_; }
  std::string env(const std::string& key) const {
    auto it = env_.find(key);
    return it == env_.end() ? std::string() : it->second;
  }
  // A fresh agent credential cache with the given lifetime (kinit -l syntax);
  // returns its path.
  std::string kinit(const std::string& name, const std::string& lifetime) const {
    std::string path = dir_ + "/" + name;
    return run("kinit " + dir_ + " " + path + " " + lifetime) ? path : std::string();
  }

 private:
  Kdc() = default;

  bool start() {
    char tmpl[] = "/tmp/vgd-kdc.XXXXXX";
    if (!mkdtemp(tmpl)) {
      lastError() = "mkdtemp failed";
      return false;
    }
    dir_ = tmpl;
    if (!run("start " + dir_)) {
      std::ifstream log(dir_ + "/start.log");
      std::stringstream text;
      text << log.rdbuf();
      lastError() = "the KDC fixture did not start: " + text.str();
      return false;
    }
    std::ifstream in(dir_ + "/kdc.env");
    std::string line;
    while (std::getline(in, line)) {
      auto eq = line.find('=');
      if (eq == std::string::npos) continue;
      env_[line.substr(0, eq)] = line.substr(eq + 1);
      setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
    }
    return true;
  }

  // Runs the fixture script (or a plain command) with its output in the log.
  bool run(const std::string& args, bool script = true) const {
    std::string cmd = script ? "bash '" + fixtureScript() + "' " + args : args;
    if (script && !dir_.empty()) cmd += " >>'" + dir_ + "/start.log' 2>&1";
    return system(cmd.c_str()) == 0;
  }

  std::string dir_;
  std::map<std::string, std::string> env_;
};

// Skips when krb5kdc is not installed; fails when it is but did not start.
#define KDC_REQUIRE(kdc)                                                              \
  do {                                                                                \
    if (!(kdc)) {                                                                     \
      if (testkdc::Kdc::lastError() == "skip") GTEST_SKIP() << "krb5kdc is not installed"; \
      FAIL() << testkdc::Kdc::lastError();                                            \
    }                                                                                 \
  } while (0)

// The base of a test suite that needs the KDC: started once for the suite,
// KRB5CCNAME pointed at the agent's credential cache before each test.
// Derived SetUp()s return early when HasFatalFailure() or IsSkipped().
template <class Base = ::testing::Test>
class WithKdc : public Base {
 protected:
  static void SetUpTestSuite() { kdc = Kdc::startOrNull(); }
  static void TearDownTestSuite() {
    delete kdc;
    kdc = nullptr;
  }
  void SetUp() override {
    KDC_REQUIRE(kdc);
    setenv("KRB5CCNAME", kdc->env("KRB5CCNAME").c_str(), 1);
  }
  static Kdc* kdc;
};
template <class Base>
Kdc* WithKdc<Base>::kdc = nullptr;

}  // namespace testkdc
