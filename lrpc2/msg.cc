// LRPC2 message building, validation and reading.
#include "lrpc2/msg.h"

#include <stdlib.h>
#include <string.h>

#include <new>
#include <stdexcept>
#include <utility>

#include "lrpc2/msg_crypto.h"
#include "lrpc2/msg_internal.h"
#include "ofw/secure_bytes.h"
#include "ofw/codec.h"

struct LRPC2Msg {
  int state = MSG_STATE_BUILDING;
  const MsgTable* table = nullptr;
  uint32_t flags = 0;
  uint32_t headerLength = 0;
  // Owned bytes (building, copied or adopted), or a caller's range.
  ofw::SecureBytes buffer;
  const uint8_t* external = nullptr;
  size_t externalLength = 0;
  // Read position, an absolute offset into bytes(); reading starts after the type.
  size_t pos = 0;
  // Incremental set being built: its tag (0 = none), count offset and count.
  int openSet = 0;
  size_t setCountOffset = 0;
  uint32_t setCount = 0;

  const uint8_t* bytes() const { return external ? external : buffer.data(); }
  size_t size() const { return external ? externalLength : buffer.size(); }
};

namespace lrpc2 {
namespace {

using ofw::codec::getU16;
using ofw::codec::getU32;
using ofw::codec::putU16;
using ofw::codec::putU32;

// Prefix of the single allocation returned for a set: its total size, so that
// the block can be wiped when it is freed. 16 bytes keep the array aligned.
constexpr size_t kSetPrefix = 16;

void* AllocSet(size_t size) {
  uint8_t* block = static_cast<uint8_t*>(calloc(1, kSetPrefix + size));
  if (block == nullptr) return nullptr;
  memcpy(block, &size, sizeof size);
  return block + kSetPrefix;
}

void FreeSet(void* p) {
  if (p == nullptr) return;
  uint8_t* block = static_cast<uint8_t*>(p) - kSetPrefix;
  size_t size;
  memcpy(&size, block, sizeof size);
  explicit_bzero(block, kSetPrefix + size);
  free(block);
}

// ---- writing ---------------------------------------------------------------

int WriteState(const LRPC2Msg* m) {
  if (m == nullptr || m->state == MSG_STATE_ERROR) return MSG_ERR_INVALID;
  if (m->state == MSG_STATE_COMPLETE) return MSG_ERR_EOM;
  return MSG_OK;
}

void CloseSet(LRPC2Msg* m) {
  if (m->openSet == 0) return;
  putU32(m->buffer.data() + m->setCountOffset, m->setCount);
  m->openSet = 0;
  m->setCount = 0;
}

void AppendU8(LRPC2Msg* m, uint8_t v) { m->buffer.push_back(v); }
void AppendU32(LRPC2Msg* m, uint32_t v) {
  uint8_t b[4];
  putU32(b, v);
  m->buffer.insert(m->buffer.end(), b, b + 4);
}
void AppendBytes(LRPC2Msg* m, const void* data, size_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  m->buffer.insert(m->buffer.end(), p, p + length);
}
// uint32 length and, unless it is the null length, the bytes.
void AppendLengthAndBytes(LRPC2Msg* m, const void* data, uint32_t length) {
  AppendU32(m, length);
  if (length != MSG_NULL_LENGTH && length > 0) AppendBytes(m, data, length);
}

// String length as it goes on the wire; false when it cannot be represented.
bool WireLength(const char* s, uint32_t* length) {
  if (s == nullptr) {
    *length = MSG_NULL_LENGTH;
    return true;
  }
  const size_t n = strlen(s);
  if (n >= MSG_NULL_LENGTH) return false;
  *length = static_cast<uint32_t>(n);
  return true;
}

// Runs one write: state checks, then `body` (which may close the open set
// first). A failure other than the state checks puts the message into the
// error state.
template <class F>
int DoWrite(LRPC2Msg* m, bool closeSet, F&& body) {
  int rc = WriteState(m);
  if (rc != MSG_OK) return rc;
  try {
    if (closeSet) CloseSet(m);
    rc = body();
  } catch (const std::bad_alloc&) {
    rc = MSG_ERR_NOMEM;
  } catch (const std::length_error&) {
    rc = MSG_ERR_NOMEM;
  }
  if (rc != MSG_OK) m->state = MSG_STATE_ERROR;
  return rc;
}

int WriteStringTag(LRPC2Msg* m, uint8_t tag, const char* value) {
  return DoWrite(m, true, [&] {
    uint32_t length;
    if (!WireLength(value, &length)) return static_cast<int>(MSG_ERR_UNEXPECTED);
    AppendU8(m, tag);
    AppendLengthAndBytes(m, value, length);
    if (tag == MSG_TAG_PASSWORD) m->flags |= MSG_FLAG_SENSITIVE;
    return static_cast<int>(MSG_OK);
  });
}

int AppendSetItem(LRPC2Msg* m, int wantSet, int items, const void* const* data,
                  const uint32_t* lengths) {
  return DoWrite(m, false, [&] {
    if (m->openSet != wantSet) return static_cast<int>(MSG_ERR_UNEXPECTED);
    if (m->setCount == UINT32_MAX) return static_cast<int>(MSG_ERR_UNEXPECTED);
    for (int i = 0; i < items; ++i) AppendLengthAndBytes(m, data[i], lengths[i]);
    ++m->setCount;
    return static_cast<int>(MSG_OK);
  });
}

int BeginSet(LRPC2Msg* m, int tag) {
  return DoWrite(m, true, [&] {
    AppendU8(m, static_cast<uint8_t>(tag));
    m->setCountOffset = m->buffer.size();
    AppendU32(m, 0);
    m->openSet = tag;
    m->setCount = 0;
    return static_cast<int>(MSG_OK);
  });
}

// ---- reading ---------------------------------------------------------------

int ReadState(const LRPC2Msg* m) {
  if (m == nullptr || m->state != MSG_STATE_COMPLETE) return MSG_ERR_INVALID;
  return MSG_OK;
}

// A read cursor over a complete message. Reads work on a copy of the position
// and commit() only after everything succeeded, so that a failed read never
// consumes anything. Lengths are compared by subtraction from what is left.
class Cursor {
 public:
  explicit Cursor(const LRPC2Msg* m) : d_(m->bytes()), pos_(m->pos), end_(m->size()) {}

