// Queries over UDP on loopback: the one-query resolver and the batch lookup against
// a scripted server (wrong IDs, strays, RCODEs, empty and broken replies, silence,
// delays, several servers) and against dnsmasq.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/DnsTestServers.h"
#include "dns/IdDNSResolver.h"
#include "dns/LookupPace.h"
#include "dns/ReverseLookup.h"

using namespace zarvo::dns;
using namespace zarvo::test;

namespace {

// The first label of the query's name as a number ("7.0.77.10.in-addr.arpa": 7).
int FirstLabel(const TBytes& query) {
    const std::string name = QuestionName(query);
    return std::atoi(name.substr(0, name.find('.')).c_str());
}

TBytes WithId(TBytes m, uint16_t id) {
    Set16(m, 0, id);
    return m;
}

// What a scripted server does with the query for one address.
enum TBehaviour {
    bAnswer,         // a PTR "h<n>.example"
    bWrongIdFirst,   // a reply with another ID, then the answer
    bStrayFirst,     // from another port "stray.example", then the answer 30 ms later
    bOtherQuestion,  // a reply to another name only
    bSilent,         // nothing
    bNoRecords,      // RCODE 0, no records
    bOnlyAdditional, // the PTR in the additional section
    bEmptyName,      // a PTR to the root name
    bNoPtr,          // a CNAME only
    bShort,          // 8 bytes
    bOversize,       // 9000 bytes
    bRcode1,
    bRcode2,
    bRcode3,
    bRcode4,
    bRcode5,
    bRcode9,
    bRefusedBare,   // REFUSED with no question section (a header alone)
    bFormErrBare,   // FORMERR, the same
    bRefusedBareQ0, // the same without QR: not a reply
    bNoErrorBare,   // RCODE 0 and no question: nothing to match, not the reply
};

// A header alone: the query's ID, these flags, no sections.
TBytes BareHeader(const TBytes& query, uint16_t flags) {
    TBytes m(query.begin(), query.begin() + 12);
    Set16(m, 2, flags);
    for (size_t pos = 4; pos < 12; pos += 2) Set16(m, pos, 0);
    return m;
}

std::string HostOf(int n) {
    return "h" + std::to_string(n) + ".example";
}

std::vector<TDatagram> Behave(TBehaviour b, const TBytes& q, int n) {
    const TBytes answer = PtrReply(q, HostOf(n));
    switch (b) {
    case bAnswer:
        return {{answer}};
    case bWrongIdFirst:
        return {{WithId(PtrReply(q, "wrong.example"), static_cast<uint16_t>(QueryId(q) ^ 0x5A5A))}, {answer}};
    case bStrayFirst:
        return {{PtrReply(q, "stray.example"), true}, {answer, false, 30}};
    case bOtherQuestion: {
        TBytes other = q;
        other[13] = other[13] == '9' ? '8' : '9'; // another first label, same ID
        return {{PtrReply(other, "other.example")}};
    }
    case bSilent:
        return {};
    case bNoRecords:
        return {{TReplyBuilder(q).Bytes()}};
    case bOnlyAdditional:
        return {{TReplyBuilder(q).Record(0, 1, {10, 0, 0, 1}).Ptr(HostOf(n), 2).Bytes()}};
    case bEmptyName:
        return {{PtrReply(q, "")}};
    case bNoPtr:
        return {{TReplyBuilder(q).Record(0, 5, EncodeName("alias.example")).Bytes()}};
    case bShort:
        return {{TBytes(answer.begin(), answer.begin() + 8)}};
    case bOversize: {
        TBytes big = answer;
        big.resize(9000);
        return {{big}};
    }
    case bRcode1:
    case bRcode2:
    case bRcode3:
    case bRcode4:
    case bRcode5:
        return {{RcodeReply(q, static_cast<uint8_t>(b - bRcode1 + 1))}};
    case bRcode9:
        return {{RcodeReply(q, 9)}};
    case bRefusedBare:
        return {{BareHeader(q, 0x8185)}};
    case bFormErrBare:
        return {{BareHeader(q, 0x8181)}};
    case bRefusedBareQ0:
        return {{BareHeader(q, 0x0185)}};
    case bNoErrorBare:
        return {{BareHeader(q, 0x8180)}};
    }
    return {};
}

struct TCase {
    TBehaviour Behaviour;
    const char* Error; // of the resolver; empty when it answers HostOf(n)
};

const TCase kCases[] = {
    {bAnswer, ""},
    {bWrongIdFirst, ""},
    {bStrayFirst, ""},
    {bOtherQuestion, "TimedOut"},
    {bSilent, "TimedOut"},
    {bNoRecords, "Invalid Packet Size 40"},
    {bOnlyAdditional, ""},
    {bEmptyName, "-"}, // a record, but no name: unresolved
    {bNoPtr, "-"},
    {bShort, "Received Packet is too small. Less than 12 bytes. 8"},
    {bOversize, "Invalid Packet Size 9000"},
    {bRcode1, "DNS Server Reports Query Format Error"},
    {bRcode2, "DNS Server Reports Query Server Error"},
    {bRcode3, "DNS Server Reports Query Name Error"},
    {bRcode4, "DNS Server Reports Query Not Implemented Error"},
    {bRcode5, "DNS Server Reports Query Refused Error"},
    {bRcode9, "Server Returned Unknown Error"},
    // A refusal need not repeat the question: it ends the query at once.
    {bRefusedBare, "DNS Server Reports Query Refused Error"},
    {bFormErrBare, "DNS Server Reports Query Format Error"},
    {bRefusedBareQ0, "TimedOut"},
    {bNoErrorBare, "TimedOut"},
};
constexpr int kCaseCount = static_cast<int>(std::size(kCases));

// The address of case n; the server finds the case by the first label.
std::string CaseAddress(int n) {
    return "10.77.0." + std::to_string(n);
}

TScriptedDnsServer::THandler CaseHandler() {
    return [](const TBytes& q) {
        const int n = FirstLabel(q);
        return n < kCaseCount ? Behave(kCases[n].Behaviour, q, n) : std::vector<TDatagram>{};
    };
}

std::string ErrorText(const std::function<void()>& f) {
    try {
        f();
    } catch (const EIdDnsResolverError& e) {
        return e.what();
    }
    return "(no failure)";
}

std::vector<TDnsServer> Servers(const std::vector<std::string>& entries) {
    std::vector<TDnsServer> out;
    for (const std::string& e : entries) out.push_back(*ParseServerEntry(e));
    return out;
}

// Runs a lookup of addresses; the results in the order the sink got them.
std::vector<TLookupResult> RunLookup(const std::vector<std::string>& servers,
                                     const std::vector<std::string>& addresses, TLookupSettings settings = {},
                                     const std::atomic<bool>* stop = nullptr) {
    TReverseLookup lookup(Servers(servers), settings);
    size_t next = 0;
    std::vector<TLookupResult> results;
    const size_t delivered = lookup.Run(
        [&](std::string& a) {
            if (next == addresses.size()) return false;
            a = addresses[next++];
            return true;
        },
        [&](const TLookupResult& r) { results.push_back(r); }, stop);
    EXPECT_EQ(delivered, results.size());
    return results;
}

TEST(DnsResolver, EachKindOfReply) {
    TScriptedDnsServer server(CaseHandler());
    TIdDNSResolver resolver;
    resolver.Host = "127.0.0.1";
    resolver.Port = server.Port();
    resolver.QueryType = {qtPTR};
    resolver.WaitingTime = 200;
    for (int n = 0; n < kCaseCount; ++n) {
        const std::string error = kCases[n].Error;
        SCOPED_TRACE(n);
        std::string got;
        try {
            resolver.Resolve(CaseAddress(n));
            const TPTRRecord* ptr = resolver.QueryResult().FirstPTR();
            got = ptr != nullptr && !ptr->HostName.empty() ? "" : "-";
            if (got.empty()) {
                EXPECT_EQ(ptr->HostName, HostOf(n));
            }
        } catch (const EIdDnsResolverError& e) {
            got = e.what();
        }
        EXPECT_EQ(got, error);
    }
    EXPECT_EQ(server.QueryCount(), static_cast<size_t>(kCaseCount)); // one datagram each, no resend
}

TEST(DnsResolver, PortUnreachableEndsTheQueryAtOnce) {
    TIdDNSResolver resolver;
    resolver.Host = "127.0.0.1";
    resolver.Port = FreeLoopbackPort(); // nobody listens: ICMP port unreachable
    resolver.QueryType = {qtPTR};
    try {
        resolver.Resolve("192.0.2.1");
        ADD_FAILURE() << "no failure";
    } catch (const EIdDnsResolverError& e) {
        EXPECT_NE(std::string(e.what()).find("Connection refused"), std::string::npos) << e.what();
    }
}

TEST(DnsLookup, EachKindOfReplyInARun) {
    TScriptedDnsServer server(CaseHandler());
    std::vector<std::string> addresses;
    for (int n = 0; n < kCaseCount; ++n) addresses.push_back(CaseAddress(n));
    addresses.insert(addresses.begin() + 3, "not-an-address"); // never sent
    TLookupSettings settings;
    settings.TimeoutMs = 200;
    const std::vector<TLookupResult> results = RunLookup({server.Server()}, addresses, settings);
    ASSERT_EQ(results.size(), addresses.size());
    for (size_t i = 0; i < results.size(); ++i) {
        SCOPED_TRACE(addresses[i]);
        EXPECT_EQ(results[i].Index, i);
        EXPECT_EQ(results[i].Address, addresses[i]);
        const int n = i < 3 ? static_cast<int>(i) : static_cast<int>(i) - 1;
        const bool resolved = i != 3 && *kCases[n].Error == '\0';
        EXPECT_EQ(results[i].Resolved, resolved);
        EXPECT_EQ(results[i].HostName, resolved ? HostOf(n) : "");
    }
    // A query without its reply is sent three times (two retries by default); one that
    // got it was sent once, or more when its reply came after a resend was due (a
    // matter of the machine's load, as the round trips set the wait).
    std::map<std::string, size_t> sends;
    for (const std::string& q : server.Questions()) ++sends[q];
    for (int n = 0; n < kCaseCount; ++n) {
        SCOPED_TRACE(n);
        const size_t count = sends[std::to_string(n) + ".0.77.10.in-addr.arpa"];
        if (std::string(kCases[n].Error) == "TimedOut") {
            EXPECT_EQ(count, 3u);
        } else {
            EXPECT_GE(count, 1u);
            EXPECT_LE(count, 3u);
        }
    }
}

// A refusal without its question ends each query of a run at once: with a waiting
// time of an hour the run still ends as soon as every query was refused. (A watchdog
// stops a run that would wait, so that a fault shows as missing results, not a hang.)
TEST(DnsLookup, ARefusalWithoutItsQuestionEndsTheQueryAtOnce) {
    TScriptedDnsServer server([](const TBytes& q) {
        return std::vector<TDatagram>{{BareHeader(q, FirstLabel(q) % 2 ? 0x8185 : 0x8181)}};
    });
    std::vector<std::string> addresses;
    for (int n = 0; n < 8; ++n) addresses.push_back("10.6.0." + std::to_string(n));
    TLookupSettings settings;
    settings.TimeoutMs = 3600000;
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 600 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop = true;
    });
    const std::vector<TLookupResult> results = RunLookup({server.Server()}, addresses, settings, &stop);
    done = true;
    watchdog.join();
    ASSERT_EQ(results.size(), addresses.size());
    for (const TLookupResult& r : results) EXPECT_FALSE(r.Resolved);
}

