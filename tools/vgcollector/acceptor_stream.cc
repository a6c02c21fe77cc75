#include "tools/vgcollector/acceptor_stream.h"

#include <string.h>

#include "ofw/exceptions.h"
#include "ofw/stream/gss_util.h"
#include "ofw/stream/token_wire.h"

namespace vgcollector {
namespace {

[[noreturn]] void fail(const std::string& what, OM_uint32 major, OM_uint32 minor) {
  OFW_THROW_CODE(ofw::KerberosException, what + ": " + ofw::stream::gssErrorText(major, minor),
                 static_cast<int>(major));
}

}  // namespace

AcceptorStream::AcceptorStream(ofw::UniqueFd socket, uint32_t maxToken, int readTimeout, int writeTimeout)
    : socket_(std::move(socket)), maxToken_(maxToken), readTimeout_(readTimeout), writeTimeout_(writeTimeout),
      logger_(ofw::getLogger("vgcollector.stream")) {}

AcceptorStream::~AcceptorStream() {
  OM_uint32 minor;
  if (context_ != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &context_, GSS_C_NO_BUFFER);
}

void AcceptorStream::accept() {
  using namespace ofw::stream;
  recvToken(socket_.get(), maxToken_, readTimeout_, logger_);  // hello; its type is not examined
  gss_name_t client = GSS_C_NO_NAME;
  for (;;) {
    Token token = recvToken(socket_.get(), maxToken_, readTimeout_, logger_);
    gss_buffer_desc in = ofw::stream::gssView(token.payload);
    ofw::stream::GssBuffer out;
    OM_uint32 minor = 0;
    OM_uint32 major = gss_accept_sec_context(&minor, &context_, GSS_C_NO_CREDENTIAL, &in, GSS_C_NO_CHANNEL_BINDINGS,
                                             &client, nullptr, &out.buffer, &flags_, nullptr, nullptr);
    if (out.buffer.length > 0) sendToken(socket_.get(), TOKEN_CONTEXT, out.str(), writeTimeout_, logger_);
    if (major == GSS_S_COMPLETE) break;
    if (major != GSS_S_CONTINUE_NEEDED) fail("Failed to accept GSS/Kerberos context", major, minor);
  }
  OM_uint32 minor = 0;
  ofw::stream::GssBuffer name;
  if (gss_display_name(&minor, client, &name.buffer, nullptr) == GSS_S_COMPLETE) clientName_ = name.str();
  gss_release_name(&minor, &client);

  Token options = recvToken(socket_.get(), maxToken_, readTimeout_, logger_);
  if (options.payload.size() != 1)
    OFW_THROW(ofw::BadDataException, "Options token of " + std::to_string(options.payload.size()) + " bytes");
  options_ = static_cast<uint8_t>(options.payload[0]);
}

std::string AcceptorStream::readBlock(bool& sealed) {
  ofw::stream::Token token = ofw::stream::recvToken(socket_.get(), maxToken_, readTimeout_, logger_);
  sealed = false;
  if (!protectedBlocks()) return std::move(token.payload);
  gss_buffer_desc in = ofw::stream::gssView(token.payload);
  ofw::stream::GssBuffer out;
  OM_uint32 minor = 0;
  int conf = 0;
  OM_uint32 major = gss_unwrap(&minor, context_, &in, &out.buffer, &conf, nullptr);
  if (major != GSS_S_COMPLETE) fail("Error while unwrapping message from transport", major, minor);
  sealed = conf != 0;
  return out.str();
}

void AcceptorStream::writeBlock(const std::string& bytes) {
  if (!protectedBlocks()) {
    ofw::stream::sendToken(socket_.get(), ofw::stream::TOKEN_DATA, bytes, writeTimeout_, logger_);
    return;
  }
  gss_buffer_desc in = ofw::stream::gssView(bytes);
  ofw::stream::GssBuffer out;
  OM_uint32 minor = 0;
  int conf = 0;
  const int seal = (options_ & ofw::stream::OPTION_SEALED) ? 1 : 0;
  OM_uint32 major = gss_wrap(&minor, context_, seal, GSS_C_QOP_DEFAULT, &in, &conf, &out.buffer);
  if (major != GSS_S_COMPLETE && major != GSS_S_CONTEXT_EXPIRED)
    fail("Error while wrapping message for transport", major, minor);
  ofw::stream::sendToken(socket_.get(), ofw::stream::TOKEN_DATA, out.str(), writeTimeout_, logger_);
}

}  // namespace vgcollector