  size_t left() const { return end_ - pos_; }
  size_t pos() const { return pos_; }

  // Consumes the tag when it is `want`.
  int tag(uint8_t want) {
    if (pos_ >= end_) return MSG_ERR_EOM;
    const uint8_t t = d_[pos_];
    if (t == MSG_TAG_END) return MSG_ERR_EOM;
    if (t != want) return MSG_ERR_BADTYPE;
    ++pos_;
    return MSG_OK;
  }
  bool u8(uint8_t* v) {
    if (left() < 1) return false;
    *v = d_[pos_++];
    return true;
  }
  bool u32(uint32_t* v) {
    if (left() < 4) return false;
    *v = getU32(d_ + pos_);
    pos_ += 4;
    return true;
  }
  // The value of a scalar tag: one byte for a bool, four otherwise.
  bool scalar(uint8_t tag, uint32_t* v) {
    if (tag != MSG_TAG_BOOL) return u32(v);
    uint8_t b;
    if (!u8(&b)) return false;
    *v = b;
    return true;
  }
  // A uint32 length and its bytes; *data null for the null length.
  bool lengthAndBytes(const uint8_t** data, uint32_t* length, bool nullAllowed) {
    uint32_t n;
    if (!u32(&n)) return false;
    if (n == MSG_NULL_LENGTH) {
      if (!nullAllowed) return false;
      *data = nullptr;
      *length = n;
      return true;
    }
    if (left() < n) return false;
    *data = d_ + pos_;
    *length = n;
    pos_ += n;
    return true;
  }
  void commit(LRPC2Msg* m) const { m->pos = pos_; }

