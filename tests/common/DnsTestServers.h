// DNS servers for the tests and benchmarks, on loopback only: a real dnsmasq that
// answers PTR queries from a hosts file, and a scripted UDP server whose handler
// decides, query by query and send by send, which datagrams go back (wrong IDs,
// RCODEs, broken messages, strays from another port, delays, silence, replies lost
// on the way), and which queries are lost before they reach it. Both take a free port of
// 127.0.0.1 and are gone when their object is: a failing test cannot leave one
// running (dnsmasq also dies with the process that started it).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace zarvo::test {

using TBytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Message helpers (RFC 1035 section 4.1)

inline uint16_t Get16(const TBytes& m, size_t pos) {
    return static_cast<uint16_t>((m.at(pos) << 8) | m.at(pos + 1));
}
inline void Put16(TBytes& m, uint16_t v) {
    m.push_back(static_cast<uint8_t>(v >> 8));
    m.push_back(static_cast<uint8_t>(v & 0xFF));
}
inline void Set16(TBytes& m, size_t pos, uint16_t v) {
    m.at(pos) = static_cast<uint8_t>(v >> 8);
    m.at(pos + 1) = static_cast<uint8_t>(v & 0xFF);
}

// A name as uncompressed labels: "a.b.c" gives 1 a 1 b 1 c 0; "" gives the root.
inline TBytes EncodeName(std::string_view name) {
    TBytes out;
    while (!name.empty()) {
        const size_t dot = name.find('.');
        const std::string_view label = name.substr(0, dot);
        out.push_back(static_cast<uint8_t>(label.size()));
        out.insert(out.end(), label.begin(), label.end());
        if (dot == std::string_view::npos) break;
        name.remove_prefix(dot + 1);
    }
    out.push_back(0);
    return out;
}

inline uint16_t QueryId(const TBytes& query) {
    return Get16(query, 0);
}

// Where the question section ends (just past QTYPE and QCLASS of the one question
// of a query, uncompressed as queries are).
inline size_t QuestionEnd(const TBytes& query) {
    size_t p = 12;
    while (p < query.size() && query[p] != 0) p += 1u + query[p];
    return p + 1 + 4;
}

// The question type of a query (QTYPE of its one question).
inline uint16_t QuestionType(const TBytes& query) {
    return Get16(query, QuestionEnd(query) - 4);
}

// The question name of a query as dotted text, without the final dot.
inline std::string QuestionName(const TBytes& query) {
    std::string name;
    size_t p = 12;
    while (p < query.size() && query[p] != 0) {
        if (!name.empty()) name += '.';
        name.append(reinterpret_cast<const char*>(query.data() + p + 1), query[p]);
        p += 1u + query[p];
    }
    return name;
}

// A reply to a query: the query's ID and question, QR, RD and RA set, the RCODE given,
// then records added section by section. Owner names point at the question name
// (offset 12) unless given.
class TReplyBuilder {
public:
    explicit TReplyBuilder(const TBytes& query, uint8_t rcode = 0) {
        FHead.assign(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(QuestionEnd(query)));
        Set16(FHead, 2, static_cast<uint16_t>(0x8180 | (rcode & 0x0F)));
        Set16(FHead, 4, 1);
        Set16(FHead, 6, 0);
        Set16(FHead, 8, 0);
        Set16(FHead, 10, 0);
    }
    // A record of any type with raw RDATA; section 0 answer, 1 authority, 2 additional.
    TReplyBuilder& Record(int section, uint16_t type, const TBytes& rdata,
                          const TBytes& owner = {0xC0, 0x0C}) {
        TBytes& r = FSections[section];
        r.insert(r.end(), owner.begin(), owner.end());
        Put16(r, type);
        Put16(r, 1);
        Put16(r, 0);
        Put16(r, 300);
        Put16(r, static_cast<uint16_t>(rdata.size()));
        r.insert(r.end(), rdata.begin(), rdata.end());
        ++FCounts[section];
        return *this;
    }
    TReplyBuilder& Ptr(std::string_view hostName, int section = 0) {
        return Record(section, 12, EncodeName(hostName));
    }
    TBytes Bytes() const {
        TBytes m = FHead;
        for (int s = 0; s < 3; ++s) {
            Set16(m, static_cast<size_t>(6 + 2 * s), FCounts[s]);
            m.insert(m.end(), FSections[s].begin(), FSections[s].end());
        }
        return m;
    }

private:
    TBytes FHead;
    TBytes FSections[3];
    uint16_t FCounts[3] = {0, 0, 0};
};

