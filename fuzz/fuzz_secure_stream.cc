// Fuzzes the secure stream's reading side: the input is everything the peer
// sends on a stream with protection off. Every block read must be exactly
// the payload of the next token as an independent parse of the input gives
// it; written back, it must come out as that token again (type 4). A failure
// must close the stream, and only input that is not a complete token within
// the cap may fail.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ofw/exceptions.h"
#include "ofw/stream/secure_stream.h"

namespace {

constexpr uint32_t kCap = 1024;

void check(bool ok) {
  if (!ok) std::abort();
}

bool readAll(int fd, std::string& out, size_t n) {
  out.assign(n, '\0');
  size_t got = 0;
  while (got < n) {
    ssize_t r = recv(fd, &out[got], n - got, 0);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
  for (size_t off = 0; off < size;) {
    ssize_t w = send(sv[1], data + off, size - off, MSG_NOSIGNAL);
    check(w > 0);
    off += static_cast<size_t>(w);
  }
  shutdown(sv[1], SHUT_WR);
  {
    ofw::SecureStream stream{ofw::UniqueFd(sv[0]), 1, 1};
    stream.setProtection(false, false);
    stream.setMaxToken(kCap);
    size_t off = 0;
    for (;;) {
      std::string block;
      try {
        block = stream.readDataBlock();
      } catch (const ofw::Base_Exception&) {
        check(!stream.isOpen());
        // Only a short header, a length over the cap or a short payload fail.
        const bool shortHeader = size - off < 5;
        const uint32_t n = shortHeader ? 0
                                       : (uint32_t{data[off + 1]} << 24) | (uint32_t{data[off + 2]} << 16) |
                                             (uint32_t{data[off + 3]} << 8) | data[off + 4];
        check(shortHeader || n > kCap || size - off - 5 < n);
        break;
      }
      check(size - off >= 5);
      const uint32_t n = (uint32_t{data[off + 1]} << 24) | (uint32_t{data[off + 2]} << 16) |
                         (uint32_t{data[off + 3]} << 8) | data[off + 4];
      check(n <= kCap && size - off - 5 >= n);
      check(block == std::string(reinterpret_cast<const char*>(data) + off + 5, n));
      off += 5 + n;
      stream.writeDataBlock(block);
      std::string echoed;
      check(readAll(sv[1], echoed, 5 + block.size()));
      check(echoed[0] == 4 && static_cast<uint8_t>(echoed[1]) == (n >> 24) && static_cast<uint8_t>(echoed[4]) == (n & 0xff));
      check(echoed.compare(5, std::string::npos, block) == 0);
    }
  }
  close(sv[1]);
  return 0;
}
