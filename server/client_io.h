// The bytes in flight on one client connection, kept by the poll loop so that
// no worker ever waits for a client.
//
// Input: the loop reads what the socket holds until the request (header and
// body, as the header announces) is whole; only then is it handed on, and the
// handler reads it from here. A read takes up to kReadAhead bytes even when
// the request needs fewer, so that a small request comes in one read with its
// header; bytes beyond the request are the start of the client's next one and
// stay, in order, for after it.
// Output: the replies of a request are collected here and written without
// waiting; what the socket does not take stays for the loop. At most one
// request's output is held (the loop reads no further request while output
// is pending), and never more than kMaxOutput bytes.
//
// Not locked: one thread at a time uses it (the loop, or the worker the client
// is handed to).
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "lrpc2/header.h"
#include "ofw/secure_bytes.h"

namespace ovg {

// The bytes of the request whose first `have` bytes are `head`: the header
// length until the header is in, then header plus announced body. A header
// that is not one (bad magic, body beyond the maximum) is complete as it
// stands: the worker's receive refuses it with the proper status. 0 for an
// unknown version.
size_t requestFrameLength(int version, const uint8_t* head, size_t have);

class ClientIO {
 public:
  static constexpr size_t kMaxOutput = 2 * (lrpc2::kHeaderLengthV5 + lrpc2::kMaxBody);
  static constexpr size_t kReadAhead = 2048;

  enum class Input {
    Partial,   // some or none of the request: wait for readability
    Complete,  // a whole request is here
    Closed,    // the peer hung up (nothing of a request pending is lost: a
               // whole request held is always taken before the next read)
    Failed,    // the socket failed
  };
  // Reads what is available without waiting (socket fd, protocol version).
  Input readAvailable(int fd, int version);
  bool requestComplete() const { return complete_; }
  // Bytes of a request not yet whole are held (read ahead, or read so far).
  bool requestStarted() const { return !in_.empty(); }
  // A whole request is held that readAvailable has not reported yet: the
  // socket may have nothing more to read, so the loop must not wait for it.
  bool holdsWholeRequest(int version) const;
  const uint8_t* request() const { return in_.data(); }
  size_t requestLength() const { return length_; }
  // Forgets the request (wiped) once it was handled; bytes read beyond it
  // become the start of the next.
  void clearRequest();

  // Appends output; 0, or 418 when the bound would be passed, 408 when memory
  // runs out (the send reports it).
  int append(const uint8_t* data, size_t length);
  enum class Output { Done, Pending, Failed };
  // Writes what the socket takes now. Pending output's age counts from the
  // last write that made progress.
  Output flush(int fd, time_t now);
  bool outputPending() const { return outOffset_ < out_.size(); }
  time_t outputSince() const { return outputSince_; }

 private:
  ofw::SecureBytes in_;  // the current request, then any bytes of the next
  bool complete_ = false;
  size_t length_ = 0;  // the current request's length, once complete
  ofw::SecureBytes out_;
  size_t outOffset_ = 0;
  time_t outputSince_ = 0;
};

// SessionSetOutput's function for a ClientIO context.
int appendClientOutput(void* clientIO, const uint8_t* data, size_t length);

}  // namespace ovg
