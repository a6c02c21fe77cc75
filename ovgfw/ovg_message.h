// Collector messages: typed, sequenced records exchanged with the collector
// inside packet bodies, and stored in the spools in their serialized form.
//
// Serialized layout (integers in host byte order, see ofw/codec.h):
//   offset 0,  2 bytes  type (TYPE_* below), unsigned
//   offset 2,  8 bytes  sequence number, unsigned
//   offset 10, 2 bytes  flags: bit 0 = acknowledgement required; other bits
//                       are 0 on send and ignored on receipt
//   offset 12           the data items in the order written, untagged:
//     byte 1 | short 2 | int32 4 | int64 8 (signed and unsigned alike)
//     GUID 16, the ofw::Guid bytes in textual order (not the packet layout)
//     timestamp 8: seconds (low 32 bits) then microseconds, 4 bytes each
//     string / blob: unsigned 32-bit length, then the bytes, no terminator
//
// Life cycle: values are written as pending data items; serialize() turns them
// into the buffer. After serialize() or deserialize() no item may be added, and
// serialize() again only rewrites the 12 header bytes (so a stored message can
// be resent under a new sequence number). Reads consume the buffer at the read
// cursor; a failed read throws OVGException and leaves the message, cursor
// included, unchanged.
//
// A message is used by one thread at a time. Buffers and items are wiped
// before their memory is released: they carry terminal data.
#pragma once
#include <sys/time.h>

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "ofw/guid.h"
#include "ovgfw/ovg_exception.h"

namespace ovgfw {

// Exception codes of an exception reply (TYPE_EXCEPTION).
constexpr uint32_t EXCEPTION_FATAL = 0;
constexpr uint32_t EXCEPTION_SERVER_BUSY = 2;
constexpr uint32_t EXCEPTION_SQL = 3;
constexpr uint32_t EXCEPTION_SESSION = 4;

// Whether an exception reply with this code carries the collector's text.
bool exceptionCodeHasText(uint32_t code);
// The text the daemon forms for an exception reply received while despooling.
std::string despoolExceptionText(uint32_t code, const std::string& collectorText);
// The text formed for an exception reply to a channel-open request sent to `host`.
std::string channelOpenExceptionText(uint32_t code, const std::string& host,
                                     const std::string& collectorText);

// The body of an exception reply.
struct OVGExceptionReply {
  uint64_t sequenceNumber = 0;
  uint32_t code = 0;
  std::string text;  // empty for codes without text
};

class OVGMessage {
 public:
  // Message types.
  static constexpr uint16_t TYPE_CHANNEL_OPEN = 0;
  static constexpr uint16_t TYPE_SESSION_START = 2;
  static constexpr uint16_t TYPE_SESSION_END = 3;
  static constexpr uint16_t TYPE_SESSION_DATA = 4;
  static constexpr uint16_t TYPE_WINDOW_SIZE = 5;
  static constexpr uint16_t TYPE_ACTIVE_LIST = 7;
  static constexpr uint16_t TYPE_SESSION_RESUME = 9;
  static constexpr uint16_t TYPE_ACK = 0x8001;
  static constexpr uint16_t TYPE_EXCEPTION = 0xFFFF;

  // Header layout.
  static constexpr uint64_t TYPE_OFFSET = 0;
  static constexpr uint64_t SEQUENCE_OFFSET = TYPE_OFFSET + 2;
  static constexpr uint64_t FLAGS_OFFSET = SEQUENCE_OFFSET + 8;
  static constexpr uint64_t HEADER_SIZE = FLAGS_OFFSET + 2;
  static_assert(HEADER_SIZE == 12, "message header is 12 bytes");
  static constexpr uint16_t FLAG_ACK_REQUIRED = 0x0001;

  enum dataType {
    DT_BYTE = 0,
    DT_SHORT = 1,
    DT_USHORT = 2,
    DT_INT32 = 3,
    DT_UINT32 = 4,
    DT_INT64 = 5,
    DT_UINT64 = 6,
    DT_GUID = 7,
    DT_TIMESTAMP = 8,
    DT_STRING = 9,
    DT_BLOB = 10,
  };

