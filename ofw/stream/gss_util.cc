#include "ofw/stream/gss_util.h"

namespace ofw {
namespace stream {

std::string gssStatusText(OM_uint32 code, int type) {
  std::string text;
  OM_uint32 context = 0;
  do {
    OM_uint32 minor = 0;
    gss_buffer_desc message = GSS_C_EMPTY_BUFFER;
    OM_uint32 major = gss_display_status(&minor, code, type, GSS_C_NO_OID, &context, &message);
    if (GSS_ERROR(major)) break;
    if (!text.empty()) text += "; ";
    text.append(static_cast<const char*>(message.value), message.length);
    gss_release_buffer(&minor, &message);
  } while (context != 0);
  return text;
}

std::string gssErrorText(OM_uint32 major, OM_uint32 minor) {
  return gssStatusText(major, GSS_C_GSS_CODE) + ": " + gssStatusText(minor, GSS_C_MECH_CODE);
}

}  // namespace stream
}  // namespace ofw
