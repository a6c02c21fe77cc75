// Fuzzes collector-message parsing: OVGMessage::deserialize, reads of values
// chosen by the input, the exception-reply reader and the serialize round trip.
//
// Input: byte 0 = number n of read operations (mod 16), bytes 1..n = the
// operations, the rest = the serialized message.
//
// Checked: a deserialized message re-serializes to the same bytes (the flags
// word normalized to the acknowledgement bit, as sent); a failed read changes
// nothing; every value read, written into a new message, reproduces the bytes
// it was read from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ofw/codec.h"
#include "meridia/packet.h"
#include "ovgfw/ovg_message.h"
#include "ovgfw/secure_connection.h"

using ovgfw::OVGMessage;
using ovgfw::OVGRequestMessage;
using ovgfw::OVGResponseMessage;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void readAndRewrite(uint8_t op, OVGMessage& in, OVGMessage& out) {
  switch (op % 13) {
    case 0: out.writeByte(in.readByte()); break;
    case 1: out.writeShort(in.readShort()); break;
    case 2: out.writeUShort(in.readUShort()); break;
    case 3: out.writeInt32(in.readInt32()); break;
    case 4: out.writeUInt32(in.readUInt32()); break;
    case 5: out.writeInt64(in.readInt64()); break;
    case 6: out.writeUInt64(in.readUInt64()); break;
    case 7: out.writeGUID(in.readGUID()); break;
    case 8: out.writeTimestamp(in.readTimestamp()); break;
    case 9: out.writeString(in.readString()); break;
    case 10: {
      const std::string b = in.readBlob();
      out.writeBlob(b.data(), b.size());
      break;
    }
    case 11: {
      const uint64_t n = op >> 4;
      std::string s(n, '\0');
      in.readNBytes(n ? &s[0] : nullptr, n);
      out.writeBlob(s.data(), n);  // compared below without its length prefix
      break;
    }
    default: {
      ovgfw::OVGExceptionReply r = in.readExceptionReply();
      out.writeUInt64(r.sequenceNumber);
      out.writeUInt32(r.code);
      if (ovgfw::exceptionCodeHasText(r.code)) out.writeString(r.text);
      (void)ovgfw::despoolExceptionText(r.code, r.text);
      (void)ovgfw::channelOpenExceptionText(r.code, "host", r.text);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t nOps = data[0] % 16 < size - 1 ? data[0] % 16 : size - 1;
  const uint8_t* ops = data + 1;
  const std::string wire(reinterpret_cast<const char*>(data + 1 + nOps), size - 1 - nOps);

  // The same message as the collector's reply to a session message: the
  // connection's parser gives the same header, or refuses a body-less one.
  {
    meridia::Packet reply;
    reply.writeString(wire);
    try {
      OVGResponseMessage parsed = ovgfw::SecureConnection::parseMessageReply(reply.getData());
      check(wire.size() > OVGMessage::HEADER_SIZE);
      check(parsed.getType() == ofw::codec::getU16(reinterpret_cast<const unsigned char*>(wire.data())));
      check(parsed.getSequenceNumber() == ofw::codec::getU64(reinterpret_cast<const unsigned char*>(wire.data()) + 2));
    } catch (const meridia::MeridiaException&) {
      check(wire.size() <= OVGMessage::HEADER_SIZE);
    }
  }

  OVGResponseMessage in;
  try {
    in.deserialize(wire);
  } catch (const OVGException&) {
    check(wire.size() <= OVGMessage::HEADER_SIZE && !in.isSerialized());
    // Reads on a refused message fail cleanly.
    try {
      in.readByte();
      check(false);
    } catch (const OVGException&) {
    }
    return 0;
  }
  if (wire.empty()) {
    check(!in.hasBuffer());
    return 0;
  }
  check(wire.size() > OVGMessage::HEADER_SIZE && in.isSerialized());
  check(in.getOffset() == OVGMessage::HEADER_SIZE);
  check(in.getType() == ofw::codec::getU16(reinterpret_cast<const unsigned char*>(wire.data())));

  // Values read and re-encoded reproduce the consumed bytes.
  for (size_t i = 0; i < nOps; ++i) {
    OVGRequestMessage out;
    const uint64_t before = in.getOffset();
    try {
      readAndRewrite(ops[i], in, out);
    } catch (const OVGException&) {
      check(in.getOffset() == before);  // a failed read changes nothing
      continue;
    }
    const uint64_t after = in.getOffset();
    check(after >= before && after <= wire.size());
    std::string encoded = out.serialize().substr(OVGMessage::HEADER_SIZE);
    if (ops[i] % 13 == 11) encoded = encoded.substr(4);
    check(encoded == wire.substr(before, after - before));
  }

  // Round trip: only the flags word may differ, normalized to the ack bit.
  std::string expected = wire;
  unsigned char flags[2];
  ofw::codec::putU16(flags, in.isAckRequired() ? OVGMessage::FLAG_ACK_REQUIRED : 0);
  expected[10] = static_cast<char>(flags[0]);
  expected[11] = static_cast<char>(flags[1]);
  check(in.serialize() == expected);
  check(in.serialize() == expected);

  // A copy re-serializes alike, and a new sequence number touches bytes 2-9 only.
  OVGResponseMessage copy(in);
  copy.setSequenceNumber(copy.getSequenceNumber() + 1);
  const std::string resent = copy.serialize();
  check(resent.size() == expected.size());
  check(resent.compare(0, 2, expected, 0, 2) == 0);
  check(resent.compare(10, std::string::npos, expected, 10, std::string::npos) == 0);

  // Writing into a deserialized message is refused.
  try {
    in.writeByte(1);
    check(false);
  } catch (const OVGException&) {
  }
  return 0;
}
