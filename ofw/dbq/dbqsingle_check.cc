// Diagnostics of a single-file queue: the dump and the integrity checker. Both
// read the file directly (never the dirty cache) and never change it.
#include <sys/stat.h>

#include <climits>
#include <iostream>

#include "ofw/dbq/dbqsingle.h"
#include "ofw/format.h"

namespace ofw {

using namespace dbqfmt;

namespace {

const char* opName(int op) {
  switch (op) {
    case kOpNone: return "none";
    case kOpPush: return "append";
    case kOpPop: return "remove";
    case kOpDescriptor: return "descriptor";
    case kOpDropLast: return "drop last block";
    default: return "unknown";
  }
}

std::string flagText(const DataBlock& b) {
  std::string s = format("0x%02x", b.getFlags());
  if (b.isSpanning()) s += " spanning";
  if (b.isFree()) s += " free";
  return s;
}

}  // namespace

void DBQSingle::dump(bool verbose) {
  dumpTo(std::cout, verbose);
  std::cout.flush();
}

void DBQSingle::dumpTo(std::ostream& out, bool verbose) {
  Lock lock(m_mutex);
  const MasterBlock& m = *m_master;
  out << "DB accounting (" << m_path << ")\n";
  out << "  type: " << m.getType() << " (" << typeName(m.getType()) << ")\n";
  out << "  head: " << m.getHead() << "\n";
  out << "  tail: " << m.getTail() << "\n";
  out << "  freehead: " << m.getFreeHead() << "\n";
  out << "  freetail: " << m.getFreeTail() << "\n";
  out << "  current operation: " << m.getCurOp() << " (" << opName(m.getCurOp()) << ")\n";
  out << "  count: " << m.getCount() << "\n";
  out << "  data size: " << m.getDataSize() << "\n";
  out << "  descriptor length: " << m.getDescriptorLength() << "\n";
  if (m.isExtended()) {
    out << "  magic: " << format("0x%08x", static_cast<unsigned>(m.getMagic())) << "\n";
    out << "  checksum: " << format("0x%08x", m.getChecksum()) << "\n";
    out << "  version: " << format("0x%08x", m.getVersion()) << "\n";
    out << "  time: " << m.getTime() << "\n";
    out << "  age: " << m.getAge() << "\n";
    out << "  block size: " << m.getBlockSizeField() << "\n";
  }
  out << "  blocks in file: " << m_blockCount << "\n";
  if (!verbose || m_fd < 0) return;
  // Chains, each walk bounded by the block count.
  DataBlock b(m_blockSize);
  auto walk = [&](const char* title, int start, bool used) {
    out << title << "\n";
    int id = start;
    int64_t steps = 0;
    while (id != 0) {
      if (id < 1 || id >= m_blockCount) {
        out << "  -> " << id << " (outside the file)\n";
        return;
      }
      if (++steps > m_blockCount) {
        out << "  ... (the chain loops)\n";
        return;
      }
      try {
        b.read(id, m_fd);
      } catch (const std::exception& e) {
        out << "  " << id << ": " << e.what() << "\n";
        return;
      }
      out << "  block " << id << ": id " << b.getID() << ", type " << typeName(b.getType()) << ", next " << b.getNext()
          << (used ? ", length " : ", previous ") << b.getLength() << ", flags " << flagText(b);
      if (b.isExtended()) out << ", seq " << b.getSpanSeq() << ", age " << b.getAge();
      out << "\n";
      id = b.getNext();
    }
  };
  walk("used chain (from head):", m.getHead(), true);
  walk("free chain (from freehead):", m.getFreeHead(), false);
}

bool DBQSingle::checkIntegrity(std::ostream& out) {
  Lock lock(m_mutex);
  out << "Checking queue for integrity: " << m_path << "\n";
  int problems = 0;
  auto bad = [&](const std::string& text) {
    out << "Queue is abnormal. " << text << "\n";
    ++problems;
  };
  if (!m_open || m_fd < 0) {
    bad("The queue is not open.");
    return false;
  }
  struct stat st;
  if (::fstat(m_fd, &st) != 0) {
    bad("The file cannot be examined.");
    return false;
  }
  int64_t blocks = static_cast<int64_t>(st.st_size) / m_blockSize;
  if (blocks > INT_MAX) blocks = INT_MAX;
  if (blocks == 0) {
    out << "The file holds no block (an empty queue).\n";
    return true;
  }
  if (st.st_size % m_blockSize != 0)
    out << "Note: the file ends with " << st.st_size % m_blockSize << " bytes of an incomplete block.\n";

  MasterBlock m(m_blockSize);
  try {
    m.read(0, m_fd);
  } catch (const std::exception& e) {
    bad(format("The master block cannot be read: %s", e.what()));
    return false;
  }
  int dataT;
  if (m.getType() == kTypeMasterX) {
    dataT = kTypeDataX;
    if (m.getMagic() != kMasterMagic)
      bad(format("Master block's magic number is 0x%x, expected 0x%x", static_cast<unsigned>(m.getMagic()),
                 static_cast<unsigned>(kMasterMagic)));
    if (m.getChecksum() != m.calcChecksum())
      bad(format("Master block's checksum is 0x%x, calculated 0x%x", m.getChecksum(), m.calcChecksum()));
    if (m.getVersion() != kVersion) bad(format("Master block's version is 0x%x", m.getVersion()));
    if (m.getBlockSizeField() != m_blockSize)
      bad(format("Master block's block size is %d, expected %d", m.getBlockSizeField(), m_blockSize));
  } else if (m.getType() == kTypeMaster) {
    dataT = kTypeData;
  } else {
    bad(format("Master block has the unknown type %d", m.getType()));
    return false;
  }
  if (m.getCurOp() != kOpNone)
    bad(format("The file was not shut cleanly: operation %d (%s) in progress", m.getCurOp(), opName(m.getCurOp())));
  const int links[4] = {m.getHead(), m.getTail(), m.getFreeHead(), m.getFreeTail()};
  const char* names[4] = {"head", "tail", "free head", "free tail"};
  bool linksOk = true;
  for (int i = 0; i < 4; ++i)
    if (links[i] < 0 || links[i] >= blocks) {
      bad(format("The %s %d lies outside the file of %lld blocks", names[i], links[i], static_cast<long long>(blocks)));
      linksOk = false;
    }
  if (!linksOk) return false;
  if (m.getCount() < 0) bad(format("The count %d is negative", m.getCount()));

  const int p = payloadSize(m_blockSize, dataT);
  std::vector<unsigned char> state(static_cast<size_t>(blocks), 0);  // 1 used, 2 free
  DataBlock b(m_blockSize);
  auto readBlock = [&](int id, const char* chain) -> bool {
    if (id < 1 || id >= blocks) {
      bad(format("The %s chain links to block %d outside the file", chain, id));
      return false;
    }
    if (state[static_cast<size_t>(id)] != 0) {
      bad(format("Block %d is reached twice (the %s chain loops or the chains share it)", id, chain));
      return false;
    }
    try {
      b.read(id, m_fd);
    } catch (const std::exception& e) {
      bad(format("Block %d cannot be read: %s", id, e.what()));
      return false;
    }
    if (b.getType() != dataT) bad(format("Block %d has the type %d, expected %d", id, b.getType(), dataT));
    if (b.getID() != id) bad(format("Block %d carries the ID %d", id, b.getID()));
    if (b.isExtended()) {
      b.recomputeSize();
      if (b.getMagic() != kDataMagic) bad(format("Block %d has the magic number 0x%x", id, static_cast<unsigned>(b.getMagic())));
      if (b.getChecksum() != b.calcChecksum())
        bad(format("Block %d has the checksum 0x%x, calculated 0x%x", id, b.getChecksum(), b.calcChecksum()));
    }
    return true;
  };

  // Used chain: records from head to tail.
  int64_t records = 0;
  uint64_t bytes = 0;
  int64_t used = 0;
  int id = m.getHead();
  int last = 0;
  int length = 0;
  int64_t n = 0, seq = 0;
  while (id != 0) {
    if (!readBlock(id, "used")) break;
    state[static_cast<size_t>(id)] = 1;
    ++used;
    if (b.isFree()) bad(format("Block %d of the used chain is marked free", id));
    if (seq == 0) {
      length = b.getLength();
      n = length > 0 ? (static_cast<int64_t>(length) + p - 1) / p : 0;
      if (length <= 0 || n > blocks - 1) {
        bad(format("Block %d starts a record of the impossible length %d", id, length));
        break;
      }
    } else if (b.getLength() != length) {
      bad(format("Block %d holds the length %d within a record of %d", id, b.getLength(), length));
    }
    bool lastOfRecord = seq == n - 1;
    if (b.isSpanning() == lastOfRecord)
      bad(format("Block %d has the spanning flag %s at position %lld of a record of %lld blocks", id,
                 lastOfRecord ? "set" : "clear", static_cast<long long>(seq), static_cast<long long>(n)));
    if (b.isExtended() && b.getSpanSeq() != seq)
      bad(format("Block %d has the span sequence %d, expected %lld", id, b.getSpanSeq(), static_cast<long long>(seq)));
    last = id;
    id = b.getNext();
    if (lastOfRecord || !b.isSpanning()) {
      ++records;
      bytes += static_cast<uint64_t>(length);
      seq = 0;
    } else {
      ++seq;
    }
  }
  if (seq != 0) bad("The used chain ends inside a record");
  if (last != m.getTail()) bad(format("The used chain ends at block %d but the tail is %d", last, m.getTail()));
  if (records > m.getCount())
    bad(format("The used chain holds %lld records but the count is %d", static_cast<long long>(records), m.getCount()));
  else if (records < m.getCount())
    out << "Note: " << m.getCount() - records << " records of no bytes (they occupy no block).\n";
  if (bytes != m.getDataSize())
    bad(format("The records hold %llu bytes but the data size is %llu", static_cast<unsigned long long>(bytes),
               static_cast<unsigned long long>(m.getDataSize())));

  // Free list: doubly linked from free head to free tail.
  int64_t freeBlocks = 0;
  int prev = 0;
  id = m.getFreeHead();
  while (id != 0) {
    if (!readBlock(id, "free")) break;
    state[static_cast<size_t>(id)] = 2;
    ++freeBlocks;
    if (!b.isFree()) bad(format("Block %d of the free list is not marked free", id));
    if (b.getPrevious() != prev)
      bad(format("Free block %d links back to %d instead of %d", id, b.getPrevious(), prev));
    prev = id;
    id = b.getNext();
  }
  if (prev != m.getFreeTail()) bad(format("The free list ends at block %d but the free tail is %d", prev, m.getFreeTail()));

  int64_t unreferenced = blocks - 1 - used - freeBlocks;
  if (unreferenced > 0)
    bad(format("%lld blocks are on no chain (left by an interrupted append or truncation)",
               static_cast<long long>(unreferenced)));
  out << "records: " << records << ", data size: " << bytes << ", used blocks: " << used
      << ", free blocks: " << freeBlocks << ", blocks: " << blocks << "\n";
  if (problems == 0) out << "The queue is consistent.\n";
  return problems == 0;
}

}  // namespace ofw