// What keeps a run from going on fails it with the reason, after the results handed
// on before: here the wait itself (poll refuses more descriptors than the file limit).
TEST(DnsLookup, AFailingWaitFailsTheRun) {
#ifdef __SANITIZE_ADDRESS__
    // The sanitizers' check of a dynamic type reads the object through a pipe, which the
    // file limit below refuses: it would report the test's own calls.
    GTEST_SKIP() << "a file limit below the open descriptors under the sanitizers";
#endif
    TScriptedDnsServer silent([](const TBytes&) { return std::vector<TDatagram>{}; });
    TReverseLookup lookup(Servers({silent.Server()}), {});
    const std::vector<std::string> addresses = {"10.7.0.1", "10.7.0.2", "10.7.0.3", "10.7.0.4"};
    size_t next = 0;
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    std::thread breaker([&] {
        EXPECT_TRUE(silent.AwaitQueries(addresses.size()));
        rlimit low = saved;
        low.rlim_cur = 2;
        ::setrlimit(RLIMIT_NOFILE, &low);
        lookup.Wake();
    });
    std::string error;
    try {
        (void)lookup.Run(
            [&](std::string& a) {
                if (next == addresses.size()) return false;
                a = addresses[next++];
                return true;
            },
            [](const TLookupResult&) { ADD_FAILURE() << "a result"; });
    } catch (const EReverseLookupError& e) {
        error = e.what();
    }
    breaker.join();
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(error, std::string("Cannot wait for DNS replies: ") + std::strerror(EINVAL));
}

