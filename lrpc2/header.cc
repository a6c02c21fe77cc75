// Header codec and version-5 signatures.
#include "lrpc2/header.h"

#include <string.h>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include "lrpc2/secure_buffer.h"
#include "lrpc2/wire.h"

namespace lrpc2 {

using namespace wire;

uint32_t HeaderLengthOf(int version) {
  switch (version) {
    case 2:
    case 3: return kHeaderLengthV23;
    case 4: return kHeaderLengthV4;
    case 5: return kHeaderLengthV5;
    default: return 0;
  }
}

void EncodeHeader(int version, const Header& h, uint8_t* out) {
  PutU32(out + kOffMagic, h.magic);
  if (version == 2 || version == 3) {
    PutU32(out + kOffTotalLength, h.totalLength);
    return;
  }
  PutU16(out + kOffHeaderLength, h.headerLength);
  PutU32(out + kOffVersion, h.version);
  PutU64(out + kOffPid, h.pid);
  PutU32(out + kOffSequence, h.sequence);
  PutU64(out + kOffTime, h.time);
  if (version == 4) {
    PutU32(out + kOffBodyLengthV4, h.bodyLength);
    return;
  }
  PutU16(out + kOffFlags, h.flags);
  PutU64(out + kOffSignature, h.signature);
  PutU32(out + kOffStatus, h.status);
  PutU32(out + kOffBodyLengthV5, h.bodyLength);
}

Header DecodeHeader(int version, const uint8_t* in) {
  Header h;
  h.magic = GetU32(in + kOffMagic);
  if (version == 2 || version == 3) {
    h.totalLength = GetU32(in + kOffTotalLength);
    return h;
  }
  h.headerLength = GetU16(in + kOffHeaderLength);
  h.version = GetU32(in + kOffVersion);
  h.pid = GetU64(in + kOffPid);
  h.sequence = GetU32(in + kOffSequence);
  h.time = GetU64(in + kOffTime);
  if (version == 4) {
    h.bodyLength = GetU32(in + kOffBodyLengthV4);
    return h;
  }
  h.flags = GetU16(in + kOffFlags);
  h.signature = GetU64(in + kOffSignature);
  h.status = GetU32(in + kOffStatus);
  h.bodyLength = GetU32(in + kOffBodyLengthV5);
  return h;
}

void BuildSignKey(uint32_t sequence, uint64_t pid, uint64_t time, uint8_t key[kSignKeyLength]) {
  PutU32(key, sequence + 1u);
  PutU64(key + 4, pid);
  PutU64(key + 12, time);
  for (size_t i = 0; i < kSignKeyLength; ++i) key[i] ^= kSignKeyMask;
}

uint64_t ComputeSignature(const uint8_t* header, const uint8_t* body, size_t bodyLength) {
  struct Work {
    uint8_t header[kHeaderLengthV5];
    uint8_t key[kSignKeyLength];
    XXH64_state_t state;
  } w;
  WipeOnExit<Work> wipe(w);
  memcpy(w.header, header, kHeaderLengthV5);
  PutU64(w.header + kOffSignature, 0);
  const uint32_t sequence = GetU32(w.header + kOffSequence);
  BuildSignKey(sequence, GetU64(w.header + kOffPid), GetU64(w.header + kOffTime), w.key);
  XXH64_reset(&w.state, sequence);
  XXH64_update(&w.state, w.header, sizeof w.header);
  if (bodyLength > 0) XXH64_update(&w.state, body, bodyLength);
  XXH64_update(&w.state, w.key, sizeof w.key);
  return XXH64_digest(&w.state);
}

}  // namespace lrpc2
