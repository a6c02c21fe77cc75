// A growable byte buffer that writes and reads the typed values of the
// collector protocol.
//
// One cursor (m_offset) serves both directions: writes append at it and reads
// consume from it. The first m_headerSize bytes are reserved for a subclass's
// header; the cursor starts after them, and updateHeaders() runs after every
// write so the subclass can keep its header current.
//
// Value encodings (integers in host byte order, see ofw/codec.h):
//   byte 1 | short 2 | int32 4 | int64 8 (signed and unsigned alike)
//   GUID 16, Microsoft layout (ofw::Guid::getMSValue)
//   timestamp 8: seconds (low 32 bits) then microseconds, 4 bytes each
//   string / blob: unsigned 32-bit count n, then the n bytes, no terminator
//
// Guarantees:
// - Capacity grows by max(n, 50) bytes when a write of n bytes does not fit,
//   and every byte of capacity that was never written reads as zero.
// - Reads of a buffer the program builds are bounded by the capacity: its
//   spare capacity reads as zeros. Reads of a received unit (limitReadsTo)
//   stop at the received length, string counts included; later writes move
//   that end with them.
// - A failed read releases the buffer (cleanup()) and throws; the object must
//   not be used afterwards except to be destroyed (accessors then throw rather
//   than touch freed memory).
// - A failed write throws before anything is changed.
//
// An object is used by one thread at a time.
#pragma once
#include <sys/time.h>

#include <cstdint>
#include <string>

#include "meridia/meridia_exception.h"
#include "ofw/guid.h"
#include "ofw/secure_bytes.h"

namespace meridia {

class ByteSequenceModeler {
 public:
  // The smallest growth step of the buffer.
  static constexpr uint64_t GROWTH_STEP = 50;
  // The largest cursor position a write may reach or a read may end at.
  static constexpr uint64_t MAX_UNIT_LENGTH = 0xFFFFFFFFull;

  // Allocates max(initialLength, headerSize) zero-filled bytes; the cursor
  // starts at headerSize. Throws ofw::BadAllocException when out of memory.
  ByteSequenceModeler(uint64_t initialLength, uint64_t headerSize);
  // Copies capacity, cursor, header size and the whole capacity of bytes.
  ByteSequenceModeler(const ByteSequenceModeler& other);
  ByteSequenceModeler& operator=(const ByteSequenceModeler& other);
  virtual ~ByteSequenceModeler();

  // Called after every write; does nothing here.
  virtual void updateHeaders();

  // Bytes 0 .. cursor: the whole unit including its header.
  std::string getData() const;
  // Bytes headerSize .. cursor: the body only.
  std::string getTailData() const;
  // Moves the cursor back to the start of the body (to read it again).
  void rewindTailData();

  void writeNBytes(const void* src, uint64_t n);
  void writeByte(uint8_t v);
  void writeShort(int16_t v);
  void writeUShort(uint16_t v);
  void writeInt32(int32_t v);
  void writeUInt32(uint32_t v);
  void writeInt64(int64_t v);
  void writeUInt64(uint64_t v);
  void writeGuid(const ofw::Guid& g);
  void writeTimestamp(const struct timeval& tv);
  void writeTimestamp();  // the current time
  void writeString(const std::string& s);
  void writeBlob(const void* data, uint64_t length);

  void readNBytes(void* dst, uint64_t n);
  uint8_t readByte();
  int16_t readShort();
  uint16_t readUShort();
  int32_t readInt32();
  uint32_t readUInt32();
  int64_t readInt64();
  uint64_t readUInt64();
  ofw::Guid readGuid();
  struct timeval readTimestamp();
  std::string readString();
  std::string readBlob();

  // Frees the buffer and sets the capacity to 0; the cursor does not change.
  void cleanup();

  // Diagnostic dump of the fields and the whole capacity to standard output.
  void Dump() const;

  uint64_t getBufferLength() const { return m_bufferLength; }
  uint64_t getOffset() const { return m_offset; }
  uint64_t getHeaderSize() const { return m_headerSize; }
  bool hasBuffer() const { return !m_buffer.empty(); }
  // The end of the readable bytes: the received length, or the capacity.
  uint64_t readEnd() const { return m_readEnd < m_bufferLength ? m_readEnd : m_bufferLength; }

 protected:
  // Marks the buffer as a received unit of `length` bytes: reads never pass it.
  void limitReadsTo(uint64_t length) { m_readEnd = length; }

  // Throws unless bytes [0, end) lie inside the buffer.
  void requireCapacity(uint64_t end) const;

  // The bytes; wiped before every release (they may hold terminal data).
  ofw::SecureBytes m_buffer;
  // The capacity, always m_buffer.size(); kept as a 64-bit field so every
  // limit is checked on it before anything is allocated.
  uint64_t m_bufferLength;
  uint64_t m_offset;
  uint64_t m_headerSize;
  // End of the received bytes; UNLIMITED for a buffer the program builds.
  static constexpr uint64_t UNLIMITED = ~0ull;
  uint64_t m_readEnd = UNLIMITED;

 private:
  // Checks a write of n bytes at the cursor and grows the buffer to hold it.
  void reserveForWrite(uint64_t n);
  // Copies n bytes at the cursor; room was made by reserveForWrite.
  void appendReserved(const void* src, uint64_t n);
  // Checks a read of n bytes at the cursor; on failure releases the buffer and
  // throws. Returns the position of the first byte.
  uint64_t checkRead(uint64_t n);
};

}  // namespace meridia
