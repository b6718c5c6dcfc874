// The system's servers read from resolv.conf files as the C library reads them: the
// nameserver lines, comments and other keywords passed over, IPv6 with its zone, the
// first three usable entries.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "dns/ResolvConf.h"
#include "test_files.h"

using namespace zarvo::test;

namespace {

std::vector<std::string> Hosts(const std::vector<zarvo::dns::TDnsServer>& servers) {
    std::vector<std::string> out;
    for (const auto& s : servers) {
        EXPECT_EQ(s.Port, 53) << s.Host;
        EXPECT_EQ(s.Entry, s.Host);
        out.push_back(s.Host);
    }
    return out;
}

TEST(ResolvConf, NameserverLines) {
    const struct Case {
        const char* Name;
        std::string Text;
        std::vector<std::string> Hosts;
    } cases[] = {
        {"one IPv4", "nameserver 192.0.2.53\n", {"192.0.2.53"}},
        {"no final line break", "nameserver 192.0.2.53", {"192.0.2.53"}},
        {"CRLF and a tab", "nameserver\t192.0.2.53\r\n", {"192.0.2.53"}},
        {"comments",
         "# nameserver 192.0.2.1\n; nameserver 192.0.2.2\nnameserver 192.0.2.3 # the office\n"
         "nameserver 192.0.2.4;x\nnameserver 192.0.2.5#x\n",
         {"192.0.2.3", "192.0.2.4", "192.0.2.5"}},
        {"other keywords",
         "domain example.com\nsearch example.com example.net\noptions edns0 timeout:1 attempts:2\n"
         "sortlist 192.0.2.0/255.255.255.0\nnameserver 198.51.100.53\n",
         {"198.51.100.53"}},
        {"IPv6 and a zone",
         "nameserver 2001:db8::53\nnameserver fe80::1%lo\nnameserver fe80::2%1\n",
         {"2001:db8::53", "fe80::1%lo", "fe80::2%1"}},
        {"more than three",
         "nameserver 192.0.2.1\nnameserver 192.0.2.2\nnameserver 192.0.2.3\nnameserver 192.0.2.4\n",
         {"192.0.2.1", "192.0.2.2", "192.0.2.3"}},
        {"unusable entries not counted",
         "nameserver dns.example\nnameserver 192.0.2.256\nnameserver 10.1\nnameserver fe80::1%nosuch0\n"
         "nameserver 2001:db8::zz\nnameserver\nnameserver \nnameserver192.0.2.9\n"
         "nameserver 192.0.2.1\nnameserver 192.0.2.2\nnameserver 192.0.2.3\n",
         {"192.0.2.1", "192.0.2.2", "192.0.2.3"}},
        {"keyword not at the start",
         " nameserver 192.0.2.1\nNAMESERVER 192.0.2.2\nnameservers 192.0.2.3\n",
         {}},
        {"no entry", "search example.com\noptions ndots:2\n", {}},
        {"empty file", "", {}},
    };
    TTempDir dir("resolv-conf");
    for (const Case& c : cases) {
        const std::string path = dir / "resolv.conf";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.Text;
        EXPECT_EQ(Hosts(zarvo::dns::ReadResolvConf(path)), c.Hosts) << c.Name;
    }
}

TEST(ResolvConf, AFileThatCannotBeReadRaises) {
    TTempDir dir("resolv-conf");
    const std::string missing = dir / "missing.conf";
    try {
        zarvo::dns::ReadResolvConf(missing);
        ADD_FAILURE() << "no error";
    } catch (const zarvo::dns::EReverseLookupError& e) {
        EXPECT_EQ(std::string(e.what()), "cannot read " + missing + ": " + std::strerror(ENOENT));
    }
    try {
        zarvo::dns::ReadResolvConf(dir.Path().string());
        ADD_FAILURE() << "no error";
    } catch (const zarvo::dns::EReverseLookupError& e) {
        EXPECT_EQ(std::string(e.what()), "cannot read " + dir.Path().string() + ": " + std::strerror(EISDIR));
    }
}

} // namespace
