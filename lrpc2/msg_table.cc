// The product's message-type table and its binary-search look-ups.
#include "lrpc2/msg.h"

namespace {

constexpr MsgTableEntry kEntries[] = {
#define LRPC2_MSG_TYPE_ENTRY(num, ident, name, flags) {num, name, flags},
    LRPC2_MSG_TYPES(LRPC2_MSG_TYPE_ENTRY)
#undef LRPC2_MSG_TYPE_ENTRY
};

constexpr uint32_t kEntryCount = sizeof(kEntries) / sizeof(kEntries[0]);
static_assert(kEntryCount == 87, "the message-type table has 87 entries");
static_assert(sizeof(MsgTableEntry) == 24 || sizeof(void*) != 8, "24-byte table entries");

constexpr bool SortedFrom(uint32_t i) {
  return i + 1 >= kEntryCount || (kEntries[i].type < kEntries[i + 1].type && SortedFrom(i + 1));
}
static_assert(SortedFrom(0), "the message-type table must be sorted by type for binary search");

const MsgTable kTable = {kEntryCount, kEntries};

}  // namespace

extern "C" {

const MsgTable* OVGPrivGetMsgTable(void) { return &kTable; }

const MsgTableEntry* MsgTableFindEntry(const MsgTable* table, uint32_t type) {
  if (table == nullptr) table = &kTable;
  if (table->entries == nullptr) return nullptr;
  uint32_t lo = 0, hi = table->count;  // search [lo, hi)
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    const uint32_t t = table->entries[mid].type;
    if (t == type) return &table->entries[mid];
    if (t < type)
      lo = mid + 1;
    else
      hi = mid;
  }
  return nullptr;
}

const char* MsgTableGetMsgTypeName(uint32_t type) {
  const MsgTableEntry* e = MsgTableFindEntry(&kTable, type);
  return e ? e->name : nullptr;
}

int MsgTableGetAuthRequired(uint32_t type) {
  const MsgTableEntry* e = MsgTableFindEntry(&kTable, type);
  return e && (e->flags & MSG_FLAG_AUTH) == MSG_FLAG_AUTH;
}

int MsgTableHasSensitiveData(uint32_t type) {
  const MsgTableEntry* e = MsgTableFindEntry(&kTable, type);
  return e && (e->flags & MSG_FLAG_SENSITIVE) != 0;
}

int MsgTableGetDoAsync(uint32_t type) {
  const MsgTableEntry* e = MsgTableFindEntry(&kTable, type);
  return e && (e->flags & MSG_FLAG_DOASYNC) != 0;
}

}  // extern "C"
