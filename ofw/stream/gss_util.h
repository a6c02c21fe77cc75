// Small GSSAPI helpers shared by both ends of the secure stream: status codes
// as text (gss_display_status) and owners of what GSSAPI allocates.
#pragma once
#include <gssapi/gssapi.h>
#include <string.h>

#include <string>

namespace ofw {
namespace stream {

// Every message gss_display_status gives for the code, joined by "; ".
// type is GSS_C_GSS_CODE (major status) or GSS_C_MECH_CODE (minor status).
std::string gssStatusText(OM_uint32 code, int type);
// "<major text>: <minor text>", the tail of every GSSAPI failure message.
std::string gssErrorText(OM_uint32 major, OM_uint32 minor);

// A buffer GSSAPI allocated: wiped (it may hold plain text) and released when
// the owner goes.
struct GssBuffer {
  gss_buffer_desc buffer = GSS_C_EMPTY_BUFFER;
  GssBuffer() = default;
  GssBuffer(const GssBuffer&) = delete;
  GssBuffer& operator=(const GssBuffer&) = delete;
  ~GssBuffer() {
    OM_uint32 minor;
    if (buffer.value) explicit_bzero(buffer.value, buffer.length);
    gss_release_buffer(&minor, &buffer);
  }
  std::string str() const { return std::string(static_cast<const char*>(buffer.value), buffer.length); }
};

// A descriptor of the string's bytes (no copy); valid while the string is.
inline gss_buffer_desc gssView(const std::string& s) {
  gss_buffer_desc b;
  b.length = s.size();
  b.value = const_cast<char*>(s.data());
  return b;
}

}  // namespace stream
}  // namespace ofw
