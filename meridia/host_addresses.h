// The host's IPv4 addresses, as the audit-store choice matches them against
// subnets. The probe is replaceable so that tests do not depend on the
// machine's interfaces.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

namespace meridia {

// Addresses in host order.
typedef std::function<std::vector<uint32_t>()> AddressProbe;

// getifaddrs: the IPv4 addresses of the interfaces that are up, loopback
// excluded, in interface order without repeats; empty when getifaddrs fails.
std::vector<uint32_t> localIPv4Addresses();

}  // namespace meridia
