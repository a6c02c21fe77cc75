#include "ofw/dbq/dbq.h"

namespace ofw {

namespace {
std::atomic<uint64_t> gNextIdentity{1};
}  // namespace

void DBQ::takeNewIdentity() { m_identity.store(gNextIdentity.fetch_add(1)); }

}  // namespace ofw
