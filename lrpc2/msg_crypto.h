// Protected blobs (message tag 9): DES in CBC mode.
//
// Protected payload, following the blob's uint32 length (host order):
//   uint16 IV length n (always 8) | IV[n] | uint8 encryption type (1) |
//   uint8 filler (random) | uint16 key index | uint16 padding length p |
//   uint16 ciphertext length c | ciphertext[c]
// c is a non-zero multiple of 8 and ends exactly at the blob's end; the
// plaintext is the first c - p decrypted bytes, p = (8 - len mod 8) mod 8.
#pragma once
#include <cstddef>
#include <cstdint>

#include "lrpc2/msg.h"
#include "ofw/secure_bytes.h"

namespace lrpc2 {
namespace crypto {

constexpr uint16_t kIVLength = 8;
constexpr uint8_t kEncDesCbc = 1;
constexpr uint32_t kBlockSize = 8;
constexpr uint16_t kKeyCount = 16;

// Offsets within the payload (n = kIVLength).
constexpr size_t kOffIVLength = 0;
constexpr size_t kOffIV = 2;
constexpr size_t kOffEncType = kOffIV + kIVLength;      // 10
constexpr size_t kOffFiller = kOffEncType + 1;          // 11
constexpr size_t kOffKeyIndex = kOffFiller + 1;         // 12
constexpr size_t kOffPadLength = kOffKeyIndex + 2;      // 14
constexpr size_t kOffCipherLength = kOffPadLength + 2;  // 16
constexpr size_t kOffCipher = kOffCipherLength + 2;     // 18
static_assert(kOffCipher == 2 + kIVLength + 8, "protected payload layout");

// The 8 bytes of built-in key `index` (0-15), DES parity applied.
const uint8_t* BuiltinKey(uint16_t index);

// Appends the protected payload of `length` (1..MSG_PROTECTED_MAX_PLAINTEXT)
// plaintext bytes to `out`. Returns a message-layer status.
int Protect(const uint8_t* data, uint32_t length, const MsgCryptoProviders* providers,
            ofw::SecureBytes& out);

// Checks and decrypts the `length`-byte payload. On success *plain is a
// malloc'ed, zero-terminated plaintext of *plainLength bytes (caller wipes and
// frees). Lengths are checked before anything is decrypted: IV length other
// than 8 or a ciphertext that is empty or not a multiple of 8 -> 207; a
// ciphertext that does not end at the payload's end -> 203; padding not below
// min(8, c) -> 207; unknown encryption type -> 205; key or cipher failure -> 206.
int Unprotect(const uint8_t* payload, uint32_t length, const MsgCryptoProviders* providers,
              uint8_t** plain, uint32_t* plainLength);

}  // namespace crypto
}  // namespace lrpc2
