// Host-byte-order codec of the LRPC2 layers.
//
// Every integer of the LRPC2 message bodies, headers and handshakes is in the
// host's native byte order (the bytes never leave the host). This is the only
// place that turns integers into bytes and back; every reader and writer of the
// wire layouts goes through these helpers and never copies a struct.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace lrpc2 {
namespace wire {

inline void PutU8(uint8_t* dst, uint8_t v) { dst[0] = v; }
inline void PutU16(uint8_t* dst, uint16_t v) { std::memcpy(dst, &v, sizeof v); }
inline void PutU32(uint8_t* dst, uint32_t v) { std::memcpy(dst, &v, sizeof v); }
inline void PutU64(uint8_t* dst, uint64_t v) { std::memcpy(dst, &v, sizeof v); }

inline uint8_t GetU8(const uint8_t* src) { return src[0]; }
inline uint16_t GetU16(const uint8_t* src) {
  uint16_t v;
  std::memcpy(&v, src, sizeof v);
  return v;
}
inline uint32_t GetU32(const uint8_t* src) {
  uint32_t v;
  std::memcpy(&v, src, sizeof v);
  return v;
}
inline uint64_t GetU64(const uint8_t* src) {
  uint64_t v;
  std::memcpy(&v, src, sizeof v);
  return v;
}

// The same value with its bytes reversed: what a peer of the other byte order
// would have written.
inline uint32_t Swap32(uint32_t v) { return __builtin_bswap32(v); }

}  // namespace wire
}  // namespace lrpc2
