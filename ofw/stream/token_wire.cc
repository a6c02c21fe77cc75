#include "ofw/stream/token_wire.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include <chrono>

#include "ofw/codec.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"

namespace ofw {
namespace stream {
namespace {

enum class Direction { READ, WRITE };

// Moves up to n bytes; returns how many moved before the peer closed or the
// socket failed. Throws TimeoutException when the time-out ran out.
size_t transfer(int fd, unsigned char* p, size_t n, int timeoutSeconds, Direction dir) {
  const auto start = std::chrono::steady_clock::now();
  const short wanted = dir == Direction::READ ? POLLIN : POLLOUT;
  size_t done = 0;
  while (done < n) {
    ssize_t r;
    if (dir == Direction::READ) {
      r = ::recv(fd, p + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    } else {
      struct iovec iov = {p + done, n - done};
      struct msghdr msg = {};
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      r = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    if (r > 0) {
      done += static_cast<size_t>(r);
      continue;
    }
    if (r == 0) break;  // peer closed
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) break;
    // Wait in 1-second steps so that the time-out is checked in whole seconds.
    for (;;) {
      struct pollfd pfd = {fd, wanted, 0};
      int pr = ::poll(&pfd, 1, 1000);
      if (pr < 0) {
        if (errno == EINTR) continue;
        return done;
      }
      if (pr > 0) {
        if (pfd.revents & wanted) break;
        return done;  // error, hang-up or invalid descriptor
      }
      auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
      if (timeoutSeconds != 0 && elapsed.count() >= timeoutSeconds)
        OFW_THROW(TimeoutException, dir == Direction::READ ? "Timeout while reading" : "Timeout while writing");
    }
  }
  return done;
}

}  // namespace

void wireWrite(int fd, const void* data, size_t n, int timeoutSeconds) {
  auto* p = static_cast<unsigned char*>(const_cast<void*>(data));
  size_t done = transfer(fd, p, n, timeoutSeconds, Direction::WRITE);
  if (done < n) OFW_THROW_CODE(IOException, "Write terminated but incomplete!", static_cast<int>(done));
}

void wireRead(int fd, void* data, size_t n, int timeoutSeconds) {
  size_t done = transfer(fd, static_cast<unsigned char*>(data), n, timeoutSeconds, Direction::READ);
  if (done < n) OFW_THROW_CODE(IOException, "Read terminated but incomplete!", static_cast<int>(done));
}

void sendToken(int fd, uint8_t type, const std::string& payload, int timeoutSeconds,
               const LoggerPtr& log) {
  if (payload.size() > 0xFFFFFFFFull) OFW_THROW(BadDataException, "Unable to send token, message block is too long");
  OFW_DEBUG(log, "Sending packet of type %d, (size=%ld)", type, static_cast<long>(payload.size()));
  std::string framed;
  try {
    framed.resize(TOKEN_HEADER_SIZE + payload.size());
  } catch (const std::bad_alloc&) {
    OFW_THROW(SystemException, withErrno("Unable to allocate memory for sending token", ENOMEM));
  }
  codec::putU8(&framed[0], type);
  codec::putBE32(&framed[1], static_cast<uint32_t>(payload.size()));
  if (!payload.empty()) memcpy(&framed[TOKEN_HEADER_SIZE], payload.data(), payload.size());
  try {
    wireWrite(fd, framed.data(), framed.size(), timeoutSeconds);
  } catch (const Base_Exception&) {
    int err = errno;
    wipe(framed);
    OFW_THROW(IOException, withErrno("Error while sending wrapped data", err));
  }
  wipe(framed);
}

Token recvToken(int fd, uint32_t maxLength, int timeoutSeconds, const LoggerPtr& log) {
  unsigned char header[TOKEN_HEADER_SIZE];
  wireRead(fd, header, sizeof header, timeoutSeconds);
  Token token;
  token.type = codec::getU8(header);
  const uint32_t length = codec::getBE32(header + 1);
  OFW_DEBUG(log, "Received packet of type %d (size=%ld)", token.type, static_cast<long>(length));
  if (length > maxLength)
    OFW_THROW(IOException, format("Refusing a token of %u bytes (limit %u, key vgd.stream.max.token)", length, maxLength));
  try {
    token.payload.resize(length);
  } catch (const std::bad_alloc&) {
    OFW_THROW(IOException, withErrno("Unable to allocate memory for incoming token", ENOMEM));
  }
  if (length > 0) wireRead(fd, &token.payload[0], length, timeoutSeconds);
  return token;
}

void wipe(std::string& bytes) {
  if (!bytes.empty()) explicit_bzero(&bytes[0], bytes.size());
}

}  // namespace stream
}  // namespace ofw
