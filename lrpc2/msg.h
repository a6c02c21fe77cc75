// LRPC2 messages: a typed, self-describing sequence of values built by
// appending and read back in the same order.
//
// Body layout (what follows the transport header; all integers host order):
//   uint16 message type, then values, each a 1-byte tag and its payload, then
//   tag 0 as the very last byte.
//   tag 1 bool      1 byte, 0 or 1
//   tag 2 int32     4 bytes
//   tag 3 uint32    4 bytes
//   tag 4 string    uint32 length + bytes (no terminator); 0xFFFFFFFF = null
//   tag 5 password  as string; marks the message as sensitive
//   tag 6 blob      uint32 length + bytes; 0xFFFFFFFF = null (length 0 is
//                   written as null)
//   tag 7 set       uint32 count, then count items (uint32 length, bytes)
//   tag 8 key/value uint32 count, then count pairs (length, key, length, value)
//   tag 9 protected uint32 length + protected payload (see msg_crypto.h);
//                   0xFFFFFFFF = null
//
// The API is C-style: plain functions over an opaque handle returning integer
// status codes (0 success, 200-207 below). Conventions that hold everywhere:
//  - Every write returns 207 for a null message or one in the error state and
//    203 for a complete one; any other failing write puts the message into the
//    error state, after which every call returns 207.
//  - Every read returns 207 unless the message is complete and 203 at the end
//    of the data. A read of the wrong type returns 202. A failed read never
//    consumes anything: the read position is unchanged.
//  - Output pointers are untouched on failure.
//  - Every buffer that held message bytes is overwritten with zeros before it
//    is released, so passwords and sensitive messages never linger in freed
//    memory. Passwords and decrypted blobs handed to the caller should be
//    released with MsgFreeSensitive / MsgFreePassword for the same reason.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "lrpc2/msg_types.h"

