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
        {"10.0.0.1 de", "", "10.0.0.1"}, // "de" is no country code, and no address either
        {"10.0.0.1:80", "", "10.0.0.1"},
        {"10.0.0.1:80 US", "", "10.0.0.1"},
        {"2001:db8::1", "", "2001:db8::1"},
        {"[2001:db8::1]:80", "", "2001:db8::1"},
        {"[2001:db8::1]", "", "2001:db8::1"},
        {"host [2001:db8::1]:443 NL", "", "2001:db8::1"},
        {"2001:db8::1 FR", "", "2001:db8::1"},
        {"not-an-address", "", ""}, // a line without an address names none
        {"10.0.0.256", "", ""},
        {"1.2.3", "", ""},
        {"junk line 7", "", ""},
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
        {"host-1|10.0.0.9", "", ""}, // "|" is no delimiter unless given
        {"host-1,10.0.0.256", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("'") + c.Line + "' with '" + c.Delimiter + "'");
        EXPECT_EQ(LookupAddressFromLine(c.Line, c.Delimiter), c.Address);
    }
}

// Lines that hold more than one address: one is asked (by the rules above), the others
// counted, so that a caller can say so. The pane's own lines hold one.
TEST(DnsLines, OtherAddressesOfALine) {
    struct Case {
        const char* Line;
        const char* Address;
        size_t Others;
    };
    const Case cases[] = {
        {"10.20.0.0,10.20.0.1,10.20.0.2", "10.20.0.0", 2}, // a list saved with ","
        {"10.20.0.0;10.20.0.1", "10.20.0.0", 1},
        {"h1,10.0.0.1,h2,10.0.0.2", "10.0.0.1", 1},
        {"10.0.0.1 10.0.0.2", "10.0.0.2", 1}, // two blank fields: the second is asked
        {"[2001:db8::1]:80 2001:db8::2 DE", "2001:db8::2", 1},
        // One address however often it stands there, and the pane's and the result
        // list's lines.
        {"10.0.0.1:80,10.0.0.1:81", "10.0.0.1", 0},
        {"10.0.0.1 10.0.0.1", "10.0.0.1", 0},
        {"10.0.0.1,host.example", "10.0.0.1", 0},
        {"host.example 10.0.0.1:8080 DE", "10.0.0.1", 0},
        {"host.example;10.0.0.1", "10.0.0.1", 0},
        {"[2001:db8::1]:443", "2001:db8::1", 0},
        {"junk", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Line);
        const TLookupLine l = ReadLookupLine(c.Line);
        EXPECT_EQ(l.Address, c.Address);
        EXPECT_EQ(l.OtherAddresses, c.Others);
    }
}

// What the filter makes of each line: the command line names the lines without an
// address; the window files them as unresolved under their text.
TEST(DnsLines, TheFilterTellsEachKindOfLine) {
    using V = TLookupAddressFilter::TVerdict;
    const std::vector<std::pair<std::string, V>> lines = {
        {"", V::Empty},           {"junk", V::NoAddress},     {"10.0.0.1:80", V::Address},
        {"  ", V::Empty},         {"10.0.0.1:81", V::Repeat}, {"h,10.0.0.256", V::NoAddress},
        {"10.0.0.1", V::Address}, {"10.0.0.1 DE", V::Repeat},
    };
    TLookupAddressFilter filter;
    TLookupLine line;
    for (const auto& [text, verdict] : lines) {
        SCOPED_TRACE(text);
        EXPECT_EQ(filter.Read(text, line), verdict);
    }
    std::vector<std::string> texts;
    for (const auto& l : lines) texts.push_back(l.first);
    EXPECT_EQ(LookupAddressesFromLines(texts),
              (std::vector<std::string>{"junk", "10.0.0.1", "h,10.0.0.256", "10.0.0.1"}));
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
        // A host name is letters, digits, "-" and "_" in labels between dots.
        {"dns_1.example.", true, "dns_1.example.", 53},
        {"127.0.0.1,127.0.0.2", false, "", 0}, // a list: see ParseServerList
        {"dns|example", false, "", 0},
        {"dns..example", false, "", 0},
        {".example", false, "", 0},
        {"dns.example:53x", false, "", 0},
        {"d\xC3\xA9.example", false, "", 0},
        {"a.bcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijkl", true,
         "a.bcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijkl", 53}, // a label of 63
        {"a.bcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijklm", false, "", 0},
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

// A "-s" entry may hold several servers separated by "," or ";"; each part must name
// one.
TEST(DnsLines, ServerLists) {
    struct Case {
        const char* Entry;
        std::vector<std::string> Hosts; // empty: refused
        const char* Bad;
    };
    const Case cases[] = {
        {"127.0.0.1,127.0.0.2", {"127.0.0.1", "127.0.0.2"}, ""},
        {"127.0.0.1; [::1]:5353 ;dns.example", {"127.0.0.1", "::1", "dns.example"}, ""},
        {"dns.example", {"dns.example"}, ""},
        {"127.0.0.1,", {}, ""},
        {",127.0.0.1", {}, ""},
        {"127.0.0.1,,127.0.0.2", {}, ""},
        {"127.0.0.1,dns example", {}, "dns example"},
        {"127.0.0.1;127.0.0.256", {}, "127.0.0.256"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Entry);
        std::vector<TDnsServer> servers;
        std::string bad = "(none)";
        const bool ok = ParseServerList(c.Entry, servers, bad);
        EXPECT_EQ(ok, !c.Hosts.empty());
        if (!ok) {
            EXPECT_EQ(bad, c.Bad);
            continue;
        }
        std::vector<std::string> hosts;
        for (const TDnsServer& s : servers) hosts.push_back(s.Host);
        EXPECT_EQ(hosts, c.Hosts);
    }
}

} // namespace
