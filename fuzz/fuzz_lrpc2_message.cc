// Fuzz target: LRPC2 message validation and reading.
//
// Every input that MsgNewFromData accepts is read value by value with the
// matching reader (after a wrong-type read that must fail without consuming
// anything) and rebuilt with the writers. The rebuilt body must validate and,
// unless a value cannot pass the C API unchanged (a string with a zero byte,
// an empty non-null blob, a protected blob with its fresh IV), equal the input
// byte for byte. The validator must agree with MsgNewFromData.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "lrpc2/msg.h"
#include "lrpc2/msg_internal.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

uint32_t U32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

int Peek(LRPC2Msg* m) {
  int tag = -1;
  Check(MsgPeekData(m, &tag) == MSG_OK);
  return tag;
}

// A reader of the wrong kind must fail with 202 and consume nothing.
void WrongRead(LRPC2Msg* m, int tag) {
  int32_t i = 0;
  char* s = nullptr;
  Check((tag == MSG_TAG_INT32 ? MsgReadString(m, &s) : MsgReadInt32(m, &i)) == MSG_ERR_BADTYPE);
  Check(s == nullptr);
  Check(Peek(m) == tag);
}

// A length-prefixed item at `off` (already validated): its length.
uint32_t ItemLength(const uint8_t* data, size_t off) { return U32(data + off); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int st = 0;
  LRPC2Msg* m = MsgNewFromData(data, size, 0, nullptr, 0, &st);
  bool sensitive = false;
  Check((m != nullptr) == (lrpc2::MsgValidateBody(data, size, &sensitive) == MSG_OK));
  if (m == nullptr) {
    Check(st == MSG_ERR_INVALID);
    return 0;
  }
  Check(((MsgGetFlags(m) & MSG_FLAG_SENSITIVE) != 0) >= sensitive);
  uint32_t type = 0;
  Check(MsgReadMsgType(m, &type) == MSG_OK);
  // Unknown types are structurally valid; rebuild with a table holding this type.
  const MsgTableEntry entry = {type, "fuzz", 0};
  const MsgTable table = {1, &entry};
  LRPC2Msg* out = MsgNew(type, 0, &table, 0, &st);
  Check(out != nullptr);

  bool exact = true;
  size_t off = 2;  // parallel walk over the raw bytes
  for (;;) {
    const int tag = Peek(m);
    Check(data[off] == tag);
    if (tag == MSG_TAG_END) break;
    WrongRead(m, tag);
    ++off;
    switch (tag) {
      case MSG_TAG_BOOL: {
        int v;
        Check(MsgReadBool(m, &v) == MSG_OK);
        Check(MsgWriteBool(out, v) == MSG_OK);
        off += 1;
        break;
      }
      case MSG_TAG_INT32: {
        int32_t v;
        Check(MsgReadInt32(m, &v) == MSG_OK);
        Check(MsgWriteInt32(out, v) == MSG_OK);
        off += 4;
        break;
      }
      case MSG_TAG_UINT32: {
        uint32_t v;
        Check(MsgReadUInt32(m, &v) == MSG_OK);
        Check(MsgWriteUInt32(out, v) == MSG_OK);
        off += 4;
        break;
      }
      case MSG_TAG_STRING:
      case MSG_TAG_PASSWORD: {
        const uint32_t n = ItemLength(data, off);
        char* s = nullptr;
        Check((tag == MSG_TAG_STRING ? MsgReadString(m, &s) : MsgReadPassword(m, &s)) == MSG_OK);
        Check((s == nullptr) == (n == MSG_NULL_LENGTH));
        if (s && strlen(s) != n) exact = false;
        Check((tag == MSG_TAG_STRING ? MsgWriteString(out, s) : MsgWritePassword(out, s)) == MSG_OK);
        free(s);
        off += 4 + (n == MSG_NULL_LENGTH ? 0 : n);
        break;
      }
      case MSG_TAG_BLOB: {
        const uint32_t n = ItemLength(data, off);
        void* d = nullptr;
        uint32_t len = 0;
        Check(MsgReadBlob(m, &d, &len) == MSG_OK);
        Check((d == nullptr) == (len == 0));
        Check(len == (n == MSG_NULL_LENGTH ? 0 : n));
        if (n == 0) exact = false;  // read back as null, written as null
        Check(MsgWriteBlob(out, d, len) == MSG_OK);
        free(d);
        off += 4 + (n == MSG_NULL_LENGTH ? 0 : n);
        break;
      }
      case MSG_TAG_SET: {
        MsgBlob* blobs = nullptr;
        uint32_t n = 0;
        Check(MsgReadBlobSet(m, &blobs, &n) == MSG_OK);
        Check(n == ItemLength(data, off));
        off += 4;
        Check(MsgWriteBeginStringSet(out) == MSG_OK);
        for (uint32_t i = 0; i < n; ++i) {
          Check(blobs[i].length == ItemLength(data, off));
          Check(blobs[i].length == 0 || memcmp(blobs[i].data, data + off + 4, blobs[i].length) == 0);
          off += 4 + blobs[i].length;
          Check(MsgWriteAppendBlobToSet(out, blobs[i].data, blobs[i].length) == MSG_OK);
        }
        FreeMsgBlobSet(blobs);
        break;
      }
      case MSG_TAG_KEYVALUE_SET: {
        MsgKeyValue* kv = nullptr;
        Check(MsgReadKeyValueSet(m, &kv) == MSG_OK);
        const uint32_t n = ItemLength(data, off);
        off += 4;
        Check(MsgWriteBeginKeyValueSet(out) == MSG_OK);
        for (uint32_t i = 0; i < n; ++i) {
          Check(kv[i].key != nullptr && kv[i].value != nullptr);
          const uint32_t kl = ItemLength(data, off);
          off += 4 + kl;
          const uint32_t vl = ItemLength(data, off);
          off += 4 + vl;
          if (strlen(kv[i].key) != kl || strlen(kv[i].value) != vl) exact = false;
          Check(MsgWriteAppendKeyValuePair(out, kv[i].key, kv[i].value) == MSG_OK);
        }
        Check(kv[n].key == nullptr);
        FreeMsgKeyValueSet(kv);
        break;
      }
      case MSG_TAG_PROTECTED_BLOB: {
        const uint32_t n = ItemLength(data, off);
        void* d = nullptr;
        uint32_t len = 0;
        const int rc = MsgReadProtectedBlob(m, &d, &len, nullptr);
        if (rc != MSG_OK) {
          // Refused without consuming anything; the rebuild stops here.
          Check(rc == MSG_ERR_EOM || rc == MSG_ERR_INVALID || rc == MSG_ERR_ENCTYPE ||
                rc == MSG_ERR_CRYPTO);
          Check(Peek(m) == MSG_TAG_PROTECTED_BLOB);
          MsgFree(out);
          MsgFree(m);
          return 0;
        }
        Check((d == nullptr) == (n == MSG_NULL_LENGTH));
        if (d != nullptr) exact = false;  // fresh IV, filler and key index
        Check(MsgWriteProtectedBlob(out, d, len, nullptr) == MSG_OK);
        // Written again, it reads back to the same plaintext.
        MsgFreeSensitive(d, len);
        off += 4 + (n == MSG_NULL_LENGTH ? 0 : n);
        break;
      }
      default:
        Check(false);
    }
  }
  Check(off == size - 1);
  uint32_t v;
  Check(MsgReadUInt32(m, &v) == MSG_ERR_EOM);
  Check(MsgComplete(out) == MSG_OK);

  size_t outLength = 0;
  const uint8_t* rebuilt = lrpc2::MsgBodyData(out, &outLength);
  Check(lrpc2::MsgValidateBody(rebuilt, outLength, nullptr) == MSG_OK);
  if (exact) Check(outLength == size && memcmp(rebuilt, data, size) == 0);
  MsgFree(out);
  MsgFree(m);
  return 0;
}
