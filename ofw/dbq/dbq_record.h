// The one loop that gathers a record's payload from its chain of data blocks
// (layout in ofw/dbq/dbq_format.h): the queue's reads and the lenient salvage
// reader differ only in how they read and check each block.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "ofw/dbq/dbq_block.h"

namespace ofw {

// Copies the `length` bytes of the record whose first block is `first` into
// `out` (room for `length` bytes), `payload` bytes a block, following each
// block's next link. `blockAt(id, seq)` returns block `id` read and checked as
// block `seq` of the record (it may throw; the caller has checked that the
// record's blocks fit the file and that each holds `payload` bytes). Returns
// the link out of the record's last block.
template <class BlockAt>
int gatherRecord(int first, int length, int payload, unsigned char* out, BlockAt&& blockAt) {
  int id = first;
  for (int seq = 0, done = 0; done < length; ++seq, done += payload) {
    DataBlock& b = blockAt(id, seq);
    std::memcpy(out + done, b.getDataBuffer(), static_cast<size_t>(std::min(payload, length - done)));
    id = b.getNext();
  }
  return id;
}

}  // namespace ofw
