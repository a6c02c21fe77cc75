// Typed reads of a request's fields in order. A field that is missing or of
// the wrong type raises ofw::BadDataException naming it, so a malformed
// request ends in a clear error instead of default values.
#pragma once
#include <sys/time.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "lrpc2/msg.h"

namespace ovg {

class RequestReader {
 public:
  explicit RequestReader(LRPC2Msg* msg) : msg_(msg) {}

  int32_t int32(const char* field);
  uint32_t uint32(const char* field);
  bool boolean(const char* field);
  // A null string reads as "".
  std::string string(const char* field);
  // A null blob reads as "".
  std::string blob(const char* field);
  // The same without a copy: the bytes as the message decoder returned them.
  struct Bytes {
    std::unique_ptr<char, void (*)(void*)> owned{nullptr, std::free};
    size_t size = 0;
    const char* data() const { return owned ? owned.get() : ""; }
  };
  Bytes blobBytes(const char* field);
  // True when another value (not the end marker) follows.
  bool more();

 private:
  LRPC2Msg* msg_;
};

// A timeval sent as a blob: the sender's struct timeval; a blob of any other
// size (or none) gives now.
struct timeval timevalFromBlob(const std::string& blob, bool* valid = nullptr);

// The current time of day.
struct timeval now();

}  // namespace ovg
