// In-memory blocks of a block queue file (layout in ofw/dbq/dbq_format.h).
//
// A Block owns a zero-filled buffer of exactly B bytes in the on-disk layout
// (host byte order); the getters and setters read and write that buffer. The
// buffer is read and written whole at byte offset ID * B of a file descriptor
// with pread/pwrite; a short read, a short write that cannot be completed, or a
// system error raises ofw::IOException (code = errno, 0 for end of file) after a
// WARN record on the logger "ofw.dbq".
//
// Getters of extended fields (magic, checksum, version, time, age, block size,
// span sequence) return 0 on a short block ("master" / "data"), the magic
// getters return the expected magic there, and the setters do nothing.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "ofw/dbq/dbq_format.h"

namespace ofw {

typedef dbqfmt::BlockType BlockType;

class Block {
 public:
  explicit Block(int blockSize);
  virtual ~Block();
  Block(const Block&) = default;
  Block& operator=(const Block&) = default;

  // Pointer to the payload area (at dataOffSet()).
  virtual unsigned char* getDataBuffer();
  // Copies len bytes into the payload area; false (nothing copied) when data is
  // null or len exceeds the payload area.
  virtual bool setDataBuffer(const unsigned char* data, unsigned int len);
  // Header size of the block's current type.
  virtual int dataOffSet() const = 0;

  // Stores the type and recomputes the payload size.
  void setTypeAndSize(BlockType type);
  // Recomputes the payload size from the type byte (after a read).
  void recomputeSize() { payloadSize_ = blockSize_ - dataOffSet(); }

  int getBlockSize() const { return blockSize_; }
  int getPayloadSize() const { return payloadSize_; }
  unsigned char* raw() { return buf_.data(); }
  const unsigned char* raw() const { return buf_.data(); }

  int getID() const { return dbqfmt::getInt32(&buf_[dbqfmt::kIdOffset]); }
  void setID(int id) { dbqfmt::putInt32(&buf_[dbqfmt::kIdOffset], id); }
  int getType() const { return buf_[dbqfmt::kTypeOffset]; }

  // Single bits of the byte at `offset`.
  bool getBool(uint8_t mask, size_t offset) const { return (buf_[offset] & mask) != 0; }
  void setBool(bool value, uint8_t mask, size_t offset);

  // Reads block `id` (B bytes at id * B). Throws IOException "Block %d read
  // failed (fs.seekg)" when the offset cannot be formed, "Block %d read failed
  // (fs.read)" on a short read or an error.
  void read(int id, int fd);
  // Writes the buffer at getID() * B. Throws IOException "Block %d write failed
  // (fs.seekp)" / "Block %d write failed (fs.write)" with code errno.
  void write(int fd);

  // Writes `count` blocks whose IDs are consecutive, starting with blocks[0],
  // with as few system calls as possible. Same failure texts as write().
  static void writeRun(int fd, Block* const* blocks, size_t count);
  // Writes raw bytes of one block at id * blockSize (used to restore images).
  // Returns 0 or errno; never throws.
  static int writeImage(int fd, int id, const unsigned char* bytes, int blockSize);

  // Process-wide count of block writes (statistics; never reset).
  static uint64_t blockWrites();
  // Where read failures are echoed besides the log (standard output by
  // default; nullptr for nowhere). Tools that print records set stderr.
  static void setFailureEcho(FILE* stream);
  // Test hook called before every write of queue blocks: returning a non-zero
  // errno makes that write fail with it. nullptr (the default) for none.
  typedef int (*WriteFaultHook)(int fd, off_t offset, size_t length);
  static void setWriteFaultHook(WriteFaultHook hook);

 protected:
  std::vector<unsigned char> buf_;
  int blockSize_;
  int payloadSize_;
};

class MasterBlock : public Block {
 public:
  // A new master block of type "master" (37).
  explicit MasterBlock(int blockSize);
  int dataOffSet() const override { return static_cast<int>(dbqfmt::headerSize(getType())); }

  bool isExtended() const { return getType() == dbqfmt::kTypeMasterX; }

