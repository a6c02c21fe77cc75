// The block queue file format: every offset, size, type and magic of the
// master and data blocks, and the only code that reads or writes their
// integer fields.
//
// A queue file is an array of blocks of one size B (512 in the daemon). Block
// n lies at byte n * B; block 0 is the master, blocks 1.. are data blocks.
// Integers are stored in the host's native byte order at their (unaligned)
// offsets: a file is readable only on a host of the same byte order. Fields are
// never copied as structs; every access goes through getX/putX below.
//
// Master block ("master" = short header, "masterX" = extended header):
//   0 ID int32 (0) | 4 type u8 | 5 head int32 | 9 tail int32 | 13 free head int32
//   17 free tail int32 | 21 current operation u8 | 22 count int32 | 26 data size u64
//   34 descriptor length int32 | -- short header ends at 38 --
//   38 magic int32 | 42 checksum u32 | 46 version u32 | 50 time int32 | 54 age u32
//   58 block size int32 | -- extended header ends at 62 -- | payload (descriptor)
// Data block ("data" = short header, "dataX" = extended header):
//   0 ID int32 | 4 type u8 | 5 next int32 | 9 length (used) / previous (free) int32
//   13 flags u8 | -- short header ends at 14 --
//   14 magic int32 | 18 checksum u32 | 22 version u32 | 26 time int32 | 30 age u32
//   34 span sequence int32 | 38 reserved 4 bytes | -- extended header ends at 42 -- | payload
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ofw/codec.h"

