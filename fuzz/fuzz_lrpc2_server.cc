// Fuzz target: the server's handshake and receive path fed arbitrary bytes
// over a socket pair, after each handshake version.
//
// Byte 0 selects the version (2-5), the server's and client's signing
// settings, whether the handshake runs through the non-blocking step API, and
// whether the hello itself comes from the input. Byte 1 selects how the rest
// is sent: raw bytes, or a list of bodies (uint16 length + bytes) that the
// harness frames with correct (and, when signing, signed) headers, so that
// validation, authentication and replies are reached too. The peer's write
// side is shut down after the input, so no read can wait.
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "lrpc2/header.h"
#include "lrpc2/msg.h"
#include "lrpc2/session.h"
#include "ofw/codec.h"

namespace {

using namespace lrpc2;

void Check(bool ok) {
  if (!ok) abort();
}

bool WriteAll(int fd, const void* p, size_t n) {
  const uint8_t* q = static_cast<const uint8_t*>(p);
  while (n > 0) {
    const ssize_t w = write(fd, q, n);
    if (w <= 0) return false;
    q += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

void Drain(int fd) {
  uint8_t buf[4096];
  while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
  }
}

std::vector<uint8_t> Framed(int version, bool sign, uint32_t sequence, const uint8_t* body,
                            size_t length) {
  const uint32_t hl = HeaderLengthOf(version);
  std::vector<uint8_t> out(hl + length);
  Header h;
  h.magic = kMagic;
  h.totalLength = static_cast<uint32_t>(kHeaderLengthV23 + length);
  h.headerLength = static_cast<uint16_t>(hl);
  h.version = static_cast<uint32_t>(version);
  h.pid = 1234;
  h.sequence = sequence;
  h.time = 1;
  h.bodyLength = static_cast<uint32_t>(length);
  h.flags = sign ? kFlagSigned : 0;
  EncodeHeader(version, h, out.data());
  if (length) memcpy(out.data() + hl, body, length);
  if (version == 5 && sign)
    ofw::codec::putU64(out.data() + kOffSignature, ComputeSignature(out.data(), out.data() + hl, length));
  return out;
}

std::string gDir;

void RemoveDir() {
  rmdir((gDir + "/auth").c_str());
  rmdir(gDir.c_str());
}

struct Init {
  Init() {
    signal(SIGPIPE, SIG_IGN);
    char tmpl[] = "/tmp/fuzzlrpc2XXXXXX";
    const char* dir = mkdtemp(tmpl);
    Check(dir != nullptr);
    gDir = dir;
    chmod(dir, 0711);
    SessionSetAuthFileDir((gDir + "/auth").c_str());
    atexit(RemoveDir);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Init init;
  if (size < 2) return 0;
  const uint8_t sel = data[0], mode = data[1];
  data += 2;
  size -= 2;
  const int version = 2 + (sel & 3);
  const int serverSign = (sel >> 2) % 3;
  const int clientSign = (sel >> 4) % 3;
  const bool step = (sel & 0x40) != 0;
  const bool rawHello = (sel & 0x80) != 0;

  int sv[2];
  Check(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
  // Hello.
  std::vector<uint8_t> hello;
  if (rawHello) {
    const size_t n = size < 8 ? size : 8;
    hello.assign(data, data + n);
    data += n;
    size -= n;
  } else {
    uint8_t b[8];
    ofw::codec::putU32(b, static_cast<uint32_t>(version));
    ofw::codec::putU16(b + 4, 8);
    ofw::codec::putU16(b + 6, static_cast<uint16_t>(clientSign));
    hello.assign(b, b + (version == 5 ? 8 : 4));
  }
  Check(WriteAll(sv[1], hello.data(), hello.size()));

  // The rest of the input, in one write. The peer's end is non-blocking so
  // that the harness itself can never wait on a full buffer (whatever does
  // not fit is simply not sent).
  std::vector<uint8_t> stream;
  if (mode & 1) {
    uint32_t sequence = 1;
    const bool sign = version == 5 && (clientSign != 0) && (mode & 2) == 0;
    while (size >= 2) {
      size_t n = ofw::codec::getU16(data);
      data += 2;
      size -= 2;
      if (n > size) n = size;
      const std::vector<uint8_t> f = Framed(version, sign, sequence++, data, n);
      stream.insert(stream.end(), f.begin(), f.end());
      data += n;
      size -= n;
    }
  } else {
    stream.assign(data, data + size);
  }
  fcntl(sv[1], F_SETFL, fcntl(sv[1], F_GETFL) | O_NONBLOCK);
  if (!stream.empty() && write(sv[1], stream.data(), stream.size()) < 0) {
  }
  shutdown(sv[1], SHUT_WR);

  int st = -1, offered = 0;
  LRPC2SessionServer* s = nullptr;
  if (step) {
    SessionAcceptState* a = SessionAcceptBegin(sv[0], sv[0], 2, nullptr, serverSign);
    Check(a != nullptr);
    int outcome;
    while ((outcome = SessionAcceptStep(a, &s, &st, &offered)) == SESSION_ACCEPT_PENDING) {
    }
    Check((outcome == SESSION_ACCEPT_DONE) == (s != nullptr));
    SessionAcceptFree(a);
  } else {
    s = SessionAccept(sv[0], sv[0], 2, nullptr, serverSign, &st, &offered);
  }
  Check((s == nullptr) == (st != SESSION_OK));
  if (s != nullptr) {
    for (int i = 0; i < 64; ++i) {
      LRPC2Msg* req = SessionRecv(sv[0], s, 10, &st, 0);
      if (req == nullptr) {
        Check(st != SESSION_OK && st != SESSION_ERR_TIMEOUT);
        if (st == SESSION_ERR_RETRY) continue;
        break;
      }
      uint32_t type = 0;
      Check(MsgReadMsgType(req, &type) == MSG_OK);
      int pst;
      LRPC2Msg* reply = MsgNew(MsgType::VGPing, 0, nullptr, MSG_MAX_HEADER_LENGTH, &pst);
      MsgWriteUInt32(reply, type);
      MsgComplete(reply);
      Check(SessionServerSend(sv[0], s, reply, 2) == SESSION_OK);
      MsgFree(reply);
      MsgFree(req);
      Drain(sv[1]);
    }
    SessionServerClose(s);
  }
  close(sv[0]);
  close(sv[1]);
  return 0;
}