 private:
  const uint8_t* d_;
  size_t pos_;
  size_t end_;
};

char* CopyString(const uint8_t* data, uint32_t length) {
  char* s = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
  if (s == nullptr) return nullptr;
  if (length > 0) memcpy(s, data, length);
  s[length] = '\0';
  return s;
}

int ReadScalar(LRPC2Msg* m, uint8_t tag, uint32_t* raw) {
  int rc = ReadState(m);
  if (rc != MSG_OK) return rc;
  Cursor c(m);
  if ((rc = c.tag(tag)) != MSG_OK) return rc;
  if (!c.scalar(tag, raw)) return MSG_ERR_INVALID;
  c.commit(m);
  return MSG_OK;
}

int ReadStringTag(LRPC2Msg* m, uint8_t tag, char** value) {
  int rc = ReadState(m);
  if (rc != MSG_OK) return rc;
  if (value == nullptr) return MSG_ERR_UNEXPECTED;
  Cursor c(m);
  if ((rc = c.tag(tag)) != MSG_OK) return rc;
  const uint8_t* data;
  uint32_t length;
  if (!c.lengthAndBytes(&data, &length, true)) return MSG_ERR_INVALID;
  char* s = nullptr;
  if (data != nullptr) {
    s = CopyString(data, length);
    if (s == nullptr) return MSG_ERR_NOMEM;
  }
  c.commit(m);
  *value = s;
  return MSG_OK;
}

// Walks the items of a set (tag 7 or 8, `perItem` strings per item), adding up
// the bytes the caller needs for the zero-terminated copies.
int ScanSet(Cursor& c, uint8_t tag, uint32_t* count, size_t* textBytes) {
  int rc = c.tag(tag);
  if (rc != MSG_OK) return rc;
  const int perItem = tag == MSG_TAG_KEYVALUE_SET ? 2 : 1;
  uint32_t n;
  if (!c.u32(&n)) return MSG_ERR_INVALID;
  if (n > c.left() / (4u * perItem)) return MSG_ERR_INVALID;
  size_t total = 0;
  for (uint64_t i = 0; i < static_cast<uint64_t>(n) * perItem; ++i) {
    const uint8_t* data;
    uint32_t length;
    if (!c.lengthAndBytes(&data, &length, false)) return MSG_ERR_INVALID;
    total += static_cast<size_t>(length) + 1;
  }
  *count = n;
  *textBytes = total;
  return MSG_OK;
}

}  // namespace

// ---- validation ------------------------------------------------------------

int MsgValidateBody(const uint8_t* body, size_t length, bool* sensitive) {
  bool secret = false;
  if (body == nullptr || length < 2) return MSG_ERR_INVALID;
  size_t pos = 2;
  // Every check compares a wanted size with what is left (length - pos),
  // never pos + size, so no sum can overflow.
  for (;;) {
    if (pos >= length) return MSG_ERR_INVALID;  // no end tag
    const uint8_t tag = body[pos++];
    size_t left = length - pos;
    switch (tag) {
      case MSG_TAG_END:
        if (left != 0) return MSG_ERR_INVALID;
        if (sensitive) *sensitive = secret;
        return MSG_OK;
      case MSG_TAG_BOOL:
        if (left < 1 || body[pos] > 1) return MSG_ERR_INVALID;
        pos += 1;
        break;
      case MSG_TAG_INT32:
      case MSG_TAG_UINT32:
        if (left < 4) return MSG_ERR_INVALID;
        pos += 4;
        break;
      case MSG_TAG_STRING:
      case MSG_TAG_PASSWORD:
      case MSG_TAG_BLOB:
      case MSG_TAG_PROTECTED_BLOB: {
        if (left < 4) return MSG_ERR_INVALID;
        const uint32_t n = getU32(body + pos);
        pos += 4;
        left -= 4;
        if (n != MSG_NULL_LENGTH) {
          if (n > left) return MSG_ERR_INVALID;
          pos += n;
        }
        if (tag == MSG_TAG_PASSWORD || tag == MSG_TAG_PROTECTED_BLOB) secret = true;
        break;
      }
      case MSG_TAG_SET:
      case MSG_TAG_KEYVALUE_SET: {
        const size_t perItem = tag == MSG_TAG_KEYVALUE_SET ? 2 : 1;
        if (left < 4) return MSG_ERR_INVALID;
        const uint32_t count = getU32(body + pos);
        pos += 4;
        left -= 4;
        // Each item needs at least its 4-byte length: a count that cannot fit
        // is refused before walking it.
        if (count > left / (4 * perItem)) return MSG_ERR_INVALID;
        for (uint64_t i = 0; i < count * static_cast<uint64_t>(perItem); ++i) {
          if (left < 4) return MSG_ERR_INVALID;
          const uint32_t n = getU32(body + pos);
          pos += 4;
          left -= 4;
          if (n > left) return MSG_ERR_INVALID;  // also refuses the null length
          pos += n;
          left -= n;
        }
        break;
      }
      default:
        return MSG_ERR_INVALID;
    }
  }
}

LRPC2Msg* MsgAdoptBuffer(ofw::SecureBytes&& buffer, const MsgTable* table, uint32_t headerLength,
                         int* status) {
  int dummy;
  int& st = status ? *status : dummy;
  ofw::SecureBytes owned(std::move(buffer));
  if (headerLength > owned.size()) {
    st = MSG_ERR_INVALID;
    return nullptr;
  }
  bool sensitive = false;
  int rc = MsgValidateBody(owned.data() + headerLength, owned.size() - headerLength, &sensitive);
  if (rc != MSG_OK) {
    st = rc;
    return nullptr;
  }
  LRPC2Msg* m = new (std::nothrow) LRPC2Msg;
  if (m == nullptr) {
    st = MSG_ERR_NOMEM;
    return nullptr;
  }
  m->table = table ? table : OVGPrivGetMsgTable();
  m->headerLength = headerLength;
  m->buffer = std::move(owned);
  const uint32_t type = getU16(m->buffer.data() + headerLength);
  if (const MsgTableEntry* e = MsgTableFindEntry(m->table, type))
    m->flags = e->flags & (MSG_FLAG_SENSITIVE | MSG_FLAG_DOASYNC);
  if (sensitive) m->flags |= MSG_FLAG_SENSITIVE;
  m->state = MSG_STATE_COMPLETE;
  m->pos = headerLength + 2;
  st = MSG_OK;
  return m;
}

uint8_t* MsgMutableData(LRPC2Msg* msg, size_t* length) {
  if (msg == nullptr || msg->external != nullptr) return nullptr;
  if (length) *length = msg->buffer.size();
  return msg->buffer.data();
}

const uint8_t* MsgBodyData(const LRPC2Msg* msg, size_t* length) {
  if (msg == nullptr || msg->size() < msg->headerLength) return nullptr;
  if (length) *length = msg->size() - msg->headerLength;
  return msg->bytes() + msg->headerLength;
}

uint32_t MsgTypeOf(const LRPC2Msg* msg) {
  if (msg == nullptr || msg->size() - msg->headerLength < 2) return 0;
  return getU16(msg->bytes() + msg->headerLength);
}

// A set read in two passes. The first (no allocation) checks every item; then
// the table of n + 1 entries of T and the items' bytes are allocated as one
// block, and next() copies the items in order, each zero-terminated.
template <class T>
class SetReader {
 public:
  SetReader(LRPC2Msg* msg, uint8_t tag) : msg_(msg), tag_(tag), c_(msg) {}

