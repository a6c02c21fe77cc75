// Sends the C log layer's records to the daemon as one ControlLog2 request:
// each record introduced by its (non-zero) time as uint32, then program, pid,
// level, file, line, function and text; a zero uint32 ends the list.
#pragma once
#include <stddef.h>

#include "ofw/logging/clog.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A LogBufferSender: connects to the buffer's socket path (its connect
 * time-out, signing from `lrpc2.message.signing`), sends, waits for the reply
 * within the buffer's time-out. context unused. */
int LogBufferSendControlLog2(void* context, const LogBuffer* buffer, const LogRecordFields* records,
                             size_t count, char* error, size_t errorSize);

#ifdef __cplusplus
}
#endif
