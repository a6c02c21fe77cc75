#include "meridia/byte_sequence.h"

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <limits>
#include <algorithm>
#include <utility>

#include "ofw/exceptions.h"
#include "ofw/codec.h"

namespace meridia {

namespace {

constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();
// Positions at or past 2^32 are refused: no unit of the protocol is that long.
constexpr uint64_t kMaxUnitEnd = ByteSequenceModeler::MAX_UNIT_LENGTH;

// Sets the capacity to `length` bytes; bytes past the old capacity read as
// zero, and a replaced block is wiped by the allocator before release. A
// capacity no unit can use is an allocation failure without an attempt.
void resizeZeroed(ofw::SecureBytes& buffer, uint64_t length, const char* failureText) {
  try {
    if (length > kMaxUnitEnd || length > std::numeric_limits<size_t>::max()) throw std::bad_alloc();
    buffer.resize(static_cast<size_t>(length));
  } catch (const std::bad_alloc&) {
    throw ofw::BadAllocException(ofw::withErrno(failureText, ENOMEM), ENOMEM, __FILE__, __LINE__);
  }
}

}  // namespace

ByteSequenceModeler::ByteSequenceModeler(uint64_t initialLength, uint64_t headerSize)
    : m_bufferLength(0), m_offset(headerSize), m_headerSize(headerSize) {
  // The header must fit, whatever the caller asked for.
  uint64_t length = initialLength < headerSize ? headerSize : initialLength;
  resizeZeroed(m_buffer, length, "ByteSequenceModeler ran out of memory during object constructing");
  m_bufferLength = length;
}

ByteSequenceModeler::ByteSequenceModeler(const ByteSequenceModeler& other)
    : m_bufferLength(0), m_offset(other.m_offset), m_headerSize(other.m_headerSize),
      m_readEnd(other.m_readEnd) {
  resizeZeroed(m_buffer, other.m_buffer.size(),
               "ByteSequenceModeler ran out of memory during copy constructing");
  std::copy(other.m_buffer.begin(), other.m_buffer.end(), m_buffer.begin());
  m_bufferLength = other.m_bufferLength;
}

ByteSequenceModeler& ByteSequenceModeler::operator=(const ByteSequenceModeler& other) {
  if (this != &other) {
    ByteSequenceModeler copy(other);
    m_buffer.swap(copy.m_buffer);
    std::swap(m_bufferLength, copy.m_bufferLength);
    std::swap(m_offset, copy.m_offset);
    std::swap(m_headerSize, copy.m_headerSize);
    std::swap(m_readEnd, copy.m_readEnd);
  }
  return *this;
}

ByteSequenceModeler::~ByteSequenceModeler() = default;  // the buffer wipes itself

void ByteSequenceModeler::updateHeaders() {}

void ByteSequenceModeler::requireCapacity(uint64_t end) const {
  if (m_buffer.empty() || end > m_bufferLength)
    throw MeridiaException("ByteSequenceModeler has no buffer", 0, __FILE__, __LINE__);
}

std::string ByteSequenceModeler::getData() const {
  if (m_offset == 0) return std::string();
  requireCapacity(m_offset);
  return std::string(reinterpret_cast<const char*>(m_buffer.data()), static_cast<size_t>(m_offset));
}

std::string ByteSequenceModeler::getTailData() const {
  if (m_offset <= m_headerSize) return std::string();
  requireCapacity(m_offset);
  return std::string(reinterpret_cast<const char*>(m_buffer.data() + m_headerSize),
                     static_cast<size_t>(m_offset - m_headerSize));
}

void ByteSequenceModeler::rewindTailData() { m_offset = m_headerSize; }

void ByteSequenceModeler::cleanup() {
  ofw::SecureBytes().swap(m_buffer);  // wiped and released, not just emptied
  m_bufferLength = 0;
}

// ---- writing ----

void ByteSequenceModeler::reserveForWrite(uint64_t n) {
  if (n > 0 && n > kMax64 - m_offset)
    throw MeridiaException("ByteSequenceModeler writeNBytes offset overflow", 0, __FILE__, __LINE__);
  const uint64_t grow = n > GROWTH_STEP ? n : GROWTH_STEP;
  if (grow > kMax64 - m_bufferLength)
    throw MeridiaException("ByteSequenceModeler writeNBytes buffer length overflow", 0, __FILE__,
                           __LINE__);
  const uint64_t end = m_offset + n;  // cannot wrap: checked above
  // No unit may pass 2^32 bytes: a packet's length field has 32 bits and reads
  // refuse such positions.
  if (end > kMaxUnitEnd)
    throw MeridiaException("ByteSequenceModeler writeNBytes offset overflow", 0, __FILE__, __LINE__);
  if (n == 0 || end <= m_bufferLength) return;
  // The growth step alone suffices while the cursor lies inside the buffer;
  // after a cleanup() it may not, so the new capacity is at least the end.
  uint64_t newLength = m_bufferLength + grow;
  if (newLength < end) newLength = end;
  // The new capacity reads as zeros (never as stale heap bytes), and a
  // replaced block is wiped before it is freed: it may hold terminal data.
  resizeZeroed(m_buffer, newLength, "ByteSequenceModeler ran out of memory while expanding for write");
  m_bufferLength = newLength;
}

void ByteSequenceModeler::appendReserved(const void* src, uint64_t n) {
  // Invariant: reserveForWrite(n or more) succeeded, so m_offset + n <= m_bufferLength.
  assert(m_offset + n <= m_bufferLength);
  if (n == 0) return;
  std::memcpy(m_buffer.data() + m_offset, src, static_cast<size_t>(n));
  m_offset += n;
  // What is written into a received unit becomes readable with it.
  if (m_readEnd != UNLIMITED && m_offset > m_readEnd) m_readEnd = m_offset;
}

void ByteSequenceModeler::writeNBytes(const void* src, uint64_t n) {
  if (n > 0 && src == nullptr)
    throw MeridiaException("ByteSequenceModeler writeNBytes from a null source", 0, __FILE__,
                           __LINE__);
  reserveForWrite(n);
  appendReserved(src, n);
  updateHeaders();
}

void ByteSequenceModeler::writeByte(uint8_t v) { writeNBytes(&v, 1); }

void ByteSequenceModeler::writeShort(int16_t v) { writeUShort(static_cast<uint16_t>(v)); }

void ByteSequenceModeler::writeUShort(uint16_t v) {
  unsigned char b[2];
  ofw::codec::putU16(b, v);
  writeNBytes(b, sizeof b);
}

void ByteSequenceModeler::writeInt32(int32_t v) { writeUInt32(static_cast<uint32_t>(v)); }

void ByteSequenceModeler::writeUInt32(uint32_t v) {
  unsigned char b[4];
  ofw::codec::putU32(b, v);
  writeNBytes(b, sizeof b);
}

void ByteSequenceModeler::writeInt64(int64_t v) { writeUInt64(static_cast<uint64_t>(v)); }

void ByteSequenceModeler::writeUInt64(uint64_t v) {
  unsigned char b[8];
  ofw::codec::putU64(b, v);
  writeNBytes(b, sizeof b);
}

void ByteSequenceModeler::writeGuid(const ofw::Guid& g) {
  std::array<unsigned char, 16> ms = g.getMSValue();
  writeNBytes(ms.data(), ms.size());
}

void ByteSequenceModeler::writeTimestamp(const struct timeval& tv) {
  unsigned char b[ofw::codec::kTimevalSize];
  ofw::codec::putTimeval(b, tv);
  writeNBytes(b, sizeof b);
}

void ByteSequenceModeler::writeTimestamp() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  writeTimestamp(tv);
}