TEST(DnsLookup, EarlyAnswersWaitForTheAddressesBeforeThem) {
    // The first addresses are answered last.
    TScriptedDnsServer server([](const TBytes& q) {
        const int n = FirstLabel(q);
        return std::vector<TDatagram>{{PtrReply(q, HostOf(n)), false, (12 - n) * 8}};
    });
    std::vector<std::string> addresses;
    for (int n = 0; n < 12; ++n) addresses.push_back("10.1.2." + std::to_string(n));
    // Paced at 400 queries a second too: the same results, in the same order.
    for (const auto& [inFlight, rate] :
         {std::pair{1u, 0.0}, std::pair{5u, 0.0}, std::pair{32u, 0.0}, std::pair{32u, 400.0}}) {
        SCOPED_TRACE(testing::Message() << inFlight << " in flight, rate " << rate);
        TLookupSettings settings;
        settings.InFlight = inFlight;
        settings.RateQps = rate;
        const std::vector<TLookupResult> results = RunLookup({server.Server()}, addresses, settings);
        ASSERT_EQ(results.size(), addresses.size());
        for (size_t n = 0; n < 12; ++n) {
            EXPECT_EQ(results[n].Index, n);
            EXPECT_EQ(results[n].Address, addresses[n]);
            EXPECT_EQ(results[n].HostName, HostOf(static_cast<int>(n)));
        }
    }
}

