#include "ovgfw/ovg_message.h"

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ofw/codec.h"

namespace ovgfw {

namespace {

void wipe(void* p, size_t n) {
  if (p != nullptr && n > 0) explicit_bzero(p, n);
}

void wipe(std::string& s) {
  if (!s.empty()) wipe(&s[0], s.size());
}

// Bytes an item takes on the wire.
uint64_t wireSize(const OVGMessage::dataItem& item) {
  switch (item.type) {
    case OVGMessage::DT_TIMESTAMP:
      return 8;
    case OVGMessage::DT_STRING:
    case OVGMessage::DT_BLOB:
      return 4 + item.size;
    default:
      return item.type <= OVGMessage::DT_GUID ? item.size : 0;
  }
}

const char* kReadError = "readNBytes: can't read %llu bytes from buffer at offset: %llu";

}  // namespace

// ---- exception replies ----

bool exceptionCodeHasText(uint32_t code) {
  return code == EXCEPTION_FATAL || code == EXCEPTION_SQL || code == EXCEPTION_SESSION;
}

std::string despoolExceptionText(uint32_t code, const std::string& collectorText) {
  switch (code) {
    case EXCEPTION_FATAL:
      return "Fatal error (" + collectorText + ")";
    case EXCEPTION_SERVER_BUSY:
      return "Server is too busy to accept this connection.";
    case EXCEPTION_SQL:
      return "SQL Database error (" + collectorText + ")";
    case EXCEPTION_SESSION:
      return "Session packet error (" + collectorText + ")";
    default:
      return "Unknown or unexpected exception type";
  }
}

std::string channelOpenExceptionText(uint32_t code, const std::string& host,
                                     const std::string& collectorText) {
  switch (code) {
    case EXCEPTION_FATAL:
      return "Server " + host + " responded with exception: Fatal error (" + collectorText + ")";
    case EXCEPTION_SERVER_BUSY:
      return "Server " + host + " is too busy to accept this connection.";
    case EXCEPTION_SQL:
      return "Server " + host + " responded with exception: SQL Database error (" + collectorText +
             ")";
    default:
      return "Unknown or unexpected exception type from Server " + host;
  }
}

// ---- life cycle ----

OVGMessage::OVGMessage() = default;

OVGMessage::OVGMessage(uint16_t type, uint64_t sequenceNumber)
    : m_sequenceNumber(sequenceNumber), m_type(type) {}

OVGMessage::OVGMessage(const OVGMessage& other) try
    : m_msgBuffer(other.m_msgBuffer),
      m_offset(other.m_offset),
      m_sequenceNumber(other.m_sequenceNumber),
      m_serialized(other.m_serialized),
      m_ackRequired(other.m_ackRequired),
      m_dataListSize(other.m_dataListSize),
      m_dataItems(other.m_dataItems),
      m_type(other.m_type) {
} catch (const std::bad_alloc&) {
  throw ofw::SystemException("Cannot allocate memory when creating OVG message.", ENOMEM,
                             __FILE__, __LINE__);
}

OVGMessage& OVGMessage::operator=(const OVGMessage& other) {
  if (this == &other) return *this;
  OVGMessage copy(other);  // all allocation happens here, before anything changes
  releaseBuffer();
  dropItems();
  m_msgBuffer.swap(copy.m_msgBuffer);
  m_dataItems.swap(copy.m_dataItems);
  m_offset = copy.m_offset;
  m_sequenceNumber = copy.m_sequenceNumber;
  m_serialized = copy.m_serialized;
  m_ackRequired = copy.m_ackRequired;
  m_dataListSize = copy.m_dataListSize;
  m_type = copy.m_type;
  return *this;
}

OVGMessage::~OVGMessage() {
  releaseBuffer();
  dropItems();
}

void OVGMessage::releaseBuffer() {
  wipe(m_msgBuffer.data(), m_msgBuffer.size());
  std::vector<unsigned char>().swap(m_msgBuffer);
}

void OVGMessage::dropItems() {
  for (dataItem& item : m_dataItems) wipe(item.data);
  m_dataItems.clear();
  m_dataListSize = 0;
}

// ---- writing ----

void OVGMessage::addDataItem(dataType type, uint64_t size, const void* data) {
  if (m_serialized)
    throw OVGException("Cannot write to a message that has been (de)serialized!", 0, __FILE__,
                       __LINE__);
  if ((type == DT_STRING || type == DT_BLOB) && size > 0xFFFFFFFFull)
    throw OVGException("Cannot write a string longer than its 32-bit length field", 0, __FILE__,
                       __LINE__);
  if (size > 0 && data == nullptr)
    throw OVGException("Cannot write a data item from a null pointer", 0, __FILE__, __LINE__);
  dataItem item;
  item.type = type;
  item.size = size;
  if (size > 0) item.data.assign(static_cast<const char*>(data), static_cast<size_t>(size));
  m_dataItems.push_back(std::move(item));
  m_dataListSize += type == DT_TIMESTAMP ? 8 : size;
}

void OVGMessage::writeByte(uint8_t v) { addDataItem(DT_BYTE, 1, &v); }

void OVGMessage::writeShort(int16_t v) {
  unsigned char b[2];
  ofw::codec::putU16(b, static_cast<uint16_t>(v));
  addDataItem(DT_SHORT, sizeof b, b);
}

void OVGMessage::writeUShort(uint16_t v) {
  unsigned char b[2];
  ofw::codec::putU16(b, v);
  addDataItem(DT_USHORT, sizeof b, b);
}

void OVGMessage::writeInt32(int32_t v) {
  unsigned char b[4];
  ofw::codec::putU32(b, static_cast<uint32_t>(v));
  addDataItem(DT_INT32, sizeof b, b);
}

void OVGMessage::writeUInt32(uint32_t v) {
  unsigned char b[4];
  ofw::codec::putU32(b, v);
  addDataItem(DT_UINT32, sizeof b, b);
}

void OVGMessage::writeInt64(int64_t v) {
  unsigned char b[8];
  ofw::codec::putU64(b, static_cast<uint64_t>(v));
  addDataItem(DT_INT64, sizeof b, b);
}

void OVGMessage::writeUInt64(uint64_t v) {
  unsigned char b[8];
  ofw::codec::putU64(b, v);
  addDataItem(DT_UINT64, sizeof b, b);
}

void OVGMessage::writeGUID(const ofw::Guid& g) { addDataItem(DT_GUID, ofw::Guid::SIZE, g.data()); }

void OVGMessage::writeTimestamp(const struct timeval& tv) {
  // The item keeps the whole timeval; serialize() encodes its 8 wire bytes.
  addDataItem(DT_TIMESTAMP, sizeof tv, &tv);
}

void OVGMessage::writeTimestamp() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  writeTimestamp(tv);
}

