// Test helpers: expected wire bytes built by shifts, independently of the codec
// under test, in the host's byte order (the protocol's integer order).
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>

namespace wiretest {

inline bool hostIsLittleEndian() {
  const uint16_t probe = 1;
  return *reinterpret_cast<const unsigned char*>(&probe) == 1;
}

// The `width` low bytes of v, most significant first, reversed on little-endian hosts.
inline std::string hostBytes(uint64_t v, int width) {
  std::string big;
  for (int i = width - 1; i >= 0; --i) big += static_cast<char>((v >> (8 * i)) & 0xff);
  if (hostIsLittleEndian()) return std::string(big.rbegin(), big.rend());
  return big;
}
inline std::string u16(uint64_t v) { return hostBytes(v, 2); }
inline std::string u32(uint64_t v) { return hostBytes(v, 4); }
inline std::string u64(uint64_t v) { return hostBytes(v, 8); }

inline std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s += static_cast<char>(b);
  return s;
}

inline std::string hex(const std::string& s) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

}  // namespace wiretest
