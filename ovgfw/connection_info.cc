#include "ovgfw/connection_info.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ovgfw/ovg_exception.h"

namespace ovgfw {

namespace {

std::string lowered(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

}  // namespace

ConnectionInfoPtr ConnectionRecords::getLocked(const std::string& target) {
  if (target.empty()) OFW_THROW(ofw::SystemException, "hostPortSpn may not be empty");
  ConnectionInfoPtr& info = records_[lowered(target)];
  if (!info) {
    info = std::make_shared<ConnectionInfo>();
    info->hostPortSpn = target;
  }
  return info;
}

ConnectionInfoPtr ConnectionRecords::get(const std::string& target) {
  ofw::Lock lock(mutex_);
  return getLocked(target);
}

std::vector<ConnectionInfo> ConnectionRecords::list() const {
  ofw::Lock lock(mutex_);
  std::vector<ConnectionInfo> out;
  for (const auto& r : records_) out.push_back(*r.second);
  return out;
}

void ConnectionRecords::markOffLimits(const std::string& target, long seconds) {
  if (target.empty()) return;
  ofw::Lock lock(mutex_);
  getLocked(target)->offLimitsUntil = time(nullptr) + seconds;
}

void ConnectionRecords::checkOffLimits(const std::string& target) {
  ofw::Lock lock(mutex_);
  ConnectionInfoPtr info = getLocked(target);
  if (info->offLimitsUntil == 0) return;
  const time_t now = time(nullptr);
  if (now < info->offLimitsUntil)
    throw OVGException(ofw::format("SCP: %s is avoided. Reconsider it after %d seconds.", target.c_str(),
                                   static_cast<int>(info->offLimitsUntil - now)),
                       0, __FILE__, __LINE__);
  info->offLimitsUntil = 0;
}

void ConnectionRecords::markConnected(const std::string& target) {
  ofw::Lock lock(mutex_);
  getLocked(target)->lastConnected = time(nullptr);
}

void ConnectionRecords::markConnectError(const std::string& target, const std::string& text) {
  ofw::Lock lock(mutex_);
  ConnectionInfoPtr info = getLocked(target);
  info->lastConnectError = text;
  info->lastConnectErrorTime = time(nullptr);
}

void ConnectionRecords::markTransmissionSuccess(const std::string& target) {
  if (target.empty()) return;
  ofw::Lock lock(mutex_);
  getLocked(target)->lastTransmissionSuccess = time(nullptr);
}

void ConnectionRecords::markTransmissionError(const std::string& target, const std::string& text) {
  if (target.empty()) return;
  ofw::Lock lock(mutex_);
  ConnectionInfoPtr info = getLocked(target);
  info->lastTransmissionError = text;
  info->lastTransmissionErrorTime = time(nullptr);
}

void ConnectionRecords::clean(const std::vector<std::string>& targets) {
  ofw::Lock lock(mutex_);
  std::set<std::string> keep;
  for (const std::string& t : targets) {
    getLocked(t);
    keep.insert(lowered(t));
  }
  for (auto it = records_.begin(); it != records_.end();)
    it = keep.count(it->first) ? std::next(it) : records_.erase(it);
}

}  // namespace ovgfw