inline TBytes PtrReply(const TBytes& query, std::string_view hostName) {
    return TReplyBuilder(query).Ptr(hostName).Bytes();
}
inline TBytes RcodeReply(const TBytes& query, uint8_t rcode) {
    return TReplyBuilder(query, rcode).Bytes();
}

// ---------------------------------------------------------------------------
// Sockets

inline sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A UDP socket bound to a loopback address (127.0.0.1 unless given, host order) and
// port, or a port of the system's choice when port is 0.
inline int BoundUdpSocket(uint16_t& port, uint32_t address = INADDR_LOOPBACK) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_in a = Loopback(port);
    a.sin_addr.s_addr = htonl(address);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        const int e = errno;
        ::close(fd);
        throw std::runtime_error(std::string("bind: ") + std::strerror(e));
    }
    port = ntohs(a.sin_port);
    return fd;
}

// A port of 127.0.0.1 free for UDP and TCP just now (dnsmasq binds both).
inline uint16_t FreeLoopbackPort() {
    for (int attempt = 0; attempt < 20; ++attempt) {
        uint16_t port = 0;
        const int udp = BoundUdpSocket(port);
        const int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Loopback(port);
        const bool ok = tcp >= 0 && ::bind(tcp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (tcp >= 0) ::close(tcp);
        ::close(udp);
        if (ok) return port;
    }
    throw std::runtime_error("no free port on 127.0.0.1");
}

// Sends one PTR query for name to 127.0.0.1:port and waits up to timeoutMs for any
// reply; whether one came.
inline bool ProbeDns(uint16_t port, std::string_view name, int timeoutMs) {
    uint16_t own = 0;
    const int fd = BoundUdpSocket(own);
    TBytes q;
    Put16(q, 0x1234);
    Put16(q, 0x0100);
    Put16(q, 1);
    for (int i = 0; i < 3; ++i) Put16(q, 0);
    const TBytes n = EncodeName(name);
    q.insert(q.end(), n.begin(), n.end());
    Put16(q, 12);
    Put16(q, 1);
    sockaddr_in to = Loopback(port);
    bool got = false;
    if (::sendto(fd, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) >= 0) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN)) {
            uint8_t buf[512];
            got = ::recv(fd, buf, sizeof buf, 0) >= 12;
        }
    }
    ::close(fd);
    return got;
}

// ---------------------------------------------------------------------------
// dnsmasq on 127.0.0.1

struct THostEntry {
    std::string Address;
    std::string Name;
};

class TDnsmasq {
public:
    // hosts: the PTR names it knows (from a hosts file, as "address name" lines);
    // extraArgs go to dnsmasq as they are. Private ranges not in the file answer
    // NXDOMAIN (--bogus-priv); it asks no upstream server.
    explicit TDnsmasq(const std::vector<THostEntry>& hosts, std::vector<std::string> extraArgs = {}) {
        std::string tmpl = (std::filesystem::temp_directory_path() / "zarvo-dnsmasq-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        FDir = tmpl;
        // dnsmasq started as root reads its files as "nobody".
        std::filesystem::permissions(FDir, std::filesystem::perms(0755));
        {
            std::ofstream f(FDir / "hosts");
            for (const THostEntry& h : hosts) f << h.Address << ' ' << h.Name << '\n';
        }
        std::filesystem::permissions(FDir / "hosts", std::filesystem::perms(0644));
        std::string error;
        for (int attempt = 0; attempt < 5 && FPid <= 0; ++attempt) error = Start(extraArgs);
        if (FPid <= 0) {
            Cleanup();
            throw std::runtime_error("dnsmasq did not start: " + error);
        }
    }
    ~TDnsmasq() {
        Stop();
        Cleanup();
    }
    TDnsmasq(const TDnsmasq&) = delete;
    TDnsmasq& operator=(const TDnsmasq&) = delete;

    uint16_t Port() const { return FPort; }
    std::string Server() const { return "127.0.0.1:" + std::to_string(FPort); }

    void Stop() {
        if (FPid > 0) {
            ::kill(FPid, SIGTERM);
            int status = 0;
            ::waitpid(FPid, &status, 0);
            FPid = -1;
        }
    }

private:
    static std::string Binary() {
        for (const char* p : {"/usr/sbin/dnsmasq", "/usr/local/sbin/dnsmasq", "/usr/bin/dnsmasq"})
            if (::access(p, X_OK) == 0) return p;
        return "dnsmasq";
    }

    // Starts dnsmasq on a fresh port and waits until it answers; the error otherwise.
    std::string Start(const std::vector<std::string>& extraArgs) {
        FPort = FreeLoopbackPort();
        const std::string log = (FDir / "log").string();
        std::vector<std::string> args = {Binary(),
                                         "--keep-in-foreground",
                                         "--conf-file=/dev/null",
                                         "--no-resolv",
                                         "--no-hosts",
                                         "--addn-hosts=" + (FDir / "hosts").string(),
                                         "--bogus-priv",
                                         "--listen-address=127.0.0.1",
                                         "--bind-interfaces",
                                         "--port=" + std::to_string(FPort),
                                         "--pid-file=" + (FDir / "pid").string(),
                                         "--log-facility=" + log};
        if (::geteuid() == 0) args.push_back("--user=root");
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid < 0) return std::string("fork: ") + std::strerror(errno);
        if (pid == 0) {
            // Only async-signal-safe calls between fork and exec.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(127);
            const int null = ::open("/dev/null", O_RDWR);
            if (null >= 0) {
                ::dup2(null, 0);
                ::dup2(null, 1);
                ::dup2(null, 2);
            }
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                std::ifstream f(log);
                std::stringstream s;
                s << f.rdbuf();
                return "exited (status " + std::to_string(status) + "): " + s.str();
            }
            if (ProbeDns(FPort, "1.0.0.127.in-addr.arpa", 100)) {
                FPid = pid;
                return {};
            }
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return "no answer within 10 s";
    }

