// The LRPC2 transport header and handshake layouts, shared by both ends.
//
// All integers are in host byte order; every field is written and read through
// ofw/codec.h at the offsets below (the layouts are packed, never a struct).
//
// Versions 2 and 3 (8 bytes): magic u32 | total length of header and body u32
// Version 4 (34 bytes):
//   0 magic u32 | 4 header length u16 (34) | 6 version u32 | 10 pid u64 |
//   18 sequence u32 | 22 send time u64 | 30 body length u32
// Version 5 (48 bytes): as version 4 up to offset 30, then
//   30 flags u16 | 32 signature u64 | 40 status u32 | 44 body length u32
//
// Handshake: the client sends its version (u32); version 5 adds the hello
// length u16 (8) and its signing setting u16. The server answers u32 0 when it
// refuses; otherwise u32 1 (versions 2, 3), u32 1 + u32 maximum body
// (version 4), or 16 bytes (version 5): u32 1 | u32 maximum body | u16 16 |
// u32 status | u16 server signing setting.
//
// Version-5 signature: XXH64, seeded with the sequence number, over the
// 48-byte header with a zero signature field, the body, and a 20-byte key made
// of sequence + 1 (u32), pid (u64) and send time (u64), each byte XOR 0x5A.
#pragma once
#include <cstddef>
#include <cstdint>

namespace lrpc2 {

constexpr uint32_t kMagic = 0xABCD8012u;
constexpr uint32_t kMaxBody = 0x100000u;

constexpr uint32_t kHeaderLengthV23 = 8;
constexpr uint32_t kHeaderLengthV4 = 34;
constexpr uint32_t kHeaderLengthV5 = 48;

// Versions 2 and 3.
constexpr size_t kOffMagic = 0;
constexpr size_t kOffTotalLength = 4;

// Versions 4 and 5.
constexpr size_t kOffHeaderLength = 4;
constexpr size_t kOffVersion = 6;
constexpr size_t kOffPid = 10;
constexpr size_t kOffSequence = 18;
constexpr size_t kOffTime = 22;
constexpr size_t kOffBodyLengthV4 = 30;
constexpr size_t kOffFlags = 30;
constexpr size_t kOffSignature = 32;
constexpr size_t kOffStatus = 40;
constexpr size_t kOffBodyLengthV5 = 44;

static_assert(kOffTotalLength + 4 == kHeaderLengthV23, "version 2/3 header layout");
static_assert(kOffHeaderLength + 2 == kOffVersion && kOffVersion + 4 == kOffPid &&
                  kOffPid + 8 == kOffSequence && kOffSequence + 4 == kOffTime &&
                  kOffTime + 8 == kOffBodyLengthV4 && kOffBodyLengthV4 + 4 == kHeaderLengthV4,
              "version 4 header layout");
static_assert(kOffFlags + 2 == kOffSignature && kOffSignature + 8 == kOffStatus &&
                  kOffStatus + 4 == kOffBodyLengthV5 && kOffBodyLengthV5 + 4 == kHeaderLengthV5,
              "version 5 header layout");

// Version-5 header flags.
constexpr uint16_t kFlagSigned = 0x1;
constexpr uint16_t kFlagAsync = 0x2;

// Handshake sizes and the version-5 reply layout.
constexpr uint16_t kHelloV5Length = 8;
constexpr uint16_t kHandshakeReplyV5Length = 16;
constexpr size_t kReplyOffOk = 0;
constexpr size_t kReplyOffMaxBody = 4;
constexpr size_t kReplyOffLength = 8;
constexpr size_t kReplyOffStatus = 10;
constexpr size_t kReplyOffSigning = 14;
static_assert(kReplyOffSigning + 2 == kHandshakeReplyV5Length, "version 5 handshake reply");

constexpr uint8_t kSignKeyMask = 0x5A;
constexpr size_t kSignKeyLength = 20;

// The decoded fields of any version's header (unused fields zero).
struct Header {
  uint32_t magic = 0;
  uint32_t totalLength = 0;   // versions 2, 3
  uint16_t headerLength = 0;  // versions 4, 5
  uint32_t version = 0;
  uint64_t pid = 0;
  uint32_t sequence = 0;
  uint64_t time = 0;
  uint16_t flags = 0;
  uint64_t signature = 0;
  uint32_t status = 0;
  uint32_t bodyLength = 0;  // versions 4, 5
};

// Header length of a protocol version; 0 for an unknown version.
uint32_t HeaderLengthOf(int version);
// Writes the header of `version` (its length in bytes) to `out`.
void EncodeHeader(int version, const Header& h, uint8_t* out);
// Reads the header of `version` from `in`; no field is checked.
Header DecodeHeader(int version, const uint8_t* in);

// The 20-byte signing key of a header (caller wipes it).
void BuildSignKey(uint32_t sequence, uint64_t pid, uint64_t time, uint8_t key[kSignKeyLength]);
// Signature of a version-5 message: `header` is the 48-byte header as sent
// (its signature field is taken as zero whatever it holds).
uint64_t ComputeSignature(const uint8_t* header, const uint8_t* body, size_t bodyLength);

}  // namespace lrpc2
