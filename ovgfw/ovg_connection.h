// The daemon's link to a collector, as its owner (the Auditor) sees it.
#pragma once
#include <string>

namespace ovgfw {

class OVGConnection {
 public:
  virtual ~OVGConnection() = default;
  // Connects to the current target.
  virtual void connectToCollector() = 0;
  // Connects to `target` ("host:port:principal"), authenticates and, unless
  // probeOnly, opens the channels.
  virtual void connectToCollector(const std::string& target, bool probeOnly) = 0;
};

}  // namespace ovgfw