  struct dataItem {
    dataType type;
    uint64_t size;     // bytes held in `data`
    std::string data;  // fixed-size values already in wire order; a timestamp as a timeval
  };

  OVGMessage();
  explicit OVGMessage(uint16_t type, uint64_t sequenceNumber = 0);
  // Copies buffer, cursor, header fields, state and pending items; an
  // allocation failure raises ofw::SystemException.
  OVGMessage(const OVGMessage& other);
  OVGMessage& operator=(const OVGMessage& other);
  virtual ~OVGMessage();

  void writeByte(uint8_t v);
  void writeShort(int16_t v);
  void writeUShort(uint16_t v);
  void writeInt32(int32_t v);
  void writeUInt32(uint32_t v);
  void writeInt64(int64_t v);
  void writeUInt64(uint64_t v);
  void writeGUID(const ofw::Guid& g);
  void writeTimestamp(const struct timeval& tv);
  void writeTimestamp();  // the current time
  void writeString(const std::string& s);
  void writeBlob(const void* data, uint64_t length);

  // The whole message, header included. See the life cycle above.
  std::string serialize();
  // Replaces the content by the given serialized bytes (nothing changes for an
  // empty input). Throws OVGException when the body is empty; the message then
  // holds the bytes and header values but is not marked serialized.
  void deserialize(const std::string& bytes);

  void readNBytes(void* dst, uint64_t n);
  uint8_t readByte();
  int16_t readShort();
  uint16_t readUShort();
  int32_t readInt32();
  uint32_t readUInt32();
  int64_t readInt64();
  uint64_t readUInt64();
  ofw::Guid readGUID();
  struct timeval readTimestamp();
  std::string readString();
  std::string readBlob();
  // Reads the body of an exception reply at the cursor: sequence number, code
  // and, for codes with text, the string. All or nothing: on failure the
  // cursor is unchanged.
  OVGExceptionReply readExceptionReply();

  // Readable form on standard output (diagnostics only).
  void Dump() const;

  uint16_t getType() const { return m_type; }
  void setType(uint16_t type) { m_type = type; }
  uint64_t getSequenceNumber() const { return m_sequenceNumber; }
  void setSequenceNumber(uint64_t n) { m_sequenceNumber = n; }
  bool isAckRequired() const { return m_ackRequired; }
  void setAckRequired(bool required) { m_ackRequired = required; }

  bool isSerialized() const { return m_serialized; }
  bool hasBuffer() const { return !m_msgBuffer.empty(); }
  uint64_t getBufferLength() const { return m_msgBuffer.size(); }
  uint64_t getOffset() const { return m_offset; }
  // Moves the read cursor back to the start of the body.
  void rewind() { m_offset = HEADER_SIZE; }
  uint64_t getDataListSize() const { return m_dataListSize; }
  size_t getDataItemCount() const { return m_dataItems.size(); }
  const std::list<dataItem>& getDataItems() const { return m_dataItems; }

 protected:
  // Appends a copy of `size` bytes as one item. Throws OVGException after
  // serialize() or deserialize().
  void addDataItem(dataType type, uint64_t size, const void* data);

 private:
  // Checks that n bytes can be read at `at`; throws the read error otherwise.
  void checkRead(uint64_t at, uint64_t n) const;
  void writeHeader(unsigned char* dst) const;
  void releaseBuffer();
  void dropItems();

  std::vector<unsigned char> m_msgBuffer;  // its size is the buffer length
  uint64_t m_offset = 0;
  uint64_t m_sequenceNumber = 0;
  bool m_serialized = false;
  bool m_ackRequired = false;
  uint64_t m_dataListSize = 0;
  std::list<dataItem> m_dataItems;
  uint16_t m_type = 0;
};

// A message sent to the collector.
class OVGRequestMessage : public OVGMessage {
 public:
  using OVGMessage::OVGMessage;
};

// A message received from the collector.
class OVGResponseMessage : public OVGMessage {
 public:
  using OVGMessage::OVGMessage;
};

}  // namespace ovgfw
