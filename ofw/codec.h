// The byte codec: the only place that turns integers into bytes and back.
//
// Host order (putU16 … getU64): the spool files, the LRPC2 wire and the
// collector protocol's packets and messages carry every integer in the
// writing host's native byte order; no conversion is applied, so their bytes
// are readable only on a host of the same byte order.
// Big endian (putBE32, getBE32): the secure stream's token lengths, whatever
// the host.
// Timestamps of the collector messages (putTimeval, getTimeval): 8 bytes,
// seconds (low 32 bits) then microseconds, 4 bytes each, host order.
//
// Callers never memcpy a value or a struct onto the wire or the disk
// themselves. The helpers copy byte-wise: `dst`/`src` need no alignment and
// must hold at least the value's size.
#pragma once
#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ofw {
namespace codec {

inline void putU8(void* dst, uint8_t v) { static_cast<unsigned char*>(dst)[0] = v; }
inline void putU16(void* dst, uint16_t v) { std::memcpy(dst, &v, sizeof v); }
inline void putU32(void* dst, uint32_t v) { std::memcpy(dst, &v, sizeof v); }
inline void putU64(void* dst, uint64_t v) { std::memcpy(dst, &v, sizeof v); }

inline uint8_t getU8(const void* src) { return static_cast<const unsigned char*>(src)[0]; }
inline uint16_t getU16(const void* src) {
  uint16_t v;
  std::memcpy(&v, src, sizeof v);
  return v;
}
inline uint32_t getU32(const void* src) {
  uint32_t v;
  std::memcpy(&v, src, sizeof v);
  return v;
}
inline uint64_t getU64(const void* src) {
  uint64_t v;
  std::memcpy(&v, src, sizeof v);
  return v;
}

inline void putBE32(void* dst, uint32_t v) {
  auto* d = static_cast<unsigned char*>(dst);
  d[0] = static_cast<unsigned char>(v >> 24);
  d[1] = static_cast<unsigned char>(v >> 16);
  d[2] = static_cast<unsigned char>(v >> 8);
  d[3] = static_cast<unsigned char>(v);
}
inline uint32_t getBE32(const void* src) {
  const auto* s = static_cast<const unsigned char*>(src);
  return (uint32_t{s[0]} << 24) | (uint32_t{s[1]} << 16) | (uint32_t{s[2]} << 8) | uint32_t{s[3]};
}

constexpr size_t kTimevalSize = 8;
inline void putTimeval(void* dst, const struct timeval& tv) {
  auto* d = static_cast<unsigned char*>(dst);
  putU32(d, static_cast<uint32_t>(static_cast<uint64_t>(tv.tv_sec)));
  putU32(d + 4, static_cast<uint32_t>(tv.tv_usec));
}
inline struct timeval getTimeval(const void* src) {
  const auto* s = static_cast<const unsigned char*>(src);
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(getU32(s));
  tv.tv_usec = static_cast<suseconds_t>(getU32(s + 4));
  return tv;
}

// The same value with its bytes reversed: what a peer of the other byte order
// would have written.
inline uint32_t swap32(uint32_t v) { return __builtin_bswap32(v); }

}  // namespace codec
}  // namespace ofw
