// Message-layer entry points for the transport (not for request handlers).
#pragma once
#include <cstddef>
#include <cstdint>

#include "lrpc2/msg.h"
#include "ofw/secure_bytes.h"

namespace lrpc2 {

// Structural check of a message body (type, tagged values, final tag 0).
// Returns MSG_OK or MSG_ERR_INVALID; *sensitive is set when a password or a
// protected blob is present.
int MsgValidateBody(const uint8_t* body, size_t length, bool* sensitive);

// MsgNewFromData that takes ownership of `buffer` (header + body) instead of
// copying it. On failure the buffer is wiped and released.
LRPC2Msg* MsgAdoptBuffer(ofw::SecureBytes&& buffer, const MsgTable* table, uint32_t headerLength,
                         int* status);

// The whole buffer of a message that owns its bytes, writable so that the
// transport can put its header into the reserved space; null otherwise.
uint8_t* MsgMutableData(LRPC2Msg* msg, size_t* length);

// The body (type, values, tag 0) and its length; null for a null message.
const uint8_t* MsgBodyData(const LRPC2Msg* msg, size_t* length);

// The message's type (first two body bytes) regardless of state; 0 when the
// message is null.
uint32_t MsgTypeOf(const LRPC2Msg* msg);

}  // namespace lrpc2