#ifdef __cplusplus
extern "C" {
#endif

// Status codes of the message layer.
enum {
  MSG_OK = 0,
  MSG_ERR_NOMEM = 200,         // "Out of memory"
  MSG_ERR_UNEXPECTED = 201,    // "Unexpected data"
  MSG_ERR_BADTYPE = 202,       // "Incorrect data type"
  MSG_ERR_EOM = 203,           // "At end of message"
  MSG_ERR_NOTCOMPLETE = 204,   // "Message not completed"
  MSG_ERR_ENCTYPE = 205,       // "Encryption type not supported"
  MSG_ERR_CRYPTO = 206,        // "Encryption or decryption error"
  MSG_ERR_INVALID = 207        // "Message invalid"
};

// Value tags.
enum {
  MSG_TAG_END = 0,
  MSG_TAG_BOOL = 1,
  MSG_TAG_INT32 = 2,
  MSG_TAG_UINT32 = 3,
  MSG_TAG_STRING = 4,
  MSG_TAG_PASSWORD = 5,
  MSG_TAG_BLOB = 6,
  MSG_TAG_SET = 7,
  MSG_TAG_KEYVALUE_SET = 8,
  MSG_TAG_PROTECTED_BLOB = 9
};

// Message states.
enum { MSG_STATE_BUILDING = 0, MSG_STATE_COMPLETE = 1, MSG_STATE_ERROR = 2 };

// Message flags (the low bits are those of the message-type table).
enum {
  MSG_FLAG_SENSITIVE = 0x1,    // holds sensitive data
  MSG_FLAG_AUTH = 0x3,         // table only: both low bits = authentication required
  MSG_FLAG_DOASYNC = 0x4,      // execute asynchronously, no reply
  MSG_FLAG_SIGCHECKS = 0x8     // signatures are checked for this message
};

// Length value of a null string, blob or protected blob.
#define MSG_NULL_LENGTH 0xFFFFFFFFu
// Bytes reserved in front of every body for the largest transport header.
#define MSG_MAX_HEADER_LENGTH 48u

// ---- Message-type table ----------------------------------------------------

typedef struct MsgTableEntry {
  uint32_t type;
  const char* name;
  uint32_t flags;
} MsgTableEntry;

typedef struct MsgTable {
  uint32_t count;
  const MsgTableEntry* entries;  // sorted by type, strictly ascending
} MsgTable;

// The product's table of the 87 message types.
const MsgTable* OVGPrivGetMsgTable(void);
// Binary search in `table` (null = the product's table); null when unknown.
const MsgTableEntry* MsgTableFindEntry(const MsgTable* table, uint32_t type);
// Look-ups in the product's table. An unknown type has no name (null) and
// every flag false. Authentication is required only when both low bits are set.
const char* MsgTableGetMsgTypeName(uint32_t type);
int MsgTableGetAuthRequired(uint32_t type);
int MsgTableHasSensitiveData(uint32_t type);
int MsgTableGetDoAsync(uint32_t type);

// ---- Messages --------------------------------------------------------------

typedef struct LRPC2Msg LRPC2Msg;

// Caller-supplied key and IV providers for protected blobs; any null member
// falls back to the built-in key table / getrandom. Each returns 0 on success.
typedef struct MsgCryptoProviders {
  void* context;
  // Writer: choose a key, return its index and its 8 bytes.
  int (*getKey)(void* context, uint16_t* index, uint8_t key[8]);
  // Reader: the 8 key bytes of `index`.
  int (*findKey)(void* context, uint16_t index, uint8_t key[8]);
  // Writer: a fresh 8-byte IV.
  int (*getIV)(void* context, uint8_t iv[8]);
} MsgCryptoProviders;

typedef struct MsgBlob {
  void* data;       // zero-terminated copy; null for an empty item
  uint32_t length;
} MsgBlob;

typedef struct MsgKeyValue {
  char* key;
  char* value;
} MsgKeyValue;

// Creates a message in the building state: `headerLength` zero bytes reserved
// for the transport header, then the type. `flags` is or-ed with the type's
// table flags. table null = the product's table. A type not in the table
// cannot be created (207).
LRPC2Msg* MsgNew(uint32_t type, uint32_t flags, const MsgTable* table, uint32_t headerLength,
                 int* status);

// Validates the body that follows `headerLength` bytes of `data` and wraps it
// as a complete message (207 for any malformed body, no message created). With
// copy false the message refers to `data`, which must outlive it and stay
// unchanged.
LRPC2Msg* MsgNewFromData(const void* data, size_t length, int copy, const MsgTable* table,
                         uint32_t headerLength, int* status);

void MsgFree(LRPC2Msg* msg);

int MsgWriteBool(LRPC2Msg* msg, int value);
int MsgWriteInt32(LRPC2Msg* msg, int32_t value);
int MsgWriteUInt32(LRPC2Msg* msg, uint32_t value);
int MsgWriteString(LRPC2Msg* msg, const char* value);      // null allowed
int MsgWritePassword(LRPC2Msg* msg, const char* value);    // null allowed
int MsgWriteBlob(LRPC2Msg* msg, const void* data, uint32_t length);
int MsgWriteBoolArray(LRPC2Msg* msg, const int* values, uint32_t count);
int MsgWriteIntArray(LRPC2Msg* msg, const int32_t* values, uint32_t count);
// `set` ends with a null pointer (null set = empty set).
int MsgWriteStringSet(LRPC2Msg* msg, const char* const* set);
// `pairs` ends with a pair whose key is null; a null value is written as "".
int MsgWriteKeyValueSet(LRPC2Msg* msg, const MsgKeyValue* pairs);
// Encrypts `data` (DES-CBC) into a protected blob; null/empty data is written
// as a null protected blob. At most MSG_PROTECTED_MAX_PLAINTEXT bytes.
int MsgWriteProtectedBlob(LRPC2Msg* msg, const void* data, uint32_t length,
                          const MsgCryptoProviders* providers);
#define MSG_PROTECTED_MAX_PLAINTEXT 65528u

// Incremental sets: the count is patched when any other write or MsgComplete
// follows. Appending without a matching begun set returns 201.
int MsgWriteBeginStringSet(LRPC2Msg* msg);
int MsgWriteAppendStringToSet(LRPC2Msg* msg, const char* value);  // null -> ""
int MsgWriteAppendBlobToSet(LRPC2Msg* msg, const void* data, uint32_t length);
int MsgWriteBeginKeyValueSet(LRPC2Msg* msg);
int MsgWriteAppendKeyValuePair(LRPC2Msg* msg, const char* key, const char* value);

// Appends tag 0; the message becomes complete and readable from its start.
int MsgComplete(LRPC2Msg* msg);

// The whole buffer including the reserved header bytes, and its length.
// Valid until the next write or MsgFree.
const uint8_t* MsgGetData(const LRPC2Msg* msg, size_t* length);
int MsgSetSigChecks(LRPC2Msg* msg, int on);
int MsgGetSigChecks(const LRPC2Msg* msg);
int MsgGetState(const LRPC2Msg* msg);
uint32_t MsgGetFlags(const LRPC2Msg* msg);
uint32_t MsgGetHeaderLength(const LRPC2Msg* msg);
// Bytes of the body (type, values, tag 0); 0 for a null message.
size_t MsgGetBodyLength(const LRPC2Msg* msg);

int MsgReadMsgType(LRPC2Msg* msg, uint32_t* type);  // any position; does not move it
int MsgReadDoAsync(LRPC2Msg* msg, int* doAsync);
int MsgReadBool(LRPC2Msg* msg, int* value);
int MsgReadInt32(LRPC2Msg* msg, int32_t* value);
int MsgReadUInt32(LRPC2Msg* msg, uint32_t* value);
// Caller frees with free(); *value null for a null string.
int MsgReadString(LRPC2Msg* msg, char** value);
// Caller frees with MsgFreePassword.
int MsgReadPassword(LRPC2Msg* msg, char** value);
// Zero-terminated copy, caller frees; null and 0 for a null or empty blob.
int MsgReadBlob(LRPC2Msg* msg, void** data, uint32_t* length);
// One allocation each, freed with FreeMsgStringSet / FreeMsgBlobSet /
// FreeMsgKeyValueSet. The string set and key/value set end with null entries.
int MsgReadStringSet(LRPC2Msg* msg, char*** set);
int MsgReadBlobSet(LRPC2Msg* msg, MsgBlob** blobs, uint32_t* count);
int MsgReadKeyValueSet(LRPC2Msg* msg, MsgKeyValue** pairs);
// Decrypted payload, zero-terminated, caller frees with MsgFreeSensitive.
// Null and 0 for a null protected blob.
int MsgReadProtectedBlob(LRPC2Msg* msg, void** data, uint32_t* length,
                         const MsgCryptoProviders* providers);
// `count` consecutive values; the array is allocated (free()); null for 0.
int MsgReadBoolArray(LRPC2Msg* msg, int** array, uint32_t count);
int MsgReadIntArray(LRPC2Msg* msg, int32_t** array, uint32_t count);
// The next tag without consuming it (MSG_TAG_END at the end marker).
int MsgPeekData(LRPC2Msg* msg, int* tag);

// Set helpers.
size_t StringSetSize(const char* const* set);
// Frees a null-terminated set whose strings and array were each malloc'ed.
void FreeStringSet(char** set);
void FreeMsgStringSet(char** set);
void FreeMsgBlobSet(MsgBlob* blobs);
void FreeMsgKeyValueSet(MsgKeyValue* pairs);
// Wipes and frees.
void MsgFreeSensitive(void* data, size_t length);
void MsgFreePassword(char* password);

// Text of a message-layer status; null for codes without text.
const char* MsgErr2Str(int status);

#ifdef __cplusplus
}  // extern "C"
#endif

#ifdef __cplusplus
#include <memory>

// The owner of one message: frees it (MsgFree, which wipes its bytes) when the
// owner goes. Every C++ holder of a message uses it.
struct MsgDeleter {
  void operator()(LRPC2Msg* m) const { MsgFree(m); }
};
typedef std::unique_ptr<LRPC2Msg, MsgDeleter> MsgPtr;
#endif