TEST(DnsLookup, LateCopiesOfEarlierRepliesArePassedOver) {
    // Every reply comes after 4 ms, and again 2 ms later with another name, when the
    // socket already carries a later query (of the same address, too).
    TScriptedDnsServer server([](const TBytes& q) {
        const int n = FirstLabel(q);
        return std::vector<TDatagram>{{PtrReply(q, HostOf(n)), false, 4},
                                      {PtrReply(q, "late.example"), false, 6}};
    });
    const std::vector<std::string> addresses = {"10.5.0.1", "10.5.0.2", "10.5.0.1", "10.5.0.3",
                                                "10.5.0.1", "10.5.0.2", "10.5.0.4", "10.5.0.1"};
    for (unsigned inFlight : {1u, 2u}) {
        TLookupSettings settings;
        settings.InFlight = inFlight;
        const std::vector<TLookupResult> results = RunLookup({server.Server()}, addresses, settings);
        ASSERT_EQ(results.size(), addresses.size());
        for (size_t i = 0; i < results.size(); ++i)
            EXPECT_EQ(results[i].HostName, HostOf(std::atoi(addresses[i].substr(7).c_str())));
    }
}

TEST(DnsLookup, ServersInTurn) {
    std::vector<std::unique_ptr<TScriptedDnsServer>> servers;
    std::vector<std::string> entries;
    for (int s = 0; s < 3; ++s) {
        servers.push_back(std::make_unique<TScriptedDnsServer>([s](const TBytes& q) {
            return std::vector<TDatagram>{{PtrReply(q, "s" + std::to_string(s) + ".example")}};
        }));
        entries.push_back(servers.back()->Server());
    }
    std::vector<std::string> addresses;
    for (int n = 0; n < 8; ++n) addresses.push_back("10.3.0." + std::to_string(n));
    const std::vector<TLookupResult> results = RunLookup(entries, addresses);
    ASSERT_EQ(results.size(), 8u);
    for (size_t n = 0; n < 8; ++n) EXPECT_EQ(results[n].HostName, "s" + std::to_string(n % 3) + ".example");
    EXPECT_EQ(servers[0]->QueriesAsked(),
              (std::vector<std::string>{"0.0.3.10.in-addr.arpa", "3.0.3.10.in-addr.arpa",
                                        "6.0.3.10.in-addr.arpa"}));
    EXPECT_EQ(servers[1]->QueriesAsked().size(), 3u);
    EXPECT_EQ(servers[2]->QueriesAsked().size(), 2u);
}

