// The functions of the audit-trail proxy library, as this daemon calls them.
// Every function returns 0 on success.
#pragma once

extern "C" {

// The library's own version.
typedef int ATProxyGetVersionFn(int* major, int* minor, int* patch);
// Whether the library serves a caller built for the given version.
typedef int ATProxyCheckVersionFn(int major, int minor, int patch);
// A context for the events that follow, released with ATProxyFreeATContext
// (which sets *ctx to null).
typedef int ATProxyInitATContextFn(void** ctx);
typedef int ATProxyFreeATContextFn(void** ctx);
// One event: the product and source texts, the event id, the user it concerns
// (name and uid) and its parameter text (may be null for none).
typedef int ATProxySetAuditTrailEvent2Fn(void* ctx, const char* product, const char* source, int eventId,
                                         const char* userName, unsigned int uid, const char* parameters);
}