void OVGMessage::writeString(const std::string& s) { addDataItem(DT_STRING, s.size(), s.data()); }

void OVGMessage::writeBlob(const void* data, uint64_t length) {
  addDataItem(DT_BLOB, length, data);
}

// ---- serialization ----

void OVGMessage::writeHeader(unsigned char* dst) const {
  ofw::codec::putU16(dst + TYPE_OFFSET, m_type);
  ofw::codec::putU64(dst + SEQUENCE_OFFSET, m_sequenceNumber);
  ofw::codec::putU16(dst + FLAGS_OFFSET, m_ackRequired ? FLAG_ACK_REQUIRED : 0);
}

std::string OVGMessage::serialize() {
  if (m_serialized) {
    if (m_msgBuffer.empty()) return std::string();
    // Only the header is rewritten: the body stays exactly as stored.
    writeHeader(m_msgBuffer.data());
    return std::string(reinterpret_cast<const char*>(m_msgBuffer.data()), m_msgBuffer.size());
  }

  uint64_t length = HEADER_SIZE;
  for (const dataItem& item : m_dataItems) length += wireSize(item);

  std::vector<unsigned char> buffer;
  try {
    buffer.resize(static_cast<size_t>(length));
  } catch (const std::bad_alloc&) {
    throw OVGException(ofw::withErrno("Unable to allocate message buffer for serialization", ENOMEM),
                       ENOMEM, __FILE__, __LINE__);
  }
  unsigned char* p = buffer.data();
  writeHeader(p);
  p += HEADER_SIZE;
  for (const dataItem& item : m_dataItems) {
    const unsigned char* src = reinterpret_cast<const unsigned char*>(item.data.data());
    switch (item.type) {
      case DT_TIMESTAMP: {
        struct timeval tv;
        std::memcpy(&tv, src, sizeof tv);
        ofw::codec::putTimeval(p, tv);
        p += ofw::codec::kTimevalSize;
        break;
      }
      case DT_STRING:
      case DT_BLOB:
        ofw::codec::putU32(p, static_cast<uint32_t>(item.size));
        p += 4;
        if (item.size > 0) std::memcpy(p, src, static_cast<size_t>(item.size));
        p += item.size;
        break;
      default:
        if (item.type <= DT_GUID) {
          std::memcpy(p, src, static_cast<size_t>(item.size));
          p += item.size;
        }
        break;
    }
  }
  // Invariant: every byte of the buffer was written exactly once (checked in
  // release builds too: a mismatch must never reach the wire).
  assert(p == buffer.data() + buffer.size());
  if (p != buffer.data() + buffer.size()) {
    wipe(buffer.data(), buffer.size());
    throw OVGException("Message serialization length mismatch", 0, __FILE__, __LINE__);
  }
  dropItems();
  releaseBuffer();
  m_msgBuffer.swap(buffer);
  m_offset = 0;
  m_serialized = true;
  return std::string(reinterpret_cast<const char*>(m_msgBuffer.data()), m_msgBuffer.size());
}

