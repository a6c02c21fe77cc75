#include "meridia/host_addresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <memory>

namespace meridia {

std::vector<uint32_t> localIPv4Addresses() {
  std::vector<uint32_t> out;
  struct ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  std::unique_ptr<struct ifaddrs, void (*)(struct ifaddrs*)> owner(list, ::freeifaddrs);
  for (struct ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
    uint32_t a = ntohl(reinterpret_cast<const struct sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    if (std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
  }
  return out;
}

}  // namespace meridia
