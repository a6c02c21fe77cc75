// The unit that travels between the daemon and a collector.
//
// Layout (integers in host byte order):
//   offset 0, 4 bytes  length: total packet length minus 4, unsigned 32-bit
//   offset 4, 1 byte   flags: FLAG_REPLY_EXPECTED, FLAG_ERROR_REPORT
//   offset 5, 16 bytes channel GUID in the Microsoft layout
//   offset 21          body, values as written by ByteSequenceModeler
// An error report (FLAG_ERROR_REPORT) carries a signed 32-bit exception ID and
// a string.
//
// The length field is rewritten after every write, so getData() is always a
// complete packet ready to send.
#pragma once
#include <cstdint>
#include <string>

#include "meridia/byte_sequence.h"
#include "ofw/guid.h"

namespace meridia {

// The control channel is the all-zero GUID.
inline const ofw::Guid CONTROL_CHANNEL_GUID{};

class Packet : public ByteSequenceModeler {
 public:
  static constexpr uint64_t LENGTH_OFFSET = 0;
  static constexpr uint64_t LENGTH_SIZE = 4;
  static constexpr uint64_t FLAGS_OFFSET = LENGTH_OFFSET + LENGTH_SIZE;
  static constexpr uint64_t FLAGS_SIZE = 1;
  static constexpr uint64_t CHANNEL_OFFSET = FLAGS_OFFSET + FLAGS_SIZE;
  static constexpr uint64_t CHANNEL_SIZE = 16;
  static constexpr uint64_t HEADER_SIZE = CHANNEL_OFFSET + CHANNEL_SIZE;
  static_assert(HEADER_SIZE == 21, "packet header is 21 bytes");
  // Spare capacity every new packet gets beyond its header and initial data.
  static constexpr uint64_t SPARE_SIZE = 50;

  static constexpr uint8_t FLAG_REPLY_EXPECTED = 0x01;
  static constexpr uint8_t FLAG_ERROR_REPORT = 0x04;

  // An empty packet: flags 0, control channel, length 17, cursor at 21.
  Packet();
  // raw = true: `data` is a whole received packet, header included, copied to
  // offset 0; reading starts at the body (offset 21). raw = false: `data` is
  // body bytes copied at offset 21. With advance = true the cursor moves past
  // the copied bytes and the length field is updated. Received packets use
  // (raw, !advance); outgoing packets around ready-made body bytes use
  // (!raw, advance).
  // A received packet (raw, !advance) is checked before anything is read: a
  // block shorter than the header, or whose length field is not its length
  // minus 4, raises MeridiaException; reads then stop at the block's end.
  Packet(const std::string& data, bool raw, bool advance);
  ~Packet() override = default;
  Packet(const Packet&) = default;
  Packet& operator=(const Packet&) = default;

  void setFlags(uint8_t flags);
  uint8_t getFlags() const;
  void setChannel(const ofw::Guid& channel);
  ofw::Guid getChannel() const;
  // The length field as it stands in the buffer.
  uint32_t getLengthField() const;

  // Stores the cursor minus 4 at offset 0.
  void updateHeaders() override;
};

}  // namespace meridia
