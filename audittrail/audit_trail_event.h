// The daemon's own audit-trail events (start, stop, refusals), raised through
// the audit-trail proxy library when it is available.
#pragma once

namespace audittrail {

// source: the reporting component ("Vigilog UNIX Agent"); format and the
// arguments after it render the event's parameters (may be null for none).
void SendAuditTrailEvent2(const char* source, int eventId, const char* product, const char* format, ...)
;

}  // namespace audittrail