    void Cleanup() {
        std::error_code ec;
        if (!FDir.empty()) std::filesystem::remove_all(FDir, ec);
    }

    std::filesystem::path FDir;
    pid_t FPid = -1;
    uint16_t FPort = 0;
};

// ---------------------------------------------------------------------------
// A scripted UDP server on 127.0.0.1

// One datagram the server sends back.
struct TDatagram {
    TBytes Bytes;
    bool FromOtherPort = false; // sent from a second socket of the server (a stray)
    int DelayMs = 0;            // sent this long after the query came
    bool Lost = false;          // made, but lost on the way back: never sent
    uint16_t ToPort = 0;        // sent to this port of the sender's address instead of its own
};

// A datagram that came to the server (or was lost on its way there).
struct TReceived {
    std::string Question;
    uint16_t Id = 0;
    uint16_t Port = 0; // the sender's source port
    unsigned Send = 0; // 1 for the first datagram of its question, 2 for the next, ...
    bool Lost = false; // lost before the server: the handler never saw it
    std::chrono::steady_clock::time_point At;
};

class TScriptedDnsServer {
public:
    // Gets each query as received and returns what goes back (nothing: silence).
    // Runs on the server's thread.
    using THandler = std::function<std::vector<TDatagram>(const TBytes& query)>;
    // The same, told which send of its question the query is and where it came from.
    using TSendHandler = std::function<std::vector<TDatagram>(const TBytes& query, const TReceived& info)>;

    explicit TScriptedDnsServer(THandler handler)
        : TScriptedDnsServer(std::move(handler), INADDR_LOOPBACK, 0) {}
    explicit TScriptedDnsServer(TSendHandler handler)
        : TScriptedDnsServer(std::move(handler), INADDR_LOOPBACK, 0) {}
    // On a loopback address of its own (host order) and a given port (0: any), such
    // as port 53 of 127.x.y.z for a resolv.conf; throws when it is taken.
    TScriptedDnsServer(THandler handler, uint32_t address, uint16_t port)
        : TScriptedDnsServer([h = std::move(handler)](const TBytes& q, const TReceived&) { return h(q); },
                             address, port) {}
    TScriptedDnsServer(TSendHandler handler, uint32_t address, uint16_t port)
        : FHandler(std::move(handler)), FAddress(address), FPort(port) {
        FSocket = BoundUdpSocket(FPort, address);
        uint16_t other = 0;
        FOther = BoundUdpSocket(other, address);
        FThread = std::thread([this] { Loop(); });
    }
    ~TScriptedDnsServer() {
        FStop = true;
        FThread.join();
        ::close(FSocket);
        ::close(FOther);
    }
    TScriptedDnsServer(const TScriptedDnsServer&) = delete;
    TScriptedDnsServer& operator=(const TScriptedDnsServer&) = delete;

    uint16_t Port() const { return FPort; }
    // The address in dotted form.
    std::string Address() const {
        return std::to_string(FAddress >> 24) + "." + std::to_string((FAddress >> 16) & 0xFF) + "." +
               std::to_string((FAddress >> 8) & 0xFF) + "." + std::to_string(FAddress & 0xFF);
    }
    std::string Server() const { return Address() + ":" + std::to_string(FPort); }

