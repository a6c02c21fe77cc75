// The secure stream's wire: whole-buffer socket transfers with time-outs, and
// the token framing both ends of the stream speak.
//
// Token layout (the length is big-endian whatever the host):
//   offset 0, 1 byte   type (TOKEN_* below; a receiver does not examine it)
//   offset 1, 4 bytes  payload length n
//   offset 5, n bytes  payload
//
// Time-outs are whole seconds (0 = wait forever): a blocked transfer polls the
// socket in 1-second steps and gives up once that many seconds have passed
// since the call began. The socket may be blocking or not: every transfer asks
// for a non-blocking send or receive and waits in poll.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "ofw/logging/logger.h"

namespace ofw {
namespace stream {

constexpr uint8_t TOKEN_HELLO = 1;    // empty, first token of a connection
constexpr uint8_t TOKEN_CONTEXT = 2;  // a GSSAPI context-establishment token
constexpr uint8_t TOKEN_DATA = 4;     // a data block, wrapped when protection is on
constexpr uint8_t TOKEN_OPTIONS = 5;  // one byte of OPTION_* bits
constexpr size_t TOKEN_HEADER_SIZE = 5;

constexpr uint8_t OPTION_SEALED = 1;
constexpr uint8_t OPTION_SIGNED = 2;
constexpr uint8_t OPTION_SYMMETRIC = 4;

// The largest token accepted by default (configuration key vgd.stream.max.token).
constexpr uint32_t DEFAULT_MAX_TOKEN = 16u * 1024 * 1024;

// Sends / receives exactly n bytes. A peer that closed, a poll that reports
// an error or hang-up, and any other socket error end the transfer:
// ofw::IOException "Write terminated but incomplete!" / "Read terminated but
// incomplete!" whose code is the number of bytes moved. A time-out raises
// ofw::TimeoutException "Timeout while writing" / "Timeout while reading".
void wireWrite(int fd, const void* data, size_t n, int timeoutSeconds);
void wireRead(int fd, void* data, size_t n, int timeoutSeconds);

struct Token {
  uint8_t type = 0;
  std::string payload;
};

// Sends one token in a single write. A payload over 0xFFFFFFFF bytes raises
// ofw::BadDataException "Unable to send token, message block is too long";
// any failure of the write becomes ofw::IOException "Error while sending
// wrapped data: <errno text>". The framed copy is wiped after sending.
void sendToken(int fd, uint8_t type, const std::string& payload, int timeoutSeconds,
               const LoggerPtr& log);

// Receives one token. A length above maxLength is refused before anything is
// allocated: ofw::IOException "Refusing a token of N bytes (limit M, key
// vgd.stream.max.token)". Read failures as for wireRead. After a failure the
// socket position is inside a token: the caller must drop the connection.
Token recvToken(int fd, uint32_t maxLength, int timeoutSeconds, const LoggerPtr& log);

// Overwrites a buffer's bytes with zeros (before its memory is released).
void wipe(std::string& bytes);

}  // namespace stream
}  // namespace ofw
