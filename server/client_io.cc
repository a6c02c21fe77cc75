#include "server/client_io.h"

#include <string.h>
#include <sys/socket.h>

#include <cerrno>
#include <new>

#include "lrpc2/session.h"
#include "ofw/codec.h"

namespace ovg {

namespace {
// Buffers up to this size are kept for the next request (wiped bytes and all).
constexpr size_t kKeptCapacity = 64 * 1024;
}  // namespace

size_t requestFrameLength(int version, const uint8_t* head, size_t have) {
  const size_t hl = lrpc2::HeaderLengthOf(version);
  if (hl == 0 || have < hl) return hl;
  if (ofw::codec::getU32(head + lrpc2::kOffMagic) != lrpc2::kMagic) return hl;
  uint64_t body;
  if (version == 2 || version == 3) {
    const uint32_t total = ofw::codec::getU32(head + lrpc2::kOffTotalLength);
    if (total < hl) return hl;
    body = total - hl;
  } else if (version == 4) {
    body = ofw::codec::getU32(head + lrpc2::kOffBodyLengthV4);
  } else {
    body = ofw::codec::getU32(head + lrpc2::kOffBodyLengthV5);
  }
  return body > lrpc2::kMaxBody ? hl : hl + static_cast<size_t>(body);
}

bool ClientIO::holdsWholeRequest(int version) const {
  if (complete_ || in_.empty()) return false;
  const size_t need = requestFrameLength(version, in_.data(), in_.size());
  return need != 0 && in_.size() >= need;
}

ClientIO::Input ClientIO::readAvailable(int fd, int version) {
  if (complete_) return Input::Complete;
  for (;;) {
    const size_t have = in_.size();
    const size_t need = requestFrameLength(version, in_.data(), have);
    if (need == 0) return Input::Failed;
    if (have >= need) {
      complete_ = true;
      length_ = need;
      return Input::Complete;
    }
    // Grows only as far as the peer announced once its header is in, or by
    // the read-ahead.
    const size_t want = need - have > kReadAhead ? need - have : kReadAhead;
    try {
      in_.resize(have + want);
    } catch (const std::bad_alloc&) {
      in_.resize(have);
      return Input::Failed;
    }
    const ssize_t n = recv(fd, in_.data() + have, want, MSG_DONTWAIT);
    in_.resize(have + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n > 0) continue;
    if (n == 0) return Input::Closed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Input::Partial;
    return errno == ECONNRESET ? Input::Closed : Input::Failed;
  }
}

void ClientIO::clearRequest() {
  const size_t held = in_.size();
  const size_t rest = complete_ ? held - length_ : 0;
  if (held != 0) {
    memmove(in_.data(), in_.data() + (held - rest), rest);
    explicit_bzero(in_.data() + rest, held - rest);
  }
  in_.resize(rest);
  if (in_.capacity() > kKeptCapacity) in_.shrink_to_fit();  // a large request's memory goes back now
  complete_ = false;
  length_ = 0;
}

int ClientIO::append(const uint8_t* data, size_t length) {
  if (!outputPending()) {
    out_.clear();
    outOffset_ = 0;
  }
  if (length > kMaxOutput - (out_.size() - outOffset_)) return SESSION_ERR_LENGTH;
  try {
    out_.insert(out_.end(), data, data + length);
  } catch (const std::bad_alloc&) {
    return SESSION_ERR_NOMEM;
  }
  return SESSION_OK;
}

ClientIO::Output ClientIO::flush(int fd, time_t now) {
  bool progress = false;
  while (outputPending()) {
    const ssize_t n = send(fd, out_.data() + outOffset_, out_.size() - outOffset_, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      outOffset_ += static_cast<size_t>(n);
      progress = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (progress || outputSince_ == 0) outputSince_ = now;
      return Output::Pending;
    }
    return Output::Failed;
  }
  explicit_bzero(out_.data(), out_.size());
  out_.clear();
  if (out_.capacity() > kKeptCapacity) out_.shrink_to_fit();
  outOffset_ = 0;
  outputSince_ = 0;
  return Output::Done;
}

int appendClientOutput(void* clientIO, const uint8_t* data, size_t length) {
  return static_cast<ClientIO*>(clientIO)->append(data, length);
}

}  // namespace ovg