  int begin(T** out, uint32_t* n) {
    Cursor scan(msg_);
    size_t text;
    const int rc = ScanSet(scan, tag_, n, &text);
    if (rc != MSG_OK) return rc;
    const size_t table = (static_cast<size_t>(*n) + 1) * sizeof(T);
    *out = static_cast<T*>(AllocSet(table + text));
    if (*out == nullptr) return MSG_ERR_NOMEM;
    p_ = reinterpret_cast<uint8_t*>(*out) + table;
    c_.tag(tag_);
    uint32_t count;
    c_.u32(&count);
    return MSG_OK;
  }
  // Copies the next item; returns the copy and its length.
  uint8_t* next(uint32_t* length) {
    const uint8_t* data = nullptr;
    *length = 0;
    c_.lengthAndBytes(&data, length, false);
    if (*length > 0) memcpy(p_, data, *length);
    p_[*length] = 0;
    uint8_t* copy = p_;
    p_ += *length + 1;
    return copy;
  }
  void commit() { c_.commit(msg_); }

 private:
  LRPC2Msg* msg_;
  uint8_t tag_;
  Cursor c_;
  uint8_t* p_ = nullptr;
};

// Reads `count` scalars of `tag` into a malloc'd array. A first pass without
// allocating fails a count larger than the message holds, within the
// message's size, with the status of the read that could not be done.
template <class T>
int ReadArray(LRPC2Msg* msg, uint8_t tag, T** array, uint32_t count) {
  int rc = ReadState(msg);
  if (rc != MSG_OK) return rc;
  if (array == nullptr) return MSG_ERR_UNEXPECTED;
  Cursor c(msg);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t v;
    if ((rc = c.tag(tag)) != MSG_OK) return rc;
    if (!c.scalar(tag, &v)) return MSG_ERR_INVALID;
  }
  T* out = nullptr;
  if (count > 0) {
    out = static_cast<T*>(malloc(sizeof(T) * count));
    if (out == nullptr) return MSG_ERR_NOMEM;
  }
  Cursor fill(msg);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t v = 0;
    fill.tag(tag);
    fill.scalar(tag, &v);
    out[i] = tag == MSG_TAG_BOOL ? static_cast<T>(v != 0) : static_cast<T>(v);
  }
  fill.commit(msg);
  *array = out;
  return MSG_OK;
}

}  // namespace lrpc2

using namespace lrpc2;

