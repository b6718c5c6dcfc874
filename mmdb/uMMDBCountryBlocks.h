// A country's address blocks: the fewest CIDR blocks whose union is every address a
// database places in one of the given countries (by the record's country.iso_code).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mmdb/uMMDBReader.h"

namespace zarvo {

// Hands each block to block in ascending order: the IPv4 blocks (with ipv4) first,
// then the IPv6 ones (with ipv6; the IPv4 tree's aliases in an IPv6 database are not
// repeated, TMMDBNetworkWalk). codes are compared exactly. Raises the errors of the
// walk and of decoding a record's country.
void MMDBCountryBlocks(TMMDBReader& reader, const std::vector<std::string>& codes, bool ipv4, bool ipv6,
                       const std::function<void(const TMMDBIPAddress& start, int32_t prefix)>& block);

} // namespace zarvo
