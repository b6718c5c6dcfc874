// Country codes of N pseudo-random IPv4 addresses through the generator's
// country column (one reader, records memoised by data offset): one address at a
// time (the plain tree walk), or with --batch in batches of 256 as a generation run
// looks them up (the walks in lockstep).
// Usage: zarvo_country [--batch] FILE.mmdb [N] [SEED]    or    zarvo_country --open FILE.mmdb
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "generator/ZarvoUtilsUnit.h"
#include "mmdb/uMMDBReader.h"

static uint64_t SplitMix64(uint64_t& s) {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--open") == 0) {
        const auto t0 = std::chrono::steady_clock::now();
        zarvo::TMMDBReader reader(argv[2]);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        std::printf("opened %s: %lld nodes in %.1f ms\n", argv[2],
                    static_cast<long long>(reader.Metadata().NodeCount()), ms);
        return 0;
    }
    const bool batch = argc >= 2 && std::strcmp(argv[1], "--batch") == 0;
    if (batch) {
        --argc;
        ++argv;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s [--batch] FILE.mmdb [N] [SEED]\n", argv[0]);
        return 2;
    }
    const long n = argc > 2 ? std::atol(argv[2]) : 1000000;
    uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 42;
    try {
        auto column = zarvo::OpenCountryColumn(argv[1]);
        uint64_t hash = 1469598103934665603ull;
        long withCode = 0;
        const auto count = [&](const std::string& code) {
            if (!code.empty()) ++withCode;
            for (char c : code) hash = (hash ^ static_cast<uint8_t>(c)) * 1099511628211ull;
            hash = (hash ^ '|') * 1099511628211ull;
        };
        zarvo::TIPAddr addr;
        std::vector<zarvo::TIPAddr> addrs;
        std::vector<zarvo::TCountryAnswer> answers(256);
        for (long i = 0; i < n; ++i) {
            addr.IPv4.Value = static_cast<uint32_t>(SplitMix64(seed));
            if (!batch) {
                count(column->CountryCode(addr));
                continue;
            }
            addrs.push_back(addr);
            if (addrs.size() < answers.size() && i + 1 < n) continue;
            column->CountryCodes(addrs, std::span(answers).first(addrs.size()));
            for (size_t k = 0; k < addrs.size(); ++k) {
                if (answers[k].Error) std::rethrow_exception(answers[k].Error);
                count(answers[k].Code);
            }
            addrs.clear();
        }
        std::printf("%ld lookups, %ld with a country code, checksum %016llx\n", n, withCode,
                    static_cast<unsigned long long>(hash));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
