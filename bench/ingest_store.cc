// The least a session-ingest daemon can do, as the baseline of bench/ingest.sh:
// a one-thread UNIX-stream server pinned to one processor (as the daemon pins
// itself) that takes requests of a 4-byte big-endian length and that many
// bytes, appends each to a 512-byte-block queue file (the record's blocks in
// one pwrite, then the master block in a second) and answers 8 bytes.
//   bench_ingest_store SOCKET QUEUE_FILE
// Prints "ready" once it listens; runs until killed.
#include <fcntl.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "ofw/codec.h"

namespace {

constexpr size_t kBlock = 512;
constexpr size_t kMaxRequest = 1 << 20;

struct Conn {
  int fd;
  std::vector<uint8_t> in;
};

void pinToFirstProcessor() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return;
  for (int i = 0; i < CPU_SETSIZE; ++i)
    if (CPU_ISSET(i, &set)) {
      CPU_ZERO(&set);
      CPU_SET(i, &set);
      sched_setaffinity(0, sizeof set, &set);
      return;
    }
}

class Store {
 public:
  explicit Store(int fd) : fd_(fd), master_(kBlock, 0) {}
  bool append(const uint8_t* data, size_t length) {
    const size_t blocks = (8 + length + kBlock - 1) / kBlock;
    buffer_.assign(blocks * kBlock, 0);
    ofw::codec::putU32(buffer_.data(), static_cast<uint32_t>(length));
    ofw::codec::putU32(buffer_.data() + 4, static_cast<uint32_t>(++count_));
    std::memcpy(buffer_.data() + 8, data, length);
    const off_t at = static_cast<off_t>((1 + blocks_) * kBlock);
    if (pwrite(fd_, buffer_.data(), buffer_.size(), at) != static_cast<ssize_t>(buffer_.size())) return false;
    blocks_ += blocks;
    ofw::codec::putU64(master_.data(), count_);
    ofw::codec::putU64(master_.data() + 8, blocks_);
    return pwrite(fd_, master_.data(), kBlock, 0) == static_cast<ssize_t>(kBlock);
  }

 private:
  int fd_;
  uint64_t count_ = 0;
  uint64_t blocks_ = 0;
  std::vector<uint8_t> master_;
  std::vector<uint8_t> buffer_;
};

// Reads what the socket holds; answers every whole request. False when the
// connection ends.
bool serve(Conn& c, Store& store) {
  uint8_t chunk[65536];
  for (;;) {
    const ssize_t n = recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    c.in.insert(c.in.end(), chunk, chunk + n);
    size_t used = 0;
    while (c.in.size() - used >= 4) {
      const size_t length = ofw::codec::getU32(c.in.data() + used);
      if (length > kMaxRequest) return false;
      if (c.in.size() - used < 4 + length) break;
      if (!store.append(c.in.data() + used + 4, length)) return false;
      uint8_t ack[8] = {0};
      ofw::codec::putU32(ack, static_cast<uint32_t>(length));
      if (send(c.fd, ack, sizeof ack, MSG_NOSIGNAL) != sizeof ack) return false;
      used += 4 + length;
    }
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(used));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_ingest_store SOCKET QUEUE_FILE\n");
    return 2;
  }
  pinToFirstProcessor();
  const int file = open(argv[2], O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", argv[1]);
  unlink(argv[1]);
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  if (file < 0 || listener < 0 || ep < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, 4096) != 0) {
    std::perror("bench_ingest_store");
    return 1;
  }
  Store store(file);
  struct epoll_event ev = {};
  ev.events = EPOLLIN;
  ev.data.ptr = nullptr;
  epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
  std::printf("ready\n");
  std::fflush(stdout);
  struct epoll_event events[64];
  for (;;) {
    const int n = epoll_wait(ep, events, 64, -1);
    for (int i = 0; i < n; ++i) {
      Conn* c = static_cast<Conn*>(events[i].data.ptr);
      if (!c) {
        int fd;
        while ((fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
          ev.events = EPOLLIN;
          ev.data.ptr = new Conn{fd, {}};
          epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        }
        continue;
      }
      if (!serve(*c, store)) {
        close(c->fd);
        delete c;
      }
    }
  }
}
