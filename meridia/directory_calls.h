// Directory calls shared by the installation and service look-ups: a
// session opened as the rest of the daemon opens one, and searches and
// fetches that try the global catalog first and the joined domain second.
#pragma once
#include <string>

#include "ofw/capi/capi_loader.h"

namespace meridia {

// Opens the session; throws ofw::CapiException "Unable to connect to kirad: <status
// text>" with the status as code (OPW_ERR_UNSUPPORTED without a complete library).
void openDirectorySession(const ofw::CapiDynamicLoader& loader, ofw::CapiSession& session);

// A subtree search from the root without limits; attributes null-terminated.
// Returns the status of the last attempt.
int openDirectorySearch(const ofw::CapiDynamicLoader& loader, OPW_SESSION session,
                        const std::string& filter, const char* const* attributes, ofw::CapiSearch& search);

// opwLdapFetch of a DN or "<GUID=...>", global catalog first.
int fetchDirectoryObject(const ofw::CapiDynamicLoader& loader, OPW_SESSION session, const std::string& dn,
                         const char* const* attributes, ofw::CapiObject& object);

}  // namespace meridia
