// The collector's end of the secure stream: accepts the security context
// from a keytab (KRB5_KTNAME) and then moves data blocks, wrapped exactly when
// the client's options byte asks for signing or sealing.
//
// Owns its socket and context. Any failure raises an ofw exception; the
// connection is then dropped by the caller. Used by one thread at a time.
#pragma once
#include <gssapi/gssapi.h>

#include <cstdint>
#include <string>

#include "ofw/logging/logger.h"
#include "ofw/unique_fd.h"

namespace vgcollector {

class AcceptorStream {
 public:
  AcceptorStream(ofw::UniqueFd socket, uint32_t maxToken, int readTimeout, int writeTimeout);
  ~AcceptorStream();
  AcceptorStream(const AcceptorStream&) = delete;
  AcceptorStream& operator=(const AcceptorStream&) = delete;

  // Reads the hello token, accepts the context (answering each context token
  // with one of type 2) and reads the options token.
  void accept();

  // One data block; `sealed` tells whether it came with confidentiality.
  std::string readBlock(bool& sealed);
  // Sends one data block, sealed when the client asked for sealing.
  void writeBlock(const std::string& bytes);

  const std::string& clientName() const { return clientName_; }
  uint8_t options() const { return options_; }
  OM_uint32 contextFlags() const { return flags_; }
  int socket() const { return socket_.get(); }

 private:
  bool protectedBlocks() const { return (options_ & 3) != 0; }

  ofw::UniqueFd socket_;
  uint32_t maxToken_;
  int readTimeout_;
  int writeTimeout_;
  gss_ctx_id_t context_ = GSS_C_NO_CONTEXT;
  OM_uint32 flags_ = 0;
  uint8_t options_ = 0;
  std::string clientName_;
  ofw::LoggerPtr logger_;
};

}  // namespace vgcollector
