#include "ovgfw/at_message.h"

#include <cstring>

namespace ovgfw {

namespace {

uint64_t initialLength(const std::string& data) {
  if (data.size() > meridia::ByteSequenceModeler::MAX_UNIT_LENGTH - ATMessage::SPARE_SIZE)
    throw meridia::MeridiaException("ByteSequenceModeler initial buffer length overflow", 0,
                                    __FILE__, __LINE__);
  return data.size() + ATMessage::SPARE_SIZE;
}

}  // namespace

ATMessage::ATMessage() : meridia::ByteSequenceModeler(SPARE_SIZE, 0) {}

ATMessage::ATMessage(const std::string& data, bool keepCursor)
    : meridia::ByteSequenceModeler(initialLength(data), 0) {
  if (!data.empty()) std::memcpy(m_buffer.data(), data.data(), data.size());
  if (keepCursor)
    limitReadsTo(data.size());
  else
    m_offset = data.size();
}

}  // namespace ovgfw
