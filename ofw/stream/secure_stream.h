// The GSSAPI (Kerberos) protected stream to a collector.
//
// On a connected TCP socket the stream sends token type 1, establishes a
// security context with the collector's principal (context tokens, type 2),
// announces the protection options (type 5: OPTION_SIGNED | OPTION_SEALED),
// then carries data blocks as type-4 tokens, wrapped with gss_wrap whenever
// signing or sealing is on (see token_wire.h for the framing).
//
// Ownership: the stream owns the socket it is given and the security context.
// Any failure of an operation on the socket closes it at once, so that a
// token left half read or half written is never taken for the next one; every
// later call raises ofw::IOException. (Refusing a bad flag combination touches
// nothing.) The destructor deletes the context and
// closes the socket.
//
// The initiator credential is the one given to setCredential (shared with the
// caller), else GSSAPI's default (the cache named by KRB5CCNAME).
// One stream is used by one thread at a time.
#pragma once
#include <gssapi/gssapi.h>

#include <cstdint>
#include <string>

#include <memory>

#include "ofw/logging/logger.h"
#include "ofw/stream/gss_credential.h"
#include "ofw/stream/ovg_stream.h"
#include "ofw/stream/token_wire.h"
#include "ofw/unique_fd.h"

namespace ofw {

class SecureStream : public OVGStream {
 public:
  static constexpr int DEFAULT_TIMEOUT = 60;

  // Takes the connected socket over. Time-outs in seconds, 0 = wait forever.
  // The largest token accepted is read from vgd.stream.max.token.
  explicit SecureStream(UniqueFd socket, int readTimeout = DEFAULT_TIMEOUT,
                        int writeTimeout = DEFAULT_TIMEOUT);
  ~SecureStream() override;
  SecureStream(const SecureStream&) = delete;
  SecureStream& operator=(const SecureStream&) = delete;

  // Stores the flags and the target, clears `symmetric`, establishes the
  // context and sends the options. Sealing without signing is refused with
  // ofw::InvalidArgumentException before anything is sent. A target that does
  // not parse as a principal: ofw::BadDataException (code: major status); a
  // failed establishment: ofw::KerberosException (code: major status).
  void authenticateAsClient(const std::string& target, bool signedOn, bool sealedOn,
                            bool symmetric) override;
  // The same with the stored target and flags.
  void authenticateAsClient();

  // Failures: ofw::IOException, ofw::TimeoutException (reading),
  // ofw::KerberosException (wrapping; code: major status, e.g.
  // GSS_S_CONTEXT_EXPIRED on unwrapping once the credential ran out).
  void writeDataBlock(const std::string& bytes) override;
  std::string readDataBlock() override;

  // Sets the protection flags without a context exchange. With both off, data
  // blocks travel as they are.
  void setProtection(bool signedOn, bool sealedOn);
  void setMaxToken(uint32_t bytes) { maxToken_ = bytes; }
  // The credential the next context is established with.
  void setCredential(std::shared_ptr<const stream::GssCredential> credential) {
    credential_ = std::move(credential);
  }

  // The options byte announced to the peer.
  uint8_t options() const;
  bool isOpen() const { return socket_.valid(); }
  int socket() const { return socket_.get(); }

 private:
  // Returns the flags the context was established with.
  OM_uint32 establishClientContext(OM_uint32 flags, const std::string& target);
  void send_token(uint8_t type, const std::string& buffer);
  stream::Token recv_token();
  std::string wrapMessage(const std::string& bytes);
  std::string unwrapMessage(std::string& buffer);
  bool protectedBlocks() const { return (signed_ || sealed_) && !symmetric_; }
  // Deletes the context; false when GSSAPI refused (logged).
  bool deleteContext();
  // Runs `step` on the open socket; closes the socket when it throws.
  template <class Step>
  auto guarded(Step step) -> decltype(step());

  int readTimeout_;
  int writeTimeout_;
  gss_ctx_id_t context_ = GSS_C_NO_CONTEXT;
  UniqueFd socket_;
  bool signed_ = true;
  bool sealed_ = true;
  bool symmetric_ = true;
  std::string target_;
  LoggerPtr logger_;
  uint32_t maxToken_;
  std::shared_ptr<const stream::GssCredential> credential_;
};

}  // namespace ofw
