#include "meridia/directory_calls.h"

#include "ofw/exceptions.h"

namespace meridia {

void openDirectorySession(const ofw::CapiDynamicLoader& loader, ofw::CapiSession& session) {
  int rc = loader.isCapiCoreAvailable() ? session.open(OPW_API_VERSION, OPW_DEFAULT_TIMEOUT)
                                        : OPW_ERR_UNSUPPORTED;
  if (rc != OPW_OK || !session.isOpen())
    OFW_THROW_CODE(ofw::CapiException, "Unable to connect to kirad: " + loader.codeText(rc), rc);
}

int openDirectorySearch(const ofw::CapiDynamicLoader& loader, OPW_SESSION session,
                        const std::string& filter, const char* const* attributes, ofw::CapiSearch& search) {
  int rc = OPW_ERR_UNSUPPORTED;
  for (const char* location : {OPW_LOCATION_GC, ""}) {
    rc = loader.opwLdapSearchOpen(session, location, filter.c_str(), "", attributes, OPW_SCOPE_SUBTREE,
                                  OPW_NO_LIMIT, OPW_NO_LIMIT, search.out());
    if (rc == OPW_OK) break;
  }
  return rc;
}

int fetchDirectoryObject(const ofw::CapiDynamicLoader& loader, OPW_SESSION session, const std::string& dn,
                         const char* const* attributes, ofw::CapiObject& object) {
  int rc = OPW_ERR_UNSUPPORTED;
  for (const char* location : {OPW_LOCATION_GC, ""}) {
    rc = loader.opwLdapFetch(session, location, dn.c_str(), attributes, object.out());
    if (rc == OPW_OK) break;
  }
  return rc;
}

}  // namespace meridia
