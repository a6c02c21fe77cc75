// The daemon's front end of collector discovery: which installation and
// audit store this host belongs to, and the trusted collectors of that store
// in random order, cached for a bounded age.
//
// Agent states reported (the numbers the collector and the local tools see):
// 3 determining the installation, 4 installation not configured, 5
// determining the audit store, 6 not in the scope of any audit store, 7 store
// found (not yet connected to a collector). Each state is passed, as it is
// reached, to the state reporter given at construction; the Auditor plugs in
// its setState there. The reporter's text is the answer's message so far (""
// when there is nothing beyond the state itself).
//
// Collector selection needs from this: the answer's state and message (set as
// the agent state when the connection fails), the audit store's site
// affinity and each endpoint's site (local-site collectors first), the
// endpoints in their given order as connection targets "host:port:principal",
// and flush() for the cache-flush request.
//
// Ownership: borrows the loader and the properties, which must outlive it.
// getCollectors runs on one thread at a time (the one that evaluates
// collectors); flush() may be called from any thread.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "meridia/host_addresses.h"
#include "meridia/service_endpoint.h"
#include "ofw/capi/capi_loader.h"
#include "ofw/config/properties.h"
#include "ofw/guid.h"
#include "ofw/logging/logger.h"
#include "ofw/paths.h"
#include "ofw/threads/mutex.h"

namespace ovgfw {

// What SCP reads and calls besides the directory; replaceable for tests.
struct ScpOptions {
  typedef std::function<void(int state, const std::string& text)> StateReporter;
  // Each call gives a new number; the shuffle takes it modulo the count left.
  typedef std::function<uint32_t()> RandomSource;
  // Monotonic seconds.
  typedef std::function<double()> Clock;

  std::string policyFile = ofw::paths::POLICY_FILE;
  // Host settings site, domain, forest (ofw/capi/dirsettings.h).
  std::string hostSettingsPrefix = ofw::paths::KSET_PREFIX;
  meridia::AddressProbe addresses = meridia::localIPv4Addresses;
  RandomSource random;        // empty: a generator seeded from std::random_device
  Clock clock;                // empty: std::chrono::steady_clock
  StateReporter reportState;  // empty: states are only returned
};

class SCP {
 public:
  enum State {
    STATE_DETERMINING_INSTALLATION = 3,
    STATE_NOT_CONFIGURED = 4,
    STATE_DETERMINING_AUDIT_STORE = 5,
    STATE_OUT_OF_SCOPE = 6,
    STATE_NOT_CONNECTED = 7,
  };
  // The collector module whose service connection points are looked for.
  static constexpr const char* COLLECTOR_MODULE_GUID = "B839418A-75A5-4a2c-AEC9-6039E6043A59";

  typedef ScpOptions Options;
  typedef ScpOptions::StateReporter StateReporter;
  typedef ScpOptions::RandomSource RandomSource;
  typedef ScpOptions::Clock Clock;

  struct Collectors {
    int state = 0;
    std::string message;  // why the list is empty ("" otherwise)
    std::string installationId;
    std::string installationName;
    std::string auditStoreName;
    bool agentSiteAffinity = false;
    std::vector<meridia::ServiceEndpointPtr> endpoints;  // trusted only, random order
  };

  SCP(const ofw::CapiDynamicLoader& loader, const ofw::Properties& properties, Options options = Options());
  SCP(const SCP&) = delete;
  SCP& operator=(const SCP&) = delete;

  // Fills out (replacing what it held) for the installation configured by
  // group policy or in settingsDir (meridia::InstallationInfo). An answer
  // younger than maxAgeSeconds for the same configuration is given again as
  // it was; maxAgeSeconds <= 0 always looks afresh. Configuration gaps,
  // unreadable policy, installation or directory failures are reported in
  // the state and message, never thrown; only complete answers are cached.
  void getCollectors(int maxAgeSeconds, const std::string& settingsDir, Collectors& out);

  // Drops the cached answer.
  void flush();

 private:
  void setState(Collectors& out, int state, const std::string& message);
  bool loadInstallation(const ofw::Guid& gpGuid, const std::string& localId, const std::string& settingsDir,
                        Collectors& out, std::vector<std::string>& trustedServers, std::string& storeGuid);

  const ofw::CapiDynamicLoader& loader_;
  const ofw::Properties& properties_;
  Options options_;
  ofw::LoggerPtr logger_;

  ofw::Mutex cacheMutex_;
  bool cached_ = false;
  ofw::Guid cachedGuid_;
  std::string cachedId_;
  double cachedAt_ = 0;
  Collectors cachedAnswer_;
};

}  // namespace ovgfw