extern "C" {

// ---- life cycle ------------------------------------------------------------

LRPC2Msg* MsgNew(uint32_t type, uint32_t flags, const MsgTable* table, uint32_t headerLength,
                 int* status) {
  int dummy;
  int& st = status ? *status : dummy;
  if (table == nullptr) table = OVGPrivGetMsgTable();
  const MsgTableEntry* e = MsgTableFindEntry(table, type);
  if (e == nullptr || type > UINT16_MAX || headerLength > MSG_MAX_HEADER_LENGTH) {
    st = MSG_ERR_INVALID;
    return nullptr;
  }
  LRPC2Msg* m = new (std::nothrow) LRPC2Msg;
  if (m == nullptr) {
    st = MSG_ERR_NOMEM;
    return nullptr;
  }
  try {
    m->buffer.reserve(256);
    m->buffer.resize(headerLength + 2u, 0);
  } catch (const std::bad_alloc&) {
    delete m;
    st = MSG_ERR_NOMEM;
    return nullptr;
  }
  putU16(m->buffer.data() + headerLength, static_cast<uint16_t>(type));
  m->table = table;
  m->headerLength = headerLength;
  m->flags = flags | (e->flags & (MSG_FLAG_SENSITIVE | MSG_FLAG_DOASYNC));
  st = MSG_OK;
  return m;
}

LRPC2Msg* MsgNewFromData(const void* data, size_t length, int copy, const MsgTable* table,
                         uint32_t headerLength, int* status) {
  int dummy;
  int& st = status ? *status : dummy;
  if (data == nullptr || headerLength > length) {
    st = MSG_ERR_INVALID;
    return nullptr;
  }
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (copy) {
    ofw::SecureBytes owned;
    try {
      owned.assign(bytes, bytes + length);
    } catch (const std::bad_alloc&) {
      st = MSG_ERR_NOMEM;
      return nullptr;
    }
    return MsgAdoptBuffer(std::move(owned), table, headerLength, status);
  }
  bool sensitive = false;
  int rc = MsgValidateBody(bytes + headerLength, length - headerLength, &sensitive);
  if (rc != MSG_OK) {
    st = rc;
    return nullptr;
  }
  LRPC2Msg* m = new (std::nothrow) LRPC2Msg;
  if (m == nullptr) {
    st = MSG_ERR_NOMEM;
    return nullptr;
  }
  m->table = table ? table : OVGPrivGetMsgTable();
  m->headerLength = headerLength;
  m->external = bytes;
  m->externalLength = length;
  const uint32_t type = getU16(bytes + headerLength);
  if (const MsgTableEntry* e = MsgTableFindEntry(m->table, type))
    m->flags = e->flags & (MSG_FLAG_SENSITIVE | MSG_FLAG_DOASYNC);
  if (sensitive) m->flags |= MSG_FLAG_SENSITIVE;
  m->state = MSG_STATE_COMPLETE;
  m->pos = headerLength + 2;
  st = MSG_OK;
  return m;
}

void MsgFree(LRPC2Msg* msg) { delete msg; }  // the buffer wipes itself

// ---- writing ---------------------------------------------------------------

int MsgWriteBool(LRPC2Msg* msg, int value) {
  return DoWrite(msg, true, [&] {
    AppendU8(msg, MSG_TAG_BOOL);
    AppendU8(msg, value ? 1 : 0);
    return static_cast<int>(MSG_OK);
  });
}

int MsgWriteInt32(LRPC2Msg* msg, int32_t value) {
  return DoWrite(msg, true, [&] {
    AppendU8(msg, MSG_TAG_INT32);
    AppendU32(msg, static_cast<uint32_t>(value));
    return static_cast<int>(MSG_OK);
  });
}

int MsgWriteUInt32(LRPC2Msg* msg, uint32_t value) {
  return DoWrite(msg, true, [&] {
    AppendU8(msg, MSG_TAG_UINT32);
    AppendU32(msg, value);
    return static_cast<int>(MSG_OK);
  });
}

int MsgWriteString(LRPC2Msg* msg, const char* value) {
  return WriteStringTag(msg, MSG_TAG_STRING, value);
}

int MsgWritePassword(LRPC2Msg* msg, const char* value) {
  return WriteStringTag(msg, MSG_TAG_PASSWORD, value);
}

int MsgWriteBlob(LRPC2Msg* msg, const void* data, uint32_t length) {
  return DoWrite(msg, true, [&] {
    if (data == nullptr && length > 0 && length != MSG_NULL_LENGTH)
      return static_cast<int>(MSG_ERR_UNEXPECTED);
    AppendU8(msg, MSG_TAG_BLOB);
    // A zero-length blob is written as null.
    AppendLengthAndBytes(msg, data, (data == nullptr || length == 0) ? MSG_NULL_LENGTH : length);
    return static_cast<int>(MSG_OK);
  });
}

int MsgWriteBoolArray(LRPC2Msg* msg, const int* values, uint32_t count) {
  return DoWrite(msg, true, [&] {
    if (values == nullptr && count > 0) return static_cast<int>(MSG_ERR_UNEXPECTED);
    for (uint32_t i = 0; i < count; ++i) {
      AppendU8(msg, MSG_TAG_BOOL);
      AppendU8(msg, values[i] ? 1 : 0);
    }
    return static_cast<int>(MSG_OK);
  });
}

int MsgWriteIntArray(LRPC2Msg* msg, const int32_t* values, uint32_t count) {
  return DoWrite(msg, true, [&] {
    if (values == nullptr && count > 0) return static_cast<int>(MSG_ERR_UNEXPECTED);
    for (uint32_t i = 0; i < count; ++i) {
      AppendU8(msg, MSG_TAG_INT32);
      AppendU32(msg, static_cast<uint32_t>(values[i]));
    }
    return static_cast<int>(MSG_OK);
  });
}

int MsgWriteStringSet(LRPC2Msg* msg, const char* const* set) {
  return DoWrite(msg, true, [&] {
    const size_t n = StringSetSize(set);
    if (n >= MSG_NULL_LENGTH) return static_cast<int>(MSG_ERR_UNEXPECTED);
    uint32_t lengths[1] = {0};
    for (size_t i = 0; i < n; ++i)
      if (!WireLength(set[i], &lengths[0])) return static_cast<int>(MSG_ERR_UNEXPECTED);
    AppendU8(msg, MSG_TAG_SET);
    AppendU32(msg, static_cast<uint32_t>(n));
    for (size_t i = 0; i < n; ++i) {
      WireLength(set[i], &lengths[0]);
      AppendLengthAndBytes(msg, set[i], lengths[0]);
    }
    return static_cast<int>(MSG_OK);
  });
}

int MsgWriteKeyValueSet(LRPC2Msg* msg, const MsgKeyValue* pairs) {
  return DoWrite(msg, true, [&] {
    size_t n = 0;
    if (pairs != nullptr)
      for (; pairs[n].key != nullptr; ++n) {
        uint32_t k, v;
        if (!WireLength(pairs[n].key, &k) || !WireLength(pairs[n].value, &v))
          return static_cast<int>(MSG_ERR_UNEXPECTED);
      }
    if (n >= MSG_NULL_LENGTH) return static_cast<int>(MSG_ERR_UNEXPECTED);
    AppendU8(msg, MSG_TAG_KEYVALUE_SET);
    AppendU32(msg, static_cast<uint32_t>(n));
    for (size_t i = 0; i < n; ++i) {
      const char* value = pairs[i].value ? pairs[i].value : "";
      AppendLengthAndBytes(msg, pairs[i].key, static_cast<uint32_t>(strlen(pairs[i].key)));
      AppendLengthAndBytes(msg, value, static_cast<uint32_t>(strlen(value)));
    }
    return static_cast<int>(MSG_OK);
  });
}

int MsgWriteProtectedBlob(LRPC2Msg* msg, const void* data, uint32_t length,
                          const MsgCryptoProviders* providers) {
  return DoWrite(msg, true, [&] {
    AppendU8(msg, MSG_TAG_PROTECTED_BLOB);
    if (data == nullptr || length == 0) {
      AppendU32(msg, MSG_NULL_LENGTH);
      return static_cast<int>(MSG_OK);
    }
    if (length > MSG_PROTECTED_MAX_PLAINTEXT) return static_cast<int>(MSG_ERR_UNEXPECTED);
    const size_t lengthOffset = msg->buffer.size();
    AppendU32(msg, 0);
    int rc = crypto::Protect(static_cast<const uint8_t*>(data), length, providers, msg->buffer);
    if (rc != MSG_OK) return rc;
    putU32(msg->buffer.data() + lengthOffset,
           static_cast<uint32_t>(msg->buffer.size() - lengthOffset - 4));
    msg->flags |= MSG_FLAG_SENSITIVE;
    return static_cast<int>(MSG_OK);
  });
}

int MsgWriteBeginStringSet(LRPC2Msg* msg) { return BeginSet(msg, MSG_TAG_SET); }

int MsgWriteAppendStringToSet(LRPC2Msg* msg, const char* value) {
  if (value == nullptr) value = "";  // a null item is written as an empty string
  uint32_t length;
  if (!WireLength(value, &length)) length = MSG_NULL_LENGTH;  // refused below
  if (length == MSG_NULL_LENGTH)
    return DoWrite(msg, false, [] { return static_cast<int>(MSG_ERR_UNEXPECTED); });
  const void* data[1] = {value};
  return AppendSetItem(msg, MSG_TAG_SET, 1, data, &length);
}

int MsgWriteAppendBlobToSet(LRPC2Msg* msg, const void* data, uint32_t length) {
  if ((data == nullptr && length > 0) || length == MSG_NULL_LENGTH)
    return DoWrite(msg, false, [] { return static_cast<int>(MSG_ERR_UNEXPECTED); });
  const void* items[1] = {data};
  return AppendSetItem(msg, MSG_TAG_SET, 1, items, &length);
}

int MsgWriteBeginKeyValueSet(LRPC2Msg* msg) { return BeginSet(msg, MSG_TAG_KEYVALUE_SET); }

int MsgWriteAppendKeyValuePair(LRPC2Msg* msg, const char* key, const char* value) {
  if (key == nullptr) key = "";
  if (value == nullptr) value = "";
  uint32_t lengths[2];
  if (!WireLength(key, &lengths[0]) || !WireLength(value, &lengths[1]))
    return DoWrite(msg, false, [] { return static_cast<int>(MSG_ERR_UNEXPECTED); });
  const void* data[2] = {key, value};
  return AppendSetItem(msg, MSG_TAG_KEYVALUE_SET, 2, data, lengths);
}

int MsgComplete(LRPC2Msg* msg) {
  int rc = DoWrite(msg, true, [&] {
    AppendU8(msg, MSG_TAG_END);
    return static_cast<int>(MSG_OK);
  });
  if (rc != MSG_OK) return rc;
  msg->state = MSG_STATE_COMPLETE;
  msg->pos = msg->headerLength + 2u;
  return MSG_OK;
}

// ---- accessors -------------------------------------------------------------

const uint8_t* MsgGetData(const LRPC2Msg* msg, size_t* length) {
  if (msg == nullptr) return nullptr;
  if (length) *length = msg->size();
  return msg->bytes();
}

int MsgSetSigChecks(LRPC2Msg* msg, int on) {
  if (msg == nullptr || msg->state == MSG_STATE_ERROR) return MSG_ERR_INVALID;
  if (on)
    msg->flags |= MSG_FLAG_SIGCHECKS;
  else
    msg->flags &= ~static_cast<uint32_t>(MSG_FLAG_SIGCHECKS);
  return MSG_OK;
}

int MsgGetSigChecks(const LRPC2Msg* msg) { return msg && (msg->flags & MSG_FLAG_SIGCHECKS) != 0; }
int MsgGetState(const LRPC2Msg* msg) { return msg ? msg->state : MSG_STATE_ERROR; }
uint32_t MsgGetFlags(const LRPC2Msg* msg) { return msg ? msg->flags : 0; }
uint32_t MsgGetHeaderLength(const LRPC2Msg* msg) { return msg ? msg->headerLength : 0; }
size_t MsgGetBodyLength(const LRPC2Msg* msg) {
  return msg && msg->size() >= msg->headerLength ? msg->size() - msg->headerLength : 0;
}

// ---- reading ---------------------------------------------------------------

int MsgReadMsgType(LRPC2Msg* msg, uint32_t* type) {
  int rc = ReadState(msg);
  if (rc != MSG_OK) return rc;
  if (type == nullptr) return MSG_ERR_UNEXPECTED;
  *type = MsgTypeOf(msg);
  return MSG_OK;
}

int MsgReadDoAsync(LRPC2Msg* msg, int* doAsync) {
  int rc = ReadState(msg);
  if (rc != MSG_OK) return rc;
  if (doAsync == nullptr) return MSG_ERR_UNEXPECTED;
  *doAsync = (msg->flags & MSG_FLAG_DOASYNC) != 0;
  return MSG_OK;
}

int MsgReadBool(LRPC2Msg* msg, int* value) {
  uint32_t raw;
  if (value == nullptr) return ReadState(msg) != MSG_OK ? MSG_ERR_INVALID : MSG_ERR_UNEXPECTED;
  int rc = ReadScalar(msg, MSG_TAG_BOOL, &raw);
  if (rc == MSG_OK) *value = raw != 0;
  return rc;
}

int MsgReadInt32(LRPC2Msg* msg, int32_t* value) {
  uint32_t raw;
  if (value == nullptr) return ReadState(msg) != MSG_OK ? MSG_ERR_INVALID : MSG_ERR_UNEXPECTED;
  int rc = ReadScalar(msg, MSG_TAG_INT32, &raw);
  if (rc == MSG_OK) *value = static_cast<int32_t>(raw);
  return rc;
}

int MsgReadUInt32(LRPC2Msg* msg, uint32_t* value) {
  uint32_t raw;
  if (value == nullptr) return ReadState(msg) != MSG_OK ? MSG_ERR_INVALID : MSG_ERR_UNEXPECTED;
  int rc = ReadScalar(msg, MSG_TAG_UINT32, &raw);
  if (rc == MSG_OK) *value = raw;
  return rc;
}

int MsgReadString(LRPC2Msg* msg, char** value) { return ReadStringTag(msg, MSG_TAG_STRING, value); }

int MsgReadPassword(LRPC2Msg* msg, char** value) {
  return ReadStringTag(msg, MSG_TAG_PASSWORD, value);
}

int MsgReadBlob(LRPC2Msg* msg, void** data, uint32_t* length) {
  int rc = ReadState(msg);
  if (rc != MSG_OK) return rc;
  if (data == nullptr || length == nullptr) return MSG_ERR_UNEXPECTED;
  Cursor c(msg);
  if ((rc = c.tag(MSG_TAG_BLOB)) != MSG_OK) return rc;
  const uint8_t* bytes;
  uint32_t n;
  if (!c.lengthAndBytes(&bytes, &n, true)) return MSG_ERR_INVALID;
  void* copy = nullptr;
  uint32_t copyLength = 0;
  if (bytes != nullptr && n > 0) {
    copy = CopyString(bytes, n);
    if (copy == nullptr) return MSG_ERR_NOMEM;
    copyLength = n;
  }
  c.commit(msg);
  *data = copy;
  *length = copyLength;
  return MSG_OK;
}

int MsgReadStringSet(LRPC2Msg* msg, char*** set) {
  int rc = ReadState(msg);
  if (rc != MSG_OK) return rc;
  if (set == nullptr) return MSG_ERR_UNEXPECTED;
  SetReader<char*> r(msg, MSG_TAG_SET);
  char** out;
  uint32_t n;
  if ((rc = r.begin(&out, &n)) != MSG_OK) return rc;
  uint32_t length;
  for (uint32_t i = 0; i < n; ++i) out[i] = reinterpret_cast<char*>(r.next(&length));
  out[n] = nullptr;
  r.commit();
  *set = out;
  return MSG_OK;
}

int MsgReadBlobSet(LRPC2Msg* msg, MsgBlob** blobs, uint32_t* count) {
  int rc = ReadState(msg);
  if (rc != MSG_OK) return rc;
  if (blobs == nullptr || count == nullptr) return MSG_ERR_UNEXPECTED;
  SetReader<MsgBlob> r(msg, MSG_TAG_SET);
  MsgBlob* out;
  uint32_t n;
  if ((rc = r.begin(&out, &n)) != MSG_OK) return rc;
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t* copy = r.next(&out[i].length);
    out[i].data = out[i].length > 0 ? copy : nullptr;
  }
  out[n].data = nullptr;
  out[n].length = 0;
  r.commit();
  *blobs = out;
  *count = n;
  return MSG_OK;
}

