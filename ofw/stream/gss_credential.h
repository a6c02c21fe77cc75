// An initiator credential taken from one named Kerberos credential cache.
//
// The cache is named to GSSAPI directly (MIT gss_acquire_cred_from with a
// "ccache" store): the process environment (KRB5CCNAME) is neither read nor
// changed, so threads that use GSSAPI at the same time are not disturbed.
// The handle is released when the last owner goes.
#pragma once
#include <gssapi/gssapi.h>

#include <memory>
#include <string>

namespace ofw {
namespace stream {

class GssCredential {
 public:
  // Acquires the default principal's credential of cache `cache` (a path or
  // "TYPE:residual"). Failure: ofw::KerberosException "Unable to acquire a
  // credential from <cache>: <major text>: <minor text>", code = major status.
  static std::shared_ptr<const GssCredential> fromCache(const std::string& cache);
  ~GssCredential();
  GssCredential(const GssCredential&) = delete;
  GssCredential& operator=(const GssCredential&) = delete;

  gss_cred_id_t handle() const { return handle_; }

 private:
  explicit GssCredential(gss_cred_id_t handle) : handle_(handle) {}
  gss_cred_id_t handle_;
};

}  // namespace stream
}  // namespace ofw
