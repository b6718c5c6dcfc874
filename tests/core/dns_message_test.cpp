// The DNS messages of a reverse lookup: the query bytes and reverse names, the
// reply checks with every failure text, the record reading (sections, compression,
// loops, pointers and fields past the end, oversize), and which datagrams count as
// the reply to a query.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "common/DnsTestServers.h"
#include "dns/DnsMessage.h"

using namespace zarvo::dns;
using zarvo::test::EncodeName;
using zarvo::test::Put16;
using zarvo::test::Set16;
using zarvo::test::TBytes;
using zarvo::test::TReplyBuilder;

namespace {

constexpr uint16_t kId = 0xBEEF;

TBytes Query(std::string_view address = "192.0.2.1", uint16_t id = kId) {
    return CreateQuery(id, address, {qtPTR});
}

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EIdDnsResolverError& e) {
        return e.what();
    }
    return "(no failure)";
}

TBytes Concat(TBytes a, const TBytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A hand-made record: owner, TYPE, CLASS 1, TTL, RDLENGTH as given, then rdata.
TBytes RawRecord(const TBytes& owner, uint16_t type, uint16_t rdlength, const TBytes& rdata) {
    TBytes r = owner;
    Put16(r, type);
    Put16(r, 1);
    Put16(r, 0);
    Put16(r, 60);
    Put16(r, rdlength);
    return Concat(r, rdata);
}

// The reply's header and question with ANCOUNT set to count, then body.
TBytes WithAnswers(uint16_t count, const TBytes& body) {
    TBytes m = TReplyBuilder(Query()).Bytes();
    Set16(m, 6, count);
    return Concat(m, body);
}

TEST(DnsQuery, TheMessageForAnIPv4Address) {
    const TBytes expected = Concat({0xBE, 0xEF, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0},
                                   Concat(EncodeName("1.2.0.192.in-addr.arpa"), {0x00, 0x0C, 0x00, 0x01}));
    EXPECT_EQ(Query(), expected);
    EXPECT_EQ(Query().size(), 40u);
    // Without recursion the flags word is 0; two kinds ask two questions.
    const TBytes plain = CreateQuery(1, "192.0.2.1", {qtPTR, qtA}, 1, false);
    EXPECT_EQ(zarvo::test::Get16(plain, 2), 0);
    EXPECT_EQ(zarvo::test::Get16(plain, 4), 2);
    EXPECT_EQ(plain.size(), 12u + 2 * 28u);
    EXPECT_EQ(ErrorOf([] { CreateQuery(1, "192.0.2.1", {}); }), "Invalid Query Count 0");
}

TEST(DnsQuery, ReverseNames) {
    struct Case {
        const char* In;
        const char* Out; // empty: refused
    };
    const std::string label64(64, 'a');
    const std::string tooLong = label64 + ".in-addr.arpa";
    const Case cases[] = {
        {"192.0.2.1", "1.2.0.192.in-addr.arpa"},
        {"10.0.0.255", "255.0.0.10.in-addr.arpa"},
        {"2001:db8::1", "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa"},
        {"::", "0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.ip6.arpa"},
        {"FE80::ABCD:12", "2.1.0.0.d.c.b.a.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.e.f.ip6.arpa"},
        // Reverse names pass through as they are (without a final dot), any case.
        {"1.2.0.192.IN-ADDR.ARPA", "1.2.0.192.IN-ADDR.ARPA"},
        {"1.2.0.192.in-addr.arpa.", "1.2.0.192.in-addr.arpa"},
        {"b.a.ip6.arpa", "b.a.ip6.arpa"},
        {"4.3.2.1.ip6.int", "4.3.2.1.ip6.int"},
        {"host.example", ""},
        {"not-in-addr.arpa", ""},
        {"10.0.0", ""},
        {"10.0.0.256", ""},
        {"1.2.3.4.5", ""},
        {"0x0A.0.0.1", ""},
        {"2001:db8::1::2", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.In);
        if (*c.Out) {
            EXPECT_EQ(ReverseName(c.In), c.Out);
            // The question holds exactly that name.
            EXPECT_EQ(zarvo::test::QuestionName(Query(c.In)), c.Out);
        } else {
            EXPECT_THROW(ReverseName(c.In), EIdDnsResolverError);
        }
    }
    EXPECT_EQ(ErrorOf([&] { Query(tooLong); }), "Label Too Long (64 bytes)");
    EXPECT_EQ(ErrorOf([] { Query("1..2.in-addr.arpa"); }).substr(0, 11), "Empty Label");
    std::string longName;
    for (int i = 0; i < 70; ++i) longName += "abc.";
    EXPECT_EQ(ErrorOf([&] { Query(longName + "in-addr.arpa"); }).substr(0, 13), "Name Too Long");
}

TEST(DnsQuery, FreshIdsCoverTheRange) {
    std::set<uint16_t> seen;
    for (int i = 0; i < 2000; ++i) {
        const uint16_t id = NewQueryId();
        EXPECT_NE(id, 0xFFFF);
        seen.insert(id);
    }
    EXPECT_GT(seen.size(), 1900u); // about 30 repeats are expected among 2000 draws
}

TEST(DnsReply, FailureTexts) {
    struct Case {
        const char* Name;
        TBytes Reply;
        std::string Error;
    };
    const TBytes q = Query();
    TBytes wrongId = zarvo::test::PtrReply(q, "host.example");
    Set16(wrongId, 0, 0x1234);
    const TBytes empty = TReplyBuilder(q).Bytes();
    TBytes oversize = zarvo::test::PtrReply(q, "host.example");
    oversize.resize(kMaxReplySize + 1);
    TBytes atLimit = zarvo::test::PtrReply(q, "host.example");
    atLimit.resize(kMaxReplySize); // trailing bytes after the records are passed over
    const TBytes selfLoop = WithAnswers(1, RawRecord({0xC0, 40}, 12, 2, {0xC0, 0x0C}));
    const TBytes labelLoop = WithAnswers(1, RawRecord({0xC0, 0x0C}, 12, 4, {1, 'a', 0xC0, 52}));
    const TBytes forward = WithAnswers(1, RawRecord({0xC0, 0x0C}, 12, 2, {0xC0, 0x7F}));
    const TBytes outside = WithAnswers(1, RawRecord({0xC0, 0x0C}, 12, 2, {0xFF, 0xFF}));
    const TBytes labelPastEnd = WithAnswers(1, {5, 'a', 'b'});
    const TBytes fixedPastEnd = WithAnswers(1, {0xC0, 0x0C, 0x00, 0x0C, 0x00});
    const TBytes rdataPastEnd = WithAnswers(1, RawRecord({0xC0, 0x0C}, 12, 20, EncodeName("a.b")));
    // The host name's own bytes must lie inside RDATA.
    const TBytes nameOutsideRData = WithAnswers(1, RawRecord({0xC0, 0x0C}, 12, 3, EncodeName("abc.example")));
    const TBytes extendedLabel = WithAnswers(1, RawRecord({0xC0, 0x0C}, 12, 2, {0x41, 0}));
    std::string name300;
    for (int i = 0; i < 75; ++i) name300 += "abc.";
    const TBytes longName = zarvo::test::PtrReply(q, name300.substr(0, name300.size() - 1));

    const Case cases[] = {
        {"nothing", {}, "TimedOut"},
        {"four bytes", {0xBE, 0xEF, 0x81, 0x80}, "TimedOut"},
        {"five bytes", {0xBE, 0xEF, 0x81, 0x80, 0}, "Received Packet is too small. Less than 12 bytes. 5"},
        {"eleven bytes", TBytes(q.begin(), q.begin() + 11),
         "Received Packet is too small. Less than 12 bytes. 11"},
        {"wrong id", wrongId, "Invalid Header Id 4660"},
        {"rcode 1", zarvo::test::RcodeReply(q, 1), "DNS Server Reports Query Format Error"},
        {"rcode 2", zarvo::test::RcodeReply(q, 2), "DNS Server Reports Query Server Error"},
        {"rcode 3", zarvo::test::RcodeReply(q, 3), "DNS Server Reports Query Name Error"},
        {"rcode 4", zarvo::test::RcodeReply(q, 4), "DNS Server Reports Query Not Implemented Error"},
        {"rcode 5", zarvo::test::RcodeReply(q, 5), "DNS Server Reports Query Refused Error"},
        {"rcode 6", zarvo::test::RcodeReply(q, 6), "Server Returned Unknown Error"},
        {"rcode 15", zarvo::test::RcodeReply(q, 15), "Server Returned Unknown Error"},
        {"no records", empty, "Invalid Packet Size 40"},
        {"header only", TBytes(q.begin(), q.begin() + 12), "Invalid Packet Size 12"},
        {"oversize", oversize, "Invalid Packet Size 8193"},
        {"pointer to itself", selfLoop, "Invalid Name Pointer 40"},
        {"label, then a pointer back to it", labelLoop, "Invalid Name Pointer 52"},
        {"forward pointer", forward, "Invalid Name Pointer 127"},
        {"pointer outside", outside, "Invalid Name Pointer 16383"},
        {"label past the end", labelPastEnd, "Invalid Packet Size 43"},
        {"fixed fields past the end", fixedPastEnd, "Invalid Packet Size 45"},
        {"rdata past the end", rdataPastEnd, "Invalid Packet Size 57"},
        {"name outside rdata", nameOutsideRData, "Invalid Packet Size 65"},
        {"extended label type", extendedLabel, "Invalid Label Type 65"},
        {"name over 255 bytes", longName, "Name Too Long (257 bytes)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TQueryResult result;
        EXPECT_EQ(ErrorOf([&] { FillResult(c.Reply, kId, result); }), c.Error);
        EXPECT_TRUE(result.Records.empty());
    }
    TQueryResult result;
    FillResult(atLimit, kId, result);
    ASSERT_NE(result.FirstPTR(), nullptr);
    EXPECT_EQ(result.FirstPTR()->HostName, "host.example");
}

TEST(DnsReply, RecordsInOrderAndTheFirstPtr) {
    struct Case {
        const char* Name;
        TBytes Reply;
        size_t Records;
        std::string FirstPtr; // "-" when there is none
        uint8_t PtrSection;
    };
    const TBytes q = Query();
    const TBytes a = {192, 0, 2, 1};
    // The host name compressed into the question name: "x" then 0.192.in-addr.arpa.
    const TBytes compressed = TReplyBuilder(q).Record(0, 12, {1, 'x', 0xC0, 16}).Bytes();
    // A second pointer step: the host name points at the first record's RDATA.
    const TBytes chained = TReplyBuilder(q)
                               .Record(0, 12, {3, 'w', 'w', 'w', 0xC0, 18})
                               .Record(0, 12, {1, 'm', 0xC0, 52})
                               .Bytes();
    TBytes truncated = TReplyBuilder(q).Ptr("one.example").Ptr("two.example").Bytes();
    Set16(truncated, 2, 0x8380); // TC: the second record is cut off
    truncated.resize(truncated.size() - 5);
    const Case cases[] = {
        {"answer", zarvo::test::PtrReply(q, "Host.Example"), 1, "Host.Example", 0},
        {"only in additional", TReplyBuilder(q).Record(0, 1, a).Ptr("extra.example", 2).Bytes(), 2,
         "extra.example", 2},
        {"order answer, authority, additional",
         TReplyBuilder(q).Ptr("third.example", 2).Ptr("second.example", 1).Ptr("first.example", 0).Bytes(), 3,
         "first.example", 0},
        {"no ptr", TReplyBuilder(q).Record(0, 5, EncodeName("alias.example")).Bytes(), 1, "-", 0},
        {"compressed", compressed, 1, "x.0.192.in-addr.arpa", 0},
        {"chained pointers", chained, 2, "www.192.in-addr.arpa", 0},
        {"root name", zarvo::test::PtrReply(q, ""), 1, "", 0},
        {"odd bytes escaped", TReplyBuilder(q).Record(0, 12, {3, 'a', '.', ',', 2, ' ', '\\', 0}).Bytes(), 1,
         "a\\046\\044.\\032\\092", 0},
        {"truncated", truncated, 1, "one.example", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TQueryResult result;
        FillResult(c.Reply, kId, result);
        EXPECT_EQ(result.Records.size(), c.Records);
        EXPECT_EQ(result.QuestionName, "1.2.0.192.in-addr.arpa");
        EXPECT_EQ(result.QuestionType, qtPTR);
        EXPECT_EQ(result.QuestionClass, 1);
        const TPTRRecord* ptr = result.FirstPTR();
        if (std::string(c.FirstPtr) == "-") {
            EXPECT_EQ(ptr, nullptr);
            continue;
        }
        ASSERT_NE(ptr, nullptr);
        EXPECT_EQ(ptr->HostName, c.FirstPtr);
        EXPECT_EQ(ptr->Section, c.PtrSection);
        EXPECT_EQ(ptr->Name, "1.2.0.192.in-addr.arpa");
        EXPECT_EQ(ptr->TTL, 300u);
        EXPECT_EQ(ptr->RData.size(), ptr->RDataLength);
    }
    TQueryResult result;
    FillResult(chained, kId, result);
    EXPECT_EQ(static_cast<const TPTRRecord&>(*result.Records[1]).HostName, "m.www.192.in-addr.arpa");
}

TEST(DnsReply, WhichDatagramsAreTheReply) {
    struct Case {
        const char* Name;
        TBytes Reply;
        bool IsReply;
    };
    const TBytes q = Query();
    const TBytes good = zarvo::test::PtrReply(q, "host.example");
    TBytes otherId = good, otherType = good, otherClass = good, noQuestion = good;
    Set16(otherId, 0, 0x0001);
    Set16(otherType, 36, 1);
    Set16(otherClass, 38, 3);
    Set16(noQuestion, 4, 0);
    // A header alone with these flags: a refusal need not repeat the question.
    const auto bare = [](uint16_t flags, uint16_t id) {
        TBytes m(12, 0);
        Set16(m, 0, id);
        Set16(m, 2, flags);
        return m;
    };
    const uint16_t id = kId;
    TBytes upper = good;
    for (size_t i = 13; i < 36; ++i)
        if (upper[i] >= 'a' && upper[i] <= 'z') upper[i] = static_cast<uint8_t>(upper[i] - 32);
    const Case cases[] = {
        {"the reply", good, true},
        {"an error reply", zarvo::test::RcodeReply(q, 3), true},
        {"name in other case", upper, true},
        {"other id", otherId, false},
        {"other name", zarvo::test::PtrReply(Query("192.0.2.2"), "host.example"), false},
        {"other type", otherType, false},
        {"other class", otherClass, false},
        {"no question", noQuestion, false},
        {"header only", TBytes(good.begin(), good.begin() + 12), false},
        {"cut in the question", TBytes(good.begin(), good.begin() + 30), false},
        {"too short", TBytes(good.begin(), good.begin() + 8), false},
        {"a refusal without the question", bare(0x8185, id), true},
        {"a format error without the question", bare(0x8181, id), true},
        {"a refusal without the question, other id", bare(0x8185, static_cast<uint16_t>(id ^ 1)), false},
        {"a refusal without the question or QR", bare(0x0185, id), false},
        {"no question and no error", bare(0x8180, id), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(IsReplyTo(c.Reply, q), c.IsReply);
    }
}

} // namespace
