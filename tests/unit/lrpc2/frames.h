// Raw LRPC2 frames and handshakes built byte by byte for the transport tests.
#pragma once
#include <time.h>

#include "lrpc2/header.h"
#include "lrpc2_test_util.h"

namespace lrpc2test {

struct FrameShape {
  int version = 5;
  uint32_t magic = 0xABCD8012u;
  uint16_t headerLength = 0;  // 0 = the version's
  uint32_t headerVersion = 0; // 0 = the version
  uint64_t pid = 4321;
  uint32_t sequence = 77;
  uint64_t time = 1700000000;
  uint16_t flags = 0;
  bool sign = false;           // compute the signature (sets flag bit 0)
  uint32_t status = 0;
  int64_t bodyLength = -1;     // -1 = the body's size
};

inline Bytes Hello(int version, int signSetting = 0) {
  if (version == 5) return B().u32(5).u16(8).u16(static_cast<uint16_t>(signSetting));
  return B().u32(static_cast<uint32_t>(version));
}

inline Bytes Frame(const FrameShape& f, const Bytes& body) {
  const uint32_t len = f.bodyLength < 0 ? static_cast<uint32_t>(body.size())
                                        : static_cast<uint32_t>(f.bodyLength);
  B b;
  if (f.version < 4) {
    b.u32(f.magic).u32(8 + len);
  } else {
    const uint16_t hl = f.headerLength ? f.headerLength : (f.version == 4 ? 34 : 48);
    b.u32(f.magic).u16(hl).u32(f.headerVersion ? f.headerVersion : static_cast<uint32_t>(f.version))
        .u64(f.pid).u32(f.sequence).u64(f.time);
    if (f.version == 4) {
      b.u32(len);
    } else {
      b.u16(static_cast<uint16_t>(f.flags | (f.sign ? 1 : 0))).u64(0).u32(f.status).u32(len);
    }
  }
  Bytes out = b;
  if (f.version == 5 && f.sign) {
    const uint64_t sig = lrpc2::ComputeSignature(out.data(), body.data(), body.size());
    memcpy(out.data() + 32, &sig, 8);
  }
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// The server's answer to a hello: accepted (1) or not; when accepted, the
// largest body from version 4 on; in version 5 also the reply length, a
// status and the server's signing setting.
inline Bytes HelloReply(int version, uint32_t status = 0, uint16_t serverSign = 0, uint32_t ok = 1,
                        uint16_t length = 16) {
  B b;
  b.u32(ok);
  if (version == 5) return b.u32(0x100000).u16(length).u32(status).u16(serverSign);
  if (version == 4 && ok) b.u32(0x100000);
  return b;
}

inline Bytes PingBody() { return B().u16(10).u8(0); }

// Host-order integers at a byte offset.
template <class T>
T At(const Bytes& b, size_t off) {
  T v;
  memcpy(&v, b.data() + off, sizeof v);
  return v;
}
inline uint16_t U16At(const Bytes& b, size_t off) { return At<uint16_t>(b, off); }
inline uint32_t U32At(const Bytes& b, size_t off) { return At<uint32_t>(b, off); }
inline uint64_t U64At(const Bytes& b, size_t off) { return At<uint64_t>(b, off); }

// Nothing more is waiting on fd right now.
inline bool NothingPending(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) == 0;
}

}  // namespace lrpc2test
