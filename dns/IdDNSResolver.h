// One DNS query over UDP, start to end, on the calling thread: the resolver object
// as a caller configures it (server, kinds, waiting time) and its result.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "dns/DnsMessage.h"

namespace zarvo::dns {

enum TIdIPVersion { Id_IPv4, Id_IPv6 };

class TIdDNSResolver {
public:
    // The server: an IPv4 or IPv6 address literal, or a host name resolved through
    // the system (to an address of IPVersion).
    std::string Host;
    uint16_t Port = 53;
    TQueryType QueryType;
    int32_t WaitingTime = 5000; // milliseconds
    bool AllowRecursiveQueries = true;
    TIdIPVersion IPVersion = Id_IPv4;

    // One complete query for ADomain (an address or a reverse name) with class QClass.
    // Blocks up to WaitingTime. Raises EIdDnsResolverError (or the socket layer's
    // error text as one) on any failure; QueryResult is then not to be read.
    // SOARR serves zone transfers only and is ignored.
    void Resolve(std::string_view ADomain, std::string_view SOARR = {}, uint16_t QClass = 1);

    const TQueryResult& QueryResult() const { return FQueryResult; }

private:
    TQueryResult FQueryResult;
};

} // namespace zarvo::dns