void ByteSequenceModeler::writeString(const std::string& s) { writeBlob(s.data(), s.size()); }

void ByteSequenceModeler::writeBlob(const void* data, uint64_t length) {
  if (length > 0xFFFFFFFFull)
    throw MeridiaException("ByteSequenceModeler string too long for its 32-bit count", 0, __FILE__,
                           __LINE__);
  if (length > 0 && data == nullptr)
    throw MeridiaException("ByteSequenceModeler writeNBytes from a null source", 0, __FILE__,
                           __LINE__);
  // Room for count and bytes is made first, so a failure leaves nothing half-written.
  reserveForWrite(4 + length);
  unsigned char count[4];
  ofw::codec::putU32(count, static_cast<uint32_t>(length));
  appendReserved(count, sizeof count);
  appendReserved(data, length);
  updateHeaders();
}

// ---- reading ----

uint64_t ByteSequenceModeler::checkRead(uint64_t n) {
  if (n == 0) {
    cleanup();
    throw MeridiaException("ByteSequenceModeler can't read 0 bytes", 0, __FILE__, __LINE__);
  }
  // Compared by subtraction: the sum is never formed unless it is known to fit.
  if (m_offset > kMaxUnitEnd || n > kMaxUnitEnd - m_offset) {
    cleanup();
    throw MeridiaException("ByteSequenceModeler readNBytes offset overflow", 0, __FILE__, __LINE__);
  }
  // A received unit ends at its received length, not at its spare capacity.
  if (m_readEnd != UNLIMITED && (m_offset > m_readEnd || n > m_readEnd - m_offset)) {
    cleanup();
    throw MeridiaException("ByteSequenceModeler can't read beyond the received data", 0, __FILE__,
                           __LINE__);
  }
  if (m_buffer.empty() || m_offset > m_bufferLength || n > m_bufferLength - m_offset) {
    cleanup();
    throw MeridiaException("ByteSequenceModeler can't read beyond end of buffer", 0, __FILE__,
                           __LINE__);
  }
  const uint64_t at = m_offset;
  m_offset += n;
  return at;
}

