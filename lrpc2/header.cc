// Header codec and version-5 signatures.
#include "lrpc2/header.h"

#include <string.h>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include "ofw/secure_bytes.h"
#include "ofw/codec.h"

namespace lrpc2 {

using namespace ofw::codec;

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
  putU32(out + kOffMagic, h.magic);
  if (version == 2 || version == 3) {
    putU32(out + kOffTotalLength, h.totalLength);
    return;
  }
  putU16(out + kOffHeaderLength, h.headerLength);
  putU32(out + kOffVersion, h.version);
  putU64(out + kOffPid, h.pid);
  putU32(out + kOffSequence, h.sequence);
  putU64(out + kOffTime, h.time);
  if (version == 4) {
    putU32(out + kOffBodyLengthV4, h.bodyLength);
    return;
  }
  putU16(out + kOffFlags, h.flags);
  putU64(out + kOffSignature, h.signature);
  putU32(out + kOffStatus, h.status);
  putU32(out + kOffBodyLengthV5, h.bodyLength);
}

Header DecodeHeader(int version, const uint8_t* in) {
  Header h;
  h.magic = getU32(in + kOffMagic);
  if (version == 2 || version == 3) {
    h.totalLength = getU32(in + kOffTotalLength);
    return h;
  }
  h.headerLength = getU16(in + kOffHeaderLength);
  h.version = getU32(in + kOffVersion);
  h.pid = getU64(in + kOffPid);
  h.sequence = getU32(in + kOffSequence);
  h.time = getU64(in + kOffTime);
  if (version == 4) {
    h.bodyLength = getU32(in + kOffBodyLengthV4);
    return h;
  }
  h.flags = getU16(in + kOffFlags);
  h.signature = getU64(in + kOffSignature);
  h.status = getU32(in + kOffStatus);
  h.bodyLength = getU32(in + kOffBodyLengthV5);
  return h;
}

void BuildSignKey(uint32_t sequence, uint64_t pid, uint64_t time, uint8_t key[kSignKeyLength]) {
  putU32(key, sequence + 1u);
  putU64(key + 4, pid);
  putU64(key + 12, time);
  for (size_t i = 0; i < kSignKeyLength; ++i) key[i] ^= kSignKeyMask;
}

uint64_t ComputeSignature(const uint8_t* header, const uint8_t* body, size_t bodyLength) {
  struct Work {
    uint8_t header[kHeaderLengthV5];
    uint8_t key[kSignKeyLength];
    XXH64_state_t state;
  } w;
  ofw::WipeOnExit<Work> wipe(w);
  memcpy(w.header, header, kHeaderLengthV5);
  putU64(w.header + kOffSignature, 0);
  const uint32_t sequence = getU32(w.header + kOffSequence);
  BuildSignKey(sequence, getU64(w.header + kOffPid), getU64(w.header + kOffTime), w.key);
  XXH64_reset(&w.state, sequence);
  XXH64_update(&w.state, w.header, sizeof w.header);
  if (bodyLength > 0) XXH64_update(&w.state, body, bodyLength);
  XXH64_update(&w.state, w.key, sizeof w.key);
  return XXH64_digest(&w.state);
}

}  // namespace lrpc2