void OVGMessage::deserialize(const std::string& bytes) {
  if (bytes.empty()) return;
  std::vector<unsigned char> buffer;
  try {
    buffer.assign(bytes.begin(), bytes.end());
  } catch (const std::bad_alloc&) {
    throw OVGException(ofw::withErrno("Unable to allocate message buffer and deserialize", ENOMEM),
                       ENOMEM, __FILE__, __LINE__);
  }
  releaseBuffer();
  dropItems();
  m_msgBuffer.swap(buffer);
  m_serialized = false;

  // A short input is read as if padded with zeros, so that the error below can
  // name what was there without reading past the input.
  unsigned char header[HEADER_SIZE] = {};
  std::memcpy(header, m_msgBuffer.data(),
              m_msgBuffer.size() < HEADER_SIZE ? m_msgBuffer.size() : HEADER_SIZE);
  m_type = ofw::codec::getU16(header + TYPE_OFFSET);
  m_sequenceNumber = ofw::codec::getU64(header + SEQUENCE_OFFSET);
  const uint16_t flags = ofw::codec::getU16(header + FLAGS_OFFSET);
  m_ackRequired = (flags & FLAG_ACK_REQUIRED) != 0;
  m_offset = HEADER_SIZE;

  if (m_msgBuffer.size() <= HEADER_SIZE)
    throw OVGException(
        ofw::withErrno(ofw::format("OVGMessage body is zero size. (Type=%u, Seq=%llu, flag=%u)",
                                   static_cast<unsigned>(m_type),
                                   static_cast<unsigned long long>(m_sequenceNumber),
                                   static_cast<unsigned>(flags)),
                       EINVAL),
        EINVAL, __FILE__, __LINE__);
  m_serialized = true;
}

// ---- reading ----

void OVGMessage::checkRead(uint64_t at, uint64_t n) const {
  // Compared by subtraction so that no sum can wrap.
  const uint64_t length = m_msgBuffer.size();
  if (m_msgBuffer.empty() || at > length || n > length - at)
    throw OVGException(ofw::format(kReadError, static_cast<unsigned long long>(n),
                                   static_cast<unsigned long long>(m_offset)),
                       0, __FILE__, __LINE__);
}

