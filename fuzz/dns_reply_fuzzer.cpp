// Fuzz target: the DNS reply reader. The input is a datagram; its first two bytes
// are taken as the expected ID, so most inputs pass the ID check and reach the
// record reading. Every failure must be an EIdDnsResolverError; anything else (a
// crash, a sanitizer report, another exception type) is a finding.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "dns/DnsMessage.h"

using namespace zarvo::dns;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> reply(data, size);
    const uint16_t id = size >= 2 ? static_cast<uint16_t>(data[0] << 8 | data[1]) : 0;

    // The question of 192.0.2.1 with the input's ID, so that replies built around
    // it (the seed corpus) pass the question check too.
    static const std::vector<uint8_t> base = CreateQuery(0, "192.0.2.1", {qtPTR});
    std::vector<uint8_t> query = base;
    query[0] = static_cast<uint8_t>(id >> 8);
    query[1] = static_cast<uint8_t>(id);
    (void)IsReplyTo(reply, query);

    TQueryResult result;
    try {
        FillResult(reply, id, result);
        // A successful reading holds whole records.
        size_t bytes = 0;
        for (const auto& r : result.Records) bytes += r->Name.size() + r->RData.size();
        if (const TPTRRecord* ptr = result.FirstPTR()) bytes += ptr->HostName.size();
        if (result.Records.empty() || bytes > 64 * size + 1024) __builtin_trap();
    } catch (const EIdDnsResolverError&) {
    }
    return 0;
}
