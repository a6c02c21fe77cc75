// Decides, from the bytes already queued on a client's socket, whether a whole
// request (or handshake) is there, so that the poll loop hands a client to a
// worker only when the worker will not have to wait for a slow or silent
// peer.
#pragma once
#include <cstddef>
#include <cstdint>

namespace ovg {

enum class Readiness {
  Incomplete,  // wait for more bytes
  Ready,       // a worker can read without waiting for the peer
};

// Bytes a worker may wait for on a large request: a body bigger than what a
// socket queues is read in part by the worker, with its receive time-out.
constexpr size_t kMaxPrefetch = 128 * 1024;

// A request of protocol version `version` whose first `available` bytes are
// `head` (at least the header when available allows). Malformed headers are
// Ready: the worker's receive rejects them with the proper status.
Readiness requestReadiness(int version, const uint8_t* head, size_t headLength, size_t available);

// The client's part of the handshake: the version word, and for version 5 its
// 4-byte hello. Unknown versions are Ready (the accept refuses them).
Readiness handshakeReadiness(const uint8_t* head, size_t available);

// Header bytes to peek for version (0 for an unknown version).
size_t headerBytesToPeek(int version);

}  // namespace ovg
