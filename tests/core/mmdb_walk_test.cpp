// The batched tree walk (TMMDBReader::WalkTrees) against the plain one (WalkTree):
// the same record and prefix length for every address, and a failed walk where the
// plain one raises, whose error the plain walk then raises at that address.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <random>
#include <span>

#include "mmdb/uMMDBReader.h"
#include "mmdb_builder.h"
#include "net/IPTypesX.h"

using namespace zarvo;
using namespace mmdbtest;

namespace {

struct WalkCase {
    std::string Name;
    std::function<TMMDBReader()> Open;
};

// What the plain walk gives: the record value and prefix length, or the error.
struct Outcome {
    int64_t Record = 0;
    int32_t Prefix = 0;
    std::string Error;
    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    return os << "record " << o.Record << ", prefix " << o.Prefix << ", error '" << o.Error << "'";
}

// IPv4 and IPv6 addresses interleaved: random ones, IPv4-mapped ones, and ones in
// and around the networks of the test databases (and so also in empty records).
std::vector<TMMDBIPAddress> Addresses() {
    std::mt19937_64 rng(20261210);
    std::vector<TMMDBIPAddress> out;
    const char* v6[] = {"::1:ffff:ffff", "::2:0:40",    "::2:0:58", "2001:218::", "2001:220::1",
                        "2a02:d3c0::",   "2c0f:ff00::", "::",       "::ffff:0:0", "ffff::"};
    const uint32_t v4[] = {0x01010100u, 0x51024500u, 0xCA6C0000u, 0x59A00000u, 0, 0xFFFFFF00u};
    for (int k = 0; k < 1200; ++k) {
        const uint64_t x = rng();
        switch (k % 6) {
        case 0:
            out.emplace_back(MakeIPv4(static_cast<uint32_t>(x)));
            break;
        case 1:
            out.emplace_back(MakeIPv4(v4[x % std::size(v4)] | static_cast<uint32_t>(x >> 56)));
            break;
        case 2: {
            uint8_t b[16];
            for (int i = 0; i < 16; ++i) b[i] = static_cast<uint8_t>(rng());
            // Half of them under 2000::/3, where the test databases have networks.
            if (x & 1) b[0] = static_cast<uint8_t>(0x20 | (b[0] & 0x1F));
            out.emplace_back(b, 16);
            break;
        }
        case 3: {
            // IPv4-mapped: ::ffff:a.b.c.d
            uint8_t b[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
            const uint32_t a = x & 2 ? static_cast<uint32_t>(x >> 32)
                                     : v4[x % std::size(v4)] | static_cast<uint32_t>(x >> 60);
            for (int i = 0; i < 4; ++i) b[12 + i] = static_cast<uint8_t>(a >> (24 - 8 * i));
            out.emplace_back(b, 16);
            break;
        }
        case 4: {
            TIPv6 a = StrToIPv6(v6[x % std::size(v6)]);
            a.Groups[0] = static_cast<uint16_t>(a.Groups[0] | (x >> 48 & 0xFF));
            out.emplace_back(a);
            break;
        }
        default:
            // A run of IPv4 addresses, so that the prefix table comes into play mid-batch.
            out.emplace_back(MakeIPv4(static_cast<uint32_t>(x >> 8) | 0x01000000u));
            break;
        }
    }
    return out;
}

std::vector<WalkCase> Cases() {
    std::vector<WalkCase> cases;
    for (const char* name :
         {"MaxMind-DB-test-ipv4-24.mmdb", "MaxMind-DB-test-ipv4-28.mmdb", "MaxMind-DB-test-ipv4-32.mmdb",
          "MaxMind-DB-test-ipv6-24.mmdb", "MaxMind-DB-test-ipv6-28.mmdb", "MaxMind-DB-test-ipv6-32.mmdb",
          "MaxMind-DB-test-mixed-24.mmdb", "MaxMind-DB-test-mixed-28.mmdb", "MaxMind-DB-test-mixed-32.mmdb",
          "GeoIP2-City-Test.mmdb", "GeoLite2-Country-Test.mmdb", "MaxMind-DB-no-ipv4-search-tree.mmdb",
          "MaxMind-DB-test-broken-search-tree-24.mmdb", "MaxMind-DB-test-broken-pointers-24.mmdb"})
        cases.push_back({name, [name] { return TMMDBReader(TestDb(name)); }});
    for (int size : {24, 28, 32}) {
        // Every record points back at the root: each walk uses up its bits inside the tree.
        cases.push_back({"loop-" + std::to_string(size), [size] {
                             Meta m;
                             m.NodeCount = 1;
                             m.RecordSize = size;
                             return TMMDBReader(Image(Node(size, 0, 0), "", m), "loop");
                         }});
        // 0.0.0.0/1 loops, 128.0.0.0/2 is empty, 192.0.0.0/2 points behind the file.
        cases.push_back({"mixed-faults-" + std::to_string(size), [size] {
                             Meta m;
                             m.NodeCount = 2;
                             m.RecordSize = size;
                             m.IPVersion = 6;
                             return TMMDBReader(Image(Node(size, 0, 1) + Node(size, 2, 0xFFFFFF), "", m),
                                                "faults");
                         }});
    }
    cases.push_back({"record-size-20", [] {
                         Meta m;
                         m.NodeCount = 1;
                         m.RecordSize = 20;
                         return TMMDBReader(Image(Bytes(5, '\0'), "", m), "rs20");
                     }});
    cases.push_back({"record-size-20-ipv6", [] {
                         Meta m;
                         m.NodeCount = 1;
                         m.RecordSize = 20;
                         m.IPVersion = 6;
                         return TMMDBReader(Image(Bytes(5, '\0'), "", m), "rs20v6");
                     }});
    cases.push_back({"no-nodes", [] {
                         Meta m;
                         m.NodeCount = 0;
                         return TMMDBReader(Image("", "", m), "empty");
                     }});
    return cases;
}

Outcome Plain(TMMDBReader& r, const TMMDBIPAddress& a) {
    Outcome o;
    int64_t record = 0;
    o.Error = ErrorOf([&] { record = r.WalkTree(a, o.Prefix); });
    if (o.Error.empty()) o.Record = record;
    // A record outside the data section fails the same way for both.
    if (o.Error.empty() && o.Record != 0) o.Error = ErrorOf([&] { r.RecordOffset(o.Record); });
    return o;
}

class BatchedWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(BatchedWalk, GivesWhatThePlainWalkGives) {
    const std::vector<TMMDBIPAddress> addresses = Addresses();
    TMMDBReader plain = GetParam().Open();
    std::vector<Outcome> expected;
    for (const TMMDBIPAddress& a : addresses) expected.push_back(Plain(plain, a));

    // Batches of sizes around the number of lanes, and one of all the rest, so that
    // walks start and end across batch boundaries and lane refills.
    const size_t lanes = TMMDBReader::kWalkLanes;
    for (size_t first : {size_t{1}, lanes - 1, lanes, lanes + 1, 2 * lanes + 3, size_t{1000}}) {
        TMMDBReader batched = GetParam().Open();
        std::vector<int64_t> records(addresses.size(), -2);
        std::vector<int32_t> prefixes(addresses.size(), -2);
        size_t at = 0;
        for (size_t size = first; at < addresses.size(); size = size == first ? 3 * lanes - 1 : first) {
            const size_t n = std::min(size, addresses.size() - at);
            batched.WalkTrees(std::span(addresses).subspan(at, n), std::span(records).subspan(at, n),
                              std::span(prefixes).subspan(at, n));
            at += n;
        }
        for (size_t k = 0; k < addresses.size(); ++k) {
            Outcome got;
            got.Prefix = prefixes[k];
            if (records[k] == TMMDBReader::kWalkFailed) {
                // The plain walk at the address raises the error.
                int32_t prefix = 0;
                got.Error = ErrorOf([&] { batched.WalkTree(addresses[k], prefix); });
                EXPECT_FALSE(got.Error.empty()) << addresses[k].ToString();
            } else {
                got.Record = records[k];
                if (got.Record != 0) got.Error = ErrorOf([&] { batched.RecordOffset(got.Record); });
            }
            ASSERT_EQ(got, expected[k]) << GetParam().Name << ", batches from " << first << ", "
                                        << addresses[k].ToString() << " (#" << k << ")";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Databases, BatchedWalk, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<WalkCase>& param) {
                             std::string name = param.param.Name;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

} // namespace
