// The batch reverse lookup on its own: addresses from standard input (one a line),
// looked up against one server; prints the wall time, the query rate and the
// counts. Usage: zarvo_dns_bench SERVER [IN_FLIGHT] [TIMEOUT_MS] < addresses
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "dns/ReverseLookup.h"

int main(int argc, char** argv) {
    using namespace zarvo::dns;
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SERVER [IN_FLIGHT] [TIMEOUT_MS] < addresses\n", argv[0]);
        return 2;
    }
    const auto server = ParseServerEntry(argv[1]);
    if (!server) {
        std::fprintf(stderr, "bad server %s\n", argv[1]);
        return 2;
    }
    TLookupSettings settings;
    if (argc > 2) settings.InFlight = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    if (argc > 3) settings.TimeoutMs = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
    std::ios::sync_with_stdio(false);
    std::string line;
    size_t resolved = 0, unresolved = 0;
    TReverseLookup lookup({*server}, settings);
    const auto start = std::chrono::steady_clock::now();
    lookup.Run([&](std::string& a) { return static_cast<bool>(std::getline(std::cin, a)); },
               [&](const TLookupResult& r) { ++(r.Resolved ? resolved : unresolved); });
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("in-flight %u: %.3f s, %.0f queries/s, %zu resolved, %zu unresolved\n", settings.InFlight, s,
                static_cast<double>(resolved + unresolved) / s, resolved, unresolved);
    return 0;
}
