#include "meridia/packet.h"

#include <cstring>

#include "ofw/codec.h"
#include "ofw/format.h"

namespace meridia {

namespace {

uint64_t initialLength(const std::string& data) {
  // The fresh buffer holds the data, the header and the spare bytes, and no
  // position in it may pass the protocol's unit limit.
  const uint64_t extra = Packet::HEADER_SIZE + Packet::SPARE_SIZE;
  if (data.size() > ByteSequenceModeler::MAX_UNIT_LENGTH - extra)
    throw MeridiaException("ByteSequenceModeler initial buffer length overflow", 0, __FILE__,
                           __LINE__);
  return data.size() + extra;
}

}  // namespace

Packet::Packet() : ByteSequenceModeler(HEADER_SIZE + SPARE_SIZE, HEADER_SIZE) { updateHeaders(); }

Packet::Packet(const std::string& data, bool raw, bool advance)
    : ByteSequenceModeler(initialLength(data), HEADER_SIZE) {
  if (raw && !advance) {
    if (data.size() < HEADER_SIZE)
      throw MeridiaException(ofw::format("Received packet of %zu bytes is shorter than its header",
                                         data.size()),
                             0, __FILE__, __LINE__);
    const uint32_t lengthField = ofw::codec::getU32(reinterpret_cast<const unsigned char*>(data.data()));
    if (lengthField != data.size() - LENGTH_SIZE)
      throw MeridiaException(ofw::format("Received packet's length field %u does not match its %zu bytes",
                                         lengthField, data.size()),
                             0, __FILE__, __LINE__);
    limitReadsTo(data.size());
  }
  const uint64_t at = raw ? 0 : HEADER_SIZE;
  if (!data.empty()) std::memcpy(m_buffer.data() + at, data.data(), data.size());
  if (advance) {
    const uint64_t end = at + data.size();
    m_offset = end > HEADER_SIZE ? end : HEADER_SIZE;
    updateHeaders();
  } else if (!raw) {
    updateHeaders();
  }
}

void Packet::setFlags(uint8_t flags) {
  requireCapacity(HEADER_SIZE);
  ofw::codec::putU8(m_buffer.data() + FLAGS_OFFSET, flags);
}

uint8_t Packet::getFlags() const {
  requireCapacity(HEADER_SIZE);
  return ofw::codec::getU8(m_buffer.data() + FLAGS_OFFSET);
}

void Packet::setChannel(const ofw::Guid& channel) {
  requireCapacity(HEADER_SIZE);
  std::array<unsigned char, 16> ms = channel.getMSValue();
  std::memcpy(m_buffer.data() + CHANNEL_OFFSET, ms.data(), CHANNEL_SIZE);
}

ofw::Guid Packet::getChannel() const {
  requireCapacity(HEADER_SIZE);
  return ofw::Guid::fromMSValue(m_buffer.data() + CHANNEL_OFFSET);
}

uint32_t Packet::getLengthField() const {
  requireCapacity(HEADER_SIZE);
  return ofw::codec::getU32(m_buffer.data() + LENGTH_OFFSET);
}

void Packet::updateHeaders() {
  requireCapacity(HEADER_SIZE);
  // The cursor never passes MAX_UNIT_LENGTH, so the value fits 32 bits; it is
  // never below the header size either.
  const uint64_t length = m_offset >= LENGTH_SIZE ? m_offset - LENGTH_SIZE : 0;
  ofw::codec::putU32(m_buffer.data() + LENGTH_OFFSET, static_cast<uint32_t>(length));
}

}  // namespace meridia
