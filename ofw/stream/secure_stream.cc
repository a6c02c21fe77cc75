#include "ofw/stream/secure_stream.h"

#include <string.h>

#include "ofw/config/properties.h"
#include "ofw/exceptions.h"
#include "ofw/stream/gss_util.h"

namespace ofw {
namespace {

// An imported name, released when it goes.
struct GssName {
  gss_name_t name = GSS_C_NO_NAME;
  ~GssName() {
    OM_uint32 minor;
    if (name != GSS_C_NO_NAME) gss_release_name(&minor, &name);
  }
};

}  // namespace

SecureStream::SecureStream(UniqueFd socket, int readTimeout, int writeTimeout)
    : readTimeout_(readTimeout), writeTimeout_(writeTimeout), socket_(std::move(socket)),
      logger_(getLogger("ofw.securestream")),
      maxToken_(Props().getUInt("vgd.stream.max.token", stream::DEFAULT_MAX_TOKEN)) {}

SecureStream::~SecureStream() {
  if (context_ != GSS_C_NO_CONTEXT) {
    OFW_DEBUG(logger_, "About to free old GSS/Kerberos in SecureStream d-tor.");
    deleteContext();
  }
}

bool SecureStream::deleteContext() {
  OM_uint32 minor = 0;
  OM_uint32 major = gss_delete_sec_context(&minor, &context_, GSS_C_NO_BUFFER);
  if (major != GSS_S_COMPLETE) {
    OFW_DEBUG(logger_, "Free old GSS/Kerberos context failed. Maj stat: %ld; min stat: %ld",
              static_cast<long>(major), static_cast<long>(minor));
    return false;
  }
  context_ = GSS_C_NO_CONTEXT;
  return true;
}

template <class Step>
auto SecureStream::guarded(Step step) -> decltype(step()) {
  if (!socket_) OFW_THROW(IOException, "The secure stream is closed after an earlier failure");
  try {
    return step();
  } catch (...) {
    socket_.reset();
    throw;
  }
}

uint8_t SecureStream::options() const {
  return static_cast<uint8_t>((signed_ ? stream::OPTION_SIGNED : 0) | (sealed_ ? stream::OPTION_SEALED : 0) |
                              (symmetric_ ? stream::OPTION_SYMMETRIC : 0));
}

void SecureStream::setProtection(bool signedOn, bool sealedOn) {
  signed_ = signedOn;
  sealed_ = sealedOn;
  symmetric_ = false;
}

void SecureStream::authenticateAsClient(const std::string& target, bool signedOn, bool sealedOn,
                                        bool symmetric) {
  if (sealedOn && !signedOn)
    OFW_THROW(InvalidArgumentException, "Invalid connection configuration.  Signing must be set if sealing.");
  target_ = target;
  signed_ = signedOn;
  sealed_ = sealedOn;
  symmetric_ = symmetric;
  authenticateAsClient();
}

void SecureStream::authenticateAsClient() {
  if (sealed_ && !signed_)
    OFW_THROW(InvalidArgumentException, "Invalid connection configuration.  Signing must be set if sealing.");
  // Symmetric encryption is never used with a context.
  symmetric_ = false;
  guarded([&] {
    OM_uint32 flags = (signed_ || sealed_) ? (GSS_C_MUTUAL_FLAG | GSS_C_REPLAY_FLAG) : GSS_C_REPLAY_FLAG;
    establishClientContext(flags, target_);
    const uint8_t opts = options();
    OFW_DEBUG(logger_, "Sending options: %x", opts);
    send_token(stream::TOKEN_OPTIONS, std::string(1, static_cast<char>(opts)));
  });
}

OM_uint32 SecureStream::establishClientContext(OM_uint32 flags, const std::string& target) {
  OM_uint32 minor = 0;
  GssName name;
  gss_buffer_desc nameBuffer = stream::gssView(target);
  OM_uint32 major = gss_import_name(&minor, &nameBuffer, GSS_C_NT_USER_NAME, &name.name);
  if (major != GSS_S_COMPLETE)
    OFW_THROW_CODE(BadDataException,
                   "Unable to parse target name: " + stream::gssStatusText(major, GSS_C_GSS_CODE),
                   static_cast<int>(major));

  send_token(stream::TOKEN_HELLO, std::string());

  if (context_ != GSS_C_NO_CONTEXT && !deleteContext())
    OFW_THROW(IOException, "Failed to free previous GSS/Kerberos context.");

  try {
    std::string input;
    bool haveInput = false;
    for (;;) {
      gss_buffer_desc in = stream::gssView(input);
      stream::GssBuffer out;
      OM_uint32 returnedFlags = 0;
      const gss_cred_id_t credential = credential_ ? credential_->handle() : GSS_C_NO_CREDENTIAL;
      major = gss_init_sec_context(&minor, credential, &context_, name.name, GSS_C_NO_OID, flags, 0,
                                   GSS_C_NO_CHANNEL_BINDINGS, haveInput ? &in : GSS_C_NO_BUFFER, nullptr,
                                   &out.buffer, &returnedFlags, nullptr);
      if (out.buffer.length > 0) {
        OFW_DEBUG(logger_, "Sending init_sec_context token (size=%d)", static_cast<int>(out.buffer.length));
        send_token(stream::TOKEN_CONTEXT, out.str());
      }
      if (major != GSS_S_COMPLETE && major != GSS_S_CONTINUE_NEEDED)
        OFW_THROW_CODE(KerberosException,
                       "Failed to establish GSS/Kerberos context: " + stream::gssErrorText(major, minor),
                       static_cast<int>(major));
      if (major == GSS_S_COMPLETE) return returnedFlags;
      OFW_DEBUG(logger_, "Continuation is needed");
      input = recv_token().payload;
      haveInput = true;
      OFW_DEBUG(logger_, "Received token (size=%ld)", static_cast<long>(input.size()));
    }
  } catch (...) {
    // A half-established context is of no use.
    if (context_ != GSS_C_NO_CONTEXT) deleteContext();
    throw;
  }
}

void SecureStream::send_token(uint8_t type, const std::string& buffer) {
  stream::sendToken(socket_.get(), type, buffer, writeTimeout_, logger_);
}

stream::Token SecureStream::recv_token() {
  return stream::recvToken(socket_.get(), maxToken_, readTimeout_, logger_);
}

void SecureStream::writeDataBlock(const std::string& bytes) {
  guarded([&] {
    if (!protectedBlocks()) {
      send_token(stream::TOKEN_DATA, bytes);
      return;
    }
    std::string wrapped = wrapMessage(bytes);
    try {
      send_token(stream::TOKEN_DATA, wrapped);
    } catch (...) {
      stream::wipe(wrapped);
      throw;
    }
    stream::wipe(wrapped);
  });
}

std::string SecureStream::readDataBlock() {
  return guarded([&] {
    stream::Token token = recv_token();
    if (!protectedBlocks()) return std::move(token.payload);
    return unwrapMessage(token.payload);
  });
}

std::string SecureStream::wrapMessage(const std::string& bytes) {
  OM_uint32 minor = 0;
  int confState = 0;
  gss_buffer_desc in = stream::gssView(bytes);
  stream::GssBuffer out;
  OM_uint32 major = gss_wrap(&minor, context_, sealed_ ? 1 : 0, GSS_C_QOP_DEFAULT, &in, &confState, &out.buffer);
  // An expired context still wraps; the peer's unwrap reports the expiry.
  if (major != GSS_S_COMPLETE && major != GSS_S_CONTEXT_EXPIRED)
    OFW_THROW_CODE(KerberosException,
                   "Error while wrapping message for transport: " + stream::gssErrorText(major, minor),
                   static_cast<int>(major));
  if (sealed_ && !confState)
    OFW_THROW_CODE(KerberosException,
                   "Message encryption failed and was required: " + stream::gssErrorText(major, minor),
                   static_cast<int>(major));
  return out.str();
}

std::string SecureStream::unwrapMessage(std::string& buffer) {
  OM_uint32 minor = 0;
  int confState = 0;
  gss_buffer_desc in = stream::gssView(buffer);
  stream::GssBuffer out;
  OM_uint32 major = gss_unwrap(&minor, context_, &in, &out.buffer, &confState, nullptr);
  std::string().swap(buffer);
  // The platform's gss_unwrap does not report an expired context; ask for
  // the context's remaining time so that the caller can reconnect on it.
  if (major == GSS_S_COMPLETE) {
    OM_uint32 lifetime = 0;
    OM_uint32 timeMinor = 0;
    if (gss_context_time(&timeMinor, context_, &lifetime) == GSS_S_CONTEXT_EXPIRED) {
      major = GSS_S_CONTEXT_EXPIRED;
      minor = timeMinor;
    }
  }
  if (major != GSS_S_COMPLETE)
    OFW_THROW_CODE(KerberosException,
                   "Error while unwrapping message from transport: " + stream::gssErrorText(major, minor),
                   static_cast<int>(major));
  if (sealed_ && !confState)
    OFW_DEBUG(logger_, "Other side of the connection sent us plain data, we expected it to be encrypted");
  return out.str();
}

}  // namespace ofw
