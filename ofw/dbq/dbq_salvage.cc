#include "ofw/dbq/dbq_salvage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "ofw/dbq/dbq_block.h"
#include "ofw/dbq/dbqcomposite.h"
#include "ofw/format.h"

namespace ofw {

using namespace dbqfmt;

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads block `id` and checks what every data block of a record must satisfy.
// Returns "" or why the block cannot be used.
std::string readRecordBlock(int fd, int id, int64_t blocks, int type, DataBlock& b) {
  if (id < 1 || id >= blocks) return format("link to block %d outside the file", id);
  try {
    b.read(id, fd);
  } catch (const std::exception& e) {
    return e.what();
  }
  if (b.getType() != type) return format("block %d has the type %d", id, b.getType());
  if (b.getID() != id) return format("block %d carries the ID %d", id, b.getID());
  if (b.isExtended()) {
    if (b.getMagic() != kDataMagic) return format("block %d has a wrong magic number", id);
    if (b.getChecksum() != b.calcChecksum()) return format("block %d has a wrong checksum", id);
  }
  if (b.isFree()) return format("block %d is on the free list", id);
  return std::string();
}

}  // namespace

SalvageResult readQueueFileLeniently(const std::string& path, int blockSize,
                                     const std::function<void(const unsigned char*, unsigned int)>& sink) {
  SalvageResult r;
  if (blockSize < kMinBlockSize || blockSize > kMaxBlockSize) {
    r.stopReason = format("invalid block size %d", blockSize);
    return r;
  }
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    r.stopReason = fd.get() < 0 ? withErrno("cannot open the file", errno) : "not a regular file";
    return r;
  }
  r.files = 1;
  uint64_t fileSize = static_cast<uint64_t>(st.st_size);
  int64_t blocks = static_cast<int64_t>(fileSize / static_cast<uint64_t>(blockSize));
  if (blocks > INT_MAX) blocks = INT_MAX;
  if (blocks < 1) {
    if (fileSize > 0) r.stopReason = "the file is shorter than one block";
    r.unreadBytes = fileSize;
    return r;
  }
  MasterBlock m(blockSize);
  try {
    m.read(0, fd.get());
  } catch (const std::exception& e) {
    r.stopReason = e.what();
    r.unreadBytes = fileSize;
    return r;
  }
  int dataType;
  if (m.getType() == kTypeMasterX) {
    if (m.getMagic() != kMasterMagic || m.getBlockSizeField() != blockSize) {
      r.stopReason = "the master block is not a queue master of this block size";
      r.unreadBytes = fileSize;
      return r;
    }
    dataType = kTypeDataX;
  } else if (m.getType() == kTypeMaster) {
    dataType = kTypeData;
  } else {
    r.stopReason = format("the master block has the unknown type %d", m.getType());
    r.unreadBytes = fileSize;
    return r;
  }
  const int p = payloadSize(blockSize, dataType);
  const int tail = m.getTail();
  std::vector<bool> seen(static_cast<size_t>(blocks), false);
  std::vector<unsigned char> record;
  DataBlock b(blockSize);
  int id = m.getHead();
  if (id < 0 || id >= blocks) r.stopReason = format("the head %d lies outside the file", id);
  while (r.stopReason.empty() && id != 0) {
    std::string why = readRecordBlock(fd.get(), id, blocks, dataType, b);
    if (why.empty() && seen[static_cast<size_t>(id)]) why = format("block %d is reached twice", id);
    int length = why.empty() ? b.getLength() : 0;
    int64_t n = 0;
    if (why.empty()) {
      n = length > 0 ? (static_cast<int64_t>(length) + p - 1) / p : 0;
      if (length <= 0 || n > blocks - 1) why = format("block %d holds the impossible length %d", id, length);
    }
    if (!why.empty()) {
      r.stopReason = why;
      break;
    }
    record.resize(static_cast<size_t>(length));
    int next = 0;
    bool last = false;
    int cur = id;
    for (int64_t s = 0; s < n; ++s) {
      if (s > 0) {
        why = readRecordBlock(fd.get(), cur, blocks, dataType, b);
        if (why.empty() && seen[static_cast<size_t>(cur)]) why = format("block %d is reached twice", cur);
        if (why.empty() && b.getLength() != length)
          why = format("block %d holds the length %d within a record of %d", cur, b.getLength(), length);
      }
      if (why.empty() && b.isSpanning() != (s < n - 1))
        why = format("block %d has a wrong spanning flag", cur);
      if (why.empty() && b.isExtended() && b.getSpanSeq() != s)
        why = format("block %d has the span sequence %d, expected %lld", cur, b.getSpanSeq(),
                     static_cast<long long>(s));
      if (!why.empty()) break;
      int share = s < n - 1 ? p : static_cast<int>(length - (n - 1) * p);
      std::memcpy(record.data() + static_cast<size_t>(s) * static_cast<size_t>(p), b.getDataBuffer(),
                  static_cast<size_t>(share));
      seen[static_cast<size_t>(cur)] = true;  // reading stops at the first failure, so marking early is safe
      next = b.getNext();
      last = cur == tail;
      cur = next;
    }
    if (!why.empty()) {
      r.stopReason = why;
      break;
    }
    sink(record.data(), static_cast<unsigned int>(length));
    ++r.records;
    r.bytes += static_cast<uint64_t>(length);
    if (last) break;  // a link beyond the tail belongs to an append that did not finish
    id = next;
  }
  uint64_t claimed = m.getDataSize();
  if (claimed > fileSize) claimed = fileSize;
  r.unreadBytes = claimed > r.bytes ? claimed - r.bytes : 0;
  return r;
}

