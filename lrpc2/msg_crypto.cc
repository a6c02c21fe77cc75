// Protected blobs: DES-CBC with a built-in key table.
#include "lrpc2/msg_crypto.h"

#include <errno.h>
#include <nettle/cbc.h>
#include <nettle/des.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "ofw/codec.h"
#include "ofw/random.h"

namespace lrpc2 {
namespace crypto {
namespace {

// Raw key material; DES parity is applied once at first use. Both ends of a
// connection are this same program family, so any fixed table serves.
const uint8_t kRawKeys[kKeyCount][8] = {
    {0x3a, 0x91, 0x5c, 0xe7, 0x28, 0xb4, 0x6f, 0x0d}, {0xc2, 0x47, 0x19, 0xa8, 0x5e, 0xf3, 0x82, 0x6b},
    {0x74, 0xd9, 0x2e, 0x03, 0xb6, 0x48, 0xea, 0x95}, {0x1f, 0x8c, 0x63, 0xd0, 0x37, 0x7a, 0xc5, 0x4e},
    {0xab, 0x16, 0xf4, 0x59, 0x82, 0x2d, 0x9e, 0x70}, {0x5d, 0xe2, 0x87, 0x3c, 0xc9, 0x14, 0x61, 0xb8},
    {0x96, 0x4b, 0xd7, 0x2a, 0x0e, 0xf5, 0x38, 0x83}, {0xe4, 0x29, 0x7e, 0xb1, 0x53, 0x8f, 0x06, 0xdc},
    {0x0b, 0xc6, 0x35, 0x9a, 0xef, 0x62, 0xa7, 0x1c}, {0x88, 0x5f, 0xe1, 0x46, 0x7d, 0xb3, 0x2c, 0x97},
    {0x42, 0x9d, 0x0a, 0xf8, 0x65, 0x1e, 0xcb, 0x36}, {0xd5, 0x32, 0xa9, 0x7c, 0x18, 0xe6, 0x4f, 0x81},
    {0x27, 0xfa, 0x54, 0x8e, 0xc3, 0x09, 0x76, 0xbd}, {0xb9, 0x64, 0x1d, 0xd2, 0x4a, 0x95, 0xf0, 0x2b},
    {0x6e, 0x03, 0xc8, 0x51, 0x9f, 0x3d, 0x84, 0xe9}, {0xf1, 0xae, 0x76, 0x0c, 0xd4, 0x5b, 0x12, 0x67},
};

uint8_t gKeys[kKeyCount][8];
std::once_flag gKeysOnce;

void InitKeys() {
  for (uint16_t i = 0; i < kKeyCount; ++i) des_fix_parity(8, gKeys[i], kRawKeys[i]);
}

int DefaultGetKey(uint16_t* index, uint8_t key[8]) {
  uint8_t r;
  if (ofw::fillRandom(&r, 1) != 0) return -1;
  *index = r % kKeyCount;
  memcpy(key, BuiltinKey(*index), 8);
  return 0;
}

int DefaultFindKey(uint16_t index, uint8_t key[8]) {
  if (index >= kKeyCount) return -1;
  memcpy(key, BuiltinKey(index), 8);
  return 0;
}

void DesEncrypt(const void* ctx, size_t length, uint8_t* dst, const uint8_t* src) {
  des_encrypt(static_cast<const struct des_ctx*>(ctx), length, dst, src);
}
void DesDecrypt(const void* ctx, size_t length, uint8_t* dst, const uint8_t* src) {
  des_decrypt(static_cast<const struct des_ctx*>(ctx), length, dst, src);
}

// Key schedule, key and IV of one operation; wiped when it goes out of scope.
struct CipherState {
  uint8_t key[8];
  uint8_t iv[kIVLength];
  struct des_ctx ctx;
};

}  // namespace

const uint8_t* BuiltinKey(uint16_t index) {
  std::call_once(gKeysOnce, InitKeys);
  return index < kKeyCount ? gKeys[index] : nullptr;
}

int Protect(const uint8_t* data, uint32_t length, const MsgCryptoProviders* providers,
            ofw::SecureBytes& out) {
  if (data == nullptr || length == 0 || length > MSG_PROTECTED_MAX_PLAINTEXT) return MSG_ERR_UNEXPECTED;
  const uint32_t pad = (kBlockSize - length % kBlockSize) % kBlockSize;
  const uint32_t cipherLength = length + pad;

  CipherState cs;
  ofw::WipeOnExit<CipherState> wipe(cs);
  uint16_t index = 0;
  int rc = (providers && providers->getKey) ? providers->getKey(providers->context, &index, cs.key)
                                            : DefaultGetKey(&index, cs.key);
  if (rc != 0) return MSG_ERR_CRYPTO;
  rc = (providers && providers->getIV) ? providers->getIV(providers->context, cs.iv)
                                       : ofw::fillRandom(cs.iv, sizeof cs.iv);
  if (rc != 0) return MSG_ERR_CRYPTO;
  if (des_set_key(&cs.ctx, cs.key) != 1) return MSG_ERR_CRYPTO;
  uint8_t filler;
  if (ofw::fillRandom(&filler, 1) != 0) return MSG_ERR_CRYPTO;

  const size_t start = out.size();
  out.resize(start + kOffCipher + cipherLength);  // may throw bad_alloc: caller maps it
  uint8_t* p = out.data() + start;
  ofw::codec::putU16(p + kOffIVLength, kIVLength);
  memcpy(p + kOffIV, cs.iv, kIVLength);
  ofw::codec::putU8(p + kOffEncType, kEncDesCbc);
  ofw::codec::putU8(p + kOffFiller, filler);
  ofw::codec::putU16(p + kOffKeyIndex, index);
  ofw::codec::putU16(p + kOffPadLength, static_cast<uint16_t>(pad));
  ofw::codec::putU16(p + kOffCipherLength, static_cast<uint16_t>(cipherLength));
  uint8_t* cipher = p + kOffCipher;
  memcpy(cipher, data, length);
  memset(cipher + length, 0, pad);
  // cbc_encrypt works in place and advances the IV copy, which is wiped anyway.
  cbc_encrypt(&cs.ctx, DesEncrypt, kBlockSize, cs.iv,
              cipherLength, cipher, cipher);
  return MSG_OK;
}

int Unprotect(const uint8_t* payload, uint32_t length, const MsgCryptoProviders* providers,
              uint8_t** plain, uint32_t* plainLength) {
  // Every length is checked, by subtraction from what is left, before any
  // byte is decrypted.
  if (length < kOffIV) return MSG_ERR_EOM;
  const uint16_t ivLength = ofw::codec::getU16(payload + kOffIVLength);
  if (ivLength != kIVLength) return MSG_ERR_INVALID;
  if (length - kOffIV < kIVLength || length - kOffIV - kIVLength < kOffCipher - kOffEncType)
    return MSG_ERR_EOM;
  const uint8_t encType = ofw::codec::getU8(payload + kOffEncType);
  const uint16_t index = ofw::codec::getU16(payload + kOffKeyIndex);
  const uint16_t pad = ofw::codec::getU16(payload + kOffPadLength);
  const uint16_t cipherLength = ofw::codec::getU16(payload + kOffCipherLength);
  if (cipherLength != length - kOffCipher) return MSG_ERR_EOM;
  if (cipherLength == 0 || cipherLength % kBlockSize != 0) return MSG_ERR_INVALID;
  if (pad >= cipherLength || pad >= kBlockSize) return MSG_ERR_INVALID;
  if (encType != kEncDesCbc) return MSG_ERR_ENCTYPE;

  CipherState cs;
  ofw::WipeOnExit<CipherState> wipe(cs);
  int rc = (providers && providers->findKey) ? providers->findKey(providers->context, index, cs.key)
                                             : DefaultFindKey(index, cs.key);
  if (rc != 0) return MSG_ERR_CRYPTO;
  if (des_set_key(&cs.ctx, cs.key) != 1) return MSG_ERR_CRYPTO;
  memcpy(cs.iv, payload + kOffIV, kIVLength);

  uint8_t* out = static_cast<uint8_t*>(malloc(cipherLength + 1u));
  if (out == nullptr) return MSG_ERR_NOMEM;
  cbc_decrypt(&cs.ctx, DesDecrypt, kBlockSize, cs.iv,
              cipherLength, out, payload + kOffCipher);
  const uint32_t n = cipherLength - pad;
  // The padding bytes are cleared so that only the plaintext remains.
  explicit_bzero(out + n, cipherLength + 1u - n);
  *plain = out;
  *plainLength = n;
  return MSG_OK;
}

}  // namespace crypto
}  // namespace lrpc2
