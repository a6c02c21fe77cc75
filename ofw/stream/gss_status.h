// GSSAPI status codes as text (gss_display_status), for exception messages.
#pragma once
#include <gssapi/gssapi.h>

#include <string>

namespace ofw {
namespace stream {

// Every message gss_display_status gives for the code, joined by "; ".
// type is GSS_C_GSS_CODE (major status) or GSS_C_MECH_CODE (minor status).
std::string gssStatusText(OM_uint32 code, int type);
// "<major text>: <minor text>", the tail of every GSSAPI failure message.
std::string gssErrorText(OM_uint32 major, OM_uint32 minor);

}  // namespace stream
}  // namespace ofw
