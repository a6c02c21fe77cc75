// Session messages through the secure stream to vgcollector over loopback,
// one request and its acknowledgement at a time (as the despooler sends),
// beside a plain TCP request/reply of the same sizes in the same run:
//   bench_secure_stream PORT PRINCIPAL [SECONDS]
// (bench/secure_stream.sh starts the KDC and the collector and runs it.)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "meridia/packet.h"
#include "ofw/stream/secure_stream.h"
#include "ovgfw/collector_protocol.h"
#include "ovgfw/ovg_message.h"
#include "server/session_records.h"

namespace {

using Clock = std::chrono::steady_clock;
using meridia::Packet;
using ovgfw::OVGMessage;

ofw::UniqueFd connectTo(int port) {
  ofw::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int one = 1;
  setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    perror("connect");
    exit(1);
  }
  return fd;
}

std::string call(ofw::SecureStream& s, Packet& p, const ofw::Guid& channel) {
  p.setFlags(Packet::FLAG_REPLY_EXPECTED);
  p.setChannel(channel);
  s.writeDataBlock(p.getData());
  return s.readDataBlock();
}

std::string sessionPacketBody(uint64_t seq, size_t size) {
  OVGMessage m;
  m.setSequenceNumber(seq);
  m.setAckRequired(true);
  static const std::string data(65536, 'x');
  timeval tv = {1700000000, 0};
  ovg::buildSessionData(m, ofw::Guid::generate(), tv, 2, data.data(), static_cast<uint32_t>(size));
  return m.serialize();
}

// Messages per second through an authenticated stream with channels open.
double streamRate(int port, const std::string& principal, bool signedOn, bool sealedOn, size_t size,
                  double seconds) {
  ofw::SecureStream s{connectTo(port), 30, 30};
  s.authenticateAsClient(principal, signedOn, sealedOn, false);
  s.writeDataBlock(std::string(1, ovgfw::START_CONNECT));
  Packet greeting;
  greeting.writeByte(ovgfw::CONTROL_GREETING);
  greeting.writeByte(ovgfw::GREETING_LEVEL);
  call(s, greeting, meridia::CONTROL_CHANNEL_GUID);
  const ofw::Guid channel = ofw::Guid::generate();
  Packet open;
  open.writeByte(ovgfw::CONTROL_OPEN_CHANNEL);
  open.writeGuid(ofw::Guid::fromString(ovgfw::SESSION_SERVICE_GUID));
  open.writeGuid(channel);
  call(s, open, meridia::CONTROL_CHANNEL_GUID);
  long count = 0;
  const std::string body = sessionPacketBody(1, size);
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  const auto start = Clock::now();
  while (Clock::now() < until) {
    Packet p;
    p.writeString(body);
    Packet reply(call(s, p, channel), true, false);
    OVGMessage ack;
    ack.deserialize(reply.readString());
    if (ack.getType() != OVGMessage::TYPE_ACK) {
      fprintf(stderr, "unexpected reply type %u\n", ack.getType());
      exit(1);
    }
    ++count;
  }
  return count / std::chrono::duration<double>(Clock::now() - start).count();
}

bool readAll(int fd, std::string& buf, size_t n) {
  buf.resize(n);
  for (size_t got = 0; got < n;) {
    ssize_t r = recv(fd, &buf[got], n - got, 0);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

bool writeAll(int fd, const std::string& buf) {
  for (size_t off = 0; off < buf.size();) {
    ssize_t w = send(fd, buf.data() + off, buf.size() - off, MSG_NOSIGNAL);
    if (w <= 0) return false;
    off += static_cast<size_t>(w);
  }
  return true;
}

// The baseline: a 4-byte length and the same packet bytes over plain TCP to
// a thread that answers each with a 33-byte reply (an acknowledgement packet's size).
double plainRate(size_t size, double seconds) {
  ofw::UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener.get(), 1) != 0 ||
      getsockname(listener.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    perror("baseline listener");
    exit(1);
  }
  std::thread server([&] {
    ofw::UniqueFd c(accept(listener.get(), nullptr, nullptr));
    int one = 1;
    setsockopt(c.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string head, body, reply(33, 'a');
    while (readAll(c.get(), head, 4) &&
           readAll(c.get(), body, (uint32_t(uint8_t(head[0])) << 24) | (uint32_t(uint8_t(head[1])) << 16) |
                                      (uint32_t(uint8_t(head[2])) << 8) | uint8_t(head[3])) &&
           writeAll(c.get(), reply)) {
    }
  });
  ofw::UniqueFd s = connectTo(ntohs(a.sin_port));
  Packet p;
  p.writeString(sessionPacketBody(1, size));
  const std::string data = p.getData();
  const uint32_t n = static_cast<uint32_t>(data.size());
  std::string frame{char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
  frame += data;
  long count = 0;
  std::string reply;
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  const auto start = Clock::now();
  while (Clock::now() < until && writeAll(s.get(), frame) && readAll(s.get(), reply, 33)) ++count;
  const double rate = count / std::chrono::duration<double>(Clock::now() - start).count();
  s.reset();
  server.join();
  return rate;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: bench_secure_stream PORT PRINCIPAL [SECONDS]\n");
    return 2;
  }
  const int port = atoi(argv[1]);
  const std::string principal = argv[2];
  const double seconds = argc > 3 ? atof(argv[3]) : 3;
  struct Mode {
    const char* name;
    bool signedOn, sealedOn;
  } modes[] = {{"sign+seal", true, true}, {"sign only", true, false}, {"neither", false, false}};
  printf("%-6s %-10s %12s %9s %14s %9s %7s\n", "size", "protection", "stream msg/s", "MB/s", "plain TCP msg/s",
         "MB/s", "ratio");
  for (size_t size : {size_t(1024), size_t(16384)}) {
    const double plain = plainRate(size, seconds);
    for (const Mode& m : modes) {
      const double rate = streamRate(port, principal, m.signedOn, m.sealedOn, size, seconds);
      printf("%-6s %-10s %12.0f %9.1f %14.0f %9.1f %7.2f\n", size == 1024 ? "1 KB" : "16 KB", m.name, rate,
             rate * size / 1e6, plain, plain * size / 1e6, rate / plain);
      fflush(stdout);
    }
  }
  return 0;
}