int MsgReadKeyValueSet(LRPC2Msg* msg, MsgKeyValue** pairs) {
  int rc = ReadState(msg);
  if (rc != MSG_OK) return rc;
  if (pairs == nullptr) return MSG_ERR_UNEXPECTED;
  SetReader<MsgKeyValue> r(msg, MSG_TAG_KEYVALUE_SET);
  MsgKeyValue* out;
  uint32_t n;
  if ((rc = r.begin(&out, &n)) != MSG_OK) return rc;
  uint32_t length;
  for (uint32_t i = 0; i < n; ++i) {
    out[i].key = reinterpret_cast<char*>(r.next(&length));
    out[i].value = reinterpret_cast<char*>(r.next(&length));
  }
  out[n].key = nullptr;
  out[n].value = nullptr;
  r.commit();
  *pairs = out;
  return MSG_OK;
}

int MsgReadProtectedBlob(LRPC2Msg* msg, void** data, uint32_t* length,
                         const MsgCryptoProviders* providers) {
  int rc = ReadState(msg);
  if (rc != MSG_OK) return rc;
  if (data == nullptr || length == nullptr) return MSG_ERR_UNEXPECTED;
  Cursor c(msg);
  if ((rc = c.tag(MSG_TAG_PROTECTED_BLOB)) != MSG_OK) return rc;
  const uint8_t* payload;
  uint32_t n;
  if (!c.lengthAndBytes(&payload, &n, true)) return MSG_ERR_INVALID;
  uint8_t* plain = nullptr;
  uint32_t plainLength = 0;
  if (payload != nullptr) {
    rc = crypto::Unprotect(payload, n, providers, &plain, &plainLength);
    if (rc != MSG_OK) return rc;
  }
  c.commit(msg);
  *data = plain;
  *length = plainLength;
  return MSG_OK;
}

