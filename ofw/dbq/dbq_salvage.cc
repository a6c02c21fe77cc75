#include "ofw/dbq/dbq_salvage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "ofw/dbq/dbq_block.h"
#include "ofw/dbq/dbq_record.h"
#include "ofw/dbq/dbqcomposite.h"
#include "ofw/format.h"
#include "ofw/unique_fd.h"

namespace ofw {

using namespace dbqfmt;

namespace {

// One intact record of the file: its blocks in order, its length, the link out
// of its last block, and the stamp of its first block (which orders records
// that no intact link joins).
struct Found {
  std::vector<int> blocks;
  int length = 0;
  int next = 0;
  int time = 0;
  uint32_t age = 0;
  bool fromHead = false;  // reached from the master's head
};

// Reads records of one queue file leniently: every block is checked as the
// header describes; a block taken by one record is never taken by another.
class LenientReader {
 public:
  LenientReader(int fd, int blockSize, int64_t blocks, int type)
      : fd_(fd), blocks_(blocks), type_(type), payload_(payloadSize(blockSize, type)),
        state_(static_cast<size_t>(blocks), kUnknown), b_(blockSize) {}

  // Reads the record that starts at block `id`. Returns "" and fills `rec`
  // (its blocks are then taken), or why no intact record starts there.
  std::string readRecord(int id, Found& rec) {
    rec = Found();
    std::string why = readBlock(id);
    if (!why.empty()) return why;
    int length = b_.getLength();
    int64_t n = length > 0 ? (static_cast<int64_t>(length) + payload_ - 1) / payload_ : 0;
    if (length <= 0 || n > blocks_ - 1) return format("block %d holds the impossible length %d", id, length);
    rec.length = length;
    rec.time = b_.getTime();
    rec.age = b_.getAge();
    int cur = id;
    for (int64_t s = 0; s < n && why.empty(); ++s) {
      if (s > 0) why = readBlock(cur);
      if (why.empty() && b_.getLength() != length)
        why = format("block %d holds the length %d within a record of %d", cur, b_.getLength(), length);
      if (why.empty() && b_.isSpanning() != (s < n - 1)) why = format("block %d has a wrong spanning flag", cur);
      if (why.empty() && b_.isExtended() && b_.getSpanSeq() != s)
        why = format("block %d has the span sequence %d, expected %lld", cur, b_.getSpanSeq(),
                     static_cast<long long>(s));
      if (!why.empty()) break;
      state_[static_cast<size_t>(cur)] = kReading;
      rec.blocks.push_back(cur);
      rec.next = b_.getNext();
      cur = rec.next;
    }
    for (int blk : rec.blocks) state_[static_cast<size_t>(blk)] = why.empty() ? kTaken : kUnknown;
    if (!why.empty()) rec.blocks.clear();
    return why;
  }

  // Copies the payload of a record found before into `out`.
  std::string copyRecord(const Found& rec, std::vector<unsigned char>& out) {
    out.resize(static_cast<size_t>(rec.length));
    try {
      gatherRecord(rec.blocks.front(), rec.length, payload_, out.data(), [&](int id, int) -> DataBlock& {
        b_.read(id, fd_);
        b_.recomputeSize();
        return b_;
      });
    } catch (const std::exception& e) {
      return e.what();
    }
    return std::string();
  }

  // Blocks neither taken by a record nor on the free list.
  uint64_t untaken() const {
    uint64_t n = 0;
    for (size_t i = 1; i < state_.size(); ++i) n += state_[i] == kUnknown ? 1 : 0;
    return n;
  }
  bool taken(int id) const { return state_[static_cast<size_t>(id)] == kTaken; }

 private:
  enum State : unsigned char { kUnknown, kReading, kTaken, kFree };

  // Reads block `id` and checks what every data block of a record must
  // satisfy. Returns "" or why the block cannot be used.
  std::string readBlock(int id) {
    if (id < 1 || id >= blocks_) return format("link to block %d outside the file", id);
    State st = static_cast<State>(state_[static_cast<size_t>(id)]);
    if (st == kTaken || st == kReading) return format("block %d is reached twice", id);
    try {
      b_.read(id, fd_);
    } catch (const std::exception& e) {
      return e.what();
    }
    b_.recomputeSize();
    if (b_.getType() != type_) return format("block %d has the type %d", id, b_.getType());
    if (b_.getID() != id) return format("block %d carries the ID %d", id, b_.getID());
    if (b_.isExtended()) {
      if (b_.getMagic() != kDataMagic) return format("block %d has a wrong magic number", id);
      if (b_.getChecksum() != b_.calcChecksum()) return format("block %d has a wrong checksum", id);
    }
    if (b_.isFree()) {
      state_[static_cast<size_t>(id)] = kFree;
      return format("block %d is on the free list", id);
    }
    return std::string();
  }