TEST(DnsLookup, StopDeliversAPrefixOnly) {
    // Address 5 is never answered; the rest at once.
    const auto handler = [](const TBytes& q) {
        const int n = FirstLabel(q);
        return n == 5 ? std::vector<TDatagram>{} : std::vector<TDatagram>{{PtrReply(q, HostOf(n))}};
    };
    std::vector<std::string> addresses;
    for (int n = 0; n < 40; ++n) addresses.push_back("10.4.0." + std::to_string(n));
    struct TRun {
        TRun(const std::string& server, const std::vector<std::string>& addresses)
            : Lookup(Servers({server}), {}), Addresses(addresses) {}
        TReverseLookup Lookup;
        const std::vector<std::string>& Addresses;
        std::atomic<bool> Stop{false};
        std::vector<size_t> Seen;
        size_t Run(const std::function<void(size_t)>& onResult) {
            size_t next = 0;
            return Lookup.Run(
                [&](std::string& a) {
                    if (next == Addresses.size()) return false;
                    a = Addresses[next++];
                    return true;
                },
                [&](const TLookupResult& r) {
                    Seen.push_back(r.Index);
                    onResult(r.Index);
                },
                &Stop);
        }
    };

    // A stop from the sink: nothing after the result that set it.
    {
        TScriptedDnsServer server(handler);
        TRun run(server.Server(), addresses);
        EXPECT_EQ(run.Run([&](size_t index) { run.Stop = index == 2; }), 3u);
        EXPECT_EQ(run.Seen, (std::vector<size_t>{0, 1, 2}));
    }
    // A stop from another thread while the run waits for address 5 (5 s): Wake ends
    // the wait, and the answers that came in behind address 5 are not handed on.
    {
        TScriptedDnsServer server(handler);
        TRun run(server.Server(), addresses);
        std::thread breaker([&] {
            EXPECT_TRUE(server.AwaitQueries(addresses.size()));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            run.Stop = true;
            run.Lookup.Wake();
        });
        EXPECT_EQ(run.Run([](size_t) {}), 5u);
        breaker.join();
        EXPECT_EQ(run.Seen, (std::vector<size_t>{0, 1, 2, 3, 4}));
    }
}

// Resends. Each case is one address of a run, and says what becomes of each of its
// sends; the outcomes hang on the order of events alone (a reply to an earlier send
// is sent when the server sees the later one), never on how fast the run goes.
enum TSendFate {
    fAnswer,        // answered at once, by "r<the send's number>.example"
    fNxDomain,      // NXDOMAIN at once
    fQueryLost,     // lost on its way: the server never sees it
    fReplyLost,     // seen and answered, the reply lost on its way back
    fSilent,        // seen, not answered
    fAnswerFirstNow // not answered; the first send is answered now, to its own port
};

struct TResendCase {
    const char* Name;
    unsigned Retries;
    std::vector<TSendFate> Fates; // of the sends, in order; the sends after the last are silent
    TLookupStatus Status;
    const char* HostName; // "" when unresolved
    unsigned Tries;       // at least, when answered
};

const TResendCase kResendCases[] = {
    {"answered at once", 2, {fAnswer}, TLookupStatus::Answer, "r1.example", 1},
    {"lost query, then the answer", 2, {fQueryLost, fAnswer}, TLookupStatus::Answer, "r2.example", 2},
    {"lost reply, then the answer", 2, {fReplyLost, fAnswer}, TLookupStatus::Answer, "r2.example", 2},
    {"two lost, the last send answered",
     2,
     {fQueryLost, fReplyLost, fAnswer},
     TLookupStatus::Answer,
     "r3.example",
     3},
    {"the first send's answer after the resend",
     2,
     {fSilent, fAnswerFirstNow},
     TLookupStatus::Answer,
     "first.example",
     2},
    {"all sends lost", 2, {fQueryLost, fQueryLost, fQueryLost}, TLookupStatus::Timeout, "", 3},
    {"all replies lost", 2, {fReplyLost, fReplyLost, fReplyLost}, TLookupStatus::Timeout, "", 3},
    {"no retries: one send", 0, {fQueryLost, fAnswer}, TLookupStatus::Timeout, "", 1},
    {"one retry", 1, {fQueryLost, fAnswer}, TLookupStatus::Answer, "r2.example", 2},
    {"an NXDOMAIN is an answer: no resend", 2, {fNxDomain, fAnswer}, TLookupStatus::RCode, "", 1},
    {"lost reply, then NXDOMAIN", 2, {fReplyLost, fNxDomain}, TLookupStatus::RCode, "", 2},
};

