// Audit-trail events reported by local programs (AuditTrailSessionData and
// AuditTrailSessionData2).
//
// Request fields, in order: string, string, uint32 event id; the event time
// (1210: one blob holding the sender's struct timeval; 1212: two 8-byte
// blobs, seconds then microseconds); string, string; blob user SID (read, not
// forwarded); string session GUID (8-4-4-4-12); blob pid (8 bytes); then the
// parameters: a uint32 type and a blob value each, ended by type 0 (END) or
// by the end of the request.
//
// Every sender-laid-out blob is size-checked (audittrail/at_event.h,
// audittrail/at_params.h): a bad time, GUID or pid is forwarded as zero. The
// event is spooled through the process-wide Auditor's postAuditTrailData.
// A field of the wrong type raises ofw::BadDataException; no Auditor raises
// ofw::IOException; spooling errors propagate. The reply is empty.
#pragma once
#include <cstdint>

#include "lrpc2/msg.h"

void HandleAuditTrailSessionData(uint32_t type, LRPC2Msg* request, LRPC2Msg* reply);