  int getHead() const { return geti(dbqfmt::kHeadOffset); }
  void setHead(int v) { puti(dbqfmt::kHeadOffset, v); }
  int getTail() const { return geti(dbqfmt::kTailOffset); }
  void setTail(int v) { puti(dbqfmt::kTailOffset, v); }
  int getFreeHead() const { return geti(dbqfmt::kFreeHeadOffset); }
  void setFreeHead(int v) { puti(dbqfmt::kFreeHeadOffset, v); }
  int getFreeTail() const { return geti(dbqfmt::kFreeTailOffset); }
  void setFreeTail(int v) { puti(dbqfmt::kFreeTailOffset, v); }
  int getCurOp() const { return buf_[dbqfmt::kCurOpOffset]; }
  void setCurOp(int op) { buf_[dbqfmt::kCurOpOffset] = static_cast<unsigned char>(op); }
  int getCount() const { return geti(dbqfmt::kCountOffset); }
  void setCount(int v) { puti(dbqfmt::kCountOffset, v); }
  uint64_t getDataSize() const { return dbqfmt::getUInt64(&buf_[dbqfmt::kDataSizeOffset]); }
  void setDataSize(uint64_t v) { dbqfmt::putUInt64(&buf_[dbqfmt::kDataSizeOffset], v); }
  int getDescriptorLength() const { return geti(dbqfmt::kDescLenOffset); }
  void setDescriptorLength(int v) { puti(dbqfmt::kDescLenOffset, v); }

  // Extended fields.
  int getMagic() const;
  void setMagic();
  uint32_t getChecksum() const;
  uint32_t calcChecksum() const;
  void setChecksum();
  uint32_t getVersion() const;
  void setVersion(uint32_t v);
  int getTime() const;
  void setTime();
  void setTime(int t);
  uint32_t getAge() const;
  void setAge(uint64_t age);
  int getBlockSizeField() const;
  void setBlockSizeField(int b);

 private:
  int geti(size_t off) const { return dbqfmt::getInt32(&buf_[off]); }
  void puti(size_t off, int v) { dbqfmt::putInt32(&buf_[off], v); }
};

class DataBlock : public Block {
 public:
  // A new data block of type "data" (38), every other byte zero.
  explicit DataBlock(int blockSize);
  // Back to the state of a new block (for reuse).
  void clear();
  int dataOffSet() const override { return static_cast<int>(dbqfmt::headerSize(getType())); }

  bool isExtended() const { return getType() == dbqfmt::kTypeDataX; }

  int getNext() const { return geti(dbqfmt::kNextOffset); }
  void setNext(int v) { puti(dbqfmt::kNextOffset, v); }
  int getLength() const { return geti(dbqfmt::kLengthOffset); }
  void setLength(int v) { puti(dbqfmt::kLengthOffset, v); }
  int getPrevious() const { return geti(dbqfmt::kPrevOffset); }
  void setPrevious(int v) { puti(dbqfmt::kPrevOffset, v); }
  int getFlags() const { return buf_[dbqfmt::kFlagsOffset]; }
  bool isSpanning() const { return getBool(dbqfmt::kFlagSpanning, dbqfmt::kFlagsOffset); }
  void setSpanning(bool v) { setBool(v, dbqfmt::kFlagSpanning, dbqfmt::kFlagsOffset); }
  bool isFree() const { return getBool(dbqfmt::kFlagFree, dbqfmt::kFlagsOffset); }
  void setFree(bool v) { setBool(v, dbqfmt::kFlagFree, dbqfmt::kFlagsOffset); }

  // Extended fields.
  int getMagic() const;
  void setMagic();
  uint32_t getChecksum() const;
  uint32_t calcChecksum() const;
  void setChecksum();
  uint32_t getVersion() const;
  void setVersion(uint32_t v);
  int getTime() const;
  void setTime();
  void setTime(int t);
  uint32_t getAge() const;
  void setAge(uint64_t age);
  int getSpanSeq() const;
  void setSpanSeq(int s);

 private:
  int geti(size_t off) const { return dbqfmt::getInt32(&buf_[off]); }
  void puti(size_t off, int v) { dbqfmt::putInt32(&buf_[off], v); }
};

}  // namespace ofw
