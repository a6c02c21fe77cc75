// Which collector the Auditor's single connection uses.
//
// The candidates come from the directory when the host has a directory
// client: the trusted collectors of the host's audit store (ovgfw::SCP), in
// the SCP's random order, split into the machine's site (preferred) and the
// other sites when the store asks for site affinity. A host without the
// client, or whose directory answer names no collector (installation not
// configured, out of scope, directory unreachable, no trusted collector),
// falls back to the static `vgd.collectors` list, all of it preferred.
//
// The evaluation (rebind) decides with the list and the current collector,
// acting through a CollectorLink: it never connects or disconnects by
// itself, so it runs wherever its link is safe to use (the despooler thread
// for the Auditor's connection).
//
// Threads: getCollectorList and rebind run on one thread at a time; flush()
// may be called from any thread.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ofw/capi/capi_loader.h"
#include "ofw/config/properties.h"
#include "ofw/logging/logger.h"
#include "ofw/paths.h"
#include "ovgfw/scp.h"

namespace Vigilog {

// Connection targets ("host:port:principal") in order of preference.
struct CollectorList {
  int state = 0;        // agent state: 7 once collectors could be looked for
  std::string message;  // why there are none
  std::vector<std::string> preferred;
  std::vector<std::string> other;  // other sites (site affinity only)
  std::string installationName;
  std::string auditStoreName;
  bool fromDirectory = false;  // false: `vgd.collectors`
};

// Rebind result codes; each has its verdict text (rebindVerdict).
enum RebindResult {
  REBIND_CHANGED = 0,
  REBIND_DISCONNECTED = 1,
  REBIND_EMPTY_LIST = 2,
  REBIND_NOT_CONNECTED = 3,
  REBIND_NO_CHANGE = 4,
  REBIND_TRIAL_FAILED = 5,
};

// The verdict sent back to whoever asked for the rebind; codes outside the
// table give "Unknown reason.".
std::string rebindVerdict(int code, const std::string& oldName, const std::string& newName);

// Why an evaluation may leave a working current collector.
struct RebindFlags {
  bool loadBalance = false;  // move away with probability one half
  bool forced = false;       // move away whenever another candidate accepts
};

// What the evaluation acts on: the connection and the agent state.
class CollectorLink {
 public:
  virtual ~CollectorLink() = default;
  virtual bool connected() = 0;
  // The current collector's target ("" when none).
  virtual std::string current() = 0;
  // Disconnects, forgets the current collector and sets the agent state.
  virtual void drop(int state, const std::string& message) = 0;
  // Running (9) becomes disk full (8) over the disk quota, and back.
  virtual void adjustDiskState() = 0;
  // A complete connection to target on a separate connection object, closed
  // again at once. Any exception is a failed trial.
  virtual void probe(const std::string& target) = 0;
  // Moves the connection to target and runs the "connected" step. Throws
  // when the connection fails (it is then disconnected).
  virtual void switchTo(const std::string& target) = 0;
};

// The comma-separated `vgd.collectors` targets, blanks trimmed.
std::vector<std::string> configuredCollectors(const ofw::Properties& properties);

// What the selection reads besides the properties; replaceable for tests.
struct CollectorSelectionOptions {
  typedef std::function<uint32_t()> RandomSource;
  // Installation settings (vg.installation.id, ...); the host settings
  // (site, forest) are read under scp.hostSettingsPrefix.
  std::string settingsDir = ofw::paths::DATA_DIR;
  ovgfw::SCP::Options scp;
  RandomSource random;  // the load-balance draw; empty: std::random_device seeded
};

class CollectorSelection {
 public:
  typedef CollectorSelectionOptions Options;
  typedef CollectorSelectionOptions::RandomSource RandomSource;

  // Borrows loader and properties, which must outlive it. Without the
  // directory client's core functions there is no SCP and only
  // `vgd.collectors` is used.
  CollectorSelection(const ofw::CapiDynamicLoader& loader, const ofw::Properties& properties,
                     Options options = Options());
  CollectorSelection(const CollectorSelection&) = delete;
  CollectorSelection& operator=(const CollectorSelection&) = delete;

  // The candidates now (directory answer cached for
  // `vgd.configuration.cache.max.age` seconds), with the once-only INFO
  // lines about the configuration state.
  void getCollectorList(CollectorList& out);

  // getCollectorList, then rebind: the result code.
  int rebindToBestSCP(CollectorLink& link, RebindFlags flags);
  // The evaluation over a given list.
  int rebind(const CollectorList& list, CollectorLink& link, RebindFlags flags);

  // Drops the cached directory answer: 0, or 1 when it failed.
  int flushScpCache();

 private:
  const ofw::Properties& properties_;
  Options options_;
  std::unique_ptr<ovgfw::SCP> scp_;
  ofw::LoggerPtr logger_;
  int lastState_ = 0;
  bool configuredAnnounced_ = false;
  bool emptyAnnounced_ = false;
};

}  // namespace Vigilog