namespace ofw {
namespace dbqfmt {

// The block size of every queue the daemon opens.
constexpr int kDefaultBlockSize = 512;
// Smallest block size a queue accepts: the extended master header plus one byte.
constexpr int kMinBlockSize = 64;
// Largest block size a queue accepts (keeps id * B and header arithmetic small).
constexpr int kMaxBlockSize = 1 << 20;

// Block types (byte at offset 4).
enum BlockType : uint8_t {
  kTypeMaster = 37,   // "master"
  kTypeData = 38,     // "data"
  kTypeMasterX = 39,  // "masterX"
  kTypeDataX = 40,    // "dataX"
};
// The name the diagnostic dump prints for a type value.
inline const char* typeName(int type) {
  switch (type) {
    case kTypeMaster: return "master";
    case kTypeData: return "data";
    case kTypeMasterX: return "masterX";
    case kTypeDataX: return "dataX";
    default: return "unknown";
  }
}

// Fields common to both block kinds.
constexpr size_t kIdOffset = 0;
constexpr size_t kTypeOffset = 4;

// Master block.
constexpr size_t kHeadOffset = 5;
constexpr size_t kTailOffset = 9;
constexpr size_t kFreeHeadOffset = 13;
constexpr size_t kFreeTailOffset = 17;
constexpr size_t kCurOpOffset = 21;
constexpr size_t kCountOffset = 22;
constexpr size_t kDataSizeOffset = 26;
constexpr size_t kDescLenOffset = 34;
constexpr size_t kMasterHeaderSize = 38;  // "master"
constexpr size_t kMasterMagicOffset = 38;
constexpr size_t kMasterChecksumOffset = 42;
constexpr size_t kMasterVersionOffset = 46;
constexpr size_t kMasterTimeOffset = 50;
constexpr size_t kMasterAgeOffset = 54;
constexpr size_t kMasterBlockSizeOffset = 58;
constexpr size_t kMasterXHeaderSize = 62;  // "masterX"

// Data block.
constexpr size_t kNextOffset = 5;
constexpr size_t kLengthOffset = 9;  // used block: record length
constexpr size_t kPrevOffset = 9;    // free block: previous block of the free list
constexpr size_t kFlagsOffset = 13;
constexpr size_t kDataHeaderSize = 14;  // "data"
constexpr size_t kDataMagicOffset = 14;
constexpr size_t kDataChecksumOffset = 18;
constexpr size_t kDataVersionOffset = 22;
constexpr size_t kDataTimeOffset = 26;
constexpr size_t kDataAgeOffset = 30;
constexpr size_t kSpanSeqOffset = 34;
constexpr size_t kReservedOffset = 38;
constexpr size_t kReservedSize = 4;
constexpr size_t kDataXHeaderSize = 42;  // "dataX"

// Data block flags.
constexpr uint8_t kFlagSpanning = 0x01;  // the record continues in the next block
constexpr uint8_t kFlagFree = 0x02;      // the block is on the free list

constexpr int32_t kMasterMagic = 0x4462516D;  // "DbQm" read big-endian
constexpr int32_t kDataMagic = 0x64427144;
constexpr uint32_t kVersion = 0x00010000;

// Current operation of the master (non-zero only while its commit is in progress).
enum Operation : uint8_t {
  kOpNone = 0,
  kOpPush = 1,
  kOpPop = 2,
  kOpDescriptor = 3,
  kOpDropLast = 4,
};

// The layout adds up: each field starts where the previous one ends.
static_assert(kTypeOffset == kIdOffset + 4, "type follows the 32-bit ID");
static_assert(kHeadOffset == kTypeOffset + 1, "head follows the type byte");
static_assert(kTailOffset == kHeadOffset + 4, "layout");
static_assert(kFreeHeadOffset == kTailOffset + 4, "layout");
static_assert(kFreeTailOffset == kFreeHeadOffset + 4, "layout");
static_assert(kCurOpOffset == kFreeTailOffset + 4, "layout");
static_assert(kCountOffset == kCurOpOffset + 1, "layout");
static_assert(kDataSizeOffset == kCountOffset + 4, "layout");
static_assert(kDescLenOffset == kDataSizeOffset + 8, "data size is 64-bit");
static_assert(kMasterHeaderSize == kDescLenOffset + 4, "short master header size");
static_assert(kMasterMagicOffset == kMasterHeaderSize, "extended fields follow the short header");
static_assert(kMasterChecksumOffset == kMasterMagicOffset + 4, "layout");
static_assert(kMasterVersionOffset == kMasterChecksumOffset + 4, "layout");
static_assert(kMasterTimeOffset == kMasterVersionOffset + 4, "layout");
static_assert(kMasterAgeOffset == kMasterTimeOffset + 4, "layout");
static_assert(kMasterBlockSizeOffset == kMasterAgeOffset + 4, "layout");
static_assert(kMasterXHeaderSize == kMasterBlockSizeOffset + 4, "extended master header size");
static_assert(kNextOffset == kTypeOffset + 1, "layout");
static_assert(kLengthOffset == kNextOffset + 4 && kPrevOffset == kLengthOffset,
              "length and previous share one field");
static_assert(kFlagsOffset == kLengthOffset + 4, "layout");
static_assert(kDataHeaderSize == kFlagsOffset + 1, "short data header size");
static_assert(kDataMagicOffset == kDataHeaderSize, "extended fields follow the short header");
static_assert(kDataChecksumOffset == kDataMagicOffset + 4, "layout");
static_assert(kDataVersionOffset == kDataChecksumOffset + 4, "layout");
static_assert(kDataTimeOffset == kDataVersionOffset + 4, "layout");
static_assert(kDataAgeOffset == kDataTimeOffset + 4, "layout");
static_assert(kSpanSeqOffset == kDataAgeOffset + 4, "layout");
static_assert(kReservedOffset == kSpanSeqOffset + 4, "layout");
static_assert(kDataXHeaderSize == kReservedOffset + kReservedSize, "extended data header size");
static_assert(kDefaultBlockSize - kDataXHeaderSize == 470, "payload of a dataX block at B = 512");
static_assert(kDefaultBlockSize - kMasterXHeaderSize == 450, "payload of a masterX block at B = 512");
static_assert(kMinBlockSize > static_cast<int>(kMasterXHeaderSize), "a block holds every header");

// Header size of a block type: the offset of its payload area.
inline size_t headerSize(int type) {
  switch (type) {
    case kTypeMaster: return kMasterHeaderSize;
    case kTypeMasterX: return kMasterXHeaderSize;
    case kTypeDataX: return kDataXHeaderSize;
    default: return kDataHeaderSize;  // "data" and anything unknown read as a short data block
  }
}

// The field accessors of the format, over the host-order codec.
inline int32_t getInt32(const unsigned char* p) { return static_cast<int32_t>(codec::getU32(p)); }
inline uint32_t getUInt32(const unsigned char* p) { return codec::getU32(p); }
inline uint64_t getUInt64(const unsigned char* p) { return codec::getU64(p); }
inline void putInt32(unsigned char* p, int32_t v) { codec::putU32(p, static_cast<uint32_t>(v)); }
inline void putUInt32(unsigned char* p, uint32_t v) { codec::putU32(p, v); }
inline void putUInt64(unsigned char* p, uint64_t v) { codec::putU64(p, v); }

// The checksum of a payload area: the wrapping 32-bit sum of its bytes.
// Eight bytes at a time: the bytes in even and in odd places are added into
// four 16-bit lanes, folded before a lane can overflow (128 rounds add at
// most 128 * 510 < 65536 to a lane).
inline uint32_t checksum(const unsigned char* p, size_t n) {
  const uint64_t kEvenBytes = 0x00FF00FF00FF00FFull;
  uint64_t total = 0;
  size_t i = 0;
  while (n - i >= 8) {
    const size_t end = i + std::min<size_t>((n - i) / 8, 128) * 8;
    uint64_t lanes = 0;
    for (; i < end; i += 8) {
      uint64_t x;
      std::memcpy(&x, p + i, 8);
      lanes += (x & kEvenBytes) + ((x >> 8) & kEvenBytes);
    }
    total += (lanes & 0xFFFF) + ((lanes >> 16) & 0xFFFF) + ((lanes >> 32) & 0xFFFF) + (lanes >> 48);
  }
  for (; i < n; ++i) total += p[i];
  return static_cast<uint32_t>(total);
}

// Payload bytes of a data block of `type` at block size `blockSize`.
inline int payloadSize(int blockSize, int dataType) {
  return blockSize - static_cast<int>(headerSize(dataType));
}

}  // namespace dbqfmt
}  // namespace ofw
