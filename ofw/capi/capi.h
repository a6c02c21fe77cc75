/* The directory client's C interface (OPW CAPI), as the daemon calls it.
 *
 * The library is opened at run time (ofw/capi/capi_loader.h); this header gives the
 * function types both sides use, so the daemon's function pointers and the
 * library's definitions cannot disagree. The library declares its functions
 * with these types (`opwSessionOpen_fn opwSessionOpen;`).
 *
 * Conventions of every call:
 * - The result is a status: OPW_OK (0) on success, one of the OPW_ERR_ codes
 *   below otherwise; opwGetOpwCodeStr gives its text.
 * - Out parameters are written only on success.
 * - Strings returned through char** are released with opwFreeString, string
 *   lists (char** array plus count) with opwFreeStringList, objects with
 *   opwFreeObject, searches with opwLdapSearchClose. Each of these accepts a
 *   null handle.
 * - An object or search stays valid after its session is closed; it holds its
 *   own copy of the data it returns.
 * - A session may be used by several threads at once.
 */
#ifndef OFW_CAPI_H
#define OFW_CAPI_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct opw_session* OPW_SESSION;
typedef struct opw_object* OPW_OBJECT;
typedef struct opw_search* OPW_SEARCH;

/* Status codes. */
#define OPW_OK 0
#define OPW_ERR_INVALID_ARG 1     /* a null pointer or a value out of range */
#define OPW_ERR_NO_MEMORY 2
#define OPW_ERR_NOT_CONNECTED 3   /* the directory (agent or server) cannot be reached */
#define OPW_ERR_NOT_FOUND 4       /* no such object */
#define OPW_ERR_NO_ATTRIBUTE 5    /* the object has no value for the attribute */
#define OPW_ERR_BAD_VALUE 6       /* the value does not convert to the wanted type */
#define OPW_ERR_NO_MORE_RESULTS 7 /* opwLdapSearchNext: the search is exhausted */
#define OPW_ERR_BAD_FILTER 8
#define OPW_ERR_BAD_DN 9
#define OPW_ERR_UNSUPPORTED 10
#define OPW_ERR_BAD_OPTION 11
#define OPW_ERR_INTERNAL 12

/* opwSessionOpen arguments: interface version and time-out in seconds. */
#define OPW_API_VERSION 1
#define OPW_DEFAULT_TIMEOUT 21

/* opwSetOption: option 1 takes a 4-byte int; non-zero restricts name look-ups
 * to UNIX-enabled users. */
#define OPW_OPT_UNIX_ONLY 1

/* opwLookupObjectByUnixId: which id. */
#define OPW_UNIXID_USER 1
#define OPW_UNIXID_GROUP 2

/* opwLdapSearchOpen / opwLdapFetch: location "$" is the global catalog, ""
 * the joined domain, anything else a domain name. */
#define OPW_LOCATION_GC "$"
#define OPW_SCOPE_BASE 0
#define OPW_SCOPE_ONELEVEL 1
#define OPW_SCOPE_SUBTREE 2
#define OPW_NO_LIMIT 0

/* Sessions. */
typedef int opwSessionOpen_fn(int version, int timeoutSeconds, OPW_SESSION* session);
typedef int opwSessionClose_fn(OPW_SESSION session);
typedef int opwSetOption_fn(OPW_SESSION session, int option, const void* value, size_t size);

/* Look-ups; OPW_ERR_NOT_FOUND when the directory holds no such object. */
typedef int opwLookupObjectByName_fn(OPW_SESSION session, const char* name, const char* objectClass,
                                     OPW_OBJECT* object);
typedef int opwLookupObjectByUnixId_fn(OPW_SESSION session, int idType, unsigned int id,
                                       OPW_OBJECT* object);
typedef int opwLookupObjectBySid_fn(OPW_SESSION session, const char* sid, OPW_OBJECT* object);

/* Attributes. A single-valued getter reads the first value. Integer values
 * cover the whole UID/GID range. */
typedef int opwGetAttributeStr_fn(OPW_SESSION session, OPW_OBJECT object, const char* name,
                                  char** value);
typedef int opwGetAttributeInt_fn(OPW_SESSION session, OPW_OBJECT object, const char* name,
                                  long long* value);
typedef int opwGetAttributeBool_fn(OPW_SESSION session, OPW_OBJECT object, const char* name,
                                   int* value);
typedef int opwGetAttributeList_fn(OPW_SESSION session, OPW_OBJECT object, const char* name,
                                   char*** values, size_t* count);
typedef int opwIsObjectCategory_fn(OPW_SESSION session, OPW_OBJECT object, const char* category,
                                   int* result);
/* group: a GUID (any text form, or "<GUID=...>"), a DN or a group name. */
typedef int opwValidateUserGroup_fn(OPW_SESSION session, OPW_OBJECT object, const char* group,
                                    int* isMember);

/* Searches. attributes is a null-terminated list (null = all attributes);
 * pseudo-attributes whose names start with "_" are always returned. base is
 * a DN below the location ("" = its root). Limits: OPW_NO_LIMIT or a
 * positive number (entries resp. seconds). */
typedef int opwLdapSearchOpen_fn(OPW_SESSION session, const char* location, const char* filter,
                                 const char* base, const char* const* attributes, int scope,
                                 int sizeLimit, int timeLimit, OPW_SEARCH* search);
typedef int opwLdapSearchNext_fn(OPW_SEARCH search, OPW_OBJECT* object);
typedef int opwLdapSearchInfo_fn(OPW_SEARCH search, size_t* total, size_t* returned);
typedef int opwLdapSearchClose_fn(OPW_SEARCH search);
typedef int opwLdapSearchHandle_fn(OPW_SEARCH search, OPW_SESSION* session);
/* dn: a DN, "<GUID=...>" or "<SID=...>". */
typedef int opwLdapFetch_fn(OPW_SESSION session, const char* location, const char* dn,
                            const char* const* attributes, OPW_OBJECT* object);
/* The DC components of the DN joined with ".". */
typedef int opwDomainFromDN_fn(const char* dn, char** domain);

/* Releasing. */
typedef void opwFreeObject_fn(OPW_OBJECT object);
typedef void opwFreeString_fn(char* value);
typedef void opwFreeStringList_fn(char** values, size_t count);

/* Text of a status; never null. */
typedef const char* opwGetOpwCodeStr_fn(int code);

/* The user's audit level (0 audit_if_possible, 1 no_audit, 2 audit_required,
 * 3 use_sysrights). */
typedef int opwGetAuditLevel_fn(OPW_SESSION session, const char* user, int* level);

#ifdef __cplusplus
}
#endif

#endif /* OFW_CAPI_H */