void ByteSequenceModeler::readNBytes(void* dst, uint64_t n) {
  const uint64_t at = checkRead(n);
  std::memcpy(dst, m_buffer.data() + at, static_cast<size_t>(n));
}

uint8_t ByteSequenceModeler::readByte() { return ofw::codec::getU8(m_buffer.data() + checkRead(1)); }

int16_t ByteSequenceModeler::readShort() { return static_cast<int16_t>(readUShort()); }

uint16_t ByteSequenceModeler::readUShort() {
  return ofw::codec::getU16(m_buffer.data() + checkRead(2));
}

int32_t ByteSequenceModeler::readInt32() { return static_cast<int32_t>(readUInt32()); }

uint32_t ByteSequenceModeler::readUInt32() {
  return ofw::codec::getU32(m_buffer.data() + checkRead(4));
}

int64_t ByteSequenceModeler::readInt64() { return static_cast<int64_t>(readUInt64()); }

uint64_t ByteSequenceModeler::readUInt64() {
  return ofw::codec::getU64(m_buffer.data() + checkRead(8));
}

ofw::Guid ByteSequenceModeler::readGuid() {
  return ofw::Guid::fromMSValue(m_buffer.data() + checkRead(16));
}

struct timeval ByteSequenceModeler::readTimestamp() {
  return ofw::codec::getTimeval(m_buffer.data() + checkRead(ofw::codec::kTimevalSize));
}

std::string ByteSequenceModeler::readString() {
  const uint32_t count = readUInt32();
  if (count == 0) return std::string();
  // Bounds are checked before anything is allocated.
  const uint64_t at = checkRead(count);
  return std::string(reinterpret_cast<const char*>(m_buffer.data() + at), count);
}

std::string ByteSequenceModeler::readBlob() { return readString(); }

// ---- diagnostics ----

void ByteSequenceModeler::Dump() const {
  std::printf("\nByteSequence Dump:\n");
  std::printf("  m_msgBuffer: %p\n", static_cast<const void*>(m_buffer.data()));
  std::printf("  m_bufferLength: %ld\n", static_cast<long>(m_bufferLength));
  std::printf("  m_offset: %d\n", static_cast<int>(m_offset));
  std::printf("  m_headerSize: %d\n", static_cast<int>(m_headerSize));
  std::printf("Contents:\n");
  const uint64_t n = m_buffer.size();
  for (uint64_t i = 0; i < n; ++i) {
    std::printf("%02x ", m_buffer[static_cast<size_t>(i)]);
    if ((i + 1) % 16 == 0)
      std::printf("\n");
    else if ((i + 1) % 4 == 0)
      std::printf("\t");
  }
  if (n % 16 != 0) std::printf("\n");
  std::fflush(stdout);
}

}  // namespace meridia
