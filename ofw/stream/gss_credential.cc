#include "ofw/stream/gss_credential.h"

#include <gssapi/gssapi_ext.h>

#include "ofw/exceptions.h"
#include "ofw/stream/gss_util.h"

namespace ofw {
namespace stream {

std::shared_ptr<const GssCredential> GssCredential::fromCache(const std::string& cache) {
  gss_key_value_element_desc element = {"ccache", cache.c_str()};
  gss_key_value_set_desc store = {1, &element};
  gss_cred_id_t handle = GSS_C_NO_CREDENTIAL;
  OM_uint32 minor = 0;
  const OM_uint32 major = gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, GSS_C_NO_OID_SET,
                                                GSS_C_INITIATE, &store, &handle, nullptr, nullptr);
  if (major != GSS_S_COMPLETE)
    OFW_THROW_CODE(KerberosException,
                   "Unable to acquire a credential from " + cache + ": " + gssErrorText(major, minor),
                   static_cast<int>(major));
  return std::shared_ptr<const GssCredential>(new GssCredential(handle));
}

GssCredential::~GssCredential() {
  OM_uint32 minor;
  if (handle_ != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &handle_);
}

}  // namespace stream
}  // namespace ofw