    // The question names of the queries received so far, in order.
    std::vector<std::string> Questions() const {
        std::lock_guard lock(FMutex);
        return FQuestions;
    }
    size_t QueryCount() const {
        std::lock_guard lock(FMutex);
        return FQuestions.size();
    }
    // The queries that came, each once however often it was sent (its resends repeat
    // its question and ID): their question names in the order they first came.
    std::vector<std::string> QueriesAsked() const {
        std::lock_guard lock(FMutex);
        std::vector<std::string> out;
        std::set<std::pair<std::string, uint16_t>> seen;
        for (const TReceived& r : FReceived)
            if (!r.Lost && seen.insert({r.Question, r.Id}).second) out.push_back(r.Question);
        return out;
    }
    // Every datagram that came, lost ones too, in order.
    std::vector<TReceived> Received() const {
        std::lock_guard lock(FMutex);
        return FReceived;
    }
    // The first count datagrams of each question that chosen picks are lost on their
    // way: the handler never sees them, and they are not among Questions(). Set
    // before the queries come.
    void LoseQueries(std::function<bool(const std::string& question)> chosen, unsigned count = 1) {
        std::lock_guard lock(FMutex);
        FLose = std::move(chosen);
        FLoseCount = count;
    }
    // Waits until at least count queries came; false after about 20 s. Bounded, so that
    // a program that never sends them fails the test instead of hanging it.
    bool AwaitQueries(size_t count) const {
        for (int i = 0; i < 4000; ++i) {
            if (QueryCount() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

private:
    struct TPending {
        std::chrono::steady_clock::time_point At;
        TDatagram Datagram;
        sockaddr_storage Peer;
        socklen_t PeerLen;
    };

    void Loop() {
        std::vector<TPending> pending;
        std::vector<uint8_t> buf(65536);
        while (!FStop) {
            const auto now = std::chrono::steady_clock::now();
            int timeout = 20;
            for (size_t i = 0; i < pending.size();) {
                if (pending[i].At <= now) {
                    Send(pending[i]);
                    pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
                } else {
                    const auto left =
                        std::chrono::duration_cast<std::chrono::milliseconds>(pending[i].At - now).count();
                    timeout = std::min(timeout, static_cast<int>(left) + 1);
                    ++i;
                }
            }
            pollfd p{FSocket, POLLIN, 0};
            if (::poll(&p, 1, timeout) != 1) continue;
            sockaddr_storage peer{};
            socklen_t peerLen = sizeof peer;
            const ssize_t n =
                ::recvfrom(FSocket, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&peer), &peerLen);
            if (n <= 0) continue;
            const TBytes query(buf.begin(), buf.begin() + n);
            TReceived info;
            info.Question = QuestionName(query);
            info.Id = n >= 2 ? QueryId(query) : 0;
            info.Port = ntohs(reinterpret_cast<const sockaddr_in&>(peer).sin_port);
            info.At = std::chrono::steady_clock::now();
            {
                std::lock_guard lock(FMutex);
                info.Send = ++FSends[info.Question];
                info.Lost = FLose && info.Send <= FLoseCount && FLose(info.Question);
                FReceived.push_back(info);
                if (info.Lost) continue;
                FQuestions.push_back(info.Question);
            }
            for (TDatagram& d : FHandler(query, info)) {
                if (d.Lost) continue;
                TPending item{std::chrono::steady_clock::now() + std::chrono::milliseconds(d.DelayMs),
                              std::move(d), peer, peerLen};
                if (item.Datagram.ToPort != 0)
                    reinterpret_cast<sockaddr_in&>(item.Peer).sin_port = htons(item.Datagram.ToPort);
                if (item.Datagram.DelayMs <= 0)
                    Send(item);
                else
                    pending.push_back(std::move(item));
            }
        }
    }

    void Send(const TPending& p) {
        ::sendto(p.Datagram.FromOtherPort ? FOther : FSocket, p.Datagram.Bytes.data(),
                 p.Datagram.Bytes.size(), 0, reinterpret_cast<const sockaddr*>(&p.Peer), p.PeerLen);
    }

    TSendHandler FHandler;
    int FSocket = -1, FOther = -1;
    uint32_t FAddress = INADDR_LOOPBACK;
    uint16_t FPort = 0;
    std::atomic<bool> FStop{false};
    mutable std::mutex FMutex;
    std::vector<std::string> FQuestions;
    std::vector<TReceived> FReceived;
    std::map<std::string, unsigned> FSends;
    std::function<bool(const std::string&)> FLose;
    unsigned FLoseCount = 0;
    std::thread FThread;
};

} // namespace zarvo::test
