// Fuzzes received-packet parsing: a packet built from raw bytes, read as a
// sequence of values chosen by the input. Every value read is written again
// into a fresh buffer, which must reproduce exactly the bytes it was read from.
//
// Input: byte 0 = number n of read operations (mod 32), bytes 1..n = the
// operations, the rest = the received packet.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "meridia/packet.h"
#include "ofw/exceptions.h"

using meridia::ByteSequenceModeler;
using meridia::MeridiaException;
using meridia::Packet;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// Reads one value chosen by `op` from `in` and writes it to `out`.
void readAndRewrite(uint8_t op, Packet& in, ByteSequenceModeler& out) {
  switch (op % 14) {
    case 0: out.writeByte(in.readByte()); break;
    case 1: out.writeShort(in.readShort()); break;
    case 2: out.writeUShort(in.readUShort()); break;
    case 3: out.writeInt32(in.readInt32()); break;
    case 4: out.writeUInt32(in.readUInt32()); break;
    case 5: out.writeInt64(in.readInt64()); break;
    case 6: out.writeUInt64(in.readUInt64()); break;
    case 7: out.writeGuid(in.readGuid()); break;
    case 8: out.writeTimestamp(in.readTimestamp()); break;
    case 9: out.writeString(in.readString()); break;
    case 10: {
      const std::string b = in.readBlob();
      out.writeBlob(b.data(), b.size());
      break;
    }
    case 11: {
      // A length from the input: bounded by the buffer, never allocated beyond it.
      const uint64_t n = op >> 4;
      std::string s(n, '\0');
      in.readNBytes(n ? &s[0] : nullptr, n);
      out.writeNBytes(s.data(), n);
      break;
    }
    case 12: in.rewindTailData(); break;
    default: {
      // Header accessors on the received packet.
      const std::string data = in.getData();
      check(data.size() == in.getOffset());
      (void)in.getFlags();
      (void)in.getChannel();
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t nOps = data[0] % 32 < size - 1 ? data[0] % 32 : size - 1;
  const uint8_t* ops = data + 1;
  const std::string wire(reinterpret_cast<const char*>(data + 1 + nOps), size - 1 - nOps);

  Packet in(wire, true, false);
  check(in.getOffset() == Packet::HEADER_SIZE);
  check(in.getBufferLength() == wire.size() + Packet::HEADER_SIZE + Packet::SPARE_SIZE);
  // The buffer as the reader sees it: the received bytes, then zeros.
  std::string padded = wire;
  padded.resize(in.getBufferLength(), '\0');

  bool failed = false;
  for (size_t i = 0; i < nOps && !failed; ++i) {
    ByteSequenceModeler out(0, 0);
    const uint64_t before = in.getOffset();
    try {
      readAndRewrite(ops[i], in, out);
    } catch (const MeridiaException&) {
      failed = true;
      // A failed read releases the buffer; nothing may touch freed memory.
      check(!in.hasBuffer() && in.getBufferLength() == 0);
      try {
        in.getData();
        check(in.getOffset() == 0);
      } catch (const MeridiaException&) {
      }
      break;
    }
    const uint64_t after = in.getOffset();
    if (ops[i] % 14 == 12) {
      check(after == Packet::HEADER_SIZE);
      continue;
    }
    check(after >= before && after <= padded.size());
    // Decode then encode reproduces the consumed bytes.
    check(out.getData() == padded.substr(before, after - before));
  }

  // Outgoing packets around the same bytes.
  if (wire.size() >= Packet::HEADER_SIZE) {
    Packet again(wire, true, true);
    const std::string d = again.getData();
    check(d.size() == wire.size());
    check(d.compare(4, std::string::npos, wire, 4, std::string::npos) == 0);
    check(again.getLengthField() == wire.size() - 4);
  }
  Packet body(wire, false, true);
  check(body.getTailData() == wire);
  check(body.getLengthField() == wire.size() + Packet::HEADER_SIZE - 4);
  Packet copy(body);
  check(copy.getData() == body.getData());
  return 0;
}
