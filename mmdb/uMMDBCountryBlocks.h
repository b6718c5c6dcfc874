// A country's address blocks: the fewest CIDR blocks whose union is every address a
// database places in one of the given countries (by the record's country.iso_code).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "mmdb/uMMDBReader.h"
#include "net/RangeSet.h"

namespace zarvo {

// A list of country codes as given ("de, FR"): split at commas, blanks around each
// dropped, in upper case. Raises Exception "OPTION takes two-letter country codes
// separated by commas, not 'X'" for the first that is not two letters A-Z.
std::vector<std::string> ParseCountryCodes(std::string_view text, std::string_view option);

// Hands each block to block in ascending order: the IPv4 blocks (with ipv4) first,
// then the IPv6 ones (with ipv6; the IPv4 tree's aliases in an IPv6 database are not
// repeated, TMMDBNetworkWalk). codes are compared exactly. Raises the errors of the
// walk and of decoding a record's country.
void MMDBCountryBlocks(TMMDBReader& reader, const std::vector<std::string>& codes, bool ipv4, bool ipv6,
                       const std::function<void(const TMMDBIPAddress& start, int32_t prefix)>& block);

// The addresses of within (a normalized set) that a lookup places in one of the
// countries: the tree is walked only where it meets within, each network's record
// decided once. Each address is taken as its lookup takes it (an IPv6 address through
// the IPv4 tree's aliases in an IPv6 tree too). Raises the errors of the walk and of
// decoding a record's country.
TRangeSet MMDBCountryAddresses(TMMDBReader& reader, const std::vector<std::string>& codes,
                               const TRangeSet& within);

} // namespace zarvo