SalvageResult salvageQueueFile(const std::string& path, DBQ& target, const LoggerPtr& logger, int blockSize) {
  SalvageResult r;
  std::string targetError;
  try {
    r = readQueueFileLeniently(path, blockSize, [&](const unsigned char* data, unsigned int len) {
      boost::shared_array<unsigned char> copy(new unsigned char[len > 0 ? len : 1]);
      if (len > 0) std::memcpy(copy.get(), data, len);
      try {
        target.enqueue(copy, len);
      } catch (const std::exception& e) {
        targetError = e.what();
        throw;
      }
    });
  } catch (const std::exception&) {
    // The target refused a record: what was appended stays, the rest remains in
    // the moved-aside copy.
    r.targetFailed = true;
  }
  if (r.targetFailed) {
    OFW_ERROR(logger, "Salvage of %s stopped: appending to the queue failed: %s", path.c_str(),
              targetError.c_str());
    return r;
  }
  OFW_WARN(logger, "Salvaged %llu records (%llu bytes) from %s; %llu bytes could not be read%s%s",
           static_cast<unsigned long long>(r.records), static_cast<unsigned long long>(r.bytes), path.c_str(),
           static_cast<unsigned long long>(r.unreadBytes), r.stopReason.empty() ? "" : "; stopped: ",
           r.stopReason.c_str());
  return r;
}

SalvageResult salvageQueueDirectory(const std::string& movedAsidePath, DBQ& target, const LoggerPtr& logger,
                                    int blockSize) {
  SalvageResult total;
  std::vector<std::pair<int64_t, std::string>> files;
  if (!DBQComposite::listFiles(movedAsidePath, files)) {
    OFW_WARN(logger, "Salvaged 0 records from %s; the directory cannot be read", movedAsidePath.c_str());
    total.stopReason = "the directory cannot be read";
    return total;
  }
  for (auto& f : files) {
    SalvageResult r = salvageQueueFile(movedAsidePath + "/" + f.second, target, logger, blockSize);
    total.files += r.files;
    total.records += r.records;
    total.bytes += r.bytes;
    total.unreadBytes += r.unreadBytes;
    if (!r.stopReason.empty()) total.stopReason = f.second + ": " + r.stopReason;
    if (r.targetFailed) {
      total.targetFailed = true;
      break;
    }
  }
  OFW_WARN(logger, "Salvaged %llu records (%llu bytes) from the moved-aside queue %s; %llu bytes could not be read",
           static_cast<unsigned long long>(total.records), static_cast<unsigned long long>(total.bytes),
           movedAsidePath.c_str(), static_cast<unsigned long long>(total.unreadBytes));
  return total;
}

}  // namespace ofw