// The address of resend case n, and back.
std::string ResendAddress(size_t n) {
    return "10.66.0." + std::to_string(n);
}

class TResendServer {
public:
    explicit TResendServer(const std::vector<TResendCase>& cases)
        : Cases(cases), Server([this](const TBytes& q, const TReceived& info) { return Reply(q, info); }) {
        Server.LoseQueries([this](const std::string& question) { return LostAt(question); }, 3);
    }
    const std::vector<TResendCase>& Cases;
    std::map<std::string, uint16_t> FirstPort; // by question; the server's thread only
    TScriptedDnsServer Server;

private:
    TSendFate Fate(int n, unsigned send) const {
        const std::vector<TSendFate>& f = Cases[static_cast<size_t>(n)].Fates;
        return send <= f.size() ? f[send - 1] : fSilent;
    }
    // Whether the next datagram of question is lost on its way (counts its sends).
    bool LostAt(const std::string& question) {
        const unsigned send = ++Seen[question];
        return Fate(std::atoi(question.c_str()), send) == fQueryLost;
    }
    std::vector<TDatagram> Reply(const TBytes& q, const TReceived& info) {
        const int n = FirstLabel(q);
        if (info.Send == 1) FirstPort[info.Question] = info.Port;
        switch (Fate(n, info.Send)) {
        case fAnswer:
            return {{PtrReply(q, "r" + std::to_string(info.Send) + ".example")}};
        case fNxDomain:
            return {{RcodeReply(q, 3)}};
        case fReplyLost:
            return {{PtrReply(q, "lost.example"), false, 0, true}};
        case fAnswerFirstNow:
            return {{PtrReply(q, "first.example"), false, 0, false, FirstPort[info.Question]}};
        case fQueryLost:
        case fSilent:
            break;
        }
        return {};
    }
    std::map<std::string, unsigned> Seen; // LostAt's count, under the server's lock
};

TEST(DnsLookup, ResendsAndTheirOutcomes) {
    // Paced too: a resend waits for its turn, as every send does.
    for (const auto& [inFlight, rate] : {std::pair{1u, 0.0}, std::pair{32u, 0.0}, std::pair{32u, 200.0}}) {
        SCOPED_TRACE(testing::Message() << inFlight << " in flight, rate " << rate);
        // A run per number of retries, each address one case.
        for (const unsigned retries : {0u, 1u, 2u}) {
            std::vector<TResendCase> cases;
            std::vector<std::string> addresses;
            for (const TResendCase& c : kResendCases)
                if (c.Retries == retries) {
                    addresses.push_back(ResendAddress(cases.size()));
                    cases.push_back(c);
                }
            TResendServer scripted(cases);
            TLookupSettings settings;
            settings.TimeoutMs = 1000;
            settings.Retries = retries;
            settings.InFlight = inFlight;
            const std::vector<TLookupResult> results =
                RunLookup({scripted.Server.Server()}, addresses, settings);
            ASSERT_EQ(results.size(), cases.size());
            const std::vector<TReceived> received = scripted.Server.Received();
            for (size_t n = 0; n < cases.size(); ++n) {
                const TResendCase& c = cases[n];
                SCOPED_TRACE(c.Name);
                EXPECT_EQ(results[n].Status, c.Status);
                EXPECT_EQ(results[n].HostName, c.HostName);
                EXPECT_EQ(results[n].Resolved, *c.HostName != '\0');
                // Sends the script names; a reply that comes after a resend was due
                // (the machine's load) leaves more, never beyond the retries.
                if (c.Status == TLookupStatus::Timeout) {
                    EXPECT_EQ(results[n].Tries, c.Tries);
                } else {
                    EXPECT_GE(results[n].Tries, c.Tries);
                    EXPECT_LE(results[n].Tries, retries + 1);
                }
                EXPECT_EQ(results[n].Server, scripted.Server.Server());
                if (c.Status == TLookupStatus::Timeout) {
                    EXPECT_GE(results[n].RttMs, settings.TimeoutMs);
                }
                // Every send of the address, each from a port of its own, the same ID.
                std::set<uint16_t> ports, ids;
                unsigned sends = 0;
                for (const TReceived& r : received)
                    if (std::atoi(r.Question.c_str()) == static_cast<int>(n)) {
                        ++sends;
                        ports.insert(r.Port);
                        ids.insert(r.Id);
                    }
                EXPECT_EQ(sends, results[n].Tries);
                EXPECT_EQ(ports.size(), results[n].Tries);
                EXPECT_EQ(ids.size(), 1u);
            }
        }
    }
}

