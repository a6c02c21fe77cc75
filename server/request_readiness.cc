#include "server/request_readiness.h"

#include <algorithm>

#include "lrpc2/header.h"
#include "ofw/codec.h"

namespace ovg {

size_t headerBytesToPeek(int version) { return lrpc2::HeaderLengthOf(version); }

Readiness requestReadiness(int version, const uint8_t* head, size_t headLength, size_t available) {
  size_t hdr = lrpc2::HeaderLengthOf(version);
  if (hdr == 0) return Readiness::Ready;
  if (available < hdr || headLength < hdr) return Readiness::Incomplete;
  uint64_t body;
  if (version == 2 || version == 3) {
    uint32_t total = ofw::codec::getU32(head + lrpc2::kOffTotalLength);
    if (total < hdr) return Readiness::Ready;
    body = total - hdr;
  } else if (version == 4) {
    body = ofw::codec::getU32(head + lrpc2::kOffBodyLengthV4);
  } else {
    body = ofw::codec::getU32(head + lrpc2::kOffBodyLengthV5);
  }
  if (ofw::codec::getU32(head + lrpc2::kOffMagic) != lrpc2::kMagic || body > lrpc2::kMaxBody) return Readiness::Ready;
  uint64_t needed = std::min<uint64_t>(hdr + body, kMaxPrefetch);
  return available >= needed ? Readiness::Ready : Readiness::Incomplete;
}

Readiness handshakeReadiness(const uint8_t* head, size_t available) {
  if (available < 4) return Readiness::Incomplete;
  uint32_t version = ofw::codec::getU32(head);
  if (version == 5 && available < lrpc2::kHelloV5Length) return Readiness::Incomplete;
  return Readiness::Ready;
}

}  // namespace ovg