  int fd_;
  int64_t blocks_;
  int type_;
  int payload_;
  std::vector<unsigned char> state_;
  DataBlock b_;
};

// The order of the records found: records joined by intact links stay in link
// order; the run that holds the master's head record comes first (it is the
// oldest live record), and runs that no intact link joins (damage between them)
// follow by the write stamp of their first block, which every later append
// exceeds within one opening of the file.
std::vector<size_t> recordOrder(const std::vector<Found>& found, int64_t blocks) {
  std::vector<int64_t> startsAt(static_cast<size_t>(blocks), -1);
  for (size_t i = 0; i < found.size(); ++i)
    startsAt[static_cast<size_t>(found[i].blocks.front())] = static_cast<int64_t>(i);
  std::vector<int64_t> succ(found.size(), -1);
  std::vector<int> preds(found.size(), 0);
  for (size_t i = 0; i < found.size(); ++i) {
    int next = found[i].next;
    if (next < 1 || next >= blocks) continue;
    int64_t j = startsAt[static_cast<size_t>(next)];
    if (j < 0 || static_cast<size_t>(j) == i) continue;
    succ[i] = j;
    ++preds[static_cast<size_t>(j)];
  }
  std::vector<size_t> byStamp(found.size());
  for (size_t i = 0; i < byStamp.size(); ++i) byStamp[i] = i;
  std::stable_sort(byStamp.begin(), byStamp.end(), [&](size_t a, size_t b) {
    if (found[a].time != found[b].time) return found[a].time < found[b].time;
    return found[a].age < found[b].age;
  });
  std::vector<std::vector<size_t>> runs;
  std::vector<bool> placed(found.size(), false);
  auto runFrom = [&](size_t i) {
    if (placed[i]) return;
    runs.emplace_back();
    for (int64_t k = static_cast<int64_t>(i); k >= 0 && !placed[static_cast<size_t>(k)];
         k = succ[static_cast<size_t>(k)]) {
      placed[static_cast<size_t>(k)] = true;
      runs.back().push_back(static_cast<size_t>(k));
    }
  };
  for (size_t i : byStamp)
    if (preds[i] == 0) runFrom(i);
  for (size_t i : byStamp) runFrom(i);  // what is left lies on a loop of links
  // found[0], when read from the head, is the master's head record.
  std::stable_partition(runs.begin(), runs.end(), [&](const std::vector<size_t>& run) {
    return found[0].fromHead && std::find(run.begin(), run.end(), size_t(0)) != run.end();
  });
  std::vector<size_t> order;
  for (auto& run : runs) order.insert(order.end(), run.begin(), run.end());
  return order;
}

}  // namespace

SalvageResult readQueueFileLeniently(const std::string& path, int blockSize,
                                     const std::function<void(const unsigned char*, unsigned int)>& sink) {
  SalvageResult r;
  if (blockSize < kMinBlockSize || blockSize > kMaxBlockSize) {
    r.stopReason = format("invalid block size %d", blockSize);
    return r;
  }
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    r.stopReason = !fd ? withErrno("cannot open the file", errno) : "not a regular file";
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
  bool masterUsable = false;
  int dataType = kTypeDataX;  // what this system writes, when the master cannot tell
  try {
    m.read(0, fd.get());
    if (m.getType() == kTypeMasterX) {
      masterUsable = m.getMagic() == kMasterMagic && m.getBlockSizeField() == blockSize;
      if (!masterUsable) r.stopReason = "the master block is not a queue master of this block size";
    } else if (m.getType() == kTypeMaster) {
      masterUsable = true;
      dataType = kTypeData;
    } else {
      r.stopReason = format("the master block has the unknown type %d", m.getType());
    }
  } catch (const std::exception& e) {
    r.stopReason = e.what();
  }

  // The records as the master links them, from its head to its tail.
  LenientReader reader(fd.get(), blockSize, blocks, dataType);
  std::vector<Found> found;
  uint64_t linkedBytes = 0;
  if (masterUsable) {
    int id = m.getHead();
    if (id < 0 || id >= blocks) r.stopReason = format("the head %d lies outside the file", id);
    while (r.stopReason.empty() && id != 0) {
      Found rec;
      r.stopReason = reader.readRecord(id, rec);
      if (!r.stopReason.empty()) break;
      rec.fromHead = true;
      linkedBytes += static_cast<uint64_t>(rec.length);
      found.push_back(rec);
      if (rec.blocks.back() == m.getTail()) break;  // a link beyond the tail belongs to an append that did not finish
      id = rec.next;
    }
  }
  // Damage, or a master that does not account for what was read: every other
  // intact record of the file is looked for, block by block.
  bool whole = masterUsable && r.stopReason.empty() && found.size() <= static_cast<size_t>(m.getCount()) &&
               linkedBytes == m.getDataSize();
  if (!whole) {
    for (int id = 1; id < blocks; ++id) {
      if (reader.taken(id)) continue;
      Found rec;
      if (reader.readRecord(id, rec).empty()) found.push_back(rec);
    }
    r.skippedBlocks = reader.untaken();
  }

  std::vector<unsigned char> record;
  for (size_t i : recordOrder(found, blocks)) {
    if (!reader.copyRecord(found[i], record).empty()) continue;
    sink(record.data(), static_cast<unsigned int>(record.size()));
    ++r.records;
    r.bytes += record.size();
  }
  uint64_t claimed = masterUsable ? m.getDataSize() : fileSize;
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
  OFW_WARN(logger,
           "Salvaged %llu records (%llu bytes) from %s; %llu bytes could not be read; %llu damaged blocks skipped%s%s",
           static_cast<unsigned long long>(r.records), static_cast<unsigned long long>(r.bytes), path.c_str(),
           static_cast<unsigned long long>(r.unreadBytes), static_cast<unsigned long long>(r.skippedBlocks),
           r.stopReason.empty() ? "" : "; the chain from the head broke: ", r.stopReason.c_str());
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
    total.skippedBlocks += r.skippedBlocks;
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