// Every datagram of a run leaves from a fresh port: sixteen queries one after
// another (which once shared one socket) come from many ports.
TEST(DnsLookup, EachQueryFromAFreshPort) {
    TScriptedDnsServer server(
        [](const TBytes& q) { return std::vector<TDatagram>{{PtrReply(q, "p.example")}}; });
    std::vector<std::string> addresses;
    for (int n = 0; n < 16; ++n) addresses.push_back("10.8.0." + std::to_string(n));
    TLookupSettings settings;
    settings.InFlight = 1;
    const std::vector<TLookupResult> results = RunLookup({server.Server()}, addresses, settings);
    ASSERT_EQ(results.size(), addresses.size());
    std::set<uint16_t> ports;
    for (const TReceived& r : server.Received()) ports.insert(r.Port);
    // Random ports of the ephemeral range may meet again; sixteen queries from fewer
    // than eight ports would be sockets kept for several queries.
    EXPECT_GE(ports.size(), 8u);
}

TEST(DnsLookup, WithoutServersEveryAddressIsUnresolved) {
    const std::vector<TLookupResult> results = RunLookup({}, {"10.0.0.1", "10.0.0.2"});
    ASSERT_EQ(results.size(), 2u);
    EXPECT_FALSE(results[0].Resolved);
    EXPECT_FALSE(results[1].Resolved);
}

TEST(DnsLookup, AgainstDnsmasq) {
    // Every third address of 10.20.0.0 to 10.20.0.95 has a name, and one IPv6 address.
    std::vector<THostEntry> hosts;
    std::vector<std::string> addresses;
    for (int n = 0; n < 96; ++n) {
        addresses.push_back("10.20.0." + std::to_string(n));
        if (n % 3 == 0) hosts.push_back({addresses.back(), "n" + std::to_string(n) + ".test"});
    }
    hosts.push_back({"2001:db8::2a", "six.test"});
    addresses.push_back("2001:db8::2a");
    TDnsmasq dnsmasq(hosts);
    TLookupSettings settings;
    settings.InFlight = 8;
    const std::vector<TLookupResult> results = RunLookup({dnsmasq.Server()}, addresses, settings);
    ASSERT_EQ(results.size(), addresses.size());
    for (size_t i = 0; i < 96; ++i) {
        SCOPED_TRACE(addresses[i]);
        EXPECT_EQ(results[i].Resolved, i % 3 == 0);
        EXPECT_EQ(results[i].HostName, i % 3 == 0 ? "n" + std::to_string(i) + ".test" : "");
    }
    EXPECT_EQ(results[96].HostName, "six.test");

    // The same through the one-query resolver, by the address and by its reverse name.
    TIdDNSResolver resolver;
    resolver.Host = "127.0.0.1";
    resolver.Port = dnsmasq.Port();
    resolver.QueryType = {qtPTR};
    for (const char* name : {"10.20.0.3", "3.0.20.10.in-addr.arpa"}) {
        resolver.Resolve(name);
        ASSERT_NE(resolver.QueryResult().FirstPTR(), nullptr);
        EXPECT_EQ(resolver.QueryResult().FirstPTR()->HostName, "n3.test");
    }
    EXPECT_EQ(std::string(ErrorText([&] { resolver.Resolve("10.20.0.4"); })),
              "DNS Server Reports Query Name Error");
}

} // namespace
