// The stream interface the collector connection talks through: whole data
// blocks (one collector packet each) over one connected socket.
#pragma once
#include <string>

namespace ofw {

class OVGStream {
 public:
  virtual ~OVGStream() = default;
  // Sets up protection with the peer `target`; nothing to do for a plain stream.
  virtual void authenticateAsClient(const std::string& target, bool signedOn, bool sealedOn,
                                    bool symmetric) {}
  // Kept for the interface's shape; no caller uses it.
  virtual void clientHandShake(const std::string& a, const std::string& b) {}
  // Sends one data block.
  virtual void writeDataBlock(const std::string& bytes) = 0;
  // Receives one data block.
  virtual std::string readDataBlock() = 0;
};

}  // namespace ofw