void OVGMessage::readNBytes(void* dst, uint64_t n) {
  checkRead(m_offset, n);
  if (n > 0) std::memcpy(dst, m_msgBuffer.data() + m_offset, static_cast<size_t>(n));
  m_offset += n;
}

uint8_t OVGMessage::readByte() {
  unsigned char b[1];
  readNBytes(b, sizeof b);
  return ofw::codec::getU8(b);
}

int16_t OVGMessage::readShort() { return static_cast<int16_t>(readUShort()); }

uint16_t OVGMessage::readUShort() {
  unsigned char b[2];
  readNBytes(b, sizeof b);
  return ofw::codec::getU16(b);
}

int32_t OVGMessage::readInt32() { return static_cast<int32_t>(readUInt32()); }

uint32_t OVGMessage::readUInt32() {
  unsigned char b[4];
  readNBytes(b, sizeof b);
  return ofw::codec::getU32(b);
}

int64_t OVGMessage::readInt64() { return static_cast<int64_t>(readUInt64()); }

uint64_t OVGMessage::readUInt64() {
  unsigned char b[8];
  readNBytes(b, sizeof b);
  return ofw::codec::getU64(b);
}

ofw::Guid OVGMessage::readGUID() {
  unsigned char b[ofw::Guid::SIZE];
  readNBytes(b, sizeof b);
  return ofw::Guid(b);
}

struct timeval OVGMessage::readTimestamp() {
  unsigned char b[ofw::codec::kTimevalSize];
  readNBytes(b, sizeof b);
  return ofw::codec::getTimeval(b);
}

std::string OVGMessage::readString() {
  // Length and bytes are checked before the cursor moves or anything is
  // allocated, so a failure leaves the cursor on the length field.
  checkRead(m_offset, 4);
  const uint32_t length = ofw::codec::getU32(m_msgBuffer.data() + m_offset);
  checkRead(m_offset + 4, length);
  std::string s(reinterpret_cast<const char*>(m_msgBuffer.data() + m_offset + 4), length);
  m_offset += 4 + static_cast<uint64_t>(length);
  return s;
}

std::string OVGMessage::readBlob() { return readString(); }

OVGExceptionReply OVGMessage::readExceptionReply() {
  const uint64_t start = m_offset;
  try {
    OVGExceptionReply reply;
    reply.sequenceNumber = readUInt64();
    reply.code = readUInt32();
    if (exceptionCodeHasText(reply.code)) reply.text = readString();
    return reply;
  } catch (...) {
    m_offset = start;
    throw;
  }
}

// ---- diagnostics ----

void OVGMessage::Dump() const {
  unsigned char typeBytes[2];
  ofw::codec::putU16(typeBytes, m_type);
  std::printf("Message Dump\n");
  std::printf("===============\n");
  std::printf("m_type: %u Hex: %02x %02x\n", static_cast<unsigned>(m_type), typeBytes[0],
              typeBytes[1]);
  std::printf("m_sequenceNumber: %llu\n", static_cast<unsigned long long>(m_sequenceNumber));
  std::printf("m_ackRequired: %s\n", m_ackRequired ? "True" : "False");
  std::printf("m_offset: %llu\n", static_cast<unsigned long long>(m_offset));
  std::printf("data list size (bytes): %llu\n", static_cast<unsigned long long>(m_dataListSize));
  for (const dataItem& item : m_dataItems)
    std::printf("Type: %d Size: %llu\n", static_cast<int>(item.type),
                static_cast<unsigned long long>(item.size));
  std::printf("m_msgBuffer (%llu bytes): ", static_cast<unsigned long long>(m_msgBuffer.size()));
  for (size_t i = 0; i < m_msgBuffer.size(); ++i) {
    if (i % 16 == 0) std::printf("\n");
    std::printf("%02x ", m_msgBuffer[i]);
  }
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace ovgfw
