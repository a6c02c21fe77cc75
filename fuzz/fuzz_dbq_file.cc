// Fuzzes the block queue file reader: arbitrary bytes are opened as a queue
// file and every record is read and popped; the lenient salvage reader and the
// integrity checker read the same bytes. Nothing may crash, loop or allocate
// beyond the file's size. When the file was consistent enough to be emptied,
// records written afterwards must read back exactly (round trip).
//
// Input: the file's bytes (at most 64 KiB are used).
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "ofw/dbq/dbq_block.h"
#include "ofw/dbq/dbq_salvage.h"
#include "ofw/dbq/dbqsingle.h"
#include "ofw/logging/logger.h"

namespace {

std::string gPath;

void check(bool ok) {
  if (!ok) std::abort();
}

void writeInput(const uint8_t* data, size_t size) {
  FILE* f = std::fopen(gPath.c_str(), "wb");
  check(f != nullptr);
  if (size > 0) check(std::fwrite(data, 1, size, f) == size);
  std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/fuzz_dbq.XXXXXX";
  check(::mkdtemp(tmpl) != nullptr);
  gPath = std::string(tmpl) + "/q";
  ofw::Logger::GetRootLogger()->setLevel(ofw::Logger::DISABLED);
  ofw::Block::setFailureEcho(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) size = 64 * 1024;
  const uint64_t bound = size;  // no record can be longer than the file

  // 1. The lenient reader.
  writeInput(data, size);
  uint64_t salvaged = 0;
  ofw::SalvageResult r = ofw::readQueueFileLeniently(gPath, 512, [&](const unsigned char*, unsigned int len) {
    check(len <= bound);
    ++salvaged;
  });
  check(r.records == salvaged && r.bytes <= bound);

  // 2. The checker, read-only.
  {
    ofw::DBQSingle q(512);
    try {
      if (q.open(gPath, ofw::DBQ_READ_ONLY, 0600, false, "")) {
        std::ostringstream out;
        q.checkIntegrity(out);
        q.dumpTo(out, true);
      }
    } catch (const ofw::Base_Exception&) {
    }
  }

  // 3. The queue: read every record, then pop them all.
  ofw::DBQSingle q(512);
  bool emptied = false;
  try {
    if (!q.open(gPath, ofw::DBQ_OPEN_OR_CREATE, 0600, false, "")) return 0;
    q.forEachRecord([&](const unsigned char*, unsigned int len) {
      check(len <= bound);
      return true;
    });
    for (uint64_t i = 0; i <= bound / 14 + 1 && !q.empty(); ++i) {
      boost::shared_array<unsigned char> rec;
      unsigned int len = 0;
      q.dequeue(rec, len);
      check(len <= bound);
    }
    check(q.empty());  // every pop takes at least one block, so the bound suffices
    emptied = true;
  } catch (const ofw::Base_Exception&) {
  }
  if (!emptied) return 0;

  // 4. Round trip on what is left of the file.
  try {
    const unsigned int lens[3] = {1, 470, 1000};
    for (unsigned int i = 0; i < 3; ++i) {
      boost::shared_array<unsigned char> rec(new unsigned char[lens[i]]);
      for (unsigned int j = 0; j < lens[i]; ++j) rec[j] = static_cast<unsigned char>(i * 31 + j);
      q.enqueue(rec, lens[i]);
    }
    for (unsigned int i = 0; i < 3; ++i) {
      boost::shared_array<unsigned char> rec;
      unsigned int len = 0;
      q.dequeue(rec, len);
      check(len == lens[i]);
      for (unsigned int j = 0; j < len; ++j) check(rec[j] == static_cast<unsigned char>(i * 31 + j));
    }
  } catch (const ofw::FatalErrorException&) {
    // Damage in the free list is found only when blocks are taken from it.
  }
  return 0;
}
