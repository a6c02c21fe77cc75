// Host-order integer codec for the collector protocol's packets and messages.
//
// The collector protocol carries every integer in the sending host's native
// byte order (most significant byte first on big-endian hosts); no conversion
// is applied. This header is the only place that turns integers into wire bytes
// and back for that protocol: callers never memcpy a value or a struct onto
// the wire themselves. The helpers copy byte-wise, so `dst`/`src` need no
// alignment.
#pragma once
#include <cstdint>
#include <cstring>

namespace ofw {
namespace hostorder {

inline void putU8(unsigned char* dst, uint8_t v) { dst[0] = v; }
inline void putU16(unsigned char* dst, uint16_t v) { std::memcpy(dst, &v, sizeof v); }
inline void putU32(unsigned char* dst, uint32_t v) { std::memcpy(dst, &v, sizeof v); }
inline void putU64(unsigned char* dst, uint64_t v) { std::memcpy(dst, &v, sizeof v); }

inline uint8_t getU8(const unsigned char* src) { return src[0]; }
inline uint16_t getU16(const unsigned char* src) {
  uint16_t v;
  std::memcpy(&v, src, sizeof v);
  return v;
}
inline uint32_t getU32(const unsigned char* src) {
  uint32_t v;
  std::memcpy(&v, src, sizeof v);
  return v;
}
inline uint64_t getU64(const unsigned char* src) {
  uint64_t v;
  std::memcpy(&v, src, sizeof v);
  return v;
}

}  // namespace hostorder
}  // namespace ofw