int MsgReadBoolArray(LRPC2Msg* msg, int** array, uint32_t count) {
  return ReadArray(msg, MSG_TAG_BOOL, array, count);
}

int MsgReadIntArray(LRPC2Msg* msg, int32_t** array, uint32_t count) {
  return ReadArray(msg, MSG_TAG_INT32, array, count);
}

int MsgPeekData(LRPC2Msg* msg, int* tag) {
  int rc = ReadState(msg);
  if (rc != MSG_OK) return rc;
  if (tag == nullptr) return MSG_ERR_UNEXPECTED;
  if (msg->pos >= msg->size()) return MSG_ERR_EOM;
  *tag = msg->bytes()[msg->pos];
  return MSG_OK;
}

// ---- helpers ---------------------------------------------------------------

size_t StringSetSize(const char* const* set) {
  size_t n = 0;
  if (set != nullptr)
    while (set[n] != nullptr) ++n;
  return n;
}

void FreeStringSet(char** set) {
  if (set == nullptr) return;
  for (size_t i = 0; set[i] != nullptr; ++i) free(set[i]);
  free(set);
}

void FreeMsgStringSet(char** set) { FreeSet(set); }
void FreeMsgBlobSet(MsgBlob* blobs) { FreeSet(blobs); }
void FreeMsgKeyValueSet(MsgKeyValue* pairs) { FreeSet(pairs); }

void MsgFreeSensitive(void* data, size_t length) {
  if (data == nullptr) return;
  explicit_bzero(data, length);
  free(data);
}

void MsgFreePassword(char* password) {
  if (password == nullptr) return;
  MsgFreeSensitive(password, strlen(password));
}

const char* MsgErr2Str(int status) {
  switch (status) {
    case MSG_ERR_NOMEM: return "Out of memory";
    case MSG_ERR_UNEXPECTED: return "Unexpected data";
    case MSG_ERR_BADTYPE: return "Incorrect data type";
    case MSG_ERR_EOM: return "At end of message";
    case MSG_ERR_NOTCOMPLETE: return "Message not completed";
    case MSG_ERR_ENCTYPE: return "Encryption type not supported";
    case MSG_ERR_CRYPTO: return "Encryption or decryption error";
    case MSG_ERR_INVALID: return "Message invalid";
    default: return nullptr;
  }
}

}  // extern "C"
