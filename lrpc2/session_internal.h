// Internals shared by the server and client halves of the transport.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "lrpc2/msg.h"
#include "ofw/logging/logger.h"

namespace lrpc2 {

// An absolute time limit on the monotonic clock; "none" never expires.
class Deadline {
 public:
  // seconds <= 0: no limit.
  static Deadline inSeconds(int seconds);
  static Deadline none() { return Deadline(-1); }
  bool limited() const { return endMs_ >= 0; }
  bool expired() const { return limited() && remainingMs() == 0; }
  // -1 without limit, else milliseconds left (0 when passed).
  int remainingMs() const;

 private:
  explicit Deadline(int64_t endMs) : endMs_(endMs) {}
  int64_t endMs_;
};

int64_t MonotonicMs();

// Waits for `events` on fd until the deadline: 1 ready, 0 time-out,
// -1 error, -2 hang-up without the wanted event.
int WaitFd(int fd, short events, const Deadline& deadline);

bool IsSocket(int fd);

// Exactly `length` bytes within the deadline; 0, 405, 406 or 409.
int SendAll(int fd, const void* data, size_t length, const Deadline& deadline, bool isSocket);
int RecvAll(int fd, void* buffer, size_t length, const Deadline& deadline, bool isSocket);
// An encoded header of `headerLength` bytes and the body of `msg` (null: the
// header alone) handed to `write` as one frame. The header goes into the
// message's reserved space when there is room, else both are joined in a
// wiped buffer. Gives what `write` gives, or 407 when joining fails.
int SendFrameWith(const uint8_t* header, uint32_t headerLength, LRPC2Msg* msg,
                  const std::function<int(const uint8_t*, size_t)>& write);
// The same, written to fd within the deadline.
int SendFrame(int fd, const uint8_t* header, uint32_t headerLength, LRPC2Msg* msg,
              const Deadline& deadline, bool isSocket);
// What is available now, up to `length`, without waiting: bytes read (> 0),
// 0 when nothing is available, or -405 / -406.
long RecvAvailable(int fd, void* buffer, size_t length, bool isSocket);

ofw::LoggerPtr SessionLogger();

// The directory of the version-2 secure-file authentication.
std::string AuthFileDir();

// Bytes of each version-2 authentication file.
constexpr size_t kAuthFileSize = 1024;

}  // namespace lrpc2
