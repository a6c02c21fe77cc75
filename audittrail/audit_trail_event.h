// The daemon's own audit-trail events (start, stop, refusals), raised through
// the audit-trail proxy library when it is available.
#pragma once
#include <string>

namespace audittrail {

class ATProxyLibLoader;

// The source of the daemon's own events: start 0, not root 1, stop 100.
constexpr const char* AGENT_SOURCE = "Vigilog UNIX Agent";
// The product text of the daemon's events when the caller names none.
constexpr const char* DEFAULT_PRODUCT = "Orvane Suite";

// source: the reporting component ("Vigilog UNIX Agent"); product: null for
// DEFAULT_PRODUCT; format and the arguments after it render the event's
// parameter text (null for none). Goes through the process-wide loader;
// nothing is sent while it is unavailable.
void SendAuditTrailEvent2(const char* source, int eventId, const char* product, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// The same through a given loader, with the parameters already rendered
// (null for none); the event concerns the process's real uid. Returns the
// library's status: 0 sent, -1 not available, otherwise its error.
int sendAuditTrailEvent(ATProxyLibLoader& loader, const char* source, int eventId, const char* product,
                        const char* parameters);

}  // namespace audittrail
