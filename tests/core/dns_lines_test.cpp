// Which address a line of the output pane names for the reverse lookup (blank
// fields, country codes, ports, IPv6 with and without brackets, other delimiters),
// the passing over of repeated addresses, and the server entries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dns/LookupLines.h"
#include "dns/ReverseLookup.h"

using namespace zarvo::dns;

namespace {

TEST(DnsLines, TheAddressOfALine) {
    struct Case {
        const char* Line;
        const char* Delimiter;
        const char* Address;
    };
    const Case cases[] = {
        // Blank-separated: [name, blank] address [":" port] [blank, country code].
        {"10.0.0.1", "", "10.0.0.1"},
        {"host-1 10.0.0.1", "", "10.0.0.1"},
        {"10.0.0.1 DE", "", "10.0.0.1"},
        {"10.0.0.1 ", "", "10.0.0.1"},
        {"host-1 10.0.0.1 DE", "", "10.0.0.1"},
        {"host-1 10.0.0.1:8080 DE", "", "10.0.0.1"},
        {"10.0.0.1 de", "", "de"}, // only capitals make a country code
        {"10.0.0.1:80", "", "10.0.0.1"},
        {"10.0.0.1:80 US", "", "10.0.0.1"},
        {"2001:db8::1", "", "2001:db8::1"},
        {"[2001:db8::1]:80", "", "2001:db8::1"},
        {"[2001:db8::1]", "", "2001:db8::1"},
        {"host [2001:db8::1]:443 NL", "", "2001:db8::1"},
        {"2001:db8::1 FR", "", "2001:db8::1"},
        {"not-an-address", "", "not-an-address"}, // looked up, and unresolved
        {"", "", ""},
        {"   ", "", ""},
        // Other delimiters: the first field that parses as an address.
        {"host-1\t10.0.0.1", "", "10.0.0.1"},
        {"host-1,10.0.0.1:80 DE", "", "10.0.0.1"},
        {"host-1;[2001:db8::2]:80", "", "2001:db8::2"},
        {"10.0.0.3,host", "", "10.0.0.3"},
        {"host-1|10.0.0.4|x", "|", "10.0.0.4"},
        {"host-1 => 10.0.0.5", " => ", "10.0.0.5"},
        {"a,b;c", "", ""},
        {"host-1|10.0.0.9", "", "host-1|10.0.0.9"}, // "|" is no delimiter unless given
        {"host-1,10.0.0.256", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("'") + c.Line + "' with '" + c.Delimiter + "'");
        EXPECT_EQ(LookupAddressFromLine(c.Line, c.Delimiter), c.Address);
    }
}

TEST(DnsLines, RepeatedAddressesArePassedOverOnlyWhenAdjacent) {
    const std::vector<std::string> lines = {
        "10.0.0.1:80",   "10.0.0.1:3128", "10.0.0.2:80",     "", "10.0.0.2:81", "10.0.0.1",
        "h 10.0.0.1 DE", "x,2001:db8::1", "[2001:db8::1]:80"};
    EXPECT_EQ(LookupAddressesFromLines(lines),
              (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.1", "2001:db8::1"}));
}

TEST(DnsLines, ServerEntries) {
    struct Case {
        const char* Entry;
        bool Valid;
        const char* Host;
        uint16_t Port;
    };
    const Case cases[] = {
        {"8.8.8.8", true, "8.8.8.8", 53},
        {"127.0.0.1:5353", true, "127.0.0.1", 5353},
        {" 127.0.0.1:5353\t", true, "127.0.0.1", 5353},
        {"2001:db8::53", true, "2001:db8::53", 53},
        {"[::1]:5353", true, "::1", 5353},
        {"[::1]", true, "::1", 53},
        {"dns.example", true, "dns.example", 53},
        {"dns.example:5300", true, "dns.example", 5300},
        {"", false, "", 0},
        {"  ", false, "", 0},
        {"127.0.0.1:", false, "", 0},
        {"127.0.0.1:0", false, "", 0},
        {"127.0.0.1:65536", false, "", 0},
        {"127.0.0.1:53x", false, "", 0},
        {":53", false, "", 0},
        {"[::1", false, "", 0},
        {"[::1]x", false, "", 0},
        {"[]:53", false, "", 0},
        {"[dns.example]:53", false, "", 0},
        {"2001:db8::zz", false, "", 0},
        {"dns example", false, "", 0},
        {"10.0.0.256", false, "", 0}, // digits and dots: an address or nothing
        {"10.0.0.256:53", false, "", 0},
        {"1.2.3", false, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("'") + c.Entry + "'");
        const auto s = ParseServerEntry(c.Entry);
        ASSERT_EQ(s.has_value(), c.Valid);
        if (!c.Valid) continue;
        EXPECT_EQ(s->Entry, c.Entry);
        EXPECT_EQ(s->Host, c.Host);
        EXPECT_EQ(s->Port, c.Port);
    }
}

} // namespace
