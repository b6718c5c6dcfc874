// The system's DNS servers, as the C library and dig take them: the "nameserver"
// lines of resolv.conf.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "dns/ReverseLookup.h"

namespace zarvo::dns {

inline constexpr const char* kResolvConfPath = "/etc/resolv.conf";
// The C library asks no more than the first three (MAXNS).
inline constexpr size_t kMaxSystemServers = 3;

// The servers of the "nameserver" lines of the file at path, in file order, the
// first kMaxSystemServers usable ones, each on port 53. A line is read as the C
// library reads it: the keyword at its very start, then blanks, then the address up
// to a blank, "#" or ";". Lines starting with "#" or ";" are comments; other keywords
// (options, search, domain, sortlist) are passed over. An address is IPv4 in dotted
// decimal or IPv6, a link-local one with its zone ("fe80::1%eth0"); an entry that is
// neither (or names an unknown zone) is passed over and not counted. An empty result
// means the file names no usable server. Raises EReverseLookupError when the file
// cannot be read.
std::vector<TDnsServer> ReadResolvConf(const std::string& path = kResolvConfPath);

} // namespace zarvo::dns
