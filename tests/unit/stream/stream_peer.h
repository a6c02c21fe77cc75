// Test peers of the secure stream: raw token frames read and written by hand
// (independently of the code under test) and a GSSAPI acceptor built on them.
#pragma once
#include <gssapi/gssapi.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/descriptors.h"

namespace streamtest {

using testsupport::openDescriptors;

inline bool readAll(int fd, void* p, size_t n) {
  auto* c = static_cast<char*>(p);
  while (n > 0) {
    ssize_t r = ::recv(fd, c, n, 0);
    if (r <= 0) return false;
    c += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

inline void writeAll(int fd, const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t r = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (r <= 0) return;
    off += static_cast<size_t>(r);
  }
}

struct Frame {
  int type = -1;
  std::string payload;
};

// A token's header: the type byte, then the length most significant byte first.
inline std::string header(int type, uint32_t n) {
  return {static_cast<char>(type), static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
          static_cast<char>(n)};
}
inline std::string frame(int type, const std::string& payload) {
  return header(type, static_cast<uint32_t>(payload.size())) + payload;
}

// Reads one frame, appending its raw bytes to `raw`; false at end of stream.
inline bool readFrame(int fd, Frame& f, std::string* raw = nullptr) {
  unsigned char h[5];
  if (!readAll(fd, h, 5)) return false;
  uint32_t n = (uint32_t{h[1]} << 24) | (uint32_t{h[2]} << 16) | (uint32_t{h[3]} << 8) | h[4];
  f.type = h[0];
  f.payload.assign(n, '\0');
  if (n && !readAll(fd, &f.payload[0], n)) return false;
  if (raw) raw->append(reinterpret_cast<char*>(h), 5).append(f.payload);
  return true;
}

// The collector's side of the context: reads the hello and context tokens,
// answers each with a type-2 token, and reads the options token.
struct Acceptor {
  gss_ctx_id_t ctx = GSS_C_NO_CONTEXT;
  OM_uint32 flags = 0;
  int options = -1;
  std::vector<Frame> frames;  // every frame received, in order
  std::string raw;            // their bytes as they came

  ~Acceptor() {
    OM_uint32 minor;
    if (ctx != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &ctx, GSS_C_NO_BUFFER);
  }

  bool next(int fd, Frame& f) {
    if (!readFrame(fd, f, &raw)) return false;
    frames.push_back(f);
    return true;
  }

  bool accept(int fd) {
    Frame f;
    if (!next(fd, f)) return false;  // hello
    for (;;) {
      if (!next(fd, f)) return false;
      gss_buffer_desc in{f.payload.size(), &f.payload[0]};
      gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
      OM_uint32 minor;
      OM_uint32 major = gss_accept_sec_context(&minor, &ctx, GSS_C_NO_CREDENTIAL, &in, GSS_C_NO_CHANNEL_BINDINGS,
                                               nullptr, nullptr, &out, &flags, nullptr, nullptr);
      if (out.length) writeAll(fd, frame(2, std::string(static_cast<char*>(out.value), out.length)));
      gss_release_buffer(&minor, &out);
      if (major == GSS_S_COMPLETE) break;
      if (major != GSS_S_CONTINUE_NEEDED) return false;
    }
    if (!next(fd, f) || f.payload.size() != 1) return false;
    options = static_cast<unsigned char>(f.payload[0]);
    return true;
  }

  // gss_unwrap of a data token; conf tells whether it was sealed.
  OM_uint32 unwrap(const std::string& token, std::string& plain, int& conf) {
    gss_buffer_desc in{token.size(), const_cast<char*>(token.data())};
    gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
    OM_uint32 minor;
    OM_uint32 major = gss_unwrap(&minor, ctx, &in, &out, &conf, nullptr);
    plain.assign(static_cast<char*>(out.value) ? static_cast<char*>(out.value) : "", out.length);
    gss_release_buffer(&minor, &out);
    return major;
  }

  std::string wrap(const std::string& plain, bool seal) {
    gss_buffer_desc in{plain.size(), const_cast<char*>(plain.data())};
    gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
    OM_uint32 minor;
    int conf = 0;
    gss_wrap(&minor, ctx, seal, GSS_C_QOP_DEFAULT, &in, &conf, &out);
    std::string token(static_cast<char*>(out.value) ? static_cast<char*>(out.value) : "", out.length);
    gss_release_buffer(&minor, &out);
    return token;
  }
};

}  // namespace streamtest
