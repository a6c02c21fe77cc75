// Fuzzes received-packet parsing: a packet built from raw bytes, read as a
// sequence of values chosen by the input. A block whose header disagrees with
// its length is refused; otherwise every value read lies inside the block and,
// written again into a fresh buffer, reproduces exactly the bytes it was read from.
//
// Input: byte 0 = number n of read operations (mod 32), bytes 1..n = the
// operations, the rest = the received packet.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "meridia/packet.h"
#include "ofw/codec.h"
#include "ofw/exceptions.h"
#include "ovgfw/secure_connection.h"

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

// Runs the operations on a received packet; every read stays inside `wire`.
void readAll(Packet& in, const std::string& wire, const uint8_t* ops, size_t nOps) {
  check(in.getOffset() == Packet::HEADER_SIZE);
  for (size_t i = 0; i < nOps; ++i) {
    ByteSequenceModeler out(0, 0);
    const uint64_t before = in.getOffset();
    try {
      readAndRewrite(ops[i], in, out);
    } catch (const MeridiaException&) {
      // A failed read releases the buffer; nothing may touch freed memory.
      check(!in.hasBuffer() && in.getBufferLength() == 0);
      try {
        in.getData();
        check(in.getOffset() == 0);
      } catch (const MeridiaException&) {
      }
      return;
    }
    const uint64_t after = in.getOffset();
    if (ops[i] % 14 == 12) {
      check(after == Packet::HEADER_SIZE);
      continue;
    }
    check(after >= before && after <= wire.size());
    // Decode then encode reproduces the consumed bytes.
    check(out.getData() == wire.substr(before, after - before));
  }
}

// The connection's reply parsers on the same block: a malformed block is
// MeridiaException, an error report OVGException or OVGSessionException (or
// MeridiaException when the report itself is cut short), nothing else.
void parseReplies(const std::string& wire, bool wellFormed) {
  using ovgfw::SecureConnection;
  const bool report = wellFormed && (static_cast<uint8_t>(wire[4]) & Packet::FLAG_ERROR_REPORT);
  for (int parser = 0; parser < 3; ++parser) {
    try {
      if (parser == 0) {
        SecureConnection::parseReply(wire);
      } else if (parser == 1) {
        SecureConnection::parseControlReply(wire);
        check(wire.size() > Packet::HEADER_SIZE);
      } else {
        ovgfw::OVGResponseMessage m = SecureConnection::parseMessageReply(wire);
        check(m.isSerialized());
        try {
          if (m.getType() == ovgfw::OVGMessage::TYPE_ACK) m.readUInt64();
          if (m.getType() == ovgfw::OVGMessage::TYPE_EXCEPTION) {
            const ovgfw::OVGExceptionReply r = m.readExceptionReply();
            (void)ovgfw::despoolExceptionText(r.code, r.text);
            (void)ovgfw::channelOpenExceptionText(r.code, "host", r.text);
          }
        } catch (const OVGException&) {
        }
      }
      check(wellFormed && !report);
    } catch (const MeridiaException&) {
      // Malformed, or a report cut short.
    } catch (const OVGException&) {
      check(report);
    } catch (const OVGSessionException&) {
      check(report);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t nOps = data[0] % 32 < size - 1 ? data[0] % 32 : size - 1;
  const uint8_t* ops = data + 1;
  const std::string wire(reinterpret_cast<const char*>(data + 1 + nOps), size - 1 - nOps);

  // Reads of a received packet: refused whole when its header disagrees with
  // the block, otherwise bounded by the block.
  const bool wellFormed = wire.size() >= Packet::HEADER_SIZE &&
                          ofw::codec::getU32(wire.data()) == wire.size() - Packet::LENGTH_SIZE;
  try {
    Packet in(wire, true, false);
    check(wellFormed);
    readAll(in, wire, ops, nOps);
  } catch (const MeridiaException&) {
    check(!wellFormed);
  }
  parseReplies(wire, wellFormed);

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
