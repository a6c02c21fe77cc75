#include "ofw/dbq/dbq_block.h"

#include <limits.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ofw/logging/logger.h"

namespace ofw {

using namespace dbqfmt;

namespace {

std::atomic<uint64_t> gBlockWrites{0};
std::atomic<FILE*> gFailureEcho{stdout};
std::atomic<Block::WriteFaultHook> gWriteFault{nullptr};

const LoggerPtr& dbqLogger() {
  static LoggerPtr logger = getLogger("ofw.dbq");
  return logger;
}

const char* tf(bool b) { return b ? "true" : "false"; }

// Writes the whole iovec array at `offset`, resuming after short writes.
// Returns 0 or errno.
int pwritevAll(int fd, struct iovec* iov, int iovcnt, off_t offset) {
  size_t total = 0;
  for (int i = 0; i < iovcnt; ++i) total += iov[i].iov_len;
  if (Block::WriteFaultHook hook = gWriteFault.load()) {
    int err = hook(fd, offset, total);
    if (err != 0) return err;
  }
  while (iovcnt > 0) {
    ssize_t n = ::pwritev(fd, iov, iovcnt, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;  // no progress: treat as an I/O error rather than loop
    offset += n;
    size_t left = static_cast<size_t>(n);
    while (iovcnt > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --iovcnt;
    }
    if (iovcnt > 0 && left > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + left;
      iov->iov_len -= left;
    }
  }
  return 0;
}

// Offset of block `id`, or -1 when it cannot be formed.
off_t blockOffset(int id, int blockSize) {
  if (id < 0 || blockSize <= 0) return -1;
  return static_cast<off_t>(id) * static_cast<off_t>(blockSize);
}

void writeFailure(int id, off_t pos, int err, bool seek) {
  // A stream-style report: a write never meets end of file; a failed write is
  // both "bad" and "fail".
  OFW_WARN(dbqLogger(), "%s for block %d failed.  EOF: %s, Bad: %s, Fail: %s, File pos: %lld",
           seek ? "Seekp" : "Write", id, tf(false), tf(!seek), tf(true), static_cast<long long>(pos));
  throw IOException(format("Block %d write failed (%s)", id, seek ? "fs.seekp" : "fs.write"), err,
                    __FILE__, __LINE__);
}

}  // namespace

Block::Block(int blockSize) : buf_(static_cast<size_t>(blockSize), 0), blockSize_(blockSize), payloadSize_(0) {}

Block::~Block() = default;

unsigned char* Block::getDataBuffer() { return buf_.data() + dataOffSet(); }

bool Block::setDataBuffer(const unsigned char* data, unsigned int len) {
  if (data == nullptr || len > static_cast<unsigned int>(payloadSize_)) return false;
  if (len > 0) std::memcpy(getDataBuffer(), data, len);
  return true;
}

void Block::setTypeAndSize(BlockType type) {
  buf_[kTypeOffset] = static_cast<unsigned char>(type);
  recomputeSize();
}

void Block::setBool(bool value, uint8_t mask, size_t offset) {
  if (value)
    buf_[offset] = static_cast<unsigned char>(buf_[offset] | mask);
  else
    buf_[offset] = static_cast<unsigned char>(buf_[offset] & ~mask);
}

void Block::read(int id, int fd) {
  off_t pos = blockOffset(id, blockSize_);
  if (pos < 0) {
    OFW_WARN(dbqLogger(), "Seekg for block %d failed.  EOF: %s, Bad: %s, Fail: %s, File pos: %lld", id,
             tf(false), tf(false), tf(true), -1LL);
    if (FILE* echo = gFailureEcho.load())
      std::fprintf(echo, "Seekg for block %d failed.  EOF: false, Bad: false, Fail: true, File pos: -1\n", id);
    throw IOException(format("Block %d read failed (fs.seekg)", id), EINVAL, __FILE__, __LINE__);
  }
  size_t got = 0;
  int err = 0;
  while (got < buf_.size()) {
    ssize_t n = ::pread(fd, buf_.data() + got, buf_.size() - got, pos + static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    if (n == 0) break;  // end of file
    got += static_cast<size_t>(n);
  }
  if (got < buf_.size()) {
    bool eof = err == 0;
    OFW_WARN(dbqLogger(), "Read for block %d failed.  EOF: %s, Bad: %s, Fail: %s, File pos: %lld", id,
             tf(eof), tf(!eof), tf(true), static_cast<long long>(pos + static_cast<off_t>(got)));
    if (FILE* echo = gFailureEcho.load())
      std::fprintf(echo, "Read for block %d failed.  EOF: %s, Bad: %s, Fail: %s, File pos: %lld\n", id,
                   tf(eof), tf(!eof), tf(true), static_cast<long long>(pos + static_cast<off_t>(got)));
    throw IOException(format("Block %d read failed (fs.read)", id), err, __FILE__, __LINE__);
  }
  recomputeSize();
}

void Block::write(int fd) {
  Block* self = this;
  writeRun(fd, &self, 1);
}

void Block::writeRun(int fd, Block* const* blocks, size_t count) {
  size_t done = 0;
  while (done < count) {
    size_t chunk = count - done;
    if (chunk > IOV_MAX) chunk = IOV_MAX;
    int firstId = blocks[done]->getID();
    off_t pos = blockOffset(firstId, blocks[done]->blockSize_);
    if (pos < 0) writeFailure(firstId, pos, EINVAL, true);
    std::vector<struct iovec> iov(chunk);
    for (size_t i = 0; i < chunk; ++i) {
      iov[i].iov_base = blocks[done + i]->buf_.data();
      iov[i].iov_len = blocks[done + i]->buf_.size();
    }
    int err = pwritevAll(fd, iov.data(), static_cast<int>(chunk), pos);
    if (err != 0) writeFailure(firstId, pos, err, false);
    gBlockWrites += chunk;
    done += chunk;
  }
}

int Block::writeImage(int fd, int id, const unsigned char* bytes, int blockSize) {
  off_t pos = blockOffset(id, blockSize);
  if (pos < 0) return EINVAL;
  struct iovec iov;
  iov.iov_base = const_cast<unsigned char*>(bytes);
  iov.iov_len = static_cast<size_t>(blockSize);
  return pwritevAll(fd, &iov, 1, pos);
}

uint64_t Block::blockWrites() { return gBlockWrites.load(); }
void Block::setFailureEcho(FILE* stream) { gFailureEcho.store(stream); }
void Block::setWriteFaultHook(WriteFaultHook hook) { gWriteFault.store(hook); }

// ---------------------------------------------------------------- MasterBlock

MasterBlock::MasterBlock(int blockSize) : Block(blockSize) { setTypeAndSize(kTypeMaster); }

int MasterBlock::getMagic() const { return isExtended() ? geti(kMasterMagicOffset) : kMasterMagic; }
void MasterBlock::setMagic() {
  if (isExtended()) puti(kMasterMagicOffset, kMasterMagic);
}
uint32_t MasterBlock::getChecksum() const { return isExtended() ? getUInt32(&buf_[kMasterChecksumOffset]) : 0; }
uint32_t MasterBlock::calcChecksum() const {
  return isExtended() ? checksum(&buf_[kMasterXHeaderSize], buf_.size() - kMasterXHeaderSize) : 0;
}
void MasterBlock::setChecksum() {
  if (isExtended()) putUInt32(&buf_[kMasterChecksumOffset], calcChecksum());
}
uint32_t MasterBlock::getVersion() const { return isExtended() ? getUInt32(&buf_[kMasterVersionOffset]) : 0; }
void MasterBlock::setVersion(uint32_t v) {
  if (isExtended()) putUInt32(&buf_[kMasterVersionOffset], v);
}
int MasterBlock::getTime() const { return isExtended() ? geti(kMasterTimeOffset) : 0; }
void MasterBlock::setTime() { setTime(static_cast<int>(static_cast<uint32_t>(::time(nullptr)))); }
void MasterBlock::setTime(int t) {
  if (isExtended()) puti(kMasterTimeOffset, t);
}
uint32_t MasterBlock::getAge() const { return isExtended() ? getUInt32(&buf_[kMasterAgeOffset]) : 0; }
void MasterBlock::setAge(uint64_t age) {
  if (isExtended()) putUInt32(&buf_[kMasterAgeOffset], static_cast<uint32_t>(age));
}
int MasterBlock::getBlockSizeField() const { return isExtended() ? geti(kMasterBlockSizeOffset) : 0; }
void MasterBlock::setBlockSizeField(int b) {
  if (isExtended()) puti(kMasterBlockSizeOffset, b);
}

// ------------------------------------------------------------------ DataBlock

DataBlock::DataBlock(int blockSize) : Block(blockSize) { setTypeAndSize(kTypeData); }

void DataBlock::clear() {
  std::fill(buf_.begin(), buf_.end(), 0);
  setTypeAndSize(kTypeData);
}

int DataBlock::getMagic() const { return isExtended() ? geti(kDataMagicOffset) : kDataMagic; }
void DataBlock::setMagic() {
  if (isExtended()) puti(kDataMagicOffset, kDataMagic);
}
uint32_t DataBlock::getChecksum() const { return isExtended() ? getUInt32(&buf_[kDataChecksumOffset]) : 0; }
uint32_t DataBlock::calcChecksum() const {
  return isExtended() ? checksum(&buf_[kDataXHeaderSize], buf_.size() - kDataXHeaderSize) : 0;
}
void DataBlock::setChecksum() {
  if (isExtended()) putUInt32(&buf_[kDataChecksumOffset], calcChecksum());
}
uint32_t DataBlock::getVersion() const { return isExtended() ? getUInt32(&buf_[kDataVersionOffset]) : 0; }
void DataBlock::setVersion(uint32_t v) {
  if (isExtended()) putUInt32(&buf_[kDataVersionOffset], v);
}
int DataBlock::getTime() const { return isExtended() ? geti(kDataTimeOffset) : 0; }
void DataBlock::setTime() { setTime(static_cast<int>(static_cast<uint32_t>(::time(nullptr)))); }
void DataBlock::setTime(int t) {
  if (isExtended()) puti(kDataTimeOffset, t);
}
uint32_t DataBlock::getAge() const { return isExtended() ? getUInt32(&buf_[kDataAgeOffset]) : 0; }
void DataBlock::setAge(uint64_t age) {
  if (isExtended()) putUInt32(&buf_[kDataAgeOffset], static_cast<uint32_t>(age));
}
int DataBlock::getSpanSeq() const { return isExtended() ? geti(kSpanSeqOffset) : 0; }
void DataBlock::setSpanSeq(int s) {
  if (isExtended()) puti(kSpanSeqOffset, s);
}

}  // namespace ofw
