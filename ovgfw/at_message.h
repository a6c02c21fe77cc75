// The audit-trail message: a header-less byte sequence of typed values (the
// encodings of meridia::ByteSequenceModeler), sent as a packet body as it is.
#pragma once
#include <string>

#include "meridia/byte_sequence.h"

namespace ovgfw {

class ATMessage : public meridia::ByteSequenceModeler {
 public:
  static constexpr uint64_t SPARE_SIZE = 50;

  // An empty message with 50 bytes of capacity.
  ATMessage();
  // Capacity data.size() + 50 with `data` copied at offset 0. The cursor moves
  // past the data unless keepCursor is true: then the data is a received
  // message, read from offset 0 and never past its end.
  ATMessage(const std::string& data, bool keepCursor);
};

}  // namespace ovgfw
